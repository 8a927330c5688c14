"""ftp-publisher --publish under a real X server, against a real FTP server on loopback: through
a running program (whose title and notification show the outcome too), through one it starts
itself (one for two clients at once), and against one that hangs; the page or any file of the
site; exit codes 0, 1 and 2, one line each; a socket in a folder others could write not believed."""
import json
import os
import queue
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

from desktop_session import check_failed, desktop_session, program_copy, wait_for
from processes import end_instances, ftp_server, instances

executable = sys.argv[1]
notification_script = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                   "notification_service.py")

work = tempfile.mkdtemp(prefix="ftp-publisher-e2e-publish-")
home, local, runtime = (os.path.join(work, name) for name in ("home", "local", "runtime"))
os.makedirs(os.path.join(home, "www"))
os.makedirs(local)
os.makedirs(runtime, mode=0o700)
page_path = os.path.join(local, "aktuell_home.php")


def write_page(content):
    with open(page_path, "wb") as f:
        f.write(content)


def on_server(name="aktuell_home.php"):
    with open(os.path.join(home, "www", name), "rb") as f:
        return f.read()


def runner(program, env):
    """Runs the program with arguments and checks its exit code, its lines and its time."""
    def publish(*args, code, out="", err="", within=30.0, lines=1):
        clock = time.monotonic()
        done = subprocess.run([program, *args], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=within + 10)
        took = time.monotonic() - clock
        said = done.stdout + done.stderr
        if (done.returncode != code or not done.stdout.startswith(out)
                or not done.stderr.startswith(err) or took > within
                or (lines is not None and said.count("\n") != lines)):
            raise check_failed(f"{args}: exit code {done.returncode} after {took:.1f} s, "
                               f"said {said!r}; expected {code}, {out or err!r}")
        return said
    return publish


def notification_service(desktop):
    service = subprocess.Popen(["/usr/bin/python3", notification_script], env=desktop.env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    desktop.processes.append(service)

    # Read by a thread: select() on the pipe cannot see lines already in the reader's buffer.
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in service.stdout], daemon=True).start()

    def next_notification():
        try:
            return json.loads(lines.get(timeout=10))
        except queue.Empty:
            raise check_failed("no notification within 10 s") from None
    if lines.get(timeout=30) != "READY\n":
        raise check_failed("the notification service did not start")
    return next_notification


def check(desktop, program, folder):
    publish = runner(program, desktop.env)

    # A wrong argument starts nothing.
    for wrong in (["--bogus"], ["now", "--publish"], ["-platform", "offscreen"], ["--publish", ""]):
        publish(*wrong, code=2, err="usage: ftp-publisher [--publish [FILE...] | --watch [FILE...] | "
                "--publish-changed [--dry-run | --mark-published]]\n",
                within=10)
    if os.listdir(runtime) or instances(program):
        raise check_failed("a wrong argument started the program")

    # Through the running program: exactly a click, title and notification too.
    next_notification = notification_service(desktop)
    instance = desktop.start([program], cwd=folder)
    window = desktop.find_window("FTP - Server")
    write_page(b"<p>one</p>\n")
    said = publish("--publish", code=0, out="O.K.: ")
    assert "erfolgreich" in said, said
    assert on_server() == b"<p>one</p>\n", "the page on the server differs"
    wait_for('the title "O.K."', lambda: desktop.title(window) == "O.K.")
    shown = next_notification()
    assert shown["summary"] == "O.K." and "erfolgreich" in shown["body"], shown
    os.remove(page_path)
    said = publish("--publish", code=1, out="Fehler: ")
    assert "local file not found" in said and "aktuell_home.php" in said, said
    shown = next_notification()
    assert shown["summary"] == "Fehler" and shown["replaces_id"] > 0, shown
    wait_for('the title "Fehler"', lambda: desktop.title(window) == "Fehler")
    wait_for("the window minimised", lambda: desktop.wm_state(window) == "Iconic")
    check_site_files(publish, next_notification, desktop, window)
    check_changed_files(publish, next_notification)

    # A program that no longer answers: a clear failure, soon.
    os.kill(instance.pid, signal.SIGSTOP)
    publish("--publish", code=1, err="Fehler: the running ftp-publisher did not answer",
            within=15)
    instance.kill()  # a stopped process still ends at once; its socket stays behind
    instance.wait(timeout=5)

    # With none running it starts one, which stays.
    write_page(b"<p>two</p>\n")
    publish("--publish", code=0, out="O.K.: ")
    assert on_server() == b"<p>two</p>\n", "the page on the server differs"
    window = desktop.find_window("O.K.")
    wait_for("the window minimised", lambda: desktop.wm_state(window) == "Iconic")
    assert len(instances(program)) == 1, f"{len(instances(program))} instances run"

    # Started for a client while another owns the name: it leaves that one the only one.
    late = subprocess.Popen([program], env=dict(desktop.env, FTP_PUBLISHER_START_LOCK=os.path.join(
        work, "late.lock")), stdin=subprocess.DEVNULL)
    if late.wait(timeout=20) != 0:
        raise check_failed("a program started for a client stayed beside the running one")
    assert len(instances(program)) == 1, f"{len(instances(program))} instances run"

    # Two at once with none running: one program for both.
    end_instances(program)
    both = [subprocess.Popen([program, "--publish"], env=desktop.env, stdout=subprocess.PIPE)
            for _ in range(2)]
    assert [client.wait(timeout=40) for client in both] == [0, 0], "a client failed"
    assert len(instances(program)) == 1, f"{len(instances(program))} instances run"


