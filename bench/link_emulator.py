#!/usr/bin/python3
"""A player's link in front of a server on this machine: a TCP proxy that
delays, paces and counts what passes through it.

    bench/link_emulator.py --listen PORT --to HOST:PORT --rtt-ms 50 --mbit 50
                           [--loss PERCENT] [--reset-every-mib N] [--seed N]

Each direction of the link is one wire shared by every connection: bytes
leave it one after another at the link's rate and arrive half a round trip
later. A new connection pays TCP's handshake (its first bytes leave a round
trip after it was accepted) and starts slow: 10 segments of 1460 bytes in
flight, one more for each one acknowledged a round trip after it left (the
window doubles each round trip), until the window holds twice what the link
carries in a round trip. Whatever the connection carries, TLS included, is
forwarded as it is.

A lossy link (--loss P) stalls a connection's way down for 400 ms after P %
of the 64 KiB it carries, as a lost segment's retransmission does, and
resets the connection after P/10 % of them. --reset-every-mib N resets the
connection whose bytes down cross each N MiB the link has carried. A reset
comes when the bytes before it have arrived: both ends see a TCP reset.

It prints "listening PORT" once it accepts connections, on 127.0.0.1 and,
where the machine has it, ::1. On SIGTERM or SIGINT it prints one JSON line
with what it saw (connections, the most open at once, bytes each way, the
stalls and resets it made) and ends.
"""

import argparse
import asyncio
import collections
import json
import os
import random
import signal
import socket
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "harness"))
from test_nginx_env import have_ipv6_loopback  # noqa: E402

SEGMENT = 1460
INITIAL_WINDOW = 10 * SEGMENT
# What is put on the wire at once: small beside the windows, large enough
# that Python keeps up with the link.
GRAIN = 16 * 1024
# How far the proxy reads ahead of the wire from the sending side.
READ_AHEAD = 1024 * 1024
# A lossy link's faults come per this many bytes down; a stall lasts this long.
FAULT_GRAIN = 64 * 1024
STALL = 0.4


class Wire:
    """One direction of the link: a queue in front of a line of rate bytes a
    second, and the delay of the way."""

    def __init__(self, rate, delay):
        self.rate, self.delay = rate, delay
        self.free_at = 0.0

    def send(self, now, size):
        """When size bytes handed to the wire now arrive at the far end."""
        self.free_at = max(now, self.free_at) + size / self.rate
        return self.free_at + self.delay


class Faults:
    """What goes wrong on the way down: stalls and resets, drawn per 64 KiB a
    connection carries, and a reset at every reset_every bytes of the link."""

    def __init__(self, loss, reset_every, seed, counts):
        self.loss, self.reset_every = loss / 100.0, reset_every
        self.random = random.Random(seed)
        self.counts = counts
        self.carried = 0

    def after(self, flow, size):
        """'stall', 'reset' or None once flow sent size more bytes."""
        before, self.carried = self.carried, self.carried + size
        if self.reset_every and before // self.reset_every != self.carried // self.reset_every:
            self.counts["resets"] += 1
            return "reset"
        grains = (flow.sent + size) // FAULT_GRAIN - flow.sent // FAULT_GRAIN
        flow.sent += size
        fault = None
        for _ in range(grains):
            draw = self.random.random()
            if draw < self.loss / 10:
                self.counts["resets"] += 1
                return "reset"
            if draw < self.loss:
                fault = "stall"
        if fault:
            self.counts["stalls"] += 1
        return fault


