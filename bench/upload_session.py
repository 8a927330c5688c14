"""Running the benchmarks' programs: one to its end, or bench_upload as a session that uploads on
each line it is sent; their output as key=value lines."""
import queue
import subprocess
import threading
import time

from processes import end


def key_values(text):
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def run(argv, timeout, env=None):
    """Runs argv to its end; returns its stdout and the child's rusage."""
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=env)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate(timeout=10)
        raise RuntimeError(f"{argv[0]} ran longer than {timeout} s")
    if process.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed ({process.returncode}): {err.strip()}"
                           f" {out.strip()}")
    return out


class session:
    """A bench_upload process that carries out one upload per line it is sent."""

    def __init__(self, argv, env):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, env=env)
        self.lines = queue.Queue()

        def read():
            for line in self.process.stdout:
                self.lines.put(line.rstrip("\n"))
            self.lines.put(None)
        threading.Thread(target=read, daemon=True).start()

    def collect(self, deadline, until):
        got = []
        while True:
            line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            if line == until:
                return key_values("\n".join(got))
            if line is None:
                raise RuntimeError("bench_upload ended early: " + " ".join(got))
            got.append(line)

    def upload(self, timeout=300):
        self.process.stdin.write("go\n")
        self.process.stdin.flush()
        return self.collect(time.monotonic() + timeout, "end")

    def finish(self, timeout=60):
        """Ends the process; what it printed last."""
        self.process.stdin.close()
        try:
            return self.collect(time.monotonic() + timeout, None)
        finally:
            end(self.process)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        end(self.process)
        return False
