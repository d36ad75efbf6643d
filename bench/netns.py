"""A small network of its own for the network benchmark: a client and two mirrors.

Three network namespaces named PREFIX-client, PREFIX-m1 and PREFIX-m2, each with its
loopback up, and a veth pair from the client to each mirror on a /30 of its own:

  client 10.213.1.1 <-> m1 10.213.1.2
  client 10.213.2.1 <-> m2 10.213.2.2

Every link is made inside the namespaces (the pairs are created in the client's and their
other end moved straight into the mirror's), so the host's interfaces, routes and firewall
stay as they are. A mirror's egress toward the client is shaped with tbf on its own veth
end: what a mirror sends is what a download receives; the client's requests are few bytes.
"""

import os
import signal
import subprocess
import time

MIRRORS = ("m1", "m2")


def mirror_address(index):
    """The address of mirror index (0 or 1), as the client reaches it."""
    return "10.213.%d.2" % (index + 1)


def client_address(index):
    return "10.213.%d.1" % (index + 1)


def _ip(*args):
    subprocess.run(["ip"] + list(args), check=True, stdout=subprocess.DEVNULL)


def tbf_parameters(rate_mbit):
    """(burst, limit) in bytes for a tbf at rate_mbit.

    The burst holds at least 64 KiB, a whole segmentation-offload packet, which tbf would
    otherwise split or drop, and 4 ms of the rate, which the timer needs to keep a fast rate
    from falling short. The queue holds 50 ms of the rate beyond it: enough that a few TCP
    streams filling it lose few packets and reach the rate, short enough that nobody waits
    long behind a full queue.
    """
    rate = rate_mbit * 1000 * 1000 // 8
    burst = max(64 << 10, rate * 4 // 1000)
    return burst, burst + rate * 50 // 1000


class Network:
    def __init__(self, prefix):
        self.prefix = prefix
        self.client = prefix + "-client"
        self.mirrors = [prefix + "-" + m for m in MIRRORS]
        self.created = []
        # Processes started inside the namespaces: pid -> Popen.
        self.processes = {}

    def up(self):
        for ns in [self.client] + self.mirrors:
            _ip("netns", "add", ns)
            self.created.append(ns)
            _ip("-n", ns, "link", "set", "lo", "up")
        for i, ns in enumerate(self.mirrors):
            near, far = "vc%d" % (i + 1), "vm%d" % (i + 1)
            _ip("-n", self.client, "link", "add", near, "type", "veth", "peer", "name", far,
                "netns", ns)
            _ip("-n", self.client, "addr", "add", client_address(i) + "/30", "dev", near)
            _ip("-n", ns, "addr", "add", mirror_address(i) + "/30", "dev", far)
            _ip("-n", self.client, "link", "set", near, "up")
            _ip("-n", ns, "link", "set", far, "up")

    def mirror_device(self, index):
        return "vm%d" % (index + 1)

    def shape(self, index, rate_mbit):
        """Shapes mirror index's sending toward the client to rate_mbit (None: unshaped)."""
        ns, dev = self.mirrors[index], self.mirror_device(index)
        subprocess.run(["ip", "netns", "exec", ns, "tc", "qdisc", "del", "dev", dev, "root"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if rate_mbit is None:
            return
        burst, limit = tbf_parameters(rate_mbit)
        subprocess.run(["ip", "netns", "exec", ns, "tc", "qdisc", "add", "dev", dev, "root",
                        "tbf", "rate", "%dmbit" % rate_mbit, "burst", str(burst),
                        "limit", str(limit)], check=True)

    def shaping(self, index):
        """tc's own line for the shaping of mirror index, for the report."""
        out = subprocess.run(["ip", "netns", "exec", self.mirrors[index], "tc", "qdisc", "show",
                              "dev", self.mirror_device(index)], stdout=subprocess.PIPE,
                             text=True).stdout
        return out.strip()

    def in_client(self, cmd):
        """cmd as run in the client's namespace; "ip netns exec" executes cmd in its own place,
        so a measured run measures the program itself."""
        return ["ip", "netns", "exec", self.client] + list(cmd)

    def start(self, ns, cmd, **kwargs):
        """Starts cmd in namespace ns; it is ended by down() at the latest."""
        proc = subprocess.Popen(["ip", "netns", "exec", ns] + list(cmd), **kwargs)
        self.processes[proc.pid] = proc
        return proc

    def stop(self, proc, sig=signal.SIGTERM, timeout=10):
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.processes.pop(proc.pid, None)

    def pids(self, ns):
        try:
            return [int(p) for p in subprocess.run(
                ["ip", "netns", "pids", ns], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                text=True).stdout.split()]
        except (OSError, ValueError):
            return []

    def kill_all(self, ns):
        """Kills what runs in ns, by id: anything in a namespace of ours was started by this
        benchmark (a run cut short, a worker whose master went first)."""
        pids = self.pids(ns)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if pids:
            time.sleep(0.2)

    def down(self):
        """Ends what runs in the namespaces and removes them. Runs on every way out, so it
        never raises and does what it can."""
        # A run cut short goes first, so that no server waits for it.
        if self.client in self.created:
            self.kill_all(self.client)
        for proc in list(self.processes.values()):
            try:
                self.stop(proc, timeout=5)
            except Exception:
                pass
        for ns in self.created:
            self.kill_all(ns)
        for ns in reversed(self.created):
            # Removing a namespace removes its veth ends and so the pair with them.
            subprocess.run(["ip", "netns", "del", ns], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        self.created = []
