#!/usr/bin/env python3
"""Many small files from an HTTP/2 mirror that ends its connections, on this machine.

Publishes one release of many small files with the release tool and serves it from one nginx
with its default settings on loopback: it ends a connection after 1000 requests (HTTP/2: a
GOAWAY), as most servers out there do. One port speaks plain HTTP/2 (the mirror group says
"http2=prior"), the other HTTP/1.1. "update --headless TYPE VERSION" fills an emptied
installation from each port, interleaved in rounds; every run must end with exit code 0 and
every file in place with its bytes. Prints the medians with min and max, the ratio
HTTP/2 / HTTP/1.1 per round, and from nginx's log the connections and requests of each run.

With --build-old BUILD, that build's updater runs the same work beside it in each round; its
exit codes, the files it left in place and its last error line are reported, not judged.

Only ratios from interleaved runs count: the machine is shared.
Called by bench/run-goaway-bench.sh, which builds what it needs.
"""

import argparse
import benchsupport
import filecmp
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

CLIENT = "client_linux_amd64"
VERSION = 1
LOG_LINE = re.compile(r'^(\d+) \d+ (\d+) "[A-Z]+ \S+ (\S+)"')


def write_tree(root, count, size, seed):
    rng = random.Random(seed)
    names = []
    for i in range(count):
        sub = "d%02d" % (i % 20)
        os.makedirs(os.path.join(root, sub), exist_ok=True)
        name = "%s/file%05d.dat" % (sub, i)
        with open(os.path.join(root, name), "wb") as f:
            f.write(rng.randbytes(size))
        names.append(name)
    return names