class Flow:
    """One direction of one connection: what its sender wrote, sent on the
    wire as its window allows, written to the receiver when it arrives."""

    def __init__(self, wire, receiver, window_cap, counts, key, not_before, finished,
                 faults=None, reset=None):
        self.loop = asyncio.get_running_loop()
        self.faults, self.reset = faults, reset  # the way down's; reset() breaks the connection
        self.sent = 0
        self.broken = False
        self.wire, self.receiver, self.window_cap = wire, receiver, window_cap
        self.counts, self.key, self.not_before = counts, key, not_before
        self.finished = finished  # called once the far end has seen the end
        self.window, self.in_flight = INITIAL_WINDOW, 0
        self.pending = bytearray()
        self.ended = self.end_sent = False
        self.last_arrival = 0.0
        self.arriving = collections.deque()  # (time, bytes, or None for the end)
        self.room = asyncio.Event()
        self.room.set()
        self.resume_set = False

    async def pump(self, reader):
        """Reads the sender until it ends its side, or the connection breaks."""
        try:
            while True:
                await self.room.wait()
                data = await reader.read(256 * 1024)
                if not data:
                    break
                self.pending += data
                self.transmit()
        except (ConnectionError, OSError):
            pass
        self.ended = True
        self.transmit()

    def resume(self):
        self.resume_set = False
        self.transmit()

    def transmit(self):
        now = self.loop.time()
        if self.broken:
            return
        if now < self.not_before:  # TCP's handshake or a stall is not over yet
            if not self.resume_set:
                self.resume_set = True
                self.loop.call_at(self.not_before, self.resume)
            return
        while self.pending and self.in_flight < self.window:
            size = min(len(self.pending), self.window - self.in_flight, GRAIN)
            chunk = bytes(self.pending[:size])
            del self.pending[:size]
            self.in_flight += size
            arrival = self.wire.send(now, size)
            self.arrive(arrival, chunk)
            # The acknowledgement comes back the other way; its few bytes
            # are left out of that direction's wire.
            self.loop.call_at(arrival + self.wire.delay, self.acknowledged, size)
            fault = self.faults.after(self, size) if self.faults else None
            if fault == "stall":
                self.not_before = now + STALL
                self.transmit()
                return
            if fault == "reset":
                self.broken = True
                self.room.set()  # the sender's pump sees the break
                self.loop.call_at(arrival, self.reset)
                return
        if not self.pending and self.ended and not self.end_sent:
            self.end_sent = True
            self.arrive(max(self.last_arrival, now + self.wire.delay), None)
        if len(self.pending) < READ_AHEAD:
            self.room.set()
        else:
            self.room.clear()

    def acknowledged(self, size):
        self.in_flight -= size
        self.window = min(self.window + size, max(self.window_cap, INITIAL_WINDOW))
        self.transmit()

    def arrive(self, when, chunk):
        self.last_arrival = when
        self.arriving.append((when, chunk))
        self.loop.call_at(when, self.deliver, when)

    def deliver(self, until):
        while self.arriving and self.arriving[0][0] <= until:
            chunk = self.arriving.popleft()[1]
            closed = self.receiver.is_closing()  # the receiver went away first
            if chunk is None:
                if not closed and self.receiver.can_write_eof():
                    try:
                        self.receiver.write_eof()
                    except OSError:  # it has closed its side already
                        pass
                self.finished()
            elif not closed:
                self.receiver.write(chunk)
                self.counts[self.key] += len(chunk)


class Link:
    def __init__(self, target, rtt, rate, loss=0.0, reset_every=0, seed=1):
        self.target, self.rtt = target, rtt
        self.up, self.down = Wire(rate, rtt / 2), Wire(rate, rtt / 2)
        # Twice the link's bytes in flight keep it busy whatever the timers do.
        self.window_cap = int(2 * rate * rtt)
        self.counts = {"connections": 0, "most_open": 0, "bytes_up": 0, "bytes_down": 0,
                       "stalls": 0, "resets": 0}
        self.faults = (Faults(loss, reset_every, seed, self.counts)
                       if loss or reset_every else None)
        self.open = 0

    async def serve(self, client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(*self.target)
        except OSError:
            client_writer.close()
            return
        self.counts["connections"] += 1
        self.open += 1
        self.counts["most_open"] = max(self.counts["most_open"], self.open)
        ends = []

        def finished():
            ends.append(1)
            if len(ends) == 2:
                client_writer.close()
                server_writer.close()
        def reset():
            for writer in (client_writer, server_writer):
                sock = writer.get_extra_info("socket")
                if sock is not None:
                    # No linger: the close sends a reset, not an end.
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.transport.abort()
            ends.extend([1, 1])
        accepted = asyncio.get_running_loop().time()
        up = Flow(self.up, server_writer, self.window_cap, self.counts, "bytes_up",
                  accepted + self.rtt, finished)
        down = Flow(self.down, client_writer, self.window_cap, self.counts, "bytes_down",
                    accepted, finished, self.faults, reset)
        try:
            await asyncio.gather(up.pump(client_reader), down.pump(server_reader))
            # Both senders are done; what is still on the wire gets there.
            while len(ends) < 2:
                await asyncio.sleep(self.rtt)
        except asyncio.CancelledError:
            # The emulator is stopping. Python 3.11's stream callback prints a
            # cancelled connection's task as an error, so it ends quietly.
            pass
        finally:
            self.open -= 1
            client_writer.close()
            server_writer.close()


async def main_async(args):
    host, _, port = args.to.rpartition(":")
    link = Link((host, int(port)), args.rtt_ms / 1000.0, args.mbit * 1e6 / 8, args.loss,
                int(args.reset_every_mib * 1024 * 1024), args.seed)
    hosts = ["127.0.0.1"] + (["::1"] if have_ipv6_loopback() else [])
    server = await asyncio.start_server(link.serve, hosts, args.listen)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop.set)
    print("listening %d" % server.sockets[0].getsockname()[1], flush=True)
    await stop.wait()
    server.close()
    print(json.dumps(link.counts), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--listen", type=int, required=True, help="0: any free port")
    parser.add_argument("--to", required=True, help="HOST:PORT of the server")
    parser.add_argument("--rtt-ms", type=float, required=True)
    parser.add_argument("--mbit", type=float, required=True, help="each way, in Mbit/s")
    parser.add_argument("--loss", type=float, default=0.0,
                        help="percent of 64 KiB down followed by a 400 ms stall")
    parser.add_argument("--reset-every-mib", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    asyncio.run(main_async(parser.parse_args()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
