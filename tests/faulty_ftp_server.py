#!/usr/bin/python3
"""An FTP server on 127.0.0.1 that misbehaves on request, for the publishing tests.

Prints its port as the first line on stdout, then serves until stdin closes or SIGTERM.
Every command it receives goes to the log file as "<session> <command line>" (the password
masked), so a test can check the order of commands and which connection sent them.
"""

import argparse
import os
import posixpath
import signal
import socket
import struct
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True, help="home directory of the user")
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--log", required=True, help="file that receives every command")
    parser.add_argument("--refuse-rename-over", type=int, metavar="CODE",
                        help="answer RNTO onto an existing name with this code (550, 553)")
    parser.add_argument("--refuse-hidden", choices=["stor", "rnfr"],
                        help="refuse STOR or RNFR of names that start with '.'")
    parser.add_argument("--short-by", type=int, default=0, metavar="N",
                        help="keep N bytes fewer than received, still answering 226")
    parser.add_argument("--cut-after", type=int, default=0, metavar="N",
                        help="reset both connections once N bytes of an upload arrived "
                             "(the first upload only)")
    parser.add_argument("--rate", type=int, default=0, metavar="BYTES",
                        help="receive at most this many bytes per second")
    return parser.parse_args()


def is_hidden(path):
    return posixpath.basename(path.rstrip("/")).startswith(".")


def reset(sock):
    # A reset rather than an orderly close: the client must see a broken connection.
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass


def make_handlers(args, log):
    base_dtp = ThrottledDTPHandler if args.rate else DTPHandler

    class faulty_dtp(base_dtp):
        read_limit = args.rate
        cut_done = False

        def handle_read(self):
            super().handle_read()
            cls = type(self)
            if args.cut_after and not cls.cut_done and self.tot_bytes_received >= args.cut_after:
                cls.cut_done = True
                channel = self.cmd_channel
                channel.logline("cutting both connections")
                reset(self.socket)
                reset(channel.socket)
                channel.close()

        handle_read_event = handle_read  # the base class binds its own handle_read here

    class faulty_handler(FTPHandler):
        dtp_handler = faulty_dtp
        sessions = 0

        def on_connect(self):
            cls = type(self)
            cls.sessions += 1
            self.session = cls.sessions

        def pre_process_command(self, line, cmd, arg):
            shown = "PASS ******" if cmd == "PASS" else line
            log.write("%d %s\n" % (self.session, shown))
            log.flush()
            super().pre_process_command(line, cmd, arg)

        def ftp_STOR(self, file, mode="w"):
            if args.refuse_hidden == "stor" and is_hidden(file):
                self.respond("553 Hidden file names are not allowed.")
                return None
            return super().ftp_STOR(file, mode)

        def ftp_RNFR(self, path):
            if args.refuse_hidden == "rnfr" and is_hidden(path):
                self.respond("550 Hidden files cannot be renamed.")
                return None
            return super().ftp_RNFR(path)

        def ftp_RNTO(self, path):
            if args.refuse_rename_over and self._rnfr and self.fs.lexists(path):
                self._rnfr = None
                self.respond("%d Destination file exists." % args.refuse_rename_over)
                return None
            return super().ftp_RNTO(path)

        def on_file_received(self, file):
            # Runs before the next command is read, so a SIZE already sees the short file.
            if args.short_by:
                os.truncate(file, max(0, os.path.getsize(file) - args.short_by))

    return faulty_handler


def stop_when_stdin_closes():
    def watch():
        # os.read: a buffered stdin would hold its lock at shutdown and abort the exit.
        while os.read(0, 4096):
            pass
        os.kill(os.getpid(), signal.SIGTERM)

    threading.Thread(target=watch, daemon=True).start()


def main():
    args = parse_args()
    log = open(args.log, "a", encoding="utf-8", errors="surrogateescape")
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    handler = make_handlers(args, log)
    handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", 0), handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(server.socket.getsockname()[1], flush=True)
    stop_when_stdin_closes()
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
