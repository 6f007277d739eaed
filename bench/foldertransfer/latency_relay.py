#!/usr/bin/python3
"""A latency relay for benchmarks: listens on 127.0.0.1, forwards each connection to an FTP
server and delays every chunk by a fixed time in each direction, so that loopback behaves
like a network with a round trip of twice that time. Passive data connections are relayed
too: each 227 or 229 reply of the server is rewritten to point at a new relay listener that
forwards to the server's data port with the same delay. Prints "PORT <n>" once it listens.

    latency_relay.py --target-port P [--delay-ms D] [--port N]
"""
import argparse
import asyncio
import re
import sys
import time

PASV = re.compile(rb"^227 ([^(]*)\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)(.*)$", re.S)
EPSV = re.compile(rb"^229 ([^(]*)\(\|\|\|(\d+)\|\)(.*)$", re.S)


class Delayed:
    """One direction of a relayed connection: what is read comes out Delay seconds later,
    in order."""

    def __init__(self, reader, writer, delay, rewrite=None):
        self.reader, self.writer, self.delay, self.rewrite = reader, writer, delay, rewrite
        self.queue = asyncio.Queue()

    async def pump_in(self):
        pending = b""
        while True:
            data = await self.reader.read(65536)
            if not data:
                if pending:
                    await self.queue.put((time.monotonic() + self.delay, pending))
                await self.queue.put((time.monotonic() + self.delay, None))
                return
            if self.rewrite:
                # Control replies are rewritten line by line.
                pending += data
                lines = pending.split(b"\n")
                pending = lines.pop()
                data = b"".join([await self.rewrite(l + b"\n") for l in lines])
                if not data:
                    continue
            await self.queue.put((time.monotonic() + self.delay, data))

    async def pump_out(self):
        while True:
            due, data = await self.queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    self.writer.write_eof()
                except (OSError, RuntimeError):
                    pass
                return
            self.writer.write(data)
            await self.writer.drain()


async def relay(client_r, client_w, target_port, delay, rewrite=None):
    await asyncio.sleep(delay)   # the way of the connection request
    try:
        server_r, server_w = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_w.close()
        return
    up = Delayed(client_r, server_w, delay)
    down = Delayed(server_r, client_w, delay, rewrite)
    try:
        await asyncio.gather(up.pump_in(), up.pump_out(), down.pump_in(), down.pump_out())
    except (OSError, ConnectionError):
        pass
    finally:
        for w in (client_w, server_w):
            try:
                w.close()
            except OSError:
                pass


async def data_listener(server_port, delay):
    """A listener for one passive data connection; its port."""

    async def accept(r, w):
        server.close()
        await relay(r, w, server_port, delay)

    server = await asyncio.start_server(accept, "127.0.0.1", 0)
    return server.sockets[0].getsockname()[1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--target-port", type=int, required=True)
    ap.add_argument("--delay-ms", type=float, default=10.0)
    ap.add_argument("--port", type=int, default=0)
    args = ap.parse_args()
    delay = args.delay_ms / 1000.0

    async def rewrite(line):
        m = PASV.match(line)
        if m:
            port = int(m.group(6)) * 256 + int(m.group(7))
            mine = await data_listener(port, delay)
            return b"227 %s(127,0,0,1,%d,%d)%s" % (m.group(1), mine >> 8, mine & 255, m.group(8))
        m = EPSV.match(line)
        if m:
            mine = await data_listener(int(m.group(2)), delay)
            return b"229 %s(|||%d|)%s" % (m.group(1), mine, m.group(3))
        return line

    async def control(r, w):
        await relay(r, w, args.target_port, delay, rewrite)

    async def run():
        server = await asyncio.start_server(control, "127.0.0.1", args.port, backlog=256)
        print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
        async with server:
            await server.serve_forever()

    try:
        asyncio.run(run())
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
