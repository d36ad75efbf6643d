"""What a benchmark's nginx logged: the requests a run made and the bytes they moved.

The log format is "$status $request_length $bytes_sent $uri" (LOG_FORMAT), one line a request,
written once its answer is out. Bytes count both ways, headers included.
"""

import os
import time

LOG_FORMAT = "$status $request_length $bytes_sent $uri"
CLIENT = "client_linux_amd64"
LIST_SUFFIX = "::blocks"


class Request:
    def __init__(self, line):
        status, received, sent, self.uri = line.split(" ", 3)
        self.status = int(status)
        self.bytes = int(received) + int(sent)

    def is_metadata(self):
        """The release's own files (directly in the version directory) and block lists."""
        # /BUILD/FAMILY/VERSION/NAME is the release's own; deeper paths are product files.
        return len(self.uri.split("/")) == 5 or LIST_SUFFIX in self.uri

    def kind(self):
        """What sort of metadata: the name's ending after the client type, or "lists"."""
        if LIST_SUFFIX in self.uri:
            return "lists"
        name = self.uri.rsplit("/", 1)[-1]
        return name[len(CLIENT):] if name.startswith(CLIENT) else name


class AccessLog:
    def __init__(self, path):
        self.path = path

    def mark(self):
        return os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def requests_since(self, mark):
        # nginx writes its line once the answer is out, which the client may see first.
        time.sleep(0.1)
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as f:
            f.seek(mark)
            return [Request(line) for line in f.read().decode().splitlines()]


def total(requests, metadata=False):
    """The bytes of requests, or of those that fetched metadata."""
    return sum(r.bytes for r in requests if not metadata or r.is_metadata())
