"""Ending a process that a test started: asked first, killed if it does not go within 5 s."""
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
    """Ends a process that leads a process group of its own, and all it started in that group
    (such as the services a D-Bus daemon starts on demand)."""
    def signal_group(number):
        try:
            os.killpg(process.pid, number)
            return True
        except ProcessLookupError:
            return False

    signal_group(signal.SIGTERM)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        process.poll()
        if not signal_group(0):
            return
        time.sleep(0.05)
    signal_group(signal.SIGKILL)
    process.wait(timeout=5)
