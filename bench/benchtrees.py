"""Client trees for the benchmarks: many files of given sizes, made fast and the same each run.

The bytes come from AES-128 in counter mode over zeros (openssl, about 1 GB/s), keyed by a seed:
random enough that no block of one file matches another's, and far faster than Python's own
generator for the gigabytes the large rows need.
"""

import hashlib
import os
import random
import subprocess


class RandomStream:
    """A reader of seeded random bytes; use it in a with statement."""

    def __init__(self, seed):
        key = hashlib.sha256(b"varnolt-bench %d" % seed).hexdigest()
        self.process = subprocess.Popen(
            ["openssl", "enc", "-aes-128-ctr", "-nosalt", "-K", key[:32], "-iv", key[32:64],
             "-in", "/dev/zero"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def read(self, size):
        data = self.process.stdout.read(size)
        if len(data) != size:
            raise RuntimeError("openssl ended early")
        return data

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


def write_tree(root, entries, seed):
    """Writes the files entries names ((relative path, size), ...) below root."""
    with RandomStream(seed) as stream:
        for path, size in entries:
            target = os.path.join(root, path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                left = size
                while left > 0:
                    piece = min(left, 4 << 20)
                    f.write(stream.read(piece))
                    left -= piece


def many(count, size, prefix="d", name="file"):
    """count files of size bytes, spread over 20 directories."""
    return [("%s%02d/%s%05d.dat" % (prefix, i % 20, name, i), size) for i in range(count)]


def linked_copy(source, target):
    """target as a tree of hard links to source's files: a release that differs in a few files
    costs the disk only those."""
    for directory, _, files in os.walk(source):
        relative = os.path.relpath(directory, source)
        os.makedirs(os.path.join(target, relative), exist_ok=True)
        for name in files:
            os.link(os.path.join(directory, name), os.path.join(target, relative, name))


def change_in_place(path, count, piece, seed):
    """Replaces count pieces of piece bytes, one in each of count even stretches of the file at
    a random place in it, with random bytes; the file becomes a file of its own (a linked copy
    keeps the old content). Returns the bytes changed."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    os.unlink(path)
    rng = random.Random(seed)
    stretch = len(data) // count
    for i in range(count):
        at = i * stretch + rng.randrange(stretch - piece)
        data[at:at + piece] = rng.randbytes(piece)
    with open(path, "wb") as f:
        f.write(data)
    return count * piece


def files_below(root):
    """Every file (and file link) below root, as relative paths."""
    found = set()
    for directory, dirs, files in os.walk(root):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(directory, d))]:
            found.add(os.path.relpath(os.path.join(directory, name), root))
    return found
