#!/usr/bin/env python3
"""The updater beside tools doing the same work, on this machine.

Publishes releases with the release tool, serves them with nginx on two
loopback ports, runs "update --headless TYPE VERSION" from start to
"Update successfully finished" and interleaves each run with its anchor:

  no-op update       md5sum of the installed files as two processes
  fresh install      curl --parallel --parallel-max 6 (both mirrors)
  gzip install       curl as above, then two gzip -dc at once and sync
  peak memory        fresh installs of many small files
  window memory      the same in the window ("update --nouser TYPE VERSION",
                     offscreen), against the window with nothing to fetch
  no-op with cache   no-op updates after two warm-up runs, which leave the
                     file-state cache (update.state) in place, and without it

Rows (--only): noop, fresh, big, gzip, memory, window, noopcache. With
--against BUILD, the fresh-install rows measure this build's updater against
that build's, on the same releases.

Only ratios from interleaved runs count: the machine is shared, so each
figure is the median of its rounds, with min and max beside it.
Called by bench/run-perf-bench.sh, which builds what it needs.
"""

import argparse
import benchsupport
import os
import random
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

CLIENT = "client_linux_amd64"
# The longest a window run may take before it counts as hung and is killed.
WINDOW_TIMEOUT = 900


def run_measured(cmd, env=None, cwd=None, quiet=True):
    """Runs cmd; returns (wall seconds, CPU seconds, peak RSS in KiB, exit code)."""
    return benchsupport.run_measured(cmd, env, cwd, quiet)[:4]


