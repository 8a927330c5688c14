"""Ending a process that a test started: asked first, killed if it does not go within 5 s."""
import contextlib
import os
import signal
import subprocess
import time


def end(process):
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


@contextlib.contextmanager
def ftp_server_port(script, home, user, password):
    """Runs tests/ftp_server.py (`script`) with one account over `home`; yields its port and ends
    it afterwards: it goes when its stdin closes."""
    server = subprocess.Popen(["/usr/bin/python3", script, "--home", home, "--user", user,
                               "--password", password],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        yield int(server.stdout.readline())
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(timeout=5)
