#!/usr/bin/env python3
"""The updater over a shaped network, beside download tools doing the same work.

Builds a network of its own (bench/netns.py): a client namespace and two mirror namespaces,
each mirror running nginx over HTTPS with a certificate of a local CA, HTTP/2 on one port and
HTTP/1.1 only on another (bench/netserve.py). Each mirror's sending is shaped with tbf; a
round trip can be added with a delaying proxy in the client's namespace (bench/delayproxy.py).

Rows (--only):
  big      one file of --big-size bytes, both mirrors at 100 Mbit/s, HTTPS with HTTP/2:
           a fresh install against aria2c -s 2 with both mirrors' URLs, then sync
  uneven   the same with the mirrors at 100 and 20 Mbit/s
  small    many files of 256 KiB, 20 ms more round trip: the updater over HTTP/2 and over
           HTTP/1.1, curl over HTTP/1.1 (6 at once) and curl multiplexing HTTP/2

Every run of a row is interleaved with the others of its round; each figure is the median of
the rounds with min and max beside it. Called by bench/run-network-bench.sh, as root.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import benchsupport
import netns
import netserve
from netserve import H1_PORT, H2_PORT
from perfbench import write_tree

CLIENT = "client_linux_amd64"
human = benchsupport.human
# Where the delaying proxy listens in the client's namespace, for each port of nginx: an
# address of its own for each mirror, as two distant mirrors would have (a client may well
# count its connections by host: aria2c's -x does).
PROXY_ADDRESSES = ("127.0.0.1", "127.0.0.2")
PROXY_PORTS = {H2_PORT: 20443, H1_PORT: 28443}


def measured(cmd, log, env=None):
    """Runs cmd with its standard error in the file log; returns (wall seconds, CPU seconds,
    peak RSS in KiB, exit code). The peak comes from /usr/bin/time, as in benchsupport: a
    child forked from this script would count this script's pages in its own."""
    fd, peak_file = tempfile.mkstemp(prefix="bench-peak-")
    os.close(fd)
    try:
        with open(log, "wb") as err:
            start = time.monotonic()
            proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file] + cmd,
                                    env=env, stdout=subprocess.DEVNULL, stderr=err)
            _, status, usage = os.wait4(proc.pid, 0)
            wall = time.monotonic() - start
        with open(peak_file) as f:
            lines = [line for line in f.read().split("\n") if line.strip().isdigit()]
    finally:
        os.unlink(peak_file)
    return (wall, usage.ru_utime + usage.ru_stime, int(lines[-1]) if lines else 0,
            os.waitstatus_to_exitcode(status))


