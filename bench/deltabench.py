#!/usr/bin/env python3
"""Updating one changed file: the updater beside zsync and a whole-file curl.

Each case is an old and a new version of one file, made here from a seed:

  random   100 MiB of random data, 100 scattered 10 KiB changes and one 4 KiB
           insertion
  text     the same changes in text-like data (words; gzip makes about half)
  gzip     the text case stored compressed: zsyncmake -z on the publisher
           side, "varnolt-release release --gzip" for the updater
  dense    100 MiB of text-like data stored compressed, as gzip, with a small
           edit (8-64 bytes replaced by 8-64 others) every 20-40 KiB: the
           changed blocks lie closer than deflate's 32 KiB window
  big      2 GiB of random data with 1 % changed in scattered 10 KiB pieces

The old file is published as one release and the new as the next with the
release tool, and nginx serves both on loopback. Per round, in turns:

  curl     fetches the whole new file (for gzip: the release's .gz, unpacked
           by gzip -dc on the fly)
  zsync    "zsync -i OLD URL.zsync", from a control file made by zsyncmake
           over the same new file
  updater  "update --headless TYPE NEW" in an installation of the old
           release, followed by a run with nothing left to fetch (its idle
           peak memory)

Bytes and requests are what nginx served to that run, read from its access log
($bytes_sent, headers included; zsync's control file counts). Only ratios of
interleaved runs count: the machine is shared, so each figure is the median of
its rounds with min and max beside it. The big case needs about 10 GB of free
disk beside the build. Called by bench/run-delta-bench.sh, which builds what
it needs.

VARNOLT_BENCH_WRAP="strace -c -f" (or perf record) puts a tool in front of each
updater run. VARNOLT_BENCH_RELEASE_ARGS adds arguments to the release tool's
command line for the new release (for example an option naming the old one).
"""

import argparse
import benchsupport
import filecmp
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import time

CLIENT = "client_linux_amd64"
CHANGE = 10 << 10
INSERTION = 4 << 10
CONTENDERS = ("curl", "zsync", "updater")


def run_measured(cmd, env=None, cwd=None):
    """Runs cmd; returns (wall seconds, CPU seconds, peak RSS in KiB); stops at a failure."""
    wall, cpu, peak, code, err = benchsupport.run_measured(cmd, env, cwd)
    if code != 0:
        sys.exit("%s failed (exit code %d):\n%s" % (" ".join(cmd[:3]), code,
                                                   err.decode(errors="replace")))
    return wall, cpu, peak


