"""The built program under a real X server: starts minimised, collapses and expands in pixels."""
import shutil
import sys

from desktop_session import desktop_session, program_copy, wait_for

executable = sys.argv[1]
folder, program = program_copy(executable)
try:
    with desktop_session() as desktop:
        desktop.start([program], cwd=folder)
        window = desktop.find_window("FTP - Server")
        wait_for("the window to start iconic", lambda: desktop.wm_state(window) == "Iconic")
        assert desktop.title(window) == "FTP - Server", desktop.title(window)
        desktop.restore(window)
        wait_for("the collapsed client area", lambda: desktop.client_size(window) == (298, 34))
        edit = (278, 14)
        desktop.click_until(window, *edit, "the expanded client area",
                            lambda: desktop.client_size(window) == (298, 150))
        desktop.click_until(window, *edit, "the collapsed client area again",
                            lambda: desktop.client_size(window) == (298, 34))
    print("1 passed, 0 failed")
finally:
    shutil.rmtree(folder, ignore_errors=True)