def tail(path, lines=25):
    with open(path, "rb") as f:
        return b"\n".join(f.read().split(b"\n")[-lines:]).decode(errors="replace")


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if text[-1:].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.update_exe, self.release_exe, self.key = benchsupport.build_programs(
            os.path.abspath(args.build))
        self.mirror = os.path.join(self.work, "mirror")
        self.net = netns.Network(args.prefix)
        self.servers = []
        self.proxy = None
        self.proxy_rtt = None
        self.version = 0
        self.big_release = None
        self.results = []  # (work, [(name, runs)], [(numerator, denominator, goal)], notes)

    # --- set-up ---------------------------------------------------------------------------

    def up(self):
        os.makedirs(self.mirror, exist_ok=True)
        self.net.up()
        addresses = list(PROXY_ADDRESSES) + [netns.mirror_address(i) for i in range(2)]
        self.ca, cert, key = netserve.make_certificates(os.path.join(self.work, "ca"),
                                                        addresses)
        self.trust = netserve.make_trust_directory(os.path.join(self.work, "trust"), self.ca)
        for i, ns in enumerate(self.net.mirrors):
            self.servers.append(netserve.MirrorServer(
                self.net, ns, os.path.join(self.work, "nginx-m%d" % (i + 1)), self.mirror,
                netns.mirror_address(i), cert, key))

    def down(self):
        self.stop_proxy()
        for server in self.servers:
            try:
                server.stop()
            except Exception:
                pass
        self.net.down()

    def start_proxy(self, rtt_ms):
        if self.proxy and self.proxy_rtt == rtt_ms:
            return
        self.stop_proxy()
        pairs = ["%s:%d=%s:%d" % (PROXY_ADDRESSES[i], listen, netns.mirror_address(i), port)
                 for port, listen in PROXY_PORTS.items() for i in range(2)]
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delayproxy.py")
        self.proxy = self.net.start(self.net.client, [sys.executable, script, "--rtt-ms",
                                                      str(rtt_ms)] + pairs,
                                    stdout=subprocess.PIPE)
        if self.proxy.stdout.readline().strip() != b"ready":
            sys.exit("the delaying proxy did not start")
        self.proxy_rtt = rtt_ms

    def stop_proxy(self):
        if self.proxy:
            self.net.stop(self.proxy)
            self.proxy = None

    def urls(self, port, rtt_ms):
        """Both mirrors' base URLs on nginx port port, through the proxy when rtt_ms."""
        if rtt_ms:
            self.start_proxy(rtt_ms)
            return ["https://%s:%d" % (PROXY_ADDRESSES[i], PROXY_PORTS[port]) for i in range(2)]
        return ["https://%s:%d" % (netns.mirror_address(i), port) for i in range(2)]

    def shape(self, rates):
        for i, rate in enumerate(rates):
            self.net.shape(i, rate)

    def publish(self, label, count, size):
        """A new version of count random files of size bytes; returns (version, names)."""
        self.version += 1
        tree = os.path.join(self.work, "src-%d-%s" % (self.version, label))
        names = write_tree(tree, count, size, self.version)
        subprocess.run([self.release_exe, "release", "--type", CLIENT, "--version",
                        str(self.version), "--source", tree, "--out", self.mirror, "--key",
                        self.key, "--force"], check=True, stdout=subprocess.DEVNULL)
        # The mirror holds its own copy; the disk then needs the large file once less.
        shutil.rmtree(tree)
        return self.version, names

    def unpublish(self, version):
        shutil.rmtree(os.path.join(self.mirror, str(version)), ignore_errors=True)

    def installation(self, label, urls, slots=None, streams=None):
        inst = os.path.join(self.work, "inst-" + label)
        shutil.rmtree(inst, ignore_errors=True)
        os.makedirs(inst)
        shutil.copy2(self.update_exe, os.path.join(inst, "update"))
        with open(os.path.join(inst, "mirrors.ini"), "w") as f:
            f.write("[mirrors]\nsize=2\n1\\mirror=one\n2\\mirror=two\n")
            for name, url in zip(("one", "two"), urls):
                f.write("[%s]\nurl=%s\n" % (name, url))
                if slots:
                    f.write("slots=%d\n" % slots)
        if streams:
            with open(os.path.join(inst, "update.ini"), "w") as f:
                f.write("[update]\nstreams=%d\n" % streams)
        return inst

    def empty_installation(self, inst):
        benchsupport.empty_installation(inst, ("update", "mirrors.ini", "update.ini"))

    def updater_env(self):
        env = dict(os.environ)
        tmp = os.path.join(self.work, "tmp")  # the session beside the installation
        os.makedirs(tmp, exist_ok=True)
        env["TMPDIR"] = tmp
        env["VARNOLT_UPDATE_SERVER"] = "127.0.0.1:9"  # the version is given; nobody is asked
        env.pop("DISPLAY", None)
        env["QT_QPA_PLATFORM"] = "offscreen"
        return env

    # --- runs -----------------------------------------------------------------------------

    def run_updater(self, inst, version, protocol):
        """A fresh install in inst; returns the measured run. Qt reads the CAs from the
        system's directories and heeds neither SSL_CERT_FILE nor SSL_CERT_DIR, so the updater
        runs in a mount namespace of its own with the trust directory (the system's CAs and
        the local one) bound over /etc/ssl/certs; the host's store is never touched."""
        self.empty_installation(inst)
        log = inst + ".log"
        # VARNOLT_BENCH_WRAP puts a tool in front of the updater (strace, perf record) to find
        # where its time goes; its figures are then those of the tool and the updater.
        wrap = os.environ.get("VARNOLT_BENCH_WRAP", "").split()
        cmd = self.net.in_client([
            "unshare", "--mount", "--propagation", "private", "sh", "-c",
            'mount --bind "$0" /etc/ssl/certs && exec "$@"', self.trust] + wrap + [
            os.path.join(inst, "update"), "--headless", CLIENT, str(version)])
        res = measured(cmd, log, self.updater_env())
        if res[3] != 0:
            sys.exit("the updater failed (exit code %d) in %s; the end of its log:\n%s"
                     % (res[3], inst, tail(log)))
        with open(log, "rb") as f:
            text = f.read().decode(errors="replace")
        used = sorted(set(line.split("Mirror ", 1)[1].split(" answers over ")[0]
                          for line in text.split("\n") if " answers over " in line))
        other = "HTTP/1.1" if protocol == "HTTP/2" else "HTTP/2"
        if not used or " answers over " + other in text:
            sys.exit("the updater did not use %s only in %s; its protocol lines:\n%s"
                     % (protocol, inst, "\n".join(l for l in text.split("\n")
                                                  if " answers over " in l)))
        self.mirrors_used = used
        return res

    def run_tool(self, cmd, out, expected_bytes, what):
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        log = out + ".log"
        res = measured(self.net.in_client(cmd), log)
        got = sum(os.path.getsize(os.path.join(d, n))
                  for d, _, names in os.walk(out) for n in names)
        if res[3] != 0 or got != expected_bytes:
            sys.exit("%s failed (exit code %d, %d of %d bytes); the end of its output:\n%s"
                     % (what, res[3], got, expected_bytes, tail(log)))
        return res

    def interleave(self, runs):
        """runs: [(name, function)]; each round runs each once, in order."""
        results = {name: [] for name, _ in runs}
        for r in range(self.args.rounds):
            for name, run in runs:
                results[name].append(run())
                w = results[name][-1][0]
                print("  round %d: %-44s %8.2f s" % (r + 1, name, w), flush=True)
        return [(name, results[name]) for name, _ in runs]

    # --- rows -----------------------------------------------------------------------------

    def big(self, label, rates):
        size = self.args.big_size
        if self.big_release is None:
            print("publishing one file of %s ..." % human(size), flush=True)
            self.big_release = self.publish("big", 1, size)
        version, names = self.big_release
        self.shape(rates)
        print("%s: mirrors at %s Mbit/s; %s" % (label, " and ".join(map(str, rates)),
                                                "; ".join(self.net.shaping(i) for i in range(2))),
              flush=True)
        rtt = self.args.big_rtt
        urls = self.urls(H2_PORT, rtt)
        inst = self.installation(label, urls)
        out = os.path.join(self.work, "aria2-out")
        name = os.path.basename(names[0])
        file_urls = ["%s/%d/%s/%s" % (u, version, CLIENT, names[0]) for u in urls]
        # One connection to each mirror, pieces of at least 8 MiB, no allocation ahead (the
        # updater does none either). The updater makes its install durable, so aria2c's file
        # is synced too before its run ends.
        aria2 = ["sh", "-c", 'aria2c "$@" && exec sync -- "$0"', os.path.join(out, name),
                 "-s", "2", "-x", "1", "-k", "8M", "--file-allocation=none",
                 "--ca-certificate=" + self.ca, "--allow-overwrite=true",
                 "--auto-file-renaming=false", "--console-log-level=warn",
                 "--summary-interval=0", "--download-result=hide", "-d", out, "-o", name
                 ] + file_urls
        aria2_name = "aria2c -s 2 -x 1 -k 8M, both mirrors, sync"
        runs = self.interleave([
            ("updater (HTTP/2)", lambda: self.run_updater(inst, version, "HTTP/2")),
            (aria2_name, lambda: self.run_tool(aria2, out, size, "aria2c"))])
        shaped = sum(rates)
        notes = []
        for series, results in runs:
            walls = [r[0] for r in results]
            mbit = size * 8 / statistics.median(walls) / 1e6
            notes.append("%s: %.1f Mbit/s, %.3f of the shaped %d Mbit/s"
                         % (series, mbit, mbit / shaped, shaped))
        # tbf counts whole frames: with 1448 bytes of data in a frame of 1514, a shaped rate
        # carries at most 0.956 of itself as data, whoever downloads.
        notes.append("data can fill at most about 0.956 of a shaped rate (TCP/IP and Ethernet "
                     "headers)")
        notes.append("mirrors that answered the updater (its protocol lines): %s"
                     % ", ".join(self.mirrors_used))
        goals = [(0, 1, 1.05 if label == "big" else 1.10)]
        work = "fresh install, one %s file, mirrors at %s Mbit/s%s" % (
            human(size), "+".join(map(str, rates)), ", +%g ms RTT" % rtt if rtt else "")
        fraction = None
        if label == "big":
            fraction = size * 8 / statistics.median(r[0] for r in runs[0][1]) / 1e6 / shaped
        self.results.append((work, runs, goals, notes, fraction))
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(inst)

    def small(self):
        count, size, rtt = self.args.small_count, 256 << 10, self.args.small_rtt
        self.shape([None, None])
        self.check_proxy(rtt)
        # 1 Gbit/s for each mirror: a 256 KiB answer takes 2 ms of it, a tenth of the round
        # trip, so the time goes to waiting for answers, which is what HTTP/2 saves; the cap
        # keeps both mirrors alike and the figures apart from how fast this machine copies.
        self.shape([1000, 1000])
        version, names = self.publish("small", count, size)
        h2, h1 = self.urls(H2_PORT, rtt), self.urls(H1_PORT, rtt)
        self.check_latency(h2, h1)
        slots, streams = self.args.slots, self.args.streams
        inst2 = self.installation("small-h2", h2, slots, streams)
        inst1 = self.installation("small-h1", h1)
        out = os.path.join(self.work, "curl-out")
        tuning = ", ".join(x for x in ("slots=%d" % slots if slots else "",
                                       "streams=%d" % streams if streams else "") if x)
        h2_name = "updater HTTP/2" + (" (%s)" % tuning if tuning else "")

        def curl(label, urls, options):
            cfg = os.path.join(self.work, "curl-%d-%s.cfg" % (version, label))
            with open(cfg, "w") as f:
                for i, name in enumerate(names):
                    f.write('url = "%s/%d/%s/%s"\noutput = "%s/%s"\n'
                            % (urls[i % 2], version, CLIENT, name, out, name))
            # Synced as the updater syncs its install: every file it wrote.
            return ["sh", "-c", 'curl "$@" && cd "$0" && find . -type f -print0 | '
                    'xargs -0 sync --', out, "-s", "-f", "--create-dirs", "--cacert", self.ca,
                    "--parallel"] + options + ["-K", cfg]

        curl1 = curl("h1", h1, ["--http1.1", "--parallel-max", "6"])
        curl2 = curl("h2", h2, ["--http2", "--parallel-max", "100"])
        total = count * size
        runs = self.interleave([
            (h2_name, lambda: self.run_updater(inst2, version, "HTTP/2")),
            ("updater HTTP/1.1", lambda: self.run_updater(inst1, version, "HTTP/1.1")),
            ("curl --http1.1 --parallel-max 6, sync",
             lambda: self.run_tool(curl1, out, total, "curl over HTTP/1.1")),
            ("curl --http2 --parallel-max 100, sync",
             lambda: self.run_tool(curl2, out, total, "curl over HTTP/2"))])
        notes = ["%s: %.1f Mbit/s" % (s, total * 8 / statistics.median(r[0] for r in res) / 1e6)
                 for s, res in runs]
        work = "fresh install, %d x %s, +%g ms RTT, mirrors at 1000 Mbit/s" % (
            count, human(size), rtt)
        self.results.append((work, runs, [(0, 3, 1.0), (0, 1, 0.5), (1, 2, None)], notes, None))
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(inst1)
        shutil.rmtree(inst2)
        self.unpublish(version)

    def check_proxy(self, rtt):
        """How much the delaying proxy carries, unshaped, against the same path without it."""
        probe = os.path.join(self.mirror, "probe.bin")
        with open(probe, "wb") as f:
            for _ in range(128):
                f.write(os.urandom(1 << 20))
        for what, base in (("direct", self.urls(H1_PORT, 0)[0]),
                           ("through the proxy (+%g ms)" % rtt, self.urls(H1_PORT, rtt)[0])):
            out = subprocess.run(self.net.in_client([
                "curl", "-s", "-f", "-o", "/dev/null", "--cacert", self.ca, "-w",
                "%{speed_download}", base + "/probe.bin"]), stdout=subprocess.PIPE, text=True)
            print("  128 MiB over HTTP/1.1, unshaped, %s: %.0f Mbit/s"
                  % (what, float(out.stdout or 0) * 8 / 1e6), flush=True)
        os.unlink(probe)

    def check_latency(self, h2, h1):
        """What a client sees of the round trip, and the protocol each port speaks. The connect
        completes at the proxy at once; it holds the connection a round trip before passing
        anything on, so TLS 1.3 is done after 2 round trips and the first byte comes after 3."""
        print("  curl, one request each (TLS done after 2 round trips, first byte after 3):")
        for base in (h2[0], h1[0], h2[1], h1[1]):
            out = subprocess.run(self.net.in_client([
                "curl", "-s", "-f", "-o", "/dev/null", "--cacert", self.ca, "-w",
                "%{http_version} %{time_connect} %{time_appconnect} %{time_starttransfer}",
                base + "/%d/%s.ini" % (self.version, CLIENT)]), stdout=subprocess.PIPE,
                text=True).stdout.split()
            if len(out) != 4:
                sys.exit("curl could not fetch from %s" % base)
            print("  %s: HTTP/%s, connected %.1f ms, TLS done %.1f ms, first byte %.1f ms"
                  % (base, out[0], *(float(x) * 1000 for x in out[1:])), flush=True)

    # --- report ---------------------------------------------------------------------------

    def report(self):
        def fig(values, unit, fmt="%.2f"):
            return (fmt + "%s (" + fmt + "-" + fmt + ")") % (
                statistics.median(values), unit, min(values), max(values))

        verdicts = []
        for work, runs, goals, notes, fraction in self.results:
            print()
            print("### " + work)
            print("| run | wall median (min-max) | CPU | peak RSS |")
            print("|---|---|---|---|")
            for name, res in runs:
                print("| %s | %s | %.1f s | %.1f MB |" % (
                    name, fig([r[0] for r in res], " s"), statistics.median(r[1] for r in res),
                    statistics.median(r[2] for r in res) / 1024))
            for note in notes:
                print("- " + note)
            for a, b, goal in goals:
                ratios = [x[0] / y[0] for x, y in zip(runs[a][1], runs[b][1])]
                median = statistics.median(ratios)
                verdict = ("PASS" if median <= goal else "FAIL") if goal else "-"
                verdicts.append((work, "%s / %s" % (runs[a][0], runs[b][0]),
                                 fig(ratios, "", "%.3f"), "<= %.2f" % goal if goal else "",
                                 verdict))
            if fraction is not None:
                verdicts.append((work, "updater throughput / shaped sum",
                                 "%.3f" % fraction, ">= 0.90", "PASS" if fraction >= 0.9
                                 else "FAIL"))
        print()
        print("| work | ratio | median (min-max) | goal | verdict |")
        print("|---|---|---|---|---|")
        for row in verdicts:
            print("| %s | %s | %s | %s | %s |" % row)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--prefix", default="vnb-%d" % os.getpid(),
                        help="names of the network namespaces: PREFIX-client, -m1, -m2")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true",
                        help="a 256 MiB file and 500 small files, for a first look")
    parser.add_argument("--only", default="big,uneven,small",
                        help="comma-separated rows: big, uneven, small")
    parser.add_argument("--big-size", type=parse_size, help="bytes (K, M, G allowed); "
                        "default 2G, with --quick 256M")
    parser.add_argument("--big-rtt", type=float, default=0,
                        help="ms of round trip added in the big rows (default none)")
    parser.add_argument("--small-count", type=int,
                        help="files in the small row (default 2000, with --quick 500)")
    parser.add_argument("--small-rtt", type=float, default=20, help="ms added (default 20)")
    parser.add_argument("--slots", type=int, help="slots=N in both mirror groups of the "
                        "updater's HTTP/2 run of the small row")
    parser.add_argument("--streams", type=int, help="update.ini [update] streams=N for the "
                        "updater's HTTP/2 run of the small row")
    args = parser.parse_args()
    if args.big_size is None:
        args.big_size = (256 << 20) if args.quick else (2 << 30)
    if args.small_count is None:
        args.small_count = 500 if args.quick else 2000
    only = set(args.only.split(","))
    unknown = only - {"big", "uneven", "small"}
    if unknown:
        parser.error("unknown rows: " + ", ".join(sorted(unknown)))
    if os.geteuid() != 0:
        sys.exit("the network benchmark makes network namespaces: run it as root")

    # A termination ends the run through the same clean-up as an error or Ctrl-C.
    def terminate(signum, _frame):
        raise SystemExit("ended by signal %d" % signum)

    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGHUP, terminate)
    bench = Bench(args)
    try:
        bench.up()
        if "big" in only:
            bench.big("big", (100, 100))
        if "uneven" in only:
            bench.big("uneven", (100, 20))
        if "small" in only:
            bench.small()
    finally:
        bench.down()
    bench.report()


if __name__ == "__main__":
    main()
