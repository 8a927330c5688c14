"""keyring_session.py MODE PROGRAM [ARGUMENT...]: runs PROGRAM in a private D-Bus session, with
HOME and the XDG folders in a temporary folder so that no real keyring is touched, then ends all.

MODE keyring: gnome-keyring-daemon unlocked with a test password; locked: one without a keyring
it may open, whose dialog cannot come up; silent: the unlocked one stopped, holding its name and
never answering; none: no Secret Service, and none the bus could start (no service folders)."""
import os
import signal
import subprocess
import sys
import tempfile
import time

from processes import end_group

# The policy of Debian's session.conf, without its service folders.
BUS_CONFIG = ('<busconfig><type>session</type><listen>unix:dir={0}</listen><auth>EXTERNAL</auth>'
              '<policy context="default"><allow send_destination="*" eavesdrop="true"/>'
              '<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>')


def start(argv, env, **options):
    options.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(argv, env=env, start_new_session=True, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, **options)


def keyring_on_bus(env):
    reply = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                            "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                            "string:org.freedesktop.secrets"], env=env, capture_output=True,
                           text=True, timeout=10)
    return "boolean true" in reply.stdout


def run(mode, argv, folder, started):
    env = {key: value for key, value in os.environ.items() if not key.startswith(
        ("XDG_", "DBUS_", "KDE_", "GNOME_", "DISPLAY", "WAYLAND_", "DESKTOP_"))}
    env["HOME"] = folder
    for name in ("DATA", "CONFIG", "CACHE", "RUNTIME"):
        env[f"XDG_{name}_{'DIR' if name == 'RUNTIME' else 'HOME'}"] = path = f"{folder}/{name}"
        os.mkdir(path, 0o700)
    with open(f"{folder}/bus.conf", "w") as file:
        file.write(BUS_CONFIG.format(folder))
    read_end, write_end = os.pipe()
    started.append(start(["dbus-daemon", f"--config-file={folder}/bus.conf", "--nofork",
                          f"--print-address={write_end}"], env, pass_fds=[write_end]))
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        env["DBUS_SESSION_BUS_ADDRESS"] = pipe.readline().strip()
    if mode != "none":
        unlock = mode != "locked"
        keyring = start(["gnome-keyring-daemon", "--components=secrets", "--foreground"]
                        + ["--unlock"] * unlock, env, stdin=subprocess.PIPE)
        started.append(keyring)
        keyring.stdin.write(b"keyring test password" * unlock)
        keyring.stdin.close()
        deadline = time.monotonic() + 15
        while not keyring_on_bus(env):
            if keyring.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("gnome-keyring-daemon did not come onto the bus")
            time.sleep(0.05)
        if mode == "silent":
            os.killpg(keyring.pid, signal.SIGSTOP)
    return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, timeout=200).returncode


def main():
    started = []
    with tempfile.TemporaryDirectory(prefix="ftp-publisher-keyring-") as folder:
        try:
            return run(sys.argv[1], sys.argv[2:], folder, started)
        finally:
            for process in reversed(started):
                os.killpg(process.pid, signal.SIGCONT)  # a stopped process could not end
                end_group(process)


if __name__ == "__main__":
    sys.exit(main())
