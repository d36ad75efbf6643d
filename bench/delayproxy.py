#!/usr/bin/env python3
"""A TCP proxy that adds a round trip: the network benchmark's stand-in for a distant mirror.

  delayproxy.py --rtt-ms 20 LISTEN:PORT=HOST:PORT [LISTEN:PORT=HOST:PORT ...]

Listens on LISTEN:PORT for each pair and forwards every connection to HOST:PORT.
Each chunk read on one side is written to the other half the round trip after it arrived, in
the order it arrived, so that a request and its answer take one round trip more than without
the proxy. TLS passes through untouched: the client talks to the server end to end.

The kernel completes the client's connect at once, so the proxy holds each new connection for
one round trip before it forwards its first bytes: the TCP handshake a distant server would
cost. A TLS handshake then takes its round trips on top, as it would.

Throughput is bounded only by how much may wait in the proxy: up to BUFFER bytes per
direction and connection, far more than a round trip at a gigabit. Beyond that the proxy stops
reading that side, and TCP's own flow control slows the sender, as a full path would.
Prints "ready" on standard output once it listens.
"""

import argparse
import asyncio
import collections
import socket
import sys

# Bytes waiting per direction and connection before the proxy stops reading that side.
BUFFER = 16 << 20


class Direction:
    """One direction of one connection: what was read from one side, waiting for its time."""

    def __init__(self, loop, delay, source):
        self.loop = loop
        self.delay = delay
        self.source = source  # transport read from
        self.sink = None  # transport written to, once connected
        self.queue = collections.deque()
        self.queued = 0
        self.timer = None
        self.read_paused = False
        self.sink_full = False
        self.eof = False
        self.on_eof = None  # called once the end has been passed on

    def data(self, data):
        self.queue.append((self.loop.time() + self.delay, data))
        self.queued += len(data)
        if self.queued > BUFFER:
            self.pause_source()
        if self.timer is None:
            self.schedule()

    def end(self):
        self.queue.append((self.loop.time() + self.delay, None))
        if self.timer is None:
            self.schedule()

    def schedule(self):
        if self.queue and self.sink is not None:
            self.timer = self.loop.call_at(self.queue[0][0], self.flush)

    def flush(self):
        self.timer = None
        now = self.loop.time()
        # Whatever is due goes in one write, in order; a later chunk never overtakes.
        due = []
        while self.queue and self.queue[0][0] <= now:
            _, data = self.queue.popleft()
            if data is None:
                self.eof = True
                break
            due.append(data)
            self.queued -= len(data)
        if due and not self.sink.is_closing():
            self.sink.write(b"".join(due) if len(due) > 1 else due[0])
        if self.eof:
            if not self.sink.is_closing() and self.sink.can_write_eof():
                self.sink.write_eof()
            if self.on_eof:
                self.on_eof()
            return
        self.maybe_resume()
        self.schedule()

    def pause_source(self):
        if not self.read_paused and not self.source.is_closing():
            self.source.pause_reading()
            self.read_paused = True

    def maybe_resume(self):
        if self.read_paused and not self.sink_full and self.queued <= BUFFER // 2:
            if not self.source.is_closing():
                self.source.resume_reading()
            self.read_paused = False


class Side(asyncio.Protocol):
    """One socket of a proxied connection; its reads feed the direction toward the other."""

    def __init__(self, link, name):
        self.link = link
        self.name = name

    def connection_made(self, transport):
        sock = transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        transport.set_write_buffer_limits(high=BUFFER, low=BUFFER // 2)
        self.link.made(self.name, transport)

    def data_received(self, data):
        self.link.outgoing(self.name).data(data)

    def eof_received(self):
        self.link.outgoing(self.name).end()
        return True  # the other direction may still carry data

    def connection_lost(self, exc):
        self.link.lost(self.name)

    def pause_writing(self):
        toward = self.link.incoming(self.name)
        toward.sink_full = True
        toward.pause_source()

    def resume_writing(self):
        toward = self.link.incoming(self.name)
        toward.sink_full = False
        toward.maybe_resume()


class Link:
    """A client connection and its connection to the server."""

    def __init__(self, loop, delay, target):
        self.loop = loop
        self.delay = delay
        self.target = target
        self.transports = {}
        self.directions = {}

    def outgoing(self, name):
        return self.directions[name]

    def incoming(self, name):
        return self.directions["server" if name == "client" else "client"]

    def made(self, name, transport):
        self.transports[name] = transport
        self.directions[name] = Direction(self.loop, self.delay, transport)
        if name == "client":
            transport.pause_reading()
            self.loop.create_task(self.connect())
        elif self.transports["client"].is_closing():
            transport.close()  # the client left while the server was reached
        else:
            up, down = self.directions["client"], self.directions["server"]
            up.sink, down.sink = transport, self.transports["client"]
            up.on_eof = down.on_eof = self.ended
            self.transports["client"].resume_reading()
            up.schedule()

    def ended(self):
        # Both sides have said they are done and both ends were passed on: nothing more
        # can come, and close() still sends what the transports hold.
        if all(d.eof for d in self.directions.values()):
            for transport in self.transports.values():
                transport.close()

    async def connect(self):
        try:
            # The handshake's round trip; see the module's comment.
            await asyncio.sleep(2 * self.delay)
            await self.loop.create_connection(lambda: Side(self, "server"), *self.target)
        except OSError:
            self.transports["client"].abort()

    def lost(self, name):
        for direction in self.directions.values():
            if direction.timer is not None:
                direction.timer.cancel()
                direction.timer = None
        for transport in self.transports.values():
            if not transport.is_closing():
                # Closes after what is buffered is sent; what still waits for its time is lost,
                # as the other side went away anyway.
                transport.close()


async def serve(pairs, delay):
    loop = asyncio.get_running_loop()
    servers = []
    for listen, port, target in pairs:
        servers.append(await loop.create_server(
            lambda target=target: Side(Link(loop, delay, target), "client"),
            listen, port, reuse_address=True, backlog=1024))
    print("ready", flush=True)
    await asyncio.gather(*(s.serve_forever() for s in servers))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rtt-ms", type=float, required=True)
    parser.add_argument("pairs", nargs="+", metavar="LISTEN:PORT=HOST:PORT")
    args = parser.parse_args()
    pairs = []
    for pair in args.pairs:
        listen, target = pair.split("=")
        listen, port = listen.rsplit(":", 1)
        host, target_port = target.rsplit(":", 1)
        pairs.append((listen, int(port), (host, int(target_port))))
    try:
        asyncio.run(serve(pairs, args.rtt_ms / 2000.0))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
