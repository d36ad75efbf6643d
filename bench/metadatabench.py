#!/usr/bin/env python3
"""What travels when little or nothing changed: this checkout's updater and release tool ("new")
beside those of an earlier commit ("before"), side by side in one run.

Each build publishes the same client trees with its own release tool into a mirror directory of
its own; one nginx on loopback serves both and logs every request. Bytes are what travelled both
ways, read from nginx's access log ($request_length + $bytes_sent, headers included); only
medians of interleaved rounds count, the machine being shared. Measures (--only):

  noop       a no-op run (installation up to date) on one 512 MiB file + 50 small, 200 x 5 MiB
             and 2000 x 256 KiB: requests and bytes of the first run without kept metadata
             (update.release removed) and of the run after it (goal for new: no request)
  nooptime   wall time of a no-op with a warm file-state cache and kept metadata over
             2000 x 256 KiB and 50,000 x 64 KiB against md5sum of the same files as two
             processes (goal for new: <= 0.10 x)
  delta      an update changing 1 % of one 5 MiB file (50 scattered 1 KiB changes) in a release
             of 200 x 5 MiB + one 512 MiB file, against gzip -9 of the new ini + what zsync
             fetches for that file, its control file included (goal for new: <= 1.2 x)
  metadata   the metadata bytes (ini, signatures, side file, digests file, block lists) of an
             update of the 2000 x 256 KiB release in which 5 files changed
             (goal: new <= 0.6 x before)
  downgrade  3 -> 1 given on the command line, where 2 and 3 added files (one large): the files
             the installation holds beyond release 1's and the updater's own (goal for new: none)

--quick shrinks file counts and large files eightfold. Prints a table per measure; exits with 1
when the new build misses a goal, with 2 when a run fails. Called by
bench/run-metadata-bench.sh, which builds both.
"""

import accesslog
import argparse
import benchsupport
import benchtrees
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import time

CLIENT = accesslog.CLIENT
BUILDS = ("before", "new")
# What the updater keeps in the installation besides the product's files.
OWN_FILES = {"update", "update.ini", "update.ini.lock", "update.lock", "update.state",
             "update.release", "mirrors.ini"}
