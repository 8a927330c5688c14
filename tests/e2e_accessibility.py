"""What a screen reader finds in the built program under a real X server, read over AT-SPI: the
fourteen controls with role and name, and a password box that reads out nothing but its mask.
The program runs in German: the page box's name is its own text, translated; the others are the
labels and captions, the same in every language."""
import os
import shutil
import sys

from desktop_session import check_failed, desktop_session, program_copy, wait_for

controls = [
    ("push button", "nach FTP kopieren"), ("text", "Dateiname der Seite"),
    ("text", "FTP - Server"), ("push button", "Edit"), ("text", "User Name"),
    ("password text", "Passwort"), ("label", "FTP - Server"), ("label", "User Name"),
    ("label", "Passwort"), ("text", "Local Dir"), ("label", "Local Dir"), ("text", "FTP Dir"),
    ("label", "FTP Dir"), ("push button", "Save")]

folder, program = program_copy(sys.argv[1])
try:
    with desktop_session(session_bus=True) as desktop:
        desktop.env.update(QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", LANG="de_DE.UTF-8", LANGUAGE="",
                           LC_ALL="", LC_MESSAGES="")
        desktop.start([program], cwd=folder)
        desktop.find_window("FTP - Server")
        # The screen reader's side, on the session's buses.
        os.environ.update({name: desktop.env[name] for name in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS")})
        import pyatspi

        def window():
            for app in pyatspi.Registry.getDesktop(0):
                if app is not None and app.name == "ftp-publisher" and app.childCount:
                    return app[0]
        form = wait_for("the program on the accessibility bus", window)
        found = [(child.getRoleName(), child.name) for child in form]
        if found != controls:
            raise check_failed(f"controls differ:\n  found    {found}\n  expected {controls}")
        shown = form[5].queryText().getText(0, -1)
        if shown.strip("*"):
            raise check_failed(f"the password box reads out {shown!r}")
    print("1 passed, 0 failed")
finally:
    shutil.rmtree(folder, ignore_errors=True)
