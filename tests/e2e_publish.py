"""ftp-publisher --publish under a real X server, against a real FTP server on loopback: through
a running program (whose title and notification show the outcome too), through one it starts
itself, and against one that hangs; exit codes 0, 1 and 2, one line each."""
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from desktop_session import check_failed, desktop_session, program_copy, wait_for
from processes import ftp_server_port

executable, ftp_server = sys.argv[1], sys.argv[2]
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


def on_server():
    with open(os.path.join(home, "www", "aktuell_home.php"), "rb") as f:
        return f.read()


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


def runner(program, env):
    """Runs the program with arguments and checks its exit code, its one line and its time."""
    def publish(*args, code, out="", err="", within=30.0):
        clock = time.monotonic()
        done = subprocess.run([program, *args], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=within + 10)
        took = time.monotonic() - clock
        said = done.stdout + done.stderr
        if (done.returncode != code or not done.stdout.startswith(out)
                or not done.stderr.startswith(err) or said.count("\n") != 1 or took > within):
            raise check_failed(f"{args}: exit code {done.returncode} after {took:.1f} s, "
                               f"said {said!r}; expected {code}, {out or err!r}")
        return said
    return publish


def notification_service(desktop):
    service = subprocess.Popen(["/usr/bin/python3", notification_script], env=desktop.env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    desktop.processes.append(service)

    def next_notification():
        if not select.select([service.stdout], [], [], 10)[0]:
            raise check_failed("no notification within 10 s")
        return json.loads(service.stdout.readline())
    if service.stdout.readline() != "READY\n":
        raise check_failed("the notification service did not start")
    return next_notification


def check(desktop, program, folder):
    publish = runner(program, desktop.env)

    # A wrong argument starts nothing.
    for wrong in (["--bogus"], ["--publish", "now"], ["-platform", "offscreen"]):
        publish(*wrong, code=2, err="usage: ftp-publisher [--publish]\n", within=10)
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
    assert "local file not found" in said, said
    shown = next_notification()
    assert shown["summary"] == "Fehler" and shown["replaces_id"] > 0, shown
    wait_for('the title "Fehler"', lambda: desktop.title(window) == "Fehler")
    wait_for("the window minimised", lambda: desktop.wm_state(window) == "Iconic")

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


folder = program = None
try:
    with ftp_server_port(ftp_server, home, "tester", "geheim 7") as port:
        folder, program = program_copy(executable, [
            f"ftp://127.0.0.1:{port}", "tester", "geheim 7", local + "/", "/www/",
            "aktuell_home.php"])
        program = os.path.realpath(program)
        with desktop_session(session_bus=True) as desktop:
            desktop.env.update(XDG_RUNTIME_DIR=runtime, LANG="en_US.UTF-8", LANGUAGE="",
                               LC_ALL="", LC_MESSAGES="")
            check(desktop, program, folder)
    print("1 passed, 0 failed")
finally:
    # The instances that --publish started are not our children: found by their program.
    for pid in instances(program) if program else []:
        try:
            os.kill(pid, signal.SIGTERM)
            wait_for(f"process {pid} to end", lambda: pid not in instances(program), timeout=5)
        except (ProcessLookupError, check_failed):
            os.kill(pid, signal.SIGKILL)
    shutil.rmtree(work, ignore_errors=True)
    if folder:
        shutil.rmtree(folder, ignore_errors=True)
