"""Many updates with random kills: random versions of a generated tree, published with the release
tool, served by two mirrors that cut, stall and refuse answers at random, installed by
"update --headless" to random versions and killed at random instants. After every run that
reports success the installation must hold exactly the release's files; after every run, the
session directories in the updater's own temporary directory that no session record names are
counted as leaked.

    python3 bench/soak.py --build BUILD --work DIR [--runs N] [--seed S] [--versions V]
        [--kill-rate P] [--kill-window SECONDS] [--max-seconds T] [--faults RATE]
        [--refusals RATE]
"""

import argparse
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import time

import benchsupport
import soakmirror

CLIENT = "client_linux_amd64"
# The updater's own files in an installation, never part of a release.
OWN_FILES = {"update", "update.ini", "update.ini.lock", "update.lock", "update.state",
             "update.release", "mirrors.ini"}
RUN_TIMEOUT = 600
WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike "
         "november oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee "
         "zulu level map sound texture model shader script").split()


# --- trees and versions ---------------------------------------------------------------------

def text_bytes(rng, size):
    out = []
    total = 0
    while total < size:
        line = " ".join(rng.choices(WORDS, k=rng.randint(4, 14))) + "\n"
        out.append(line)
        total += len(line)
    return "".join(out).encode()[:size]


def content(rng, kind, size):
    return text_bytes(rng, size) if kind == "text" else rng.randbytes(size)


def changed(rng, data, kind):
    """data with a few spots changed, some bytes inserted and some dropped: what a new build of
    a large file looks like to a delta."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 6)):
        at = rng.randrange(max(1, len(data)))
        what = rng.choice(("change", "insert", "drop"))
        piece = content(rng, kind, rng.randint(1, 3000))
        if what == "change":
            data[at:at + len(piece)] = piece
        elif what == "insert":
            data[at:at] = piece
        else:
            del data[at:at + rng.randint(1, 3000)]
    return bytes(data)


class Tree:
    """One version's files (relative path -> (kind, bytes)) and empty directories."""

    def __init__(self, files=None, empty_dirs=None):
        self.files = dict(files or {})
        self.empty_dirs = set(empty_dirs or ())

    def copy(self):
        return Tree(self.files, self.empty_dirs)


class Versions:
    """Random versions of a generated tree; file and directory names never collide, and no
    stored name ends in .gz."""

    def __init__(self, rng, count, files, large):
        self.rng = rng
        self.serial = 0
        self.gzip = set()
        first = Tree()
        for _ in range(files):
            self.add(first)
        for _ in range(large):
            self.add(first, large=True)
        for _ in range(2):
            first.empty_dirs.add(self.new_dir(empty=True))
        self.trees = [first]
        while len(self.trees) < count:
            self.trees.append(self.mutate(self.trees[-1]))

    def new_dir(self, empty=False):
        depth = self.rng.randint(0, 2)
        parts = ["d%d" % self.rng.randint(0, 5) for _ in range(depth)]
        if empty:
            parts.append("e%d" % self.rng.randint(0, 99))
        return "/".join(parts)

    def new_name(self, tree):
        while True:
            self.serial += 1
            directory = self.new_dir()
            name = "f%05d.%s" % (self.serial, self.rng.choice(("dat", "txt", "bin", "cfg")))
            path = directory + "/" + name if directory else name
            if path not in tree.files:
                return path

    def add(self, tree, large=False):
        path = self.new_name(tree)
        kind = self.rng.choice(("text", "binary"))
        if large:
            size = self.rng.randint(1536 * 1024, 4 * 1024 * 1024)
        elif self.rng.random() < 0.05:
            size = 0
        else:
            size = int(self.rng.expovariate(1 / 12000))
        tree.files[path] = (kind, content(self.rng, kind, size))
        # Some files are stored gzip-compressed, the large text ones above all.
        if self.rng.random() < (0.5 if large and kind == "text" else 0.15):
            self.gzip.add(path)
        return path

    def mutate(self, previous):
        rng = self.rng
        tree = previous.copy()
        paths = sorted(tree.files)
        for path in rng.sample(paths, k=min(len(paths), rng.randint(1, 8))):
            kind, data = tree.files[path]
            if len(data) > 256 * 1024:
                tree.files[path] = (kind, changed(rng, data, kind))
            else:
                tree.files[path] = (kind, content(rng, kind, len(data) + rng.randint(-100, 100)
                                                  if len(data) > 100 else rng.randint(0, 5000)))
        for path in rng.sample(sorted(tree.files), k=rng.randint(0, 3)):
            del tree.files[path]
        for path in rng.sample(sorted(tree.files), k=rng.randint(0, 3)):
            # A rename: the same bytes under a new name.
            tree.files[self.new_name(tree)] = tree.files.pop(path)
        for _ in range(rng.randint(0, 4)):
            self.add(tree)
        if rng.random() < 0.2:
            self.add(tree, large=True)
        if rng.random() < 0.3:
            tree.empty_dirs.add(self.new_dir(empty=True))
        if tree.empty_dirs and rng.random() < 0.3:
            tree.empty_dirs.discard(rng.choice(sorted(tree.empty_dirs)))
        # An "empty" directory that some file now lies in is not empty.
        tree.empty_dirs = {d for d in tree.empty_dirs
                           if not any(p.startswith(d + "/") for p in tree.files)}
        return tree


