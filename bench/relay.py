#!/usr/bin/env python3
"""A TCP relay on loopback that stands in for a slow or broken network, for bench/run.sh.

Usage: relay.py --listen PORT --to PORT [--delay-ms MS] [--cut-after BYTES] [--ready FILE]

Every connection to 127.0.0.1:LISTEN gets its own connection to 127.0.0.1:TO, and the bytes
are carried both ways untouched (TLS passes through; the server's certificate still names
localhost). Each chunk read is delivered MS milliseconds after it was read, in order per
direction, so the round trip grows by twice MS whatever the chunk sizes.

With --cut-after, the first connection on which the server's side has sent BYTES (counted as
delivered to the client) is closed right there, both ways, with nothing more delivered; later
connections are carried normally. SIGUSR1 arms that one cut again, for the next run.

--ready names a file written once the relay listens. SIGTERM and SIGINT end it.
"""

import argparse
import asyncio
import signal
import sys

# Bytes read but not yet delivered, per direction of a connection. Reading pauses above it, so a
# slow reader holds back the sender as it would over a real link; at 25 ms a connection still
# carries 4 MiB / 25 ms.
MAX_IN_FLIGHT = 4 << 20
READ_SIZE = 256 << 10


class Cut:
    """The one cut a run asks for: armed at start and by SIGUSR1, spent by the first connection
    that reaches the limit."""

    def __init__(self, limit):
        self.limit = limit
        self.armed = limit is not None

    def arm(self):
        self.armed = self.limit is not None


async def carry(reader, writer, delay, cut, on_cut):
    """Copies reader to writer, each chunk delay seconds after it was read. With a cut, closes
    the connection (on_cut) once the limit's bytes are delivered. Returns at the end of input."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()
    room = asyncio.Condition()
    state = {"in_flight": 0, "delivered": 0, "over": False}

    async def deliver():
        try:
            while True:
                due, data = await queue.get()
                if data is None:
                    break
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if cut is not None and cut.armed and len(data) >= cut.limit - state["delivered"]:
                    cut.armed = False
                    writer.write(data[:cut.limit - state["delivered"]])
                    await writer.drain()
                    print("relay: cut a connection after %d bytes" % cut.limit,
                          file=sys.stderr, flush=True)
                    on_cut()
                    return
                writer.write(data)
                await writer.drain()
                state["delivered"] += len(data)
                async with room:
                    state["in_flight"] -= len(data)
                    room.notify()
            if writer.can_write_eof():
                writer.write_eof()
        finally:
            # The reading side must not wait for room that will never come.
            async with room:
                state["over"] = True
                room.notify()

    sender = asyncio.ensure_future(deliver())
    try:
        while not state["over"]:
            data = await reader.read(READ_SIZE)
            if not data:
                break
            async with room:
                await room.wait_for(
                    lambda: state["over"] or state["in_flight"] < MAX_IN_FLIGHT)
                state["in_flight"] += len(data)
            queue.put_nowait((loop.time() + delay, data))
        queue.put_nowait((0, None))
        await sender
    finally:
        sender.cancel()


async def relay(client_reader, client_writer, upstream_port, delay, cut):
    try:
        server_reader, server_writer = await asyncio.open_connection(
            "127.0.0.1", upstream_port, limit=READ_SIZE)
    except OSError:
        client_writer.close()
        return
    writers = (client_writer, server_writer)

    def close_both():
        for writer in writers:
            writer.transport.abort()

    upward = asyncio.ensure_future(carry(client_reader, server_writer, delay, None, close_both))
    downward = asyncio.ensure_future(carry(server_reader, client_writer, delay, cut, close_both))
    try:
        # A direction that ends normally half-closes its side; a reset or a cut ends both.
        await asyncio.gather(upward, downward)
    except (OSError, asyncio.IncompleteReadError):
        pass
    finally:
        upward.cancel()
        downward.cancel()
        close_both()


async def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--listen", type=int, required=True)
    parser.add_argument("--to", type=int, required=True)
    parser.add_argument("--delay-ms", type=float, default=0)
    parser.add_argument("--cut-after", type=int)
    parser.add_argument("--ready")
    args = parser.parse_args()

    delay = args.delay_ms / 1000
    cut = Cut(args.cut_after)
    loop = asyncio.get_running_loop()
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGUSR1, cut.arm)
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, lambda: stop.done() or stop.set_result(None))

    server = await asyncio.start_server(
        lambda r, w: relay(r, w, args.to, delay, cut), "127.0.0.1", args.listen, limit=READ_SIZE)
    if args.ready:
        with open(args.ready, "w") as ready:
            ready.write("%d\n" % args.listen)
    async with server:
        await stop


if __name__ == "__main__":
    asyncio.run(main())
