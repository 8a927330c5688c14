"""tests/ftp_server.py (pyftpdlib) on 127.0.0.1, on a free port, for the benchmarks and the demo.

The server ends when its stdin closes, so a caller that dies takes its server with it.
"""
import os
import subprocess
import threading

SERVER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                             "ftp_server.py")
TICKS = os.sysconf("SC_CLK_TCK")


def end(process, timeout=10):
    """Closes the process's stdin, which ends our servers and clients, and waits; kills it when
    that is not enough."""
    if process.stdin and not process.stdin.closed:
        process.stdin.close()
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=5)


class ftp_server:
    """One account whose home is `home`; on_event sees each event line the server prints."""

    def __init__(self, home, user, password, throttle=0, on_event=None, extra=()):
        argv = ["/usr/bin/python3", SERVER_SCRIPT, "--home", home, "--user", user,
                "--password", password, *extra]
        if throttle:
            argv += ["--throttle", str(throttle)]
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)
        try:
            self.port = int(self.process.stdout.readline())
        except ValueError:
            end(self.process)
            raise RuntimeError("the FTP server did not report its port")
        self.url = f"ftp://127.0.0.1:{self.port}"

        def drain():  # so the server never blocks on a full pipe
            for line in self.process.stdout:
                if on_event:
                    on_event(line.rstrip("\n"))
        threading.Thread(target=drain, daemon=True).start()

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime

    def stop(self):
        end(self.process)