class Data:
    """Deterministic file contents: random bytes, or text-like words."""

    def __init__(self, text, seed):
        self.text = text
        if text:
            rng = random.Random(seed)
            letters = b"etaoinshrdlucmfwypvbgkqjxz"
            weights = [12, 9, 8, 8, 7, 6, 6, 6, 4, 4, 3, 3, 3, 2, 2, 2, 2, 2, 1.5, 1.5, 1, 1,
                       .5, .5, .3, .2]
            # 8192 words, each as likely: gzip -9 then makes about half, as it does of text;
            # fewer words compress further, more less. A divisor of 65536 keeps them even.
            vocab = [bytes(rng.choices(letters, weights, k=rng.randint(2, 9)))
                     for _ in range(8192)]
            seps = [b" "] * 60 + [b", "] * 4 + [b". "] * 3 + [b"\n"] * 2
            # Indexed by 16 random bits, so that a word costs one lookup in C.
            self.table = [vocab[i % len(vocab)] + seps[(i * 7919) % len(seps)]
                          for i in range(65536)]

    def make(self, rng, n):
        if not self.text:
            return rng.randbytes(n)
        out = b""
        while len(out) < n:
            words = memoryview(rng.randbytes(2 * ((n - len(out)) // 6 + 16))).cast("H")
            out += b"".join(map(self.table.__getitem__, words))
        return out[:n]


def write_old(old_path, size, data, rng):
    with open(old_path, "wb") as f:
        left = size
        while left > 0:
            piece = data.make(rng, min(left, 1 << 20))
            f.write(piece)
            left -= len(piece)


def write_new(old_path, new_path, edits, data, rng):
    """Writes the old file with edits (offset, bytes replaced, bytes put in), in order."""
    with open(old_path, "rb") as old, open(new_path, "wb") as new:
        pos = 0
        for at, replaced, put in edits:
            while pos < at:
                chunk = old.read(min(at - pos, 1 << 20))
                new.write(chunk)
                pos += len(chunk)
            new.write(data.make(rng, put))
            old.seek(replaced, os.SEEK_CUR)
            pos += replaced
        shutil.copyfileobj(old, new, 1 << 20)


def write_pair(old_path, new_path, size, changes, insertion, data, seed):
    """Writes the old file and the new one: changes CHANGE-byte pieces replaced, one per
    equal stretch of the file at a random place in it, and an insertion of INSERTION bytes
    (if asked) between two of them. Returns the bytes changed and inserted."""
    rng = random.Random(seed)
    write_old(old_path, size, data, rng)
    stretch = size // changes
    edits = [(i * stretch + rng.randrange(stretch - CHANGE), CHANGE, CHANGE)
             for i in range(changes)]
    if insertion:
        # Between the middle change and the next, so that half the file moves.
        middle = changes // 2
        after = edits[middle][0] + CHANGE
        before = edits[middle + 1][0] if middle + 1 < changes else size
        edits.insert(middle + 1, (after + rng.randrange(before - after + 1), 0, INSERTION))
    write_new(old_path, new_path, edits, data, rng)
    return changes * CHANGE + (INSERTION if insertion else 0)


def write_dense_pair(old_path, new_path, size, spacing, data, seed):
    """Writes the old file and the new one with an edit every spacing[0] to spacing[1] bytes,
    as a revised text has them: 8 to 64 bytes replaced by 8 to 64 others, so that what follows
    moves a little. Returns the bytes put in."""
    rng = random.Random(seed)
    write_old(old_path, size, data, rng)
    edits = []
    at = rng.randint(*spacing)
    while at < size - 64:
        edits.append((at, rng.randint(8, 64), rng.randint(8, 64)))
        at += rng.randint(*spacing)
    write_new(old_path, new_path, edits, data, rng)
    return sum(put for _, _, put in edits)


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.work = os.path.abspath(args.work)
        self.update_exe, self.release_exe, self.key = benchsupport.build_programs(self.build)
        self.mirror = os.path.join(self.work, "mirror")
        self.ports = []
        self.nginx = None
        self.log = None
        self.version = 0
        self.results = []
        self.ranges = {}

    # --- nginx and its log ------------------------------------------------------------------

    def start_nginx(self):
        self.nginx = benchsupport.Nginx(os.path.join(self.work, "nginx"), self.mirror, log=True)
        self.ports = self.nginx.ports
        self.log = self.nginx.log

    def stop_nginx(self):
        if self.nginx:
            self.nginx.stop()

    def log_mark(self):
        return os.path.getsize(self.log) if os.path.exists(self.log) else 0

    def served_since(self, mark):
        """(bytes, requests, the requests' lines) nginx logged after mark."""
        # nginx writes the line once the response is out, which the client may see first.
        time.sleep(0.1)
        with open(self.log, "rb") as f:
            f.seek(mark)
            lines = f.read().decode(errors="replace").splitlines()
        total = 0
        for line in lines:
            status, sent = line.split(" ", 2)[:2]
            if status not in ("200", "206", "304"):
                sys.exit("nginx answered %s: %s" % (status, line))
            total += int(sent)
        return total, len(lines), lines

    # --- set-up -----------------------------------------------------------------------------

    def publish(self, tree, gzip_name=None, extra=()):
        self.version += 1
        cmd = [self.release_exe, "release", "--type", CLIENT, "--version", str(self.version),
               "--source", tree, "--out", self.mirror, "--key", self.key, "--force"]
        if gzip_name:
            cmd += ["--gzip", gzip_name]
        subprocess.run(cmd + list(extra), check=True, stdout=subprocess.DEVNULL)
        return self.version

    def installation(self, label):
        inst = os.path.join(self.work, "inst-" + label)
        os.makedirs(inst)
        shutil.copy2(self.update_exe, os.path.join(inst, "update"))
        with open(os.path.join(inst, "mirrors.ini"), "w") as f:
            f.write("[mirrors]\nsize=2\n1\\mirror=one\n2\\mirror=two\n")
            for name, port in zip(("one", "two"), self.ports):
                f.write("[%s]\nurl=http://127.0.0.1:%d\n" % (name, port))
        return inst

    def updater_env(self):
        return benchsupport.updater_env(self.work)

    def updater_cmd(self, inst, version, verify=False):
        wrap = os.environ.get("VARNOLT_BENCH_WRAP", "").split()
        return wrap + [os.path.join(inst, "update"), "--headless"] + \
            (["--verify"] if verify else []) + [CLIENT, str(version)]

    # --- a case -----------------------------------------------------------------------------

    def case(self, label, what, size, changes, insertion, text, gzip, spacing=None):
        started = time.monotonic()
        base = os.path.join(self.work, label)
        name = "data.txt" if text else "data.bin"
        old_tree, new_tree = os.path.join(base, "old"), os.path.join(base, "new")
        os.makedirs(old_tree)
        os.makedirs(new_tree)
        old = os.path.join(old_tree, name)
        new = os.path.join(new_tree, name)
        if spacing:
            changed = write_dense_pair(old, new, size, spacing, Data(text, 7), 11)
        else:
            changed = write_pair(old, new, size, changes, insertion, Data(text, 7), 11)
        info = {"changed": changed}
        print("%s: made the files (%.0f s)" % (label, time.monotonic() - started), flush=True)

        gz = name if gzip else None
        v1 = self.publish(old_tree, gz)
        extra = shlex.split(os.environ.get("VARNOLT_BENCH_RELEASE_ARGS", ""))
        v2 = self.publish(new_tree, gz, extra)
        stored = os.path.join(self.mirror, str(v2), CLIENT, name)

        # zsync's files beside the release, the new file linked rather than copied.
        # For gzip the release holds only the .gz: the plain file stays as the reference that
        # every contender's result is compared with (zsync then fetches only from the .gz).
        zdir = os.path.join(self.mirror, "zsync-" + label)
        os.makedirs(zdir)
        reference = os.path.join(zdir, name)
        os.link(new if gzip else stored, reference)
        # A relative URL: the control file lies beside what it describes.
        zcmd = ["zsyncmake"] + (["-z"] if gzip else []) + ["-u", name + (".gz" if gzip else ""),
                                                         "-o", name + ".zsync", name]
        subprocess.run(zcmd, check=True, cwd=zdir, stdout=subprocess.DEVNULL)
        if gzip:
            info["zsync_gz"] = os.path.getsize(os.path.join(zdir, name + ".gz"))
            info["release_gz"] = os.path.getsize(stored + ".gz")
            out = subprocess.run("gzip -9 -c %s | wc -c" % shlex.quote(new), shell=True,
                                 check=True, capture_output=True)
            info["gzip9"] = int(out.stdout)
        info["zsync_control"] = os.path.getsize(os.path.join(zdir, name + ".zsync"))
        # The peak goal allows for the file's block list (and access points) as published.
        with open(os.path.join(self.mirror, str(v2), CLIENT + ".hashes"), "rb") as side:
            info["list"] = sum(len(line) for line in side
                               if line.startswith(b"blocks ") or line.startswith(b"points "))
        # The updater and zsync only need the new file on the mirror from here on.
        shutil.rmtree(new_tree)
        print("%s: published (%.0f s)" % (label, time.monotonic() - started), flush=True)

        inst = self.installation(label)
        run_measured(self.updater_cmd(inst, v1), env=self.updater_env())
        installed = os.path.join(inst, name)
        port = self.ports[0]
        scratch = os.path.join(base, "out")
        os.makedirs(scratch)
        out = os.path.join(scratch, name)
        url = "http://127.0.0.1:%d/%d/%s/%s" % (port, v2, CLIENT, name)
        zurl = "http://127.0.0.1:%d/zsync-%s/%s.zsync" % (port, label, name)
        if gzip:
            curl = ["bash", "-c", "set -o pipefail; curl -s -f %s.gz | gzip -dc > %s"
                    % (url, shlex.quote(out))]
        else:
            curl = ["curl", "-s", "-f", "-o", out, url]
        runs = {
            "curl": lambda: run_measured(curl),
            "zsync": lambda: run_measured(["zsync", "-q", "-i", old, "-o", out, zurl],
                                          cwd=scratch),
            "updater": lambda: run_measured(self.updater_cmd(inst, v2), env=self.updater_env()),
        }
        at_new = False
        results = {c: [] for c in CONTENDERS}
        idle = []
        for r in range(self.args.rounds):
            # In turns, so that no contender always runs first or last.
            order = CONTENDERS[r % 3:] + CONTENDERS[:r % 3]
            for who in order:
                if who == "updater" and at_new:
                    # Back to the old release, unmeasured: the old file copied in, and a run
                    # that reads every file, so that the measured run starts from a renewed
                    # file-state cache as after a normal update.
                    os.unlink(installed)
                    shutil.copyfile(old, installed)
                    run_measured(self.updater_cmd(inst, v1, verify=True), env=self.updater_env())
                for leftover in os.listdir(scratch):
                    os.unlink(os.path.join(scratch, leftover))
                mark = self.log_mark()
                wall, cpu, rss = runs[who]()
                served, requests, lines = self.served_since(mark)
                results[who].append((wall, cpu, rss, served, requests))
                if who == "zsync":
                    self.ranges.setdefault(label, []).extend(lines)
                target = installed if who == "updater" else out
                if r == 0 and not filecmp.cmp(target, reference, shallow=False):
                    sys.exit("%s: %s did not make the new file" % (label, who))
                if who == "updater":
                    at_new = True
                    # Nothing left to fetch: what the updater takes whatever the file's size.
                    idle.append(run_measured(self.updater_cmd(inst, v2),
                                             env=self.updater_env())[2])
        self.results.append((what, info, results, idle, gzip))
        shutil.rmtree(base)
        shutil.rmtree(inst)
        shutil.rmtree(zdir)
        for v in (v1, v2):
            shutil.rmtree(os.path.join(self.mirror, str(v)))
        print("%s: done (%.0f s)" % (label, time.monotonic() - started), flush=True)

    # --- report -----------------------------------------------------------------------------

    def report(self):
        print()
        print("| case | contender | served | requests | wall time median (min-max) | CPU "
              "| peak RSS |")
        print("|---|---|---|---|---|---|---|")
        for what, info, results, idle, gzip in self.results:
            for who in CONTENDERS:
                rs = results[who]
                walls = [x[0] for x in rs]
                print("| %s | %s | %s | %s | %.3f s (%.3f-%.3f) | %.2f s | %.1f MB |" % (
                    what, label_of(who, gzip), spread([x[3] for x in rs], mb),
                    spread([x[4] for x in rs], str), statistics.median(walls), min(walls),
                    max(walls), statistics.median(x[1] for x in rs),
                    statistics.median(x[2] for x in rs) / 1024))
        print()
        print("| case | changed | updater/zsync bytes | goal | updater/zsync time median "
              "(min-max) | goal | updater peak RSS | idle run + 16 MB + list |")
        print("|---|---|---|---|---|---|---|---|")
        for what, info, results, idle, gzip in self.results:
            ups, zs = results["updater"], results["zsync"]
            byte_ratio = statistics.median(u[3] for u in ups) / statistics.median(
                z[3] for z in zs)
            times = [u[0] / z[0] for u, z in zip(ups, zs)]
            time_ratio = statistics.median(times)
            byte_goal = 1.5 if gzip else 1.2
            peak = statistics.median(u[2] for u in ups)
            bound = statistics.median(idle) + 16 * 1024 + info["list"] / 1024
            print("| %s | %s | %.2f %s | <= %.1f | %.2f (%.2f-%.2f) %s | <= 1.2 "
                  "| %.1f MB %s | %.1f MB |" % (
                      what, mb(info["changed"]), byte_ratio, mark(byte_ratio <= byte_goal),
                      byte_goal, time_ratio, min(times), max(times), mark(time_ratio <= 1.2),
                      peak / 1024, mark(peak <= bound), bound / 1024))
        print()
        for what, info, results, idle, gzip in self.results:
            notes = ["zsync control file %s" % mb(info["zsync_control"])]
            if gzip:
                notes.append("new file with gzip -9: %s, zsyncmake -z: %s, the release's "
                             ".gz: %s" % (mb(info["gzip9"]), mb(info["zsync_gz"]),
                                          mb(info["release_gz"])))
                # A delta that fell back to the whole file serves at least the .gz.
                most = max(u[3] for u in results["updater"])
                notes.append("updater at most %s, %s" % (
                    mb(most), "never the whole file" if most < info["release_gz"]
                    else "**the whole file**"))
            print("%s: %s" % (what, "; ".join(notes)))
        for label, lines in self.ranges.items():
            # The log line ends in the Range header in quotes, "-" when there was none.
            ranged = [l.rsplit('"', 2)[-2] for l in lines if not l.endswith('"-"')]
            counts = [r.count(",") + 1 for r in ranged]
            connections = len({l.split(" ", 3)[2] for l in lines})
            if counts:
                print("zsync %s: %d requests on %d connections per run, %d with a Range header, "
                      "ranges per request %d-%d (median %d)" % (
                          label, len(lines) // self.args.rounds, connections // self.args.rounds,
                          len(ranged) // self.args.rounds, min(counts), max(counts),
                          statistics.median(counts)))


def label_of(who, gzip):
    if who == "curl":
        return "curl \\| gzip -dc (whole .gz)" if gzip else "curl (whole file)"
    if who == "zsync":
        return "zsync (-z)" if gzip else "zsync"
    return "updater"


def mb(n):
    return "%.2f MB" % (n / 1e6)


def spread(values, fmt):
    med, lo, hi = statistics.median(values), min(values), max(values)
    if lo == hi:
        return fmt(med)
    return "%s (%s-%s)" % (fmt(med), fmt(lo), fmt(hi))


def mark(ok):
    return "ok" if ok else "**over**"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true",
                        help="a quarter of the sizes and changes, for a first look")
    parser.add_argument("--only", default="random,text,gzip,dense,big",
                        help="comma-separated cases: random, text, gzip, dense, big")
    args = parser.parse_args()
    only = set(args.only.split(","))
    unknown = only - {"random", "text", "gzip", "dense", "big"}
    if unknown:
        parser.error("unknown cases: " + ", ".join(sorted(unknown)))
    q = 4 if args.quick else 1

    bench = Bench(args)
    os.makedirs(bench.mirror, exist_ok=True)
    bench.start_nginx()
    started = time.monotonic()
    size = (100 << 20) // q
    changes = 100 // q
    scattered = "%s, %d x 10 KiB changed, 4 KiB inserted" % (human(size), changes)
    try:
        if "random" in only:
            bench.case("random", "random " + scattered, size, changes, True, False, False)
        if "text" in only:
            bench.case("text", "text-like " + scattered, size, changes, True, True, False)
        if "gzip" in only:
            bench.case("gzip", "text-like gzip-stored " + scattered, size, changes, True, True,
                       True)
        if "dense" in only:
            bench.case("dense", "text-like gzip-stored %s, an edit every 20-40 KiB" % human(size),
                       size, 0, False, True, True, spacing=(20 << 10, 40 << 10))
        if "big" in only:
            big = (2 << 30) // q
            bench.case("big", "random %s, 1 %% changed in 10 KiB pieces" % human(big), big,
                       big // 100 // CHANGE, False, False, False)
    finally:
        bench.stop_nginx()
    bench.report()
    print("\n%d rounds, %.0f s in all" % (args.rounds, time.monotonic() - started))


human = benchsupport.human


if __name__ == "__main__":
    main()