def write_tree(root, tree):
    os.makedirs(root)
    for path, (_, data) in tree.files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    for directory in tree.empty_dirs:
        os.makedirs(os.path.join(root, directory), exist_ok=True)


def publish(release_exe, key, mirror, work, versions):
    """Publishes every version; each deletes what any other version brings and it does not, so
    that whatever version an installation comes from, it ends up holding exactly this one."""
    every = set()
    for tree in versions.trees:
        every.update(tree.files)
    for number, tree in enumerate(versions.trees, start=1):
        source = os.path.join(work, "src", str(number))
        write_tree(source, tree)
        cmd = [release_exe, "release", "--type", CLIENT, "--version", str(number), "--source",
               source, "--out", mirror, "--key", key, "--force"]
        for path in sorted(versions.gzip & set(tree.files)):
            cmd += ["--gzip", path]
        for path in sorted(every - set(tree.files)):
            cmd += ["--delete", path]
        done = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if done.returncode != 0:
            sys.exit("publishing version %d failed:\n%s" % (number, done.stderr.decode()[-2000:]))


# --- the installation -----------------------------------------------------------------------

def installed_state(inst):
    """(files: path -> MD5, directories) of the installation, the updater's own files left out."""
    files = {}
    dirs = set()
    for directory, subdirs, names in os.walk(inst):
        relative = os.path.relpath(directory, inst)
        for sub in subdirs:
            dirs.add(os.path.normpath(os.path.join(relative, sub)))
        for name in names:
            path = os.path.normpath(os.path.join(relative, name))
            if path in OWN_FILES:
                continue
            with open(os.path.join(directory, name), "rb") as f:
                files[path] = hashlib.md5(f.read()).hexdigest()
    return files, dirs


def expected_state(tree):
    files = {p: hashlib.md5(d).hexdigest() for p, (_, d) in tree.files.items()}
    dirs = set()
    for path in list(tree.files) + list(tree.empty_dirs):
        parts = path.split("/")
        for i in range(1, len(parts) if path in tree.files else len(parts) + 1):
            dirs.add("/".join(parts[:i]))
    return files, dirs