KEPT_METADATA = "update.release"
MiB = 1 << 20


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.programs = {b: benchsupport.build_programs(os.path.abspath(getattr(args, b)))
                         for b in BUILDS}
        self.mirror = os.path.join(self.work, "mirror")
        self.trees = os.path.join(self.work, "trees")
        os.makedirs(self.mirror)
        os.makedirs(self.trees)
        self.nginx = benchsupport.Nginx(os.path.join(self.work, "nginx"), self.mirror, log=True,
                                        log_format=accesslog.LOG_FORMAT)
        self.log = accesslog.AccessLog(self.nginx.log)
        self.env = benchsupport.updater_env(self.work)
        self.families = {}
        self.missed = []
        self.started = time.monotonic()

    def progress(self, what):
        print("(%.0f s) %s" % (time.monotonic() - self.started, what), flush=True)

    def stop(self):
        self.nginx.stop()

    # --- releases and installations ---------------------------------------------------------

    def publish(self, family, version, tree):
        """Publishes tree as version of family with each build's release tool."""
        for build in BUILDS:
            _, tool, key = self.programs[build]
            out = os.path.join(self.mirror, build, family)
            subprocess.run([tool, "release", "--type", CLIENT, "--version", str(version),
                            "--source", tree, "--out", out, "--key", key, "--force"],
                           check=True, stdout=subprocess.DEVNULL)
        self.progress("published %s %s" % (family, version))

    def install(self, family, version, tree=None):
        """An installation of version of family per build, made by that build's updater; with
        tree, the files are linked from it and the updater's run finds them in place."""
        insts = {}
        for build in BUILDS:
            inst = os.path.join(self.work, "inst", family, build)
            os.makedirs(inst)
            if tree:
                benchtrees.linked_copy(tree, inst)
            shutil.copy2(self.programs[build][0], os.path.join(inst, "update"))
            with open(os.path.join(inst, "mirrors.ini"), "w") as f:
                f.write("[mirrors]\nsize=1\n1\\mirror=one\n[one]\nurl=http://127.0.0.1:%d/%s/%s\n"
                        % (self.nginx.ports[0], build, family))
            self.run(inst, version)
            insts[build] = inst
        self.progress("installed %s %s" % (family, version))
        return insts

    def drop(self, family):
        for build in BUILDS:
            shutil.rmtree(os.path.join(self.mirror, build, family), ignore_errors=True)
        shutil.rmtree(os.path.join(self.work, "inst", family), ignore_errors=True)
        shutil.rmtree(os.path.join(self.trees, family), ignore_errors=True)
        self.families.pop(family, None)

    def run(self, inst, version):
        """Runs the installation's updater to version; returns (wall, requests)."""
        mark = self.log.mark()
        wall, _, _, code, err = benchsupport.run_measured(
            [os.path.join(inst, "update"), "--headless", CLIENT, str(version)], env=self.env)
        if code != 0:
            fail("the updater in %s failed (exit code %d) going to %s:\n%s"
                 % (inst, code, version, err.decode(errors="replace")))
        return wall, self.log.requests_since(mark)

    def order(self, round_number, contenders=BUILDS):
        """The contenders in turns, so that none always runs first."""
        shift = round_number % len(contenders)
        return contenders[shift:] + contenders[:shift]

    def goal(self, met, what):
        if not met:
            self.missed.append(what)
        return "ok" if met else "**missed**"

    # --- the shared release of 2000 x 256 KiB -----------------------------------------------

    def small_files(self):
        """Releases 1 and 2 of 2000 x 256 KiB (5 files changed in 2), installed at 1."""
        family = "256k"
        if family not in self.families:
            count = 2000 // self.args.scale
            root = os.path.join(self.trees, family)
            v1, v2 = os.path.join(root, "1"), os.path.join(root, "2")
            entries = benchtrees.many(count, 256 << 10)
            benchtrees.write_tree(v1, entries, 1)
            benchtrees.linked_copy(v1, v2)
            for i in range(5):
                benchtrees.change_in_place(os.path.join(v2, entries[i * count // 5][0]), 1, 1024,
                                           i)
            self.publish(family, 1, v1)
            self.publish(family, 2, v2)
            shutil.rmtree(root)
            self.families[family] = ("%d x 256 KiB" % count, self.install(family, 1))
        return self.families[family]

    # --- the measures -----------------------------------------------------------------------

    def noop(self):
        q = self.args.scale
        rows = []
        for family, label, entries in (
                ("noop-large", "one %d MiB file + 50 small" % (512 // q),
                 [("large/large.dat", 512 * MiB // q)] +
                 [("small/s%02d.dat" % i, 1024 + i * 1237) for i in range(50)]),
                ("noop-5m", "%d x 5 MiB" % (200 // q), benchtrees.many(200 // q, 5 * MiB)),
                ("256k", None, None)):
            if entries:
                tree = os.path.join(self.trees, family, "1")
                benchtrees.write_tree(tree, entries, 2)
                self.progress("made %s" % family)
                self.publish(family, 1, tree)
                shutil.rmtree(os.path.dirname(tree))
                insts = self.install(family, 1)
            else:
                label, insts = self.small_files()
            runs = {b: ([], []) for b in BUILDS}
            for r in range(self.args.rounds):
                for build in self.order(r):
                    kept = os.path.join(insts[build], KEPT_METADATA)
                    if os.path.isdir(kept) and not os.path.islink(kept):
                        shutil.rmtree(kept)
                    elif os.path.lexists(kept):
                        os.unlink(kept)
                    runs[build][0].append(self.run(insts[build], 1)[1])
                    runs[build][1].append(self.run(insts[build], 1)[1])
            for build in BUILDS:
                first, following = (summary(x) for x in runs[build])
                target = ""
                if build == "new":
                    target = "0 requests " + self.goal(
                        all(len(x) == 0 for x in runs[build][1]),
                        "noop: the no-op after the first made requests (%s)" % label)
                rows.append("| %s | %s | %s | %s | %s |" % (label, build, first, following,
                                                            target))
            if entries:
                self.drop(family)
        print_table("No-op runs (requests, bytes both ways; median of %d rounds)"
                    % self.args.rounds,
                    "| release | build | first run, no kept metadata | the run after it | goal |",
                    rows)

    def nooptime(self):
        q = self.args.scale
        rows = []
        for family in ("256k", "noop-64k"):
            if family == "256k":
                label, insts = self.small_files()
            else:
                count = 50000 // q
                label = "%d x 64 KiB" % count
                tree = os.path.join(self.trees, family, "1")
                benchtrees.write_tree(tree, benchtrees.many(count, 64 << 10), 3)
                self.progress("made %s" % family)
                self.publish(family, 1, tree)
                # Only no-op runs follow: a download of every file would add minutes and
                # nothing to measure.
                insts = self.install(family, 1, tree)
                shutil.rmtree(os.path.dirname(tree))
            md5 = {}
            for build in BUILDS:
                # Two warm-up runs: the file-state cache and the kept metadata are in place.
                for _ in range(2):
                    self.run(insts[build], 1)
                md5[build] = md5_command(insts[build], self.work)
            walls = {b: ([], []) for b in BUILDS}
            for r in range(self.args.rounds):
                for build in self.order(r):
                    walls[build][1].append(benchsupport.run_measured(md5[build])[0])
                    walls[build][0].append(self.run(insts[build], 1)[0])
            for build in BUILDS:
                ups, ans = walls[build]
                ratios = [u / a for u, a in zip(ups, ans)]
                target = ""
                if build == "new":
                    target = "<= 0.10 " + self.goal(
                        statistics.median(ratios) <= 0.10,
                        "nooptime: the no-op over %s took more than 0.10 x md5sum" % label)
                rows.append("| %s | %s | %s | %s | %s | %s |" % (
                    label, build, seconds(ups), seconds(ans), spread(ratios, "%.2f"), target))
            if family != "256k":
                self.drop(family)
        print_table("No-op wall time, warm file-state cache and kept metadata (median (min-max) of "
                    "%d rounds)" % self.args.rounds,
                    "| release | build | updater | md5sum as 2 processes | ratio | goal |", rows)

    def delta(self):
        q = self.args.scale
        family = "delta"
        root = os.path.join(self.trees, family)
        v1, v2 = os.path.join(root, "1"), os.path.join(root, "2")
        entries = benchtrees.many(200 // q, 5 * MiB) + [("large/large.dat", 512 * MiB // q)]
        changed = entries[0][0]
        benchtrees.write_tree(v1, entries, 4)
        benchtrees.linked_copy(v1, v2)
        benchtrees.change_in_place(os.path.join(v2, changed), 50, 1024, 4)
        self.progress("made %s" % family)
        self.publish(family, 1, v1)
        self.publish(family, 2, v2)
        # zsync's files beside the releases; the old file is its seed.
        zdir = os.path.join(self.mirror, "zsync")
        os.makedirs(zdir)
        name = os.path.basename(changed)
        os.link(os.path.join(v2, changed), os.path.join(zdir, name))
        seed = os.path.join(self.work, "zsync-seed")
        os.link(os.path.join(v1, changed), seed)
        subprocess.run(["zsyncmake", "-u", name, "-o", name + ".zsync", name], check=True,
                       cwd=zdir, stdout=subprocess.DEVNULL)
        shutil.rmtree(root)
        insts = self.install(family, 1)
        scratch = os.path.join(self.work, "zsync-out")
        os.makedirs(scratch)
        url = "http://127.0.0.1:%d/zsync/%s.zsync" % (self.nginx.ports[0], name)
        runs = {c: [] for c in BUILDS + ("zsync",)}
        for r in range(self.args.rounds):
            for who in self.order(r, BUILDS + ("zsync",)):
                if who == "zsync":
                    for leftover in os.listdir(scratch):
                        os.unlink(os.path.join(scratch, leftover))
                    mark = self.log.mark()
                    out = os.path.join(scratch, name)
                    wall, _, _, code, err = benchsupport.run_measured(
                        ["zsync", "-q", "-i", seed, "-o", out, url], cwd=scratch)
                    if code != 0:
                        fail("zsync failed:\n%s" % err.decode(errors="replace"))
                    runs[who].append(self.log.requests_since(mark))
                    result = out
                else:
                    runs[who].append(self.run(insts[who], 2)[1])
                    result = os.path.join(insts[who], changed)
                if not filecmp.cmp(result, os.path.join(zdir, name), shallow=False):
                    fail("delta: %s did not make the new file" % who)
                if who != "zsync":
                    self.run(insts[who], 1)  # back, unmeasured
        zsync = statistics.median(accesslog.total(x) for x in runs["zsync"])
        rows = ["| zsync (control file included) | %s | | | |" % summary(runs["zsync"])]
        for build in BUILDS:
            ini = os.path.join(self.mirror, build, family, "2", CLIENT + ".ini")
            gz = len(subprocess.run(["gzip", "-9", "-n", "-c", ini], check=True,
                                    capture_output=True).stdout)
            fetched = statistics.median(accesslog.total(x) for x in runs[build])
            meta = statistics.median(accesslog.total(x, metadata=True) for x in runs[build])
            ratio = fetched / (gz + zsync)
            target = ""
            if build == "new":
                target = "<= 1.2 " + self.goal(
                    ratio <= 1.2, "delta: the update fetched more than 1.2 x zsync + ini")
            rows.append("| %s | %s | %s | %s | %.2f %s |" % (
                build, summary(runs[build]), kb(meta), kb(gz + zsync), ratio, target))
        self.drop(family)
        shutil.rmtree(zdir)
        shutil.rmtree(scratch)
        os.unlink(seed)
        print_table("Update changing 1 %% of one 5 MiB file (50 x 1 KiB) in %d x 5 MiB + %d MiB "
                    "(median of %d rounds)" % (200 // q, 512 // q, self.args.rounds),
                    "| who | requests, bytes | of which metadata | gzip -9 of the new ini + zsync "
                    "| ratio, goal |", rows)

    def metadata(self):
        label, insts = self.small_files()
        runs = {b: [] for b in BUILDS}
        for r in range(self.args.rounds):
            for build in self.order(r):
                runs[build].append(self.run(insts[build], 2)[1])
                self.run(insts[build], 1)  # back, unmeasured
        meta = {b: statistics.median(accesslog.total(x, metadata=True) for x in runs[b])
                for b in BUILDS}
        rows = []
        for build in BUILDS:
            kinds = {}
            for request in runs[build][0]:
                if request.is_metadata():
                    kinds[request.kind()] = kinds.get(request.kind(), 0) + request.bytes
            parts = ", ".join("%s %s" % (k, kb(v)) for k, v in sorted(kinds.items()))
            target = ""
            if build == "new":
                ratio = meta["new"] / meta["before"]
                target = "%.2f x before, <= 0.6 %s" % (ratio, self.goal(
                    ratio <= 0.6, "metadata: more than 0.6 x before's metadata"))
            rows.append("| %s | %s | %s (%s) | %s |" % (build, summary(runs[build]),
                                                        kb(meta[build]), parts, target))
        print_table("Metadata of an update of %s, 5 files changed (median of %d rounds)"
                    % (label, self.args.rounds),
                    "| build | the update: requests, bytes | its metadata (parts: first round) "
                    "| goal |", rows)

    def downgrade(self):
        q = self.args.scale
        family = "downgrade"
        root = os.path.join(self.trees, family)
        trees = [os.path.join(root, str(v)) for v in (1, 2, 3)]
        benchtrees.write_tree(trees[0], benchtrees.many(40, 16 << 10, "one"), 5)
        benchtrees.linked_copy(trees[0], trees[1])
        benchtrees.write_tree(trees[1], benchtrees.many(20, 16 << 10, "two"), 6)
        benchtrees.linked_copy(trees[1], trees[2])
        benchtrees.write_tree(trees[2], benchtrees.many(10, 16 << 10, "three") +
                              [("three/large.dat", 64 * MiB // q)], 7)
        for version, tree in enumerate(trees, 1):
            self.publish(family, version, tree)
        release1 = benchtrees.files_below(trees[0])
        insts = self.install(family, 1)
        rows = []
        for build in BUILDS:
            for version in (2, 3, 1):
                self.run(insts[build], version)
            extra = sorted(product_files(insts[build]) - release1)
            missing = sorted(release1 - product_files(insts[build]))
            if missing:
                fail("downgrade: %s left out %d files of release 1" % (build, len(missing)))
            target = ""
            if build == "new":
                target = "none " + self.goal(not extra, "downgrade: files of 2 and 3 stayed")
            shown = ", ".join(extra[:4]) + (", ..." if len(extra) > 4 else "")
            rows.append("| %s | %d | %s | %s |" % (build, len(extra), shown, target))
        self.drop(family)
        print_table("Downgrade 3 -> 1 given on the command line (2 added 20 files, 3 added 10 "
                    "and one of %d MiB)" % (64 // q),
                    "| build | files beyond release 1's and the updater's own | which | goal |",
                    rows)


def fail(why):
    """Ends the benchmark when a run did not do its work: its figures would mean nothing."""
    print(why, file=sys.stderr, flush=True)
    sys.exit(2)


def product_files(inst):
    """The installation's files but the updater's own (and whatever lies below them)."""
    return {p for p in benchtrees.files_below(inst) if p.split(os.sep)[0] not in OWN_FILES}


def md5_command(inst, work):
    """md5sum over the installation's product files as two processes, half the files each."""
    files = sorted(os.path.join(inst, p) for p in product_files(inst))
    lists = []
    for half in (files[0::2], files[1::2]):
        path = os.path.join(work, "md5-%s-%d.list" % (os.path.basename(inst), len(lists)))
        with open(path, "w") as f:
            f.write("\n".join(half) + "\n")
        lists.append(path)
    return ["bash", "-c", "xargs -a %s md5sum >/dev/null & xargs -a %s md5sum >/dev/null; wait"
            % tuple(lists)]


def summary(runs):
    """Requests and bytes of runs (lists of requests): medians, with min-max where they vary."""
    return "%s, %s" % (spread([len(x) for x in runs], "%d"),
                       spread([accesslog.total(x) for x in runs], None))


def spread(values, fmt):
    show = (lambda v: fmt % v) if fmt else kb
    med, lo, hi = statistics.median(values), min(values), max(values)
    return show(med) if lo == hi else "%s (%s-%s)" % (show(med), show(lo), show(hi))


def seconds(values):
    return spread(values, "%.3f s")


def kb(n):
    return "%.1f KB" % (n / 1e3) if n < 1e6 else "%.2f MB" % (n / 1e6)


def print_table(title, header, rows):
    print("\n" + title + "\n\n" + header)
    print("|" + "---|" * (header.count("|") - 1))
    for row in rows:
        print(row)
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--new", required=True, help="build directory of this checkout")
    parser.add_argument("--before", required=True, help="build directory of the earlier commit")
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true",
                        help="an eighth of the file counts and large files, for a first look")
    measures = ("noop", "nooptime", "delta", "metadata", "downgrade")
    parser.add_argument("--only", default=",".join(measures),
                        help="comma-separated measures: " + ", ".join(measures))
    args = parser.parse_args()
    only = args.only.split(",")
    unknown = set(only) - set(measures)
    if unknown:
        parser.error("unknown measures: " + ", ".join(sorted(unknown)))
    args.scale = 8 if args.quick else 1

    bench = Bench(args)
    try:
        for measure in measures:
            if measure in only:
                getattr(bench, measure)()
    finally:
        bench.stop()
    print("\n%d rounds, %.0f s in all" % (args.rounds, time.monotonic() - bench.started))
    if bench.missed:
        print("\nGoals of the new build missed:\n- " + "\n- ".join(bench.missed))
        sys.exit(1)
    print("\nEvery goal of the new build met.")


if __name__ == "__main__":
    main()
