"""Starting and ending the processes that tests, benchmarks and the demo run on this machine.

Our servers (tests/ftp_server.py, tests/secure_servers.py, bench/delay_proxy.py) listen on
loopback, report their port on stdout and end, with all they started, when their stdin closes.
"""
import os
import signal
import subprocess
import threading
import time

FTP_SERVER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ftp_server.py")
TICKS = os.sysconf("SC_CLK_TCK")


def end(process, timeout=10):
    """Ends a process we started: a closed stdin first, which ends our servers with everything
    they started; then SIGTERM, and SIGKILL if it does not go within 5 s."""
    if process.stdin and not process.stdin.closed:
        try:
            process.stdin.close()
            process.wait(timeout=timeout)
        except (OSError, subprocess.TimeoutExpired):
            pass
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=5)


def end_group(process):
    """Ends a process that leads a process group of its own, with all it started there."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
        for _ in range(100):  # 5 s
            process.poll()  # the leader counts until it is reaped
            os.killpg(process.pid, 0)  # raises once the whole group is gone
            time.sleep(0.05)
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait(timeout=5)


def instances(program):
    """The processes that run this copy of the program."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/exe") == program:
                found.append(int(pid))
        except OSError:
            pass
    return found


def end_instances(program):
    """The instances that --publish started are not our children: found by their program."""
    for pid in instances(program):
        try:
            os.kill(pid, signal.SIGTERM)
            for _ in range(100):  # 5 s
                if pid not in instances(program):
                    break
                time.sleep(0.05)
            else:
                os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class process_with_port:
    """A helper script that prints "port N" (or the bare number) and runs until its stdin
    closes; on_line sees every later line it prints. Ended by stop(), or as a context."""

    def __init__(self, argv, on_line=None, timeout=30):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)
        deadline = time.monotonic() + timeout
        self.port = None
        while self.port is None and time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            word = line.split()[-1] if line.split() else ""
            if word.isdigit() and line.split()[0] in ("port", word):
                self.port = int(word)
        if self.port is None:
            end(self.process)
            raise RuntimeError(f"{' '.join(argv[:2])} did not report its port")

        def drain():  # so the helper never blocks on a full pipe
            for line in self.process.stdout:
                if on_line:
                    on_line(line.rstrip("\n"))
        threading.Thread(target=drain, daemon=True).start()

    def stop(self):
        end(self.process)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


class ftp_server(process_with_port):
    """tests/ftp_server.py (pyftpdlib) on 127.0.0.1 with one account whose home is `home`;
    on_event sees each event line it prints, `extra` are its fault modes."""

    def __init__(self, home, user, password, throttle=0, on_event=None, extra=()):
        argv = ["/usr/bin/python3", FTP_SERVER_SCRIPT, "--home", home, "--user", user,
                "--password", password, *extra]
        if throttle:
            argv += ["--throttle", str(throttle)]
        super().__init__(argv, on_event)
        self.url = f"ftp://127.0.0.1:{self.port}"

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime
