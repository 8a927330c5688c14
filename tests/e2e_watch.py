"""ftp-publisher --watch against a real FTP server on loopback and the real file system: saves
in place and by a new file renamed over the old one, a slow writer, a burst of saves, a file
deleted and back, SIGTERM, a watched folder removed. The program it reaches runs offscreen."""
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from desktop_session import check_failed, program_copy
from processes import end, end_instances, ftp_server

executable = sys.argv[1]
work = tempfile.mkdtemp(prefix="ftp-publisher-e2e-watch-")
home, local, runtime = (os.path.join(work, name) for name in ("home", "local", "runtime"))
os.makedirs(os.path.join(home, "www"))
os.makedirs(os.path.join(local, "blog"))
os.makedirs(runtime, mode=0o700)
env = dict(os.environ, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen", LANG="en_US.UTF-8",
           LANGUAGE="", LC_ALL="", DBUS_SESSION_BUS_ADDRESS="unix:path=/dev/null/no-bus")


def save(name, content, renamed=False):
    path = os.path.join(local, name)
    with open(path + ".new" if renamed else path, "wb") as f:
        f.write(content)
    if renamed:
        os.replace(path + ".new", path)


def on_server(name):
    with open(os.path.join(home, "www", name), "rb") as f:
        return f.read()


def lines(watch, quiet=1.5, limit=15.0):
    """The lines the watch prints until it has been quiet for `quiet` seconds."""
    said, deadline = [], time.monotonic() + limit
    while time.monotonic() < deadline and select.select([watch.stdout], [], [], quiet)[0]:
        said.append(watch.stdout.readline())
        if not said[-1]:
            break
    return said


def expect(watch, count, start):
    said = lines(watch)
    if len(said) != count or not all(line.startswith(start) for line in said):
        raise check_failed(f"expected {count} lines starting {start!r}, got {said!r}")
    return said


def start_watch(program, *names):
    watch = subprocess.Popen([program, "--watch", *(os.path.join(local, n) for n in names)],
                             env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    if not watch.stderr.readline().startswith("Watching "):
        raise check_failed(f"the watch did not start: exit code {watch.poll()}")
    return watch


def check(program):
    save("blog/neu.html", b"<p>1</p>\n")
    save("index.html", b"<p>index</p>\n")
    watch = start_watch(program, "blog/neu.html", "index.html")
    try:
        save("blog/neu.html", b"<p>in place</p>\n")
        expect(watch, 1, "O.K.: blog/neu.html: 16 bytes")
        assert on_server("blog/neu.html") == b"<p>in place</p>\n"
        for round in range(2):  # the watch follows the new file each time
            save("index.html", b"<p>renamed %d</p>\n" % round, renamed=True)
            expect(watch, 1, "O.K.: index.html: ")
            assert on_server("index.html") == b"<p>renamed %d</p>\n" % round

        with open(os.path.join(local, "blog/neu.html"), "wb") as slow:
            for piece in range(10):  # pauses shorter than a completed save's
                slow.write(b"x" * 1000)
                slow.flush()
                time.sleep(0.1)
        expect(watch, 1, "O.K.: blog/neu.html: 10000 bytes")

        for number in range(10):
            save("blog/neu.html", b"save %d\n" % number)
            time.sleep(0.1)
        assert len(lines(watch)) <= 2, "a burst of saves was not coalesced"
        assert on_server("blog/neu.html") == b"save 9\n"

        os.remove(os.path.join(local, "index.html"))
        expect(watch, 1, "index.html: gone")
        save("index.html", b"<p>back</p>\n")
        expect(watch, 1, "O.K.: index.html: ")
        assert on_server("index.html") == b"<p>back</p>\n"

        watch.send_signal(signal.SIGTERM)
        assert watch.wait(timeout=10) == 0, f"exit code {watch.returncode} after SIGTERM"
    finally:
        end(watch)

    watch = start_watch(program)  # the page of the settings, from a private copy as any file
    try:
        save("index.html", b"<p>page</p>\n")
        expect(watch, 1, "O.K.: index.html: 12 bytes")
        assert on_server("index.html") == b"<p>page</p>\n"
    finally:
        end(watch)

    check_folder(program)

    watch = start_watch(program, "blog/neu.html")
    try:
        shutil.rmtree(os.path.join(local, "blog"))
        assert watch.wait(timeout=10) == 1, f"exit code {watch.returncode}"
        said = watch.stderr.read()
        assert said.count("\n") == 1 and "blog" in said, said
    finally:
        end(watch)


def check_folder(program):
    """The whole site watched: a new file in a new folder, two saves over one login, and the
    skipped names never."""
    watch = start_watch(program, ".")
    try:
        os.makedirs(os.path.join(local, "neu", "tief"))
        save("neu/tief/seite.html", b"<p>tief</p>\n")
        expect(watch, 1, "O.K.: neu/tief/seite.html: ")
        assert on_server("neu/tief/seite.html") == b"<p>tief</p>\n"
        logins = events.count("COMMAND USER tester")
        save("index.html", b"<p>both 1</p>\n")
        save("blog/neu.html", b"<p>both 2</p>\n")
        said = expect(watch, 2, "O.K.: ")
        assert events.count("COMMAND USER tester") == logins + 1, "two saves, two logins"
        save(".entwurf.html", b"x")
        save("index.html~", b"x")
        assert lines(watch) == [], "a skipped name was published"
    finally:
        end(watch)


def check_retry(executable):
    """A save while the server is away: one line says so, and the save arrives by itself once the
    server is back, with one line more."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    folder, program = program_copy(executable, [
        f"ftp://127.0.0.1:{port}", "tester", "geheim 7", local + "/", "/www/", "index.html"])
    program = os.path.realpath(program)
    try:
        watch = start_watch(program, "index.html")
        try:
            save("index.html", b"<p>while away</p>\n")
            expect(watch, 1, "Fehler: index.html: ")
            with ftp_server(home, "tester", "geheim 7", extra=["--port", str(port)]):
                said = lines(watch, quiet=12, limit=20)
                assert len(said) == 1 and said[0].startswith("O.K.: index.html: "), said
                assert on_server("index.html") == b"<p>while away</p>\n"
        finally:
            end(watch)
    finally:
        end_instances(program)
        shutil.rmtree(folder, ignore_errors=True)


events = []
folder = program = None
try:
    with ftp_server(home, "tester", "geheim 7", on_event=events.append) as server:
        folder, program = program_copy(executable, [
            server.url, "tester", "geheim 7", local + "/", "/www/", "index.html"])
        program = os.path.realpath(program)
        try:
            check(program)
        finally:
            end_instances(program)
    check_retry(executable)
    print("1 passed, 0 failed")
finally:
    shutil.rmtree(work, ignore_errors=True)
    if folder:
        shutil.rmtree(folder, ignore_errors=True)
