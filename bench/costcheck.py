#!/usr/bin/env python3
"""What "varnolt-release cost" predicts beside what an update really fetches.

A client tree of many small files and a few large ones is published as version 1,
a changed copy (small files changed, added and removed, scattered changes in the
large ones, which have block lists) as version 2. An installation of version 1,
made by the updater, is updated to version 2 from nginx on loopback; what that
run cost is read from nginx's access log: the bytes of every request
($request_length) and of every answer, headers included ($bytes_sent). The cost
command, given the published ini of version 2, must come within a fraction of a
percent of it. Also prints the header bytes per request, the figure the cost
command counts. Called by bench/run-cost-check.sh, which builds what it needs.
"""

import argparse
import benchsupport
import os
import random
import re
import shutil
import subprocess
import sys
import time

CLIENT = "client_linux_amd64"


def make_trees(old, new, files, large, seed):
    rng = random.Random(seed)
    for i in range(files):
        path = os.path.join("data", "set%02d" % (i % 37), "file%04d.bin" % i)
        content = rng.randbytes(rng.randint(200, 40000))
        for tree in (old, new):
            os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
        with open(os.path.join(old, path), "wb") as f:
            f.write(content)
        if i % 10 == 3:
            continue  # removed from the new tree
        if i % 10 == 5:
            content = content[:100] + rng.randbytes(64) + content[164:]
        with open(os.path.join(new, path), "wb") as f:
            f.write(content)
    for i in range(files // 20):
        path = os.path.join(new, "data", "added", "new%03d.bin" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(rng.randint(100, 20000)))
    for i in range(large):
        content = bytearray(rng.randbytes((2 + i) << 20))
        path = "lib/libbig%d.so" % i
        os.makedirs(os.path.join(old, "lib"), exist_ok=True)
        os.makedirs(os.path.join(new, "lib"), exist_ok=True)
        with open(os.path.join(old, path), "wb") as f:
            f.write(content)
        for _ in range(8 + 4 * i):
            at = rng.randrange(len(content) - 3000)
            content[at:at + 3000] = rng.randbytes(3000)
        with open(os.path.join(new, path), "wb") as f:
            f.write(content)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--large", type=int, default=3)
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    update, tool, key = benchsupport.build_programs(os.path.abspath(args.build))
    old, new, mirror = (os.path.join(work, d) for d in ("old", "new", "mirror"))
    make_trees(old, new, args.files, args.large, 5)
    for version, tree in ((1, old), (2, new)):
        subprocess.run([tool, "release", "--type", CLIENT, "--version", str(version), "--source",
                        tree, "--out", mirror, "--key", key], check=True,
                       stdout=subprocess.DEVNULL)
    nginx = benchsupport.Nginx(os.path.join(work, "nginx"), mirror, log=True,
                               log_format="$status $request_length $bytes_sent "
                                          "$body_bytes_sent $uri \"$http_range\"")
    try:
        inst = os.path.join(work, "inst")
        os.makedirs(inst)
        shutil.copy2(update, os.path.join(inst, "update"))
        with open(os.path.join(inst, "mirrors.ini"), "w") as f:
            f.write("[mirrors]\nsize=1\n1\\mirror=one\n[one]\nurl=http://127.0.0.1:%d\n"
                    % nginx.ports[0])
        env = dict(os.environ, TMPDIR=os.path.join(work, "tmp"),
                   VARNOLT_UPDATE_SERVER="127.0.0.1:9", QT_QPA_PLATFORM="offscreen")
        os.makedirs(env["TMPDIR"])
        env.pop("DISPLAY", None)
        for version in (1, 2):
            mark = os.path.getsize(nginx.log) if os.path.exists(nginx.log) else 0
            subprocess.run([os.path.join(inst, "update"), "--headless", CLIENT, str(version)],
                           check=True, env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        time.sleep(0.2)
        with open(nginx.log) as f:
            f.seek(mark)
            lines = f.read().splitlines()
    finally:
        nginx.stop()
    received = sent = headers = parts = part_bytes = 0
    for line in lines:
        status, request_length, bytes_sent, body, uri, ranges = line.split(" ", 5)
        if status not in ("200", "206"):
            sys.exit("nginx answered %s: %s" % (status, line))
        received += int(request_length)
        sent += int(bytes_sent)
        # The path is counted apart: it is as long as the file's name.
        headers += int(request_length) + int(bytes_sent) - int(body) - len(uri)
        spans = re.findall(r"(\d+)-(\d+)", ranges)
        if len(spans) > 1:
            parts += len(spans)
            part_bytes += int(body) - sum(int(b) - int(a) + 1 for a, b in spans)
    measured = received + sent
    out = subprocess.run([tool, "cost", "--from", old, "--to", new, "--release",
                          os.path.join(mirror, "2", CLIENT + ".ini")],
                         check=True, capture_output=True, text=True).stdout
    match = re.search(r"Fetched by an update: (\d+) bytes in (\d+) requests", out)
    predicted, predicted_requests = int(match.group(1)), int(match.group(2))
    print("update 1 -> 2: %d requests, %d bytes (%d asked, %d answered); request and answer "
          "headers %.0f bytes a request beside its path, %.0f a part of %d in answers with "
          "several ranges"
          % (len(lines), measured, received, sent, headers / len(lines),
             part_bytes / parts if parts else 0, parts))
    print("cost predicts: %d requests, %d bytes: %+.2f %%"
          % (predicted_requests, predicted, 100.0 * (predicted - measured) / measured))


if __name__ == "__main__":
    main()
