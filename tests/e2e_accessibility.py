"""What a screen reader finds in the built program, read through the accessibility bus (AT-SPI)
under a real X server: every control with its role and name, the password box protected and
never read out, and after a click on "nach FTP kopieren" the outcome as that button's
description. The program runs in German; the names that are the program's fixed texts read as in
every language."""
import os
import shutil
import socket
import sys
import tempfile

from desktop_session import check_failed, desktop_session, program_copy, wait_for

executable = sys.argv[1]
password = "wolken bus%7"
controls = [  # in the order of the window's table
    ("push button", "nach FTP kopieren"),
    ("text", "Dateiname der Seite"),
    ("text", "FTP - Server"),
    ("push button", "Edit"),
    ("text", "User Name"),
    ("password text", "Passwort"),
    ("label", "FTP - Server"),
    ("label", "User Name"),
    ("label", "Passwort"),
    ("text", "Local Dir"),
    ("label", "Local Dir"),
    ("text", "FTP Dir"),
    ("label", "FTP Dir"),
    ("push button", "Save"),
]


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


site = tempfile.mkdtemp(prefix="ftp-publisher-e2e-site-")
with open(os.path.join(site, "aktuell_home.php"), "wb") as page:
    page.write(b"<?php // home ?>\n")
port = closed_port()
folder, program = program_copy(executable, [
    f"ftp://127.0.0.1:{port}", "tester", password, site + "/", "/www/", "aktuell_home.php"])
try:
    with desktop_session(session_bus=True) as desktop:
        desktop.env.update(QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", LANG="de_DE.UTF-8",
                           LANGUAGE="", LC_ALL="", LC_MESSAGES="")
        desktop.start([program], cwd=folder)
        window = desktop.find_window("FTP - Server")
        # The screen reader's side: this process, on the session's buses.
        for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
            os.environ[name] = desktop.env[name]
        os.environ.pop("AT_SPI_BUS_ADDRESS", None)
        import pyatspi

        def application():
            for app in pyatspi.Registry.getDesktop(0):
                if app is not None and app.name == "ftp-publisher" and app.childCount:
                    return app
        form = wait_for("the program on the accessibility bus", application)[0]
        found = [(child.getRoleName(), child.name) for child in form]
        if found != controls:
            raise check_failed(f"controls differ:\n  found    {found}\n  expected {controls}")

        password_box = form[5]
        shown = password_box.queryText().getText(0, -1)
        if shown.strip("*"):  # nothing but the mask, if anything
            raise check_failed(f"the password box reads out {shown!r}")

        copy = form[0]
        actions = copy.queryAction()
        press = next(i for i in range(actions.nActions) if actions.getName(i) == "Press")
        actions.doAction(press)
        wait_for('the title "Fehler"', lambda: desktop.title(window) == "Fehler")
        description = wait_for("the outcome as description", lambda: copy.description)
        expected = "Hochladen fehlgeschlagen: "
        if not description.startswith(expected) or f"127.0.0.1 port {port}" not in description:
            raise check_failed(f"the description of nach FTP kopieren reads {description!r}")
    print("1 passed, 0 failed")
finally:
    shutil.rmtree(folder, ignore_errors=True)
    shutil.rmtree(site, ignore_errors=True)