class Run:
    """One updater run: its figures, and what nginx logged while it ran."""

    def __init__(self, measured, missing, log_lines):
        self.wall, self.cpu, self.peak, self.code, err = measured
        self.missing = missing
        lines = [line for line in err.decode(errors="replace").splitlines() if line.strip()]
        # The reason a failed run gives is in its last lines.
        self.last_error = next((line for line in reversed(lines)
                                if "rror" in line or "fail" in line), lines[-1] if lines else "")
        per_connection = {}
        self.statuses = {}
        self.protocols = set()
        for line in log_lines:
            m = LOG_LINE.match(line)
            if not m:
                continue
            status, connection, protocol = m.groups()
            per_connection[connection] = per_connection.get(connection, 0) + 1
            self.statuses[status] = self.statuses.get(status, 0) + 1
            self.protocols.add(protocol)
        self.connections = len(per_connection)
        self.requests = sum(per_connection.values())
        self.most_on_one = max(per_connection.values(), default=0)


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.update_exe, self.release_exe, self.key = benchsupport.build_programs(
            os.path.abspath(args.build))
        self.old_exe = (benchsupport.build_programs(os.path.abspath(args.build_old))[0]
                        if args.build_old else None)
        self.mirror = os.path.join(self.work, "mirror")
        self.tree = os.path.join(self.work, "src")
        self.names = []
        self.nginx = None
        self.runs = {}

    def publish(self):
        self.names = write_tree(self.tree, self.args.files, self.args.size, VERSION)
        subprocess.run([self.release_exe, "release", "--type", CLIENT, "--version", str(VERSION),
                        "--source", self.tree, "--out", self.mirror, "--key", self.key,
                        "--force"], check=True, stdout=subprocess.DEVNULL)

    def start_nginx(self):
        # nginx's own keep-alive settings: the point is a server that ends its connections.
        self.nginx = benchsupport.Nginx(os.path.join(self.work, "nginx"), self.mirror, log=True,
                                        listen=("http2", ""),
                                        keepalive_requests=self.args.keepalive_requests)

    def stop_nginx(self):
        if self.nginx:
            self.nginx.stop()

    def installation(self, label, update_exe, port, http2):
        inst = os.path.join(self.work, "inst-" + label)
        shutil.rmtree(inst, ignore_errors=True)
        os.makedirs(inst)
        shutil.copy2(update_exe, os.path.join(inst, "update"))
        with open(os.path.join(inst, "mirrors.ini"), "w") as f:
            f.write("[mirrors]\nsize=1\n1\\mirror=one\n[one]\nurl=http://127.0.0.1:%d\n" % port)
            if http2:
                f.write("http2=prior\n")
        return inst

    def updater_env(self):
        return benchsupport.updater_env(self.work)

    def settled_log_size(self):
        # nginx logs a request when it has finished it, which may be just after the updater has
        # its answer and exits: wait until the log stops growing (bounded).
        size = os.path.getsize(self.nginx.log)
        for _ in range(20):
            time.sleep(0.1)
            now = os.path.getsize(self.nginx.log)
            if now == size:
                break
            size = now
        return size

    def missing_files(self, inst):
        return sum(1 for name in self.names
                   if not os.path.isfile(os.path.join(inst, name))
                   or not filecmp.cmp(os.path.join(self.tree, name), os.path.join(inst, name),
                                      shallow=False))

    def run(self, key, inst, must_succeed):
        benchsupport.empty_installation(inst)
        start = self.settled_log_size()
        measured = benchsupport.run_measured(
            [os.path.join(inst, "update"), "--headless", CLIENT, str(VERSION)],
            env=self.updater_env())
        end = self.settled_log_size()
        with open(self.nginx.log, "rb") as f:
            f.seek(start)
            lines = f.read(end - start).decode(errors="replace").splitlines()
        run = Run(measured, self.missing_files(inst), lines)
        if must_succeed and (run.code != 0 or run.missing):
            sys.exit("the updater failed over %s (exit code %d, %d of %d files missing or wrong)"
                     " in %s; its last lines:\n%s" % (key, run.code, run.missing,
                                                      len(self.names), inst,
                                                      measured[4].decode(errors="replace")))
        self.runs.setdefault(key, []).append(run)
        print("%-22s %.3f s, exit code %d, %d connections, %d requests" % (
            key, run.wall, run.code, run.connections, run.requests), file=sys.stderr)

    def rounds(self):
        h2_port, h1_port = self.nginx.ports
        plan = [("HTTP/2", self.update_exe, h2_port, True, True),
                ("HTTP/1.1", self.update_exe, h1_port, False, True)]
        if self.old_exe:
            plan += [("old build, HTTP/2", self.old_exe, h2_port, True, False),
                     ("old build, HTTP/1.1", self.old_exe, h1_port, False, False)]
        insts = [(key, self.installation("%d" % i, exe, port, http2), must)
                 for i, (key, exe, port, http2, must) in enumerate(plan)]
        for _ in range(self.args.rounds):
            for key, inst, must in insts:
                self.run(key, inst, must)
        for _, inst, _ in insts:
            shutil.rmtree(inst)

    def report(self):
        print()
        print("%d files of %s, one nginx ending a connection after %d requests, %d rounds" % (
            self.args.files, benchsupport.human(self.args.size),
            self.args.keepalive_requests or 1000, self.args.rounds))
        print()
        print("| run | median (min-max) | CPU | exit codes | files missing | connections "
              "| requests (most on one connection) | protocol |")
        print("|---|---|---|---|---|---|---|---|")
        for key, runs in self.runs.items():
            walls = [r.wall for r in runs]
            print("| %s | %.3f s (%.3f-%.3f) | %.2f s | %s | %s | %s | %s (%s) | %s |" % (
                key, statistics.median(walls), min(walls), max(walls),
                statistics.median(r.cpu for r in runs), ", ".join(str(r.code) for r in runs),
                ", ".join(str(r.missing) for r in runs),
                ", ".join(str(r.connections) for r in runs),
                ", ".join(str(r.requests) for r in runs),
                ", ".join(str(r.most_on_one) for r in runs),
                " ".join(sorted(set().union(*(r.protocols for r in runs))))))
        ratios = [a.wall / b.wall for a, b in zip(self.runs["HTTP/2"], self.runs["HTTP/1.1"])]
        print()
        print("HTTP/2 / HTTP/1.1: %.2f (%.2f-%.2f), goal <= 1.00" % (
            statistics.median(ratios), min(ratios), max(ratios)))
        for key, runs in self.runs.items():
            for i, r in enumerate(runs):
                if r.code != 0:
                    print("%s, round %d: exit code %d, %d of %d files missing; last error: %s"
                          % (key, i + 1, r.code, r.missing, len(self.names), r.last_error))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--files", type=int, default=2001,
                        help="files in the release; above 1000 a connection must end")
    parser.add_argument("--size", type=int, default=16 << 10, help="bytes of each file")
    parser.add_argument("--keepalive-requests", type=int, metavar="N",
                        help="nginx ends a connection after N requests instead of its default "
                             "1000: a large N shows what the ends cost")
    parser.add_argument("--build-old", metavar="BUILD",
                        help="another build whose updater runs the same work beside it")
    args = parser.parse_args()

    bench = Bench(args)
    bench.publish()
    bench.start_nginx()
    try:
        bench.rounds()
    finally:
        bench.stop_nginx()
    bench.report()


if __name__ == "__main__":
    main()
