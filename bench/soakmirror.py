"""The soak's mirror: a directory served over HTTP/1.1 that cuts and stalls answers at random.

Whole files, single ranges and several ranges at once (multipart/byteranges) are answered as a
plain web server would; on top of that each answer may, by chance, break off after a random
part of its body, pause for a while in the middle, or be a 503. Connections are kept alive
between answers, as nginx's are.
"""

import os
import random
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BOUNDARY = "soak-boundary-7f3a"


class Faults:
    """How often answers break (cut), pause (stall, for up to stall_seconds) or fail (503)."""

    def __init__(self, seed, cut=0.03, stall=0.03, unavailable=0.0, stall_seconds=2.5):
        self.random = random.Random(seed)
        self.lock = threading.Lock()
        self.cut = cut
        self.stall = stall
        self.unavailable = unavailable
        self.stall_seconds = stall_seconds
        self.counts = {"requests": 0, "cut": 0, "stalled": 0, "unavailable": 0}

    def draw(self, body_size):
        """(kind, offset, pause) for one answer: kind is None, "cut", "stall" or "503"."""
        with self.lock:
            self.counts["requests"] += 1
            r = self.random.random()
            offset = self.random.randint(0, max(0, body_size - 1))
            pause = self.random.uniform(0.2, self.stall_seconds)
            if r < self.unavailable:
                kind = "503"
            elif r < self.unavailable + self.cut:
                kind = "cut"
            elif r < self.unavailable + self.cut + self.stall:
                kind = "stall"
            else:
                kind = None
            if kind:
                self.counts[{"503": "unavailable", "cut": "cut", "stall": "stalled"}[kind]] += 1
            return kind, offset, pause


def parse_ranges(header, size):
    """The ranges of a Range header as (first, last) pairs, or None when it is not one we
    answer with 206 (then the whole file goes out)."""
    if not header or not header.startswith("bytes="):
        return None
    ranges = []
    for part in header[len("bytes="):].split(","):
        part = part.strip()
        if "-" not in part:
            return None
        first, last = part.split("-", 1)
        try:
            if first == "":
                length = int(last)
                first, last = max(0, size - length), size - 1
            else:
                first = int(first)
                last = int(last) if last else size - 1
        except ValueError:
            return None
        if first >= size or first > last:
            continue
        ranges.append((first, min(last, size - 1)))
    return ranges if ranges else []


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "soakmirror"

    def log_message(self, *args):
        pass

    def do_GET(self):
        root = self.server.root
        relative = os.path.normpath(self.path.split("?", 1)[0]).lstrip("/")
        path = os.path.join(root, relative)
        if relative.startswith("..") or not os.path.isfile(path):
            self.answer_plain(404, b"not found\n")
            return
        with open(path, "rb") as f:
            data = f.read()
        size = len(data)
        ranges = parse_ranges(self.headers.get("Range"), size)
        if ranges == []:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if ranges is None:
            status, headers, body = 200, [("Content-Type", "application/octet-stream")], data
        elif len(ranges) == 1:
            first, last = ranges[0]
            status = 206
            headers = [("Content-Type", "application/octet-stream"),
                       ("Content-Range", "bytes %d-%d/%d" % (first, last, size))]
            body = data[first:last + 1]
        else:
            status = 206
            headers = [("Content-Type", "multipart/byteranges; boundary=" + BOUNDARY)]
            parts = []
            for first, last in ranges:
                parts.append(("\r\n--%s\r\nContent-Type: application/octet-stream\r\n"
                              "Content-Range: bytes %d-%d/%d\r\n\r\n"
                              % (BOUNDARY, first, last, size)).encode())
                parts.append(data[first:last + 1])
            parts.append(("\r\n--%s--\r\n" % BOUNDARY).encode())
            body = b"".join(parts)

        kind, offset, pause = self.server.faults.draw(len(body))
        if kind == "503":
            self.answer_plain(503, b"busy\n")
            return
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            if kind == "cut":
                self.wfile.write(body[:offset])
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return
            if kind == "stall":
                self.wfile.write(body[:offset])
                self.wfile.flush()
                time.sleep(pause)
                self.wfile.write(body[offset:])
            else:
                self.wfile.write(body)
        except OSError:
            self.close_connection = True

    def answer_plain(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, root, faults):
        super().__init__(("127.0.0.1", 0), Handler)
        self.root = root
        self.faults = faults

    def handle_error(self, request, client_address):
        # A killed updater resets its connections: nothing to report.
        pass

    @property
    def port(self):
        return self.server_address[1]


def start(root, faults):
    """A Server for root with faults, answering on a thread of its own."""
    server = Server(root, faults)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server
