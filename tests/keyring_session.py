"""Runs a test program in a private D-Bus session with a keyring of its own, then ends both.

    keyring_session.py MODE PROGRAM [ARGUMENT...]

MODE keyring: gnome-keyring-daemon, unlocked with a test password; locked: the same daemon
without a keyring it may open, whose dialog to make one cannot come up; silent: the unlocked
daemon, stopped, so that it holds its name on the bus and never answers; none: no Secret
Service, and none that the bus could start (it has no service directories). HOME and the XDG folders point
into a temporary folder, so that the user's own keyring is never touched.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

from processes import end_group

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir={folder}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def private_environment(folder):
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("XDG_", "DBUS_", "KDE_", "GNOME_"))
           and key not in ("DISPLAY", "WAYLAND_DISPLAY", "DESKTOP_SESSION")}
    env["HOME"] = folder
    for name, sub in (("XDG_DATA_HOME", "data"), ("XDG_CONFIG_HOME", "config"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "run")):
        env[name] = os.path.join(folder, sub)
        os.makedirs(env[name], mode=0o700)
    return env


def start_bus(folder, env):
    config = os.path.join(folder, "bus.conf")
    with open(config, "w") as file:
        file.write(BUS_CONFIG.format(folder=folder))
    read_end, write_end = os.pipe()
    bus = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork", "--nopidfile",
                            f"--print-address={write_end}"], pass_fds=[write_end], env=env,
                           start_new_session=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        address = pipe.readline().strip()
    return bus, address


def has_owner(env, name):
    done = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                           "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                           f"string:{name}"], env=env, capture_output=True, text=True, timeout=10)
    return "boolean true" in done.stdout


def start_keyring(env, unlocked):
    keyring = subprocess.Popen(["gnome-keyring-daemon", "--components=secrets", "--foreground"]
                               + (["--unlock"] if unlocked else []), env=env,
                               start_new_session=True, stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if unlocked:
        keyring.stdin.write(b"keyring test password")
    keyring.stdin.close()
    deadline = time.monotonic() + 15
    while not has_owner(env, "org.freedesktop.secrets"):
        if keyring.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("gnome-keyring-daemon did not take org.freedesktop.secrets")
        time.sleep(0.05)
    return keyring


def main():
    mode, argv = sys.argv[1], sys.argv[2:]
    if mode not in ("keyring", "locked", "silent", "none"):
        sys.exit(f"unknown mode {mode!r}")
    started = []
    with tempfile.TemporaryDirectory(prefix="ftp-publisher-keyring-") as folder:
        try:
            env = private_environment(folder)
            bus, env["DBUS_SESSION_BUS_ADDRESS"] = start_bus(folder, env)
            started.append(bus)
            if not env["DBUS_SESSION_BUS_ADDRESS"]:
                sys.exit("dbus-daemon reported no address")
            if mode != "none":
                started.append(start_keyring(env, unlocked=mode != "locked"))
                if mode == "silent":
                    os.killpg(started[-1].pid, signal.SIGSTOP)
            return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, timeout=200).returncode
        finally:
            for process in reversed(started):
                try:
                    os.killpg(process.pid, signal.SIGCONT)  # a stopped one could not go
                except ProcessLookupError:
                    pass
                end_group(process)


if __name__ == "__main__":
    sys.exit(main())
