#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that slows the client's upload and breaks it off on demand.

  cutting_proxy.py --target PORT [--rate BYTES]

Relays every connection to 127.0.0.1:PORT. --rate caps what each connection sends towards the
server (bytes per second). A line "cut" on stdin resets every connection open at that moment,
both sides, as a network that drops mid-upload would; later connections pass untouched, so a
client can come back and clean up.
Prints its port as the first line on stdout, then runs until stdin closes or SIGTERM.
"""

import argparse
import asyncio
import os
import signal
import socket
import struct
import sys
import time


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--rate", type=int, default=0)
    return parser.parse_args()


def reset(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    writer.transport.abort()


class relay:
    def __init__(self, args):
        self.args = args
        self.open = set()

    def cut_all(self):
        for both in list(self.open):
            for end in both:
                reset(end)

    async def upstream(self, reader, writer):
        sent = 0
        started = time.monotonic()
        chunk = max(1024, self.args.rate // 20) if self.args.rate else 65536
        while True:
            data = await reader.read(chunk)
            if not data:
                writer.write_eof()
                return
            writer.write(data)
            await writer.drain()
            sent += len(data)
            if self.args.rate:
                ahead = sent / self.args.rate - (time.monotonic() - started)
                if ahead > 0:
                    await asyncio.sleep(ahead)

    async def downstream(self, reader, writer):
        while True:
            data = await reader.read(65536)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    async def handle(self, client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1",
                                                                         self.args.target)
        except OSError:
            reset(client_writer)
            return
        both = (client_writer, server_writer)
        self.open.add(both)
        try:
            await asyncio.gather(
                self.upstream(client_reader, server_writer),
                self.downstream(server_reader, client_writer))
        except (ConnectionError, OSError):
            pass
        finally:
            self.open.discard(both)
            for end in both:
                end.close()


async def serve(args):
    relays = relay(args)
    server = await asyncio.start_server(relays.handle, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    stop = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, lambda: stop.done() or stop.set_result(None))
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)

    async def until_stdin_closes():
        while line := await reader.readline():
            if line.strip() == b"cut":
                relays.cut_all()
        if not stop.done():
            stop.set_result(None)

    watcher = asyncio.ensure_future(until_stdin_closes())
    await stop
    watcher.cancel()
    server.close()


def main():
    asyncio.run(serve(parse_args()))
    os._exit(0)  # relays still open must not hold the exit


if __name__ == "__main__":
    main()
