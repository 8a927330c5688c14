"""The built program under a real X server, reading its settings from ftpserver.ini beside it,
uploads a page to a real FTP server on loopback with one click on "nach FTP kopieren"."""
import os
import shutil
import sys
import tempfile

from desktop_session import desktop_session, program_copy, wait_for
from processes import ftp_server

executable = sys.argv[1]
page = b"<?php // home\r\n\x00\xe4\xfc\xff\r\n?>\n" * 100

work = tempfile.mkdtemp(prefix="ftp-publisher-e2e-site-")
home, local = os.path.join(work, "home"), os.path.join(work, "local")
os.makedirs(os.path.join(home, "www"))
os.makedirs(local)
with open(os.path.join(local, "aktuell_home.php"), "wb") as f:
    f.write(page)

folder = None
try:
    with ftp_server(home, "tester", "geheim 7") as server:
        folder, program = program_copy(executable, [
            server.url, "tester", "geheim 7", local + "/", "/www/",
            "aktuell_home.php"])
        with desktop_session() as desktop:
            desktop.start([program], cwd=folder)
            window = desktop.find_window("FTP - Server")
            wait_for("the window to start iconic", lambda: desktop.wm_state(window) == "Iconic")
            desktop.restore(window)
            desktop.click_until(window, 206, 14, 'the title "O.K."',  # "nach FTP kopieren"
                                lambda: desktop.title(window) == "O.K.")
            wait_for("the window to be minimised again",
                     lambda: desktop.wm_state(window) == "Iconic")
    with open(os.path.join(home, "www", "aktuell_home.php"), "rb") as f:
        assert f.read() == page, "the file on the server differs from the page"
    left = os.listdir(os.path.join(home, "www"))
    assert left == ["aktuell_home.php"], f"the server's directory holds {left}"
    print("1 passed, 0 failed")
finally:
    shutil.rmtree(work, ignore_errors=True)
    if folder:
        shutil.rmtree(folder, ignore_errors=True)
