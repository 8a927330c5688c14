"""A real X server with a window manager, for tests of the built program as a user sees it.

Everything started here is ended when the session closes, also when a check fails.
Every wait is bounded in time.
"""
import os
import shutil
import subprocess
import tempfile
import time

from processes import end, end_group


class check_failed(Exception):
    pass


def wait_for(what, probe, timeout=15.0, interval=0.1):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = probe()
        if last:
            return last
        time.sleep(interval)
    raise check_failed(f"timed out after {timeout:.0f} s waiting for {what} (last: {last!r})")


class desktop_session:
    def __init__(self, session_bus=False):  # a D-Bus session of its own, for accessibility
        self.session_bus = session_bus
        self.processes = []
        self.groups = set()  # pids of processes that are ended with their process group
        self.display = None

    def __enter__(self):
        # A window manager that did not come up (seen once in CI) gets a new display and
        # another try; the last failure says what openbox printed.
        tries = 3
        for attempt in range(tries):
            try:
                self.start_display()
                self.start_window_manager()
                if self.session_bus:
                    self.start_session_bus()
                return self
            except check_failed:
                self.end_all()
                if attempt == tries - 1:
                    raise
            except BaseException:  # __exit__ is not called when __enter__ raises
                self.end_all()
                raise

    def __exit__(self, *exc):
        self.end_all()
        return False

    def end_all(self):
        for process in reversed(self.processes):
            (end_group if process.pid in self.groups else end)(process)
        self.processes = []
        self.groups = set()

    def start_reporting(self, argv, **options):
        """Starts argv, "{fd}" in it standing for a pipe, and returns the line it reports there."""
        read_end, write_end = os.pipe()
        process = subprocess.Popen([arg.format(fd=write_end) for arg in argv], pass_fds=[write_end],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, **options)
        self.processes.append(process)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            line = pipe.readline().strip()
        if not line:
            raise check_failed(f"{argv[0]} reported nothing (exit code {process.poll()})")
        return process, line

    def start_display(self):
        _, number = self.start_reporting(
            ["Xvfb", "-displayfd", "{fd}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"])
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        self.env.pop("QT_SCALE_FACTOR", None)

    def start_window_manager(self):
        with tempfile.TemporaryFile() as log:
            openbox = self.start(["openbox", "--sm-disable"], output=log)

            def running():
                if openbox.poll() is not None:
                    log.seek(0)
                    said = log.read().decode(errors="replace").strip()
                    raise check_failed(f"openbox on {self.display} ended with exit code "
                                       f"{openbox.returncode}: {said!r}")
                return self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK",
                                check=False).find("window id") >= 0
            wait_for(f"the window manager on {self.display}", running, timeout=20.0)

    def start_session_bus(self):
        # In a session of its own: the buses and the registry it starts on demand stay in its
        # process group and end with it.
        bus, address = self.start_reporting(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address={fd}"],
            start_new_session=True, env=self.env)
        self.groups.add(bus.pid)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        self.env.pop("AT_SPI_BUS_ADDRESS", None)

    def start(self, argv, cwd=None, output=subprocess.DEVNULL):
        process = subprocess.Popen(argv, env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                                   stdout=output, stderr=output)
        self.processes.append(process)
        return process

    def run(self, *argv, check=True):
        done = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=20)
        if check and done.returncode != 0:
            raise check_failed(f"{' '.join(argv)} failed: {done.stderr.strip()}")
        return done.stdout

    def find_window(self, title):
        def probe():
            out = self.run("xdotool", "search", "--name", f"^{title}$", check=False).split()
            return out[0] if out else None
        return wait_for(f"a window titled {title!r}", probe)

    def title(self, window):
        return self.run("xdotool", "getwindowname", window, check=False).strip()

    def wm_state(self, window):
        out = self.run("xprop", "-id", window, "WM_STATE", check=False)
        for line in out.splitlines():
            if "window state:" in line:
                return line.split(":", 1)[1].strip()
        return None

    def client_size(self, window):
        out = self.run("xwininfo", "-id", window)
        values = dict(line.strip().split(":", 1) for line in out.splitlines()
                      if line.strip().startswith(("Width:", "Height:")))
        return int(values["Width"]), int(values["Height"])

    def restore(self, window):
        self.run("xdotool", "windowactivate", window, check=False)
        wait_for("the window to be restored", lambda: self.wm_state(window) == "Normal"
                 and "IsViewable" in self.run("xwininfo", "-id", window, check=False))

    def click(self, window, x, y):
        self.run("xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1")

    def click_until(self, window, x, y, what, probe, tries=3):
        """A click on a window just restored can arrive before it takes input; a lost click
        changes nothing, so it is repeated, a few times at most."""
        for attempt in range(tries):
            self.click(window, x, y)
            try:
                return wait_for(what, probe, timeout=4.0 if attempt < tries - 1 else 15.0)
            except check_failed:
                if attempt == tries - 1:
                    raise

    def screenshot(self, path):
        self.run("import", "-window", "root", path)


def program_copy(executable, ini_lines=None):
    """A folder with its own copy of the program, so the run never touches another ftpserver.ini."""
    folder = tempfile.mkdtemp(prefix="ftp-publisher-e2e-")
    target = os.path.join(folder, "ftp-publisher")
    shutil.copy2(executable, target)
    if ini_lines is not None:
        with open(os.path.join(folder, "ftpserver.ini"), "wb") as ini:
            ini.write(b"".join(line.encode("utf-8") + b"\r\n" for line in ini_lines))
    return folder, target
