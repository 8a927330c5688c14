#!/usr/bin/python3
"""A link with a round-trip time, on loopback: relays TCP from 127.0.0.1 to a server on ::1,
holding every chunk half the round-trip time in each direction, in order.

  delay_proxy.py --rtt MS --target PORT [--passive LO-HI]

Listens on 127.0.0.1, on a free port for the control connection (printed as "port N") and on
the same ports as the server for the passive range, so that an EPSV reply, which names only a
port, leads the client through the proxy too, encrypted or not. A new connection costs one
round trip before the server sees it, as a TCP handshake does. Runs until its stdin closes.
"""
import argparse
import asyncio
import socket
import sys
import threading


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def pump(reader, writer, delay):
    """Copies reader to writer, each chunk `delay` seconds after it arrived; EOF too."""
    loop = asyncio.get_running_loop()
    due = asyncio.Queue()

    async def deliver():
        while True:
            at, chunk = await due.get()
            wait = at - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if chunk is None:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(chunk)
            await writer.drain()

    delivering = asyncio.ensure_future(deliver())
    try:
        while True:
            chunk = await reader.read(65536)
            due.put_nowait((loop.time() + delay, chunk or None))
            if not chunk:
                break
        await delivering
    except (ConnectionError, OSError):
        delivering.cancel()
        transport = writer.transport
        transport.abort()  # a reset on one side is a reset on the other


async def relay(client_reader, client_writer, port, rtt):
    await asyncio.sleep(1.5 * rtt)  # SYN, SYN-ACK, then the ACK that lets the server accept
    try:
        server_reader, server_writer = await asyncio.open_connection("::1", port)
    except OSError:
        client_writer.transport.abort()
        return
    no_delay(client_writer)
    no_delay(server_writer)
    await asyncio.gather(pump(client_reader, server_writer, rtt / 2),
                         pump(server_reader, client_writer, rtt / 2), return_exceptions=True)
    for w in (client_writer, server_writer):
        w.close()


async def serve(args):
    rtt = args.rtt / 1000
    servers = [await asyncio.start_server(
        lambda r, w: relay(r, w, args.target, rtt), "127.0.0.1", 0)]
    if args.passive:
        low, high = (int(p) for p in args.passive.split("-"))
        for port in range(low, high + 1):
            servers.append(await asyncio.start_server(
                lambda r, w, port=port: relay(r, w, port, rtt), "127.0.0.1", port))
    print(f"port {servers[0].sockets[0].getsockname()[1]}", flush=True)
    closed = asyncio.Event()
    loop = asyncio.get_running_loop()

    def watch():
        while sys.stdin.buffer.read1(4096):
            pass
        loop.call_soon_threadsafe(closed.set)

    threading.Thread(target=watch, daemon=True).start()
    await closed.wait()
    for server in servers:
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rtt", type=float, required=True, metavar="MS")
    parser.add_argument("--target", type=int, required=True, metavar="PORT")
    parser.add_argument("--passive", metavar="LO-HI")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