def site_file(name, content=b"<p>neu</p>\n"):
    path = os.path.join(local, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)
    return path


def check_site_files(publish, next_notification, desktop, window):
    """Any file of the site, under its path below the local directory, folders made."""
    with open(os.path.join(os.path.dirname(program), "ftpserver.ini"), "rb") as f:
        settings = f.read()
    said = publish("--publish", site_file("blog/2024/neu.html"), code=0,
                   out="O.K.: blog/2024/neu.html: ")
    assert "erfolgreich" in said, said
    assert on_server("blog/2024/neu.html") == b"<p>neu</p>\n"
    assert next_notification()["body"].startswith("blog/2024/neu.html: "), "no file named"
    wait_for('the title "O.K."', lambda: desktop.title(window) == "O.K.")
    names = [" a b.html", "Ümlaut 100%#1.html", "-dash.html", ".hidden.html"]
    said = publish("--publish", *map(site_file, names), os.path.join(local, "fehlt.html"),
                   code=1, lines=5)
    assert said.splitlines()[-1].startswith("Fehler: fehlt.html: "), said
    assert all(on_server(name) == b"<p>neu</p>\n" for name in names), said
    outside = os.path.join(work, "outside.html")
    with open(outside, "wb") as f:
        f.write(b"<p>private</p>\n")
    os.symlink(outside, os.path.join(local, "link.html"))
    inside = site_file("index.html")
    for path in (outside, os.path.join(local, "link.html"), local + "/../outside.html"):
        publish("--publish", inside, path, code=2, err=path + " lies outside", within=10)
    publish("--publish", os.path.join(local, "blog"), code=2, err=os.path.join(local, "blog"))
    # A link goes under its own name, its target's folder never made.
    site_file("versions/v3.html", b"<p>v3</p>\n")
    os.symlink("versions/v3.html", os.path.join(local, "start.html"))
    publish("--publish", os.path.join(local, "start.html"), code=0, out="O.K.: start.html: ")
    assert on_server("start.html") == b"<p>v3</p>\n", "the link went elsewhere"
    assert not os.path.exists(os.path.join(home, "www", "versions")), "the target's folder made"
    with open(os.path.join(os.path.dirname(program), "ftpserver.ini"), "rb") as f:
        assert f.read() == settings, "ftpserver.ini changed"
    assert not {"outside.html", "link.html", "index.html"} & set(os.listdir(os.path.join(home, "www")))


def check_refused_setting(executable, url):
    """A password the transfer refuses: the client is told and let go at once, whatever the box
    on the window waits for."""
    folder, program = program_copy(executable, [url, "tester", "geheim\t7", local + "/", "/www/",
                                                "aktuell_home.php"])
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen",
               LANG="en_US.UTF-8", LANGUAGE="", LC_ALL="",
               DBUS_SESSION_BUS_ADDRESS="unix:path=/dev/null/no-bus")
    publish = runner(program, env)
    try:
        publish("--publish", code=1, out="Fehler: ", within=30)  # starts it
        clock = time.monotonic()
        said = publish("--publish", code=1, out="Fehler: ", within=10)
        assert "control character" in said, said
        assert time.monotonic() - clock < 2.0, f"answered after {time.monotonic() - clock:.1f} s"
    finally:
        end_instances(program)
        shutil.rmtree(folder, ignore_errors=True)


