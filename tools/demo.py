"""Try ftp-publisher without a server of your own (optional).

Builds if needed, starts a local FTP server on 127.0.0.1 with a demo account and an empty web
root, and starts a copy of the program in demo/program/ whose ftpserver.ini points at that
server and at the sample page in demo/site/. Click "nach FTP kopieren": the page appears in
demo/server/www/. Closing the window stops the server. The ftpserver.ini beside the real build
is never read or written.

    tools/demo            the demo on your desktop
    tools/demo --check    the same under a private X server: clicks, checks, ends
"""
import argparse
import datetime
import os
import shutil
import subprocess
import sys

from desktop_session import desktop_session, wait_for
from processes import ftp_server

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

USER, PASSWORD, PAGE = "demo", "demo", "index.html"
LONGEST_DEMO = 8 * 3600  # seconds; a demo left open longer is ended


def sample_page():
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")
    return ("<!DOCTYPE html>\n<html lang=\"de\">\n<head><meta charset=\"utf-8\">"
            "<title>ftp-publisher demo</title></head>\n"
            f"<body><h1>Hallo!</h1><p>Uploaded by ftp-publisher; demo of {stamp}.</p></body>\n"
            "</html>\n").encode()


def prepare(folder, executable, server_url):
    """The program with its own settings beside it, and the page to upload."""
    program_dir, site = os.path.join(folder, "program"), os.path.join(folder, "site")
    for directory in (program_dir, site):
        os.makedirs(directory, exist_ok=True)
    program = os.path.join(program_dir, "ftp-publisher")
    shutil.copy2(executable, program)
    lines = [server_url, USER, PASSWORD, site + "/", "/www/", PAGE]
    ini = os.path.join(program_dir, "ftpserver.ini")
    with open(os.open(ini, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
        f.write(b"".join(line.encode() + b"\r\n" for line in lines))
    page = sample_page()
    with open(os.path.join(site, PAGE), "wb") as f:
        f.write(page)
    return program, os.path.join(folder, "server", "www", PAGE), page


def run_on_desktop(program, uploaded):
    if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        sys.exit("tools/demo: no desktop here (DISPLAY is not set); try tools/demo --check")
    print(f"The program opens minimised, titled \"FTP - Server\": restore it from the task bar\n"
          f"and click \"nach FTP kopieren\". The page then appears as\n    {uploaded}\n"
          f"and the title reads \"O.K.\". Close the window to end the demo.", flush=True)
    process = subprocess.Popen([program], cwd=os.path.dirname(program), stdin=subprocess.DEVNULL)
    try:
        process.wait(timeout=LONGEST_DEMO)
    except subprocess.TimeoutExpired:
        print("tools/demo: ending the demo, open for too long")
    finally:
        if process.poll() is None:
            process.terminate()
            process.wait(timeout=10)


def check_under_xvfb(program, uploaded, page):
    with desktop_session() as desktop:
        desktop.start([program], cwd=os.path.dirname(program))
        window = desktop.find_window("FTP - Server")
        wait_for("the window to start minimised", lambda: desktop.wm_state(window) == "Iconic")
        desktop.restore(window)
        desktop.click_until(window, 206, 14, 'the title "O.K."',  # "nach FTP kopieren"
                            lambda: desktop.title(window) == "O.K.")
    with open(uploaded, "rb") as f:
        if f.read() != page:
            sys.exit("tools/demo --check: the page on the demo server differs from the sample")
    print(f"demo check passed: \"O.K.\" in the title, the page in {uploaded}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="run under a private X server, click, check the upload, end")
    parser.add_argument("--program", help="use this built executable instead of building")
    parser.add_argument("--folder", default=os.path.join(ROOT, "demo"),
                        help="the demo folder (default: demo/ in the repository)")
    args = parser.parse_args()

    executable = args.program
    if not executable:
        subprocess.run([os.path.join(ROOT, "tools", "setup")], check=True)
        executable = os.path.join(ROOT, "build", "app", "ftp-publisher")
    folder = os.path.abspath(args.folder)
    # An empty web root each time, so what appears there is this demo's upload.
    shutil.rmtree(os.path.join(folder, "server"), ignore_errors=True)
    os.makedirs(os.path.join(folder, "server", "www"))

    def on_event(line):
        # The program stores under a hidden temporary name and renames it: show the final name.
        if line.startswith("COMMAND RNTO "):
            print(f"demo server: publishing the upload as {line.split(' ', 2)[2]}", flush=True)
        elif line.startswith("STORED ") and not os.path.basename(line.split()[1]).startswith("."):
            print(f"demo server: stored {line.split(' ', 1)[1]} bytes", flush=True)

    with ftp_server(os.path.join(folder, "server"), USER, PASSWORD, on_event=on_event) as server:
        program, uploaded, page = prepare(folder, executable, server.url)
        print(f"Demo FTP server: {server.url} (user {USER}, password {PASSWORD}), "
              f"web root {os.path.dirname(uploaded)}/")
        if args.check:
            check_under_xvfb(program, uploaded, page)
        else:
            run_on_desktop(program, uploaded)
    print("Demo FTP server stopped.")


if __name__ == "__main__":
    main()
