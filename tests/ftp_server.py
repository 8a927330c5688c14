#!/usr/bin/python3
"""A scriptable FTP server for tests, on pyftpdlib.

Listens on 127.0.0.1, on a free port; the first line on stdout is that port. Then one line per
event, flushed at once:
    CONNECT <host>:<port>       a client connected (also in --silent mode)
    COMMAND <line>              a command as received; the argument of PASS shown as ****
    STORED <path> <bytes>       an upload completed; <path> relative to --home
    INCOMPLETE <path>           an upload broke off
    DISCONNECT                  a client went away
Exits when its stdin closes (or on SIGTERM), so a test that dies takes its server with it.

Fault modes:
    --throttle N           receive and send at most about N bytes per second on data connections
    --reply CMD LINE       answer command CMD with LINE instead of carrying it out (repeatable);
                           "{arg}" in LINE stands for the command's argument
    --reply-on-stor LINE   short for --reply STOR LINE
    --reply-hidden CMD LINE  the same, only for an argument whose name starts with "."
    --silent               accept connections and never send a byte
    --auth-failed-delay S  wait S seconds before answering a failed login (pyftpdlib's default
                           is 3; here 0, so short client timeouts still see the 530)
    --refuse-rename-over CODE  answer RNTO onto an existing name with CODE (550, 553)
    --refuse-hidden stor|rnfr  refuse STOR or RNFR of names that start with "."
    --refuse-hidden temporary  refuse STOR of temporary names (".partial-"), hidden or not
    --short-by N           keep N bytes fewer than received, still answering 226
    --cut-after N          reset both connections once N bytes of an upload arrived (the first
                           upload only; later connections work, so a client can clean up)
    --drop-after-dele      carry out the first DELE, then reset the connection unanswered
    --port N               listen on this port instead of a free one (a server that comes back)
    --address ::1          listen there instead (the benchmark's delaying proxy takes 127.0.0.1)
    --passive-ports LO-HI  passive data connections on these ports only
"""

import argparse
import logging
import os
import posixpath
import select
import socket
import struct
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def event(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def stdin_closed_flag():
    closed = threading.Event()

    def watch():
        while sys.stdin.buffer.read1(4096):
            pass
        closed.set()

    threading.Thread(target=watch, daemon=True).start()
    return closed


def serve_silently(closed):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    event(str(listener.getsockname()[1]))
    held = []
    while not closed.is_set():
        readable, _, _ = select.select([listener], [], [], 0.1)
        if readable:
            conn, peer = listener.accept()
            held.append(conn)  # kept open, never answered
            event("CONNECT %s:%d" % peer)
    for conn in held:
        conn.close()


def reset(sock):
    # A reset rather than an orderly close: the client must see a broken connection.
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass


def is_hidden(path):
    return posixpath.basename(path.rstrip("/")).startswith(".")


def make_dtp(args):
    base = ThrottledDTPHandler if args.throttle else DTPHandler

    class DTP(base):
        read_limit = args.throttle
        write_limit = args.throttle
        cut_done = False

        def handle_read(self):
            super().handle_read()
            cls = type(self)
            if args.cut_after and not cls.cut_done and self.tot_bytes_received >= args.cut_after:
                cls.cut_done = True
                reset(self.socket)
                reset(self.cmd_channel.socket)
                self.cmd_channel.close()

        handle_read_event = handle_read  # the base class binds its own handle_read here

    return DTP


def make_handler(args):
    replies = {cmd.upper(): line for cmd, line in args.reply}
    hidden_replies = {cmd.upper(): line for cmd, line in args.reply_hidden}
    if args.reply_on_stor is not None:
        replies["STOR"] = args.reply_on_stor
    home = os.path.realpath(args.home)
    drop_done = []

    class Handler(FTPHandler):
        def on_connect(self):
            event("CONNECT %s:%d" % (self.remote_ip, self.remote_port))

        def on_disconnect(self):
            event("DISCONNECT")

        def pre_process_command(self, line, cmd, arg):
            event("COMMAND " + ("PASS ****" if cmd == "PASS" else line))
            reply = hidden_replies.get(cmd) if is_hidden(arg) else None
            reply = replies.get(cmd, reply)
            if reply is not None:
                self.respond(reply.replace("{arg}", arg))
                return
            super().pre_process_command(line, cmd, arg)

        def ftp_STOR(self, file, mode="w"):
            if args.refuse_hidden == "stor" and is_hidden(file):
                return self.respond("553 Hidden file names are not allowed.")
            if args.refuse_hidden == "temporary" and ".partial-" in posixpath.basename(file):
                return self.respond("553 Could not create file.")
            return super().ftp_STOR(file, mode)

        def ftp_RNFR(self, path):
            if args.refuse_hidden == "rnfr" and is_hidden(path):
                return self.respond("550 Hidden files cannot be renamed.")
            return super().ftp_RNFR(path)

        def ftp_DELE(self, path):
            if args.drop_after_dele and not drop_done:
                drop_done.append(path)
                self.fs.remove(path)
                reset(self.socket)
                return self.close()
            return super().ftp_DELE(path)

        def ftp_RNTO(self, path):
            if args.refuse_rename_over and self._rnfr and self.fs.lexists(path):
                self._rnfr = None
                return self.respond("%d Destination file exists." % args.refuse_rename_over)
            return super().ftp_RNTO(path)

        def on_file_received(self, file):
            # Runs before the next command is read, so a SIZE already sees the short file.
            if args.short_by:
                os.truncate(file, max(0, os.path.getsize(file) - args.short_by))
            path = os.path.relpath(file, home)
            event("STORED %s %d" % (path, os.path.getsize(file)))

        def on_incomplete_file_received(self, file):
            event("INCOMPLETE " + os.path.relpath(file, home))

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, home, perm="elradfmwMT")
    Handler.authorizer = authorizer
    Handler.auth_failed_timeout = args.auth_failed_delay
    Handler.dtp_handler = make_dtp(args)
    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--home", required=True)
    parser.add_argument("--user", default="user")
    parser.add_argument("--password", default="password")
    parser.add_argument("--throttle", type=int, default=0, metavar="BYTES_PER_S")
    parser.add_argument("--reply", nargs=2, action="append", default=[], metavar=("CMD", "LINE"))
    parser.add_argument("--reply-on-stor", metavar="LINE")
    parser.add_argument("--reply-hidden", nargs=2, action="append", default=[],
                        metavar=("CMD", "LINE"))
    parser.add_argument("--silent", action="store_true")
    parser.add_argument("--refuse-rename-over", type=int, metavar="CODE")
    parser.add_argument("--refuse-hidden", choices=["stor", "rnfr", "temporary"])
    parser.add_argument("--short-by", type=int, default=0, metavar="N")
    parser.add_argument("--cut-after", type=int, default=0, metavar="N")
    parser.add_argument("--drop-after-dele", action="store_true")
    parser.add_argument("--auth-failed-delay", type=float, default=0.0, metavar="S")
    parser.add_argument("--address", choices=["127.0.0.1", "::1"], default="127.0.0.1")
    parser.add_argument("--passive-ports", metavar="LO-HI")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    closed = stdin_closed_flag()
    if args.silent:
        serve_silently(closed)
        return

    handler = make_handler(args)
    if args.passive_ports:
        low, high = (int(p) for p in args.passive_ports.split("-"))
        handler.passive_ports = list(range(low, high + 1))
    server = FTPServer((args.address, args.port), handler)
    event(str(server.socket.getsockname()[1]))
    while not closed.is_set():
        server.serve_forever(timeout=0.1, blocking=False)
    server.close_all()


if __name__ == "__main__":
    main()