def check_changed_files(publish, next_notification):
    """The whole site in one command: all of it first, then nothing; the summary last."""
    said = publish("--publish-changed", code=0, lines=None).splitlines()
    assert said[0].startswith("nothing published yet"), said
    assert "skipped: link.html: a link to " in "\n".join(said), said
    assert "O.K.: start.html: " in "\n".join(said), said
    assert re.fullmatch(r"\d+ published, 0 failed, 0 unchanged", said[-1]), said
    published = int(said[-1].split()[0])
    for _ in range(10):  # after those of the files published before, one for the whole run
        shown = next_notification()
        if "files published" in shown["body"]:
            break
    assert shown["body"] == f"{published} files published", shown
    said = publish("--publish-changed", "--dry-run", code=0, lines=2).splitlines()
    assert said[-1] == f"0 to publish, 0 failed, {published} unchanged", said
    site_file("blog/2024/neu.html", b"<p>neuer</p>\n")
    said = publish("--publish-changed", code=0, lines=3).splitlines()
    assert said[1].startswith("O.K.: blog/2024/neu.html: "), said
    assert said[2] == f"1 published, 0 failed, {published - 1} unchanged", said
    assert on_server("blog/2024/neu.html") == b"<p>neuer</p>\n"
    next_notification()


def check_shared_temporary_folder(program):
    """Without XDG_RUNTIME_DIR the socket lives in a folder of the user's own in the temporary
    folder: believed only while that folder is private, and ours."""
    tmp = tempfile.mkdtemp(prefix="fp-")  # short: a socket's path has room for 107 bytes
    env = {key: value for key, value in os.environ.items() if key != "XDG_RUNTIME_DIR"}
    env.update(TMPDIR=tmp, QT_QPA_PLATFORM="offscreen", LANG="en_US.UTF-8", LANGUAGE="",
               LC_ALL="", DBUS_SESSION_BUS_ADDRESS="unix:path=/dev/null/no-bus")
    publish = runner(program, env)
    publish("--publish", code=0, out="O.K.: ")
    end_instances(program)
    [private] = [entry.path for entry in os.scandir(tmp) if entry.name.startswith("ftp-publisher")]
    [address] = [entry.path for entry in os.scandir(private)
                 if stat.S_ISSOCK(entry.stat(follow_symlinks=False).st_mode)]
    # A program of another user's in its place would say anything.
    os.remove(address)
    squatter = socket.socket(socket.AF_UNIX)
    squatter.bind(address)
    squatter.listen()
    squatter.settimeout(20)

    def answer():
        try:
            client, _ = squatter.accept()
            client.sendall(b"O.K.\tfake\n")
            client.close()
        except OSError:
            pass
    threading.Thread(target=answer, daemon=True).start()
    faults = [(0o777, None, "is open to other users")]
    if os.geteuid() == 0:  # only root can give the folder away
        faults.append((0o700, 65534, "belongs to another user"))
    try:
        for mode, owner, said in faults:
            os.chmod(private, mode)
            if owner is not None:
                os.chown(private, owner, owner)
            publish("--publish", code=1, err=f"Fehler: {private} {said}", within=10)
        assert not instances(program), "a program was started"
    finally:
        squatter.close()
        shutil.rmtree(tmp, ignore_errors=True)


folder = program = None
try:
    with ftp_server(home, "tester", "geheim 7") as server:
        folder, program = program_copy(executable, [
            server.url, "tester", "geheim 7", local + "/", "/www/",
            "aktuell_home.php"])
        program = os.path.realpath(program)
        with desktop_session(session_bus=True) as desktop:
            desktop.env.update(XDG_RUNTIME_DIR=runtime, LANG="en_US.UTF-8", LANGUAGE="",
                               LC_ALL="", LC_MESSAGES="")
            try:
                check(desktop, program, folder)
            finally:
                # While their X server still runs: one that loses it exits on its own, leaks and all.
                end_instances(program)
        check_shared_temporary_folder(program)
        check_refused_setting(executable, server.url)
    print("1 passed, 0 failed")
finally:
    if program:
        end_instances(program)
    shutil.rmtree(work, ignore_errors=True)
    if folder:
        shutil.rmtree(folder, ignore_errors=True)