def recorded_session(inst):
    """The directory the session record in update.ini names, or None."""
    try:
        with open(os.path.join(inst, "update.ini"), encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    group = None
    for line in lines:
        line = line.strip()
        if line.startswith("["):
            group = line.strip("[]")
        elif group == "current" and line.startswith("dir="):
            return line[len("dir="):]
    return None


def leaked_sessions(tmp, inst):
    """[(path, bytes)] of the session directories in tmp that the record does not name."""
    recorded = recorded_session(inst)
    leaked = []
    for name in sorted(os.listdir(tmp)):
        path = os.path.join(tmp, name)
        if not name.startswith("varnolt_temp_") or path == recorded or not os.path.isdir(path):
            continue
        size = 0
        for directory, _, names in os.walk(path):
            for n in names:
                try:
                    size += os.lstat(os.path.join(directory, n)).st_size
                except OSError:
                    pass
        leaked.append((path, size))
    return leaked


def run_once(inst, env, version, kill_after, log_path):
    """Runs the updater to version; with kill_after, SIGKILLs it after that many seconds if still
    running. Returns (outcome, exit code, seconds): outcome is "killed", "ok", "failed" or
    "hung"."""
    start = time.monotonic()
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([os.path.join(inst, "update"), "--headless", CLIENT,
                                 str(version)], env=env, stdout=log, stderr=log)
        try:
            proc.wait(kill_after if kill_after is not None else RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            return ("killed" if kill_after is not None else "hung"), -9, \
                time.monotonic() - start
    code = proc.returncode
    return ("ok" if code == 0 else "failed"), code, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="build directory holding the programs")
    parser.add_argument("--work", required=True, help="scratch directory (emptied first)")
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--versions", type=int, default=12)
    parser.add_argument("--files", type=int, default=60, help="small files of the first version")
    parser.add_argument("--large", type=int, default=3, help="large files of the first version")
    parser.add_argument("--kill-rate", type=float, default=0.4)
    parser.add_argument("--kill-window", type=float, default=1.5,
                        help="kills come up to this many seconds after the start")
    parser.add_argument("--faults", type=float, default=0.03,
                        help="share of answers cut, and of answers stalled (each)")
    parser.add_argument("--refusals", type=float, default=0.0,
                        help="share of answers that are a 503 (the updater drops a mirror that "
                             "gives one for the rest of the run)")
    parser.add_argument("--max-seconds", type=float, default=3600,
                        help="no run starts after this")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    update_exe, release_exe, key = benchsupport.build_programs(os.path.abspath(args.build))
    mirror = os.path.join(work, "mirror")
    os.makedirs(mirror)

    began = time.monotonic()
    versions = Versions(rng, args.versions, args.files, args.large)
    publish(release_exe, key, mirror, work, versions)
    print("published %d versions (%d to %d files, %d stored gzip-compressed) in %.0f s"
          % (args.versions, min(len(t.files) for t in versions.trees),
             max(len(t.files) for t in versions.trees), len(versions.gzip),
             time.monotonic() - began), flush=True)

    servers = [soakmirror.start(mirror, soakmirror.Faults(args.seed * 7 + i, cut=args.faults,
                                                          stall=args.faults,
                                                          unavailable=args.refusals))
               for i in range(2)]
    inst = os.path.join(work, "inst")
    os.makedirs(inst)
    shutil.copy2(update_exe, os.path.join(inst, "update"))
    with open(os.path.join(inst, "mirrors.ini"), "w") as f:
        f.write("[mirrors]\nsize=2\n1\\mirror=one\n2\\mirror=two\n")
        for name, server in zip(("one", "two"), servers):
            f.write("[%s]\nurl=http://127.0.0.1:%d\nretries=100\n" % (name, server.port))
    with open(os.path.join(inst, "update.ini"), "w") as f:
        # Large files come in segments from both mirrors once they come slowly.
        f.write("[update]\nsegmentfrom=1\n")
    tmp = os.path.join(work, "tmp")
    os.makedirs(tmp)
    logs = os.path.join(work, "logs")
    os.makedirs(logs)
    env = dict(os.environ)
    env.update({"TMPDIR": tmp, "VARNOLT_UPDATE_SERVER": "127.0.0.1:9",
                "QT_QPA_PLATFORM": "offscreen", "LC_ALL": "C.UTF-8"})
    env.pop("DISPLAY", None)

    counts = {"runs": 0, "killed": 0, "ok": 0, "failed": 0, "hung": 0, "mismatch": 0,
              "dir mismatch": 0, "dirs missing": 0, "dirs extra": 0}
    exit_codes = {}
    peak_leaked = 0
    durations = []
    soak_start = time.monotonic()
    for number in range(1, args.runs + 1):
        if time.monotonic() - soak_start > args.max_seconds:
            break
        version = rng.randint(1, args.versions)
        kill_after = rng.uniform(0, args.kill_window) if rng.random() < args.kill_rate else None
        log_path = os.path.join(logs, "run-%04d.log" % number)
        outcome, code, seconds = run_once(inst, env, version, kill_after, log_path)
        counts["runs"] += 1
        counts[outcome] += 1
        if outcome == "ok":
            durations.append(seconds)
            want_files, want_dirs = expected_state(versions.trees[version - 1])
            have_files, have_dirs = installed_state(inst)
            if have_files != want_files:
                counts["mismatch"] += 1
                extra = sorted(set(have_files) - set(want_files))
                missing = sorted(set(want_files) - set(have_files))
                wrong = sorted(p for p in set(have_files) & set(want_files)
                               if have_files[p] != want_files[p])
                print("run %d: version %d installed wrongly: %d extra %s, %d missing %s, %d "
                      "wrong %s" % (number, version, len(extra), extra[:3], len(missing),
                                    missing[:3], len(wrong), wrong[:3]), flush=True)
            elif have_dirs != want_dirs:
                counts["dir mismatch"] += 1
                counts["dirs missing"] += bool(want_dirs - have_dirs)
                counts["dirs extra"] += bool(have_dirs - want_dirs)
        elif outcome in ("failed", "hung"):
            exit_codes[code] = exit_codes.get(code, 0) + 1
            with open(log_path, errors="replace") as f:
                tail = f.read().splitlines()[-3:]
            print("run %d to version %d: %s (exit code %d): %s"
                  % (number, version, outcome, code, " | ".join(tail)), flush=True)
        if outcome == "ok":
            os.unlink(log_path)
        peak_leaked = max(peak_leaked, len(leaked_sessions(tmp, inst)))
        if number % 25 == 0:
            print("... %d runs, %d killed, %d ok, %d failed" % (
                counts["runs"], counts["killed"], counts["ok"], counts["failed"]), flush=True)

    leaked = leaked_sessions(tmp, inst)
    faults = [s.faults.counts for s in servers]
    durations.sort()
    print()
    print("seed %d: %d runs in %.0f s: %d killed, %d succeeded, %d failed%s, %d hung"
          % (args.seed, counts["runs"], time.monotonic() - soak_start, counts["killed"],
             counts["ok"], counts["failed"],
             " (" + ", ".join("exit %d: %d" % kv for kv in sorted(exit_codes.items())) + ")"
             if exit_codes else "", counts["hung"]))
    print("installation differs from the release after success: %d (files), %d more in "
          "directories only (%d lacking an empty directory of the release, %d holding one it "
          "does not)" % (counts["mismatch"], counts["dir mismatch"], counts["dirs missing"],
                         counts["dirs extra"]))
    print("session directories left unrecorded: %d at the end (%s), at most %d after a run"
          % (len(leaked), "%.1f MB" % (sum(s for _, s in leaked) / 1e6), peak_leaked))
    if durations:
        print("successful runs: median %.2f s, slowest %.2f s"
              % (durations[len(durations) // 2], durations[-1]))
    print("mirror answers: %d, cut %d, stalled %d, refused (503) %d"
          % tuple(sum(f[k] for f in faults) for k in ("requests", "cut", "stalled",
                                                         "unavailable")))
    for server in servers:
        server.shutdown()
    return 0 if counts["mismatch"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