def write_tree(root, count, size, seed, compressible=False):
    rng = random.Random(seed)
    os.makedirs(root, exist_ok=True)
    names = []
    for i in range(count):
        sub = "d%02d" % (i % 20)
        os.makedirs(os.path.join(root, sub), exist_ok=True)
        name = "%s/file%05d.dat" % (sub, i)
        with open(os.path.join(root, name), "wb") as f:
            left = size
            while left > 0:
                piece = min(left, 1 << 20)
                if compressible:
                    # Text-like: compresses to about a third, as game data often does.
                    data = bytes(rng.choice(b"abcdefghijklmnop ") for _ in range(4096))
                    data = (data * (piece // len(data) + 1))[:piece]
                    data = bytearray(data)
                    for j in range(0, piece, 97):
                        data[j] = rng.randrange(256)
                    data = bytes(data)
                else:
                    data = rng.randbytes(piece)
                f.write(data)
                left -= piece
        names.append(name)
    return names


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.work = os.path.abspath(args.work)
        self.update_exe, self.release_exe, self.key = benchsupport.build_programs(self.build)
        self.mirror = os.path.join(self.work, "mirror")
        self.ports = []
        self.nginx = None
        self.version = 0
        self.version_port = None
        self.results = []

    # --- set-up ---------------------------------------------------------------------------

    def start_nginx(self):
        self.nginx = benchsupport.Nginx(os.path.join(self.work, "nginx"), self.mirror)
        self.ports = self.nginx.ports

    def start_version_server(self):
        # The window asks the version server before it shows, even with the version on its
        # command line, and stops at an error box when nobody answers.
        server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        server.bind(("127.0.0.1", 0))
        self.version_port = server.getsockname()[1]

        def answer():
            while True:
                _, peer = server.recvfrom(64)
                v = self.version
                server.sendto(b"%d,%d,%d" % (v, v, v), peer)

        threading.Thread(target=answer, daemon=True).start()

    def stop_nginx(self):
        if self.nginx:
            self.nginx.stop()

    def publish(self, label, count, size, gzip=False):
        """A new version holding count files of size bytes; returns (version, names, tree)."""
        self.version += 1
        tree = os.path.join(self.work, "src-%d-%s" % (self.version, label))
        names = write_tree(tree, count, size, self.version, compressible=gzip)
        cmd = [self.release_exe, "release", "--type", CLIENT, "--version", str(self.version),
               "--source", tree, "--out", self.mirror, "--key", self.key, "--force"]
        if gzip:
            for name in names:
                cmd += ["--gzip", name]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        return self.version, names, tree

    def unpublish(self, version, tree):
        # Each row needs only its own release: the largest row then bounds the disk needed.
        shutil.rmtree(tree)
        shutil.rmtree(os.path.join(self.mirror, str(version)))

    def installation(self, label, update_exe=None):
        inst = os.path.join(self.work, "inst-" + label)
        shutil.rmtree(inst, ignore_errors=True)
        os.makedirs(inst)
        shutil.copy2(update_exe or self.update_exe, os.path.join(inst, "update"))
        with open(os.path.join(inst, "mirrors.ini"), "w") as f:
            f.write("[mirrors]\nsize=2\n1\\mirror=one\n2\\mirror=two\n")
            for name, port in zip(("one", "two"), self.ports):
                f.write("[%s]\nurl=http://127.0.0.1:%d\n" % (name, port))
        return inst

    def empty_installation(self, inst):
        benchsupport.empty_installation(inst)

    def updater_env(self):
        return benchsupport.updater_env(self.work)

    def run_updater(self, inst, version):
        # VARNOLT_BENCH_WRAP puts a tool in front of the updater (strace -c, perf record) to
        # find where its time goes; its figures are then those of the tool and the updater.
        wrap = os.environ.get("VARNOLT_BENCH_WRAP", "").split()
        res = run_measured(wrap + [os.path.join(inst, "update"), "--headless", CLIENT,
                                   str(version)], env=self.updater_env())
        if res[3] != 0:
            sys.exit("the updater failed (exit code %d) in %s" % (res[3], inst))
        return res

    def run_window(self, inst, version):
        """Runs the window until it reports success, then ends it; returns its peak RSS in KiB."""
        if self.version_port is None:
            self.start_version_server()
        env = self.updater_env()
        env["VARNOLT_UPDATE_SERVER"] = "127.0.0.1:%d" % self.version_port
        env["VARNOLT_AUTO_START_MS"] = "0"
        # Any box is answered, so that a failing run ends or shows in the log instead of waiting.
        env["VARNOLT_BOX_ANSWERS"] = "Ok"
        proc = subprocess.Popen([os.path.join(inst, "update"), "--nouser", CLIENT, str(version)],
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + WINDOW_TIMEOUT
        log = b""
        finished = False
        while not finished:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([proc.stderr], [], [], left)[0]:
                break
            chunk = os.read(proc.stderr.fileno(), 1 << 16)
            if not chunk:
                break
            # Only the tail is kept: enough for the line sought and for a report.
            log = (log + chunk)[-4096:]
            finished = b"Update successfully finished" in log
        # The peak so far is the run's: read from the window's own process (its rusage would
        # count this script's pages it was forked with).
        peak = 0
        try:
            with open("/proc/%d/status" % proc.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = int(line.split()[1])
        except OSError:
            pass
        # After success the window waits for the user; it has nothing to save.
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        end = time.monotonic() + 10
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > end:
                proc.kill()
                _, status, usage = os.wait4(proc.pid, 0)
                break
            time.sleep(0.05)
        proc.returncode = os.waitstatus_to_exitcode(status)
        proc.stderr.close()
        if not finished:
            sys.exit("the window did not finish (exit code %d) in %s; its last lines:\n%s"
                     % (proc.returncode, inst, log.decode(errors="replace")))
        return peak

    def curl_config(self, version, names, out_dir, suffix=""):
        cfg = os.path.join(self.work, "curl-%d.cfg" % version)
        with open(cfg, "w") as f:
            for i, name in enumerate(names):
                port = self.ports[i % 2]
                f.write('url = "http://127.0.0.1:%d/%d/%s/%s%s"\n' % (port, version, CLIENT,
                                                                     name, suffix))
                f.write('output = "%s/%s%s"\n' % (out_dir, name, suffix))
        return cfg

    def curl_cmd(self, cfg):
        return ["curl", "--parallel", "--parallel-max", "6", "--create-dirs", "-s", "-f",
                "-K", cfg]

    # --- the rows -------------------------------------------------------------------------

    def record(self, work, updater, anchor, anchor_name, goal, cpu_goal=None):
        self.results.append((work, updater, anchor, anchor_name, goal, cpu_goal))

    def rounds(self, prepare_updater, updater, prepare_anchor, anchor):
        ups, ans = [], []
        for _ in range(self.args.rounds):
            prepare_updater()
            ups.append(updater())
            prepare_anchor()
            ans.append(anchor())
        return ups, ans

    def noop(self, count, size, goal=1.05, what="no-op update, %s installed", warm_ups=0,
             without_cache=False):
        version, names, tree = self.publish("noop", count, size)
        inst = self.installation("noop")
        self.run_updater(inst, version)  # installs; every later run finds nothing to do
        for _ in range(warm_ups):
            self.run_updater(inst, version)
        state = os.path.join(inst, "update.state")

        def prepare():
            if without_cache and os.path.exists(state):
                os.unlink(state)

        files = [os.path.join(inst, n) for n in names]
        lists = []
        for half in (files[0::2], files[1::2]):
            path = os.path.join(self.work, "md5-%d.list" % len(lists))
            with open(path, "w") as f:
                f.write("\n".join(half) + "\n")
            lists.append(path)
        md5 = ["bash", "-c", "xargs -a %s md5sum >/dev/null & xargs -a %s md5sum >/dev/null; wait"
               % tuple(lists)]
        ups, ans = self.rounds(prepare, lambda: self.run_updater(inst, version),
                               lambda: None, lambda: run_measured(md5))
        self.record(what % ("%d x %s" % (count, human(size))), ups, ans,
                    "md5sum as 2 processes", goal)
        shutil.rmtree(inst)
        self.unpublish(version, tree)

    def fresh(self, label, count, size, goal, cpu_goal=None, gzip=False):
        version, names, tree = self.publish(label, count, size, gzip=gzip)
        inst = self.installation(label)
        out = os.path.join(self.work, "curl-out")
        cfg = self.curl_config(version, names, out, ".gz" if gzip else "")
        if gzip:
            half = [os.path.join(out, n + ".gz") for n in names]
            # The download first, then both unpackers at once.
            cmd = "%s && { (for f in %s; do gzip -dc $f > ${f%%.gz}; done) & " \
                  "(for f in %s; do gzip -dc $f > ${f%%.gz}; done); wait; }; sync" % (
                      " ".join(self.curl_cmd(cfg)), " ".join(half[0::2]), " ".join(half[1::2]))
            anchor = ["bash", "-c", cmd]
            anchor_name = "curl, then 2 x gzip -dc at once, sync"
        else:
            anchor = self.curl_cmd(cfg)
            anchor_name = "curl --parallel --parallel-max 6"
        prepare_anchor = lambda: shutil.rmtree(out, ignore_errors=True)
        run_anchor = lambda: run_measured(anchor)
        if self.args.against:
            # Another build's updater on the same release, in an installation of its own.
            other = self.installation(label + "-against", os.path.join(
                os.path.abspath(self.args.against), "src", "update"))
            prepare_anchor = lambda: self.empty_installation(other)
            run_anchor = lambda: self.run_updater(other, version)
            anchor_name = "updater of " + self.args.against
        ups, ans = self.rounds(lambda: self.empty_installation(inst),
                               lambda: self.run_updater(inst, version),
                               prepare_anchor, run_anchor)
        what = "fresh install, %d x %s%s" % (count, human(size), " gzip" if gzip else "")
        if count == 1:
            what = "fresh install, one %s file" % human(size)
        self.record(what, ups, ans, anchor_name, goal, cpu_goal)
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(inst)
        self.unpublish(version, tree)

    def peaks(self, label, counts, size, peak):
        """Median peak(inst, version) of fresh installs of counts files, and of a run with
        nothing to fetch; returns (that run's peak, [(count, peak)])."""
        rows = []
        for count in counts:
            version, _, tree = self.publish("%s%d" % (label, count), count, size)
            inst = self.installation("%s%d" % (label, count))
            results = []
            for _ in range(self.args.rounds):
                self.empty_installation(inst)
                results.append(peak(inst, version))
            rows.append((count, statistics.median(results)))
            shutil.rmtree(inst)
            self.unpublish(version, tree)
        # The same run with nothing to fetch: what the program needs whatever the count.
        version, _, tree = self.publish("%s0" % label, 1, size)
        inst = self.installation("%s0" % label)
        self.run_updater(inst, version)  # so that the measured runs find the file in place
        idle = statistics.median(peak(inst, version) for _ in range(self.args.rounds))
        shutil.rmtree(inst)
        self.unpublish(version, tree)
        return idle, rows

    def memory(self, counts, size):
        self.memory_rows = self.peaks("mem", counts, size,
                                      lambda inst, version: self.run_updater(inst, version)[2])

    def window(self, counts, size):
        self.window_rows = self.peaks("win", counts, size, self.run_window)

    # --- report ---------------------------------------------------------------------------

    def report(self):
        print()
        print("| work | updater median (min-max) | CPU | anchor | anchor median (min-max) | CPU "
              "| ratio median (min-max) | CPU ratio | goal |")
        print("|---|---|---|---|---|---|---|---|---|")
        for work, ups, ans, anchor_name, goal, cpu_goal in self.results:
            uw = [u[0] for u in ups]
            aw = [a[0] for a in ans]
            ratios = [u / a for u, a in zip(uw, aw)]
            ucpu = statistics.median(u[1] for u in ups)
            acpu = statistics.median(a[1] for a in ans)
            cpu_ratio = ucpu / acpu if acpu > 0 else float("nan")
            goal_text = "<= %.2f" % goal + (" (CPU <= %.2f)" % cpu_goal if cpu_goal else "")
            print("| %s | %.3f s (%.3f-%.3f) | %.2f s | %s | %.3f s (%.3f-%.3f) | %.2f s "
                  "| %.2f (%.2f-%.2f) | %.2f | %s |" % (
                      work, statistics.median(uw), min(uw), max(uw), ucpu, anchor_name,
                      statistics.median(aw), min(aw), max(aw), acpu,
                      statistics.median(ratios), min(ratios), max(ratios), cpu_ratio, goal_text))
        if hasattr(self, "memory_rows"):
            idle, rows = self.memory_rows
            print()
            print("Peak memory (max RSS, median of %d runs); a run with nothing to fetch: %.1f MB"
                  % (self.args.rounds, idle / 1024))
            print("| files | peak | above the run without files |")
            print("|---|---|---|")
            for count, peak in rows:
                print("| %d | %.1f MB | %+.1f MB |" % (count, peak / 1024, (peak - idle) / 1024))
        if hasattr(self, "window_rows"):
            idle, rows = self.window_rows
            print()
            print("Peak memory of the window (max RSS, median of %d runs); the idle window, with "
                  "nothing to fetch: %.1f MB" % (self.args.rounds, idle / 1024))
            print("| files | peak | above the idle window | goal |")
            print("|---|---|---|---|")
            for count, peak in rows:
                print("| %d | %.1f MB | %+.1f MB | <= +16.0 MB |"
                      % (count, peak / 1024, (peak - idle) / 1024))


human = benchsupport.human


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true",
                        help="smaller trees (about a quarter), for a first look")
    parser.add_argument("--against", metavar="BUILD",
                        help="fresh-install rows: another build's updater is the anchor, on the "
                             "same releases (published by this build's tool)")
    parser.add_argument("--only", default="noop,fresh,big,gzip,memory,window,noopcache",
                        help="comma-separated rows: noop, fresh, big, gzip, memory, window, "
                             "noopcache")
    args = parser.parse_args()
    only = set(args.only.split(","))
    q = 4 if args.quick else 1

    bench = Bench(args)
    os.makedirs(bench.mirror, exist_ok=True)
    bench.start_nginx()
    try:
        if "noop" in only:
            bench.noop(2000 // q, 256 << 10)
        if "fresh" in only:
            bench.fresh("fresh5m", 200 // q, 5 << 20, 1.3, 1.5)
            bench.fresh("fresh256k", 2000 // q, 256 << 10, 1.5)
        if "big" in only:
            bench.fresh("big", 1, (2 << 30) // q, 1.3)
        if "gzip" in only:
            bench.fresh("gzip", 50 // q, 20 << 20, 1.0, gzip=True)
        if "memory" in only:
            bench.memory([500 // q, 2000 // q, 8000 // q, 50000 // q], 4 << 10)
        if "window" in only:
            bench.window([8000 // q, 50000 // q], 64 << 10)
        if "noopcache" in only:
            warm = "no-op update, warm file-state cache, %s"
            bench.noop(2000 // q, 256 << 10, 0.10, warm, warm_ups=2)
            bench.noop(50000 // q, 64 << 10, 0.15, warm, warm_ups=2)
            bench.noop(2000 // q, 256 << 10, 1.2, "no-op update without a cache (first run), %s",
                       without_cache=True)
    finally:
        bench.stop_nginx()
    bench.report()


if __name__ == "__main__":
    main()
