"""Ending a process that a test started: asked first, killed if it does not go within 5 s."""
import subprocess


def end(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=5)
