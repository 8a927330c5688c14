"""The built program under a headless weston on Qt's Wayland platform: its window gets its first
frame, yet a screenshot shows none of it, since it starts minimised."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

from desktop_session import check_failed, program_copy, wait_for
from processes import end

BACKGROUND = (0x20, 0x40, 0x60)


def window_pixels(runtime, env):
    """How many pixels of a fresh screenshot differ from the plain background."""
    for old in glob.glob(os.path.join(runtime, "wayland-screenshot-*.png")):
        os.remove(old)
    subprocess.run(["weston-screenshooter"], cwd=runtime, env=env, timeout=20, check=True,
                   stdin=subprocess.DEVNULL, capture_output=True)
    with Image.open(glob.glob(os.path.join(runtime, "wayland-screenshot-*.png"))[0]) as shot:
        rgb = shot.convert("RGB")
        return sum(n for n, colour in rgb.getcolors(rgb.width * rgb.height) if colour != BACKGROUND)


def first_frame_sent(log_path):
    """The client that titled its window "FTP - Server" has attached a buffer to a surface."""
    with open(log_path, errors="replace") as f:
        log = f.read()
    ours = re.search(r'client (\S+) rq xdg_toplevel@\d+\.set_title\("FTP - Server"\)', log)
    return ours and re.search(rf"client {ours[1]} rq wl_surface@\d+\.attach\(wl_buffer@", log)


def main(executable):
    runtime = tempfile.mkdtemp(prefix="ftp-publisher-wayland-")  # private: mode 0700
    folder, program = program_copy(executable)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, WAYLAND_DISPLAY="wayland-test")
    env.pop("DISPLAY", None)
    log_path, ini = os.path.join(runtime, "weston.log"), os.path.join(runtime, "weston.ini")
    with open(ini, "w") as f:  # no panel: any pixel not of the background is a window's
        f.write("[shell]\nbackground-color=0xff%02x%02x%02x\npanel-position=none\n" % BACKGROUND)
    quiet = dict(env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    processes = []
    try:
        # --debug lets weston-screenshooter in; the protocol log shows what the program sent.
        processes.append(subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--use-pixman", "--debug",
             "--socket=wayland-test", "--width=640", "--height=480", "--idle-time=0",
             "--config=" + ini, "--logger-scopes=log,proto", "--log=" + log_path], **quiet))
        wait_for("weston's socket", lambda: os.path.exists(os.path.join(runtime, "wayland-test")))
        wait_for("weston's plain background", lambda: window_pixels(runtime, env) == 0)
        quiet["env"] = dict(env, QT_QPA_PLATFORM="wayland")
        processes.append(subprocess.Popen([program], cwd=folder, **quiet))
        wait_for("the window's first frame", lambda: first_frame_sent(log_path))
        drawn = window_pixels(runtime, env)
        if processes[-1].poll() is not None:
            raise check_failed(f"the program ended with exit code {processes[-1].returncode}")
        if drawn:
            raise check_failed(f"{drawn} pixels of a window are drawn at start")
    finally:
        for process in reversed(processes):
            end(process)
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(runtime, ignore_errors=True)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main(sys.argv[1])
