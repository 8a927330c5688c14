"""Publishing over links with a round-trip time: ours against curl, for ftp, ftpes, ftps and sftp.

Each server listens on ::1; bench/delay_proxy.py relays 127.0.0.1 to it with the round-trip
time given, control and passive data connections alike. For each scheme and round-trip time the
three clients publish the same 20 KiB page in turn (A B C A B C ...): ours (bench_upload, the real
upload library), `curl -T` (the page written directly under its name) and curl publishing as
safely (to a temporary name, then its SIZE, RNFR and RNTO as quoted commands; SFTP: rm and
rename, as curl cannot ask for a size there). Round trips per publish are the slope of the
medians: (ms at the longest RTT - ms at 0) / that RTT, so overlapping exchanges count once, as a
user feels them. The command sequence of each client comes from the servers' own logs.
"sftp" is asyncssh with a password; "openssh" is OpenSSH's sshd and sftp-server, where every
client logs in with a key (only ours of this build: the one before knew passwords alone).
"""
import contextlib
import os
import pwd
import re
import shutil
import socket
import statistics
import tempfile
import time

from processes import ftp_server, process_with_port
from upload_session import key_values, run, session

SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
PROXY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delay_proxy.py")
USER, PASSWORD = "alice", "Geheim-7x"
PAGE = "aktuell_home.php"
TEMPORARY = "." + PAGE + ".partial-bench"
RTTS = (0, 20, 60)


def free_range(count, start=41000):
    """`count` ports in a row that are free on 127.0.0.1 and on ::1."""
    for low in range(start, 60000, count):
        held = []
        try:
            for port in range(low, low + count):
                for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
                    s = socket.socket(family)
                    held.append(s)
                    s.bind((address, port))
            return low, low + count - 1
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise RuntimeError("no free range of ports")


class scheme_server:
    """One server for a scheme, its log of commands or requests, and a root to look into."""

    def __init__(self, scheme, work, certs):
        self.scheme = scheme
        self.root = os.path.join(work, scheme)
        os.makedirs(os.path.join(self.root, "www", "site"))  # before the server takes it over
        self.log = os.path.join(work, scheme + ".log")
        self.passive = None
        self.events = []
        python = "/usr/bin/python3"
        if scheme == "ftp":
            self.passive = free_range(8)
            self.server = ftp_server(self.root, USER, PASSWORD, on_event=self.on_event,
                                     extra=["--address", "::1", "--passive-ports",
                                            "%d-%d" % self.passive])
            self.port = self.server.port
            return
        if scheme == "openssh":
            self.key = os.path.join(work, "ssh", "id_ed25519")
            os.makedirs(os.path.dirname(self.key), exist_ok=True)
            argv = ["openssh", "--address", "::1", "--request-log", self.log,
                    "--key-file", self.key, self.root]
            self.server = process_with_port([python, os.path.join(SCRIPTS, "secure_servers.py"),
                                             *argv])
            self.port = self.server.port
            return
        if scheme == "sftp":
            argv = ["sftp", "--address", "::1", "--request-log", self.log]
        else:
            self.passive = free_range(8)
            argv = ["vsftpd", "--tls", "implicit" if scheme == "ftps" else "explicit",
                    "--cert", os.path.join(certs, "server.pem"),
                    "--key", os.path.join(certs, "server.key"), "--address", "::1",
                    "--passive-ports", "%d-%d" % self.passive, "--command-log", self.log]
        self.server = process_with_port([python, os.path.join(SCRIPTS, "secure_servers.py"),
                                         *argv, self.root, "/", USER, PASSWORD])
        self.port = self.server.port

    def on_event(self, line):
        if line.startswith("COMMAND "):
            self.events.append(line[8:].split(" ")[0])

    def commands_since(self, mark):
        """What the server received since `mark` (from mark()), one verb or request a line."""
        if self.scheme == "ftp":
            return self.events[mark:]
        return self.log_lines()[mark:]

    def log_lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, errors="replace") as log:
            lines = log.read().splitlines()
        if self.scheme == "sftp":
            return lines
        if self.scheme == "openssh":  # sftp-server: "debug3: request 4: open flags 26"
            return [m.group(1) for m in map(re.compile(r"request \d+: (?!sent)([a-z-]+)").search,
                                            lines) if m]
        # vsftpd: ... FTP command: Client "::1", "STOR name"
        return [line.split('", "', 1)[1].split(" ")[0].strip('"') for line in lines
                if "FTP command:" in line]

    def mark(self):
        return len(self.events) if self.scheme == "ftp" else len(self.log_lines())

    def stored(self):
        return os.path.join(self.root, "www", PAGE)

    def folder(self):
        """The remote folder as the clients name it: OpenSSH serves the whole file system."""
        return os.path.join(self.root, "www") if self.scheme == "openssh" else "/www"

    def stop(self):
        self.server.stop()


URL_SCHEMES = {"ftp": "ftp", "ftpes": "ftp", "ftps": "ftps", "sftp": "sftp", "openssh": "sftp"}


def curl_argv(server, port, path, certs, known_hosts, safely):
    scheme, folder = server.scheme, server.folder()
    url_scheme = URL_SCHEMES[scheme]
    argv = ["curl", "--silent", "--show-error", "--disable", "--noproxy", "*",
            "--user", f"{USER}:{PASSWORD}", "-T", path, "-w", "seconds=%{time_total}\\n"]
    if scheme == "openssh":
        argv[6:8] = ["--user", f"{pwd.getpwuid(os.getuid()).pw_name}:", "--key", server.key,
                     "--pubkey", server.key + ".pub"]
    if scheme in ("ftpes", "ftps"):
        # What ours trusts, as a user's curl does: the system's bundle (here with the test CA)
        argv += ["--ssl-reqd", "--cacert", os.path.join(certs, "trusted.pem")]
    if url_scheme == "sftp":
        argv += ["--insecure"]  # ours checks the key: known_hosts, recorded on first contact
    name = TEMPORARY if safely else PAGE
    if url_scheme == "sftp":
        argv.append(f"sftp://127.0.0.1:{port}{folder}/{name}")
        if safely:
            argv += ["-Q", f"-rm {folder}/{PAGE}", "-Q",
                     f"-rename {folder}/{TEMPORARY} {folder}/{PAGE}"]
    else:
        argv.append(f"{url_scheme}://127.0.0.1:{port}/%2Fwww/{name}")
        if safely:
            argv += ["-Q", f"-SIZE {TEMPORARY}", "-Q", f"-RNFR {TEMPORARY}",
                     "-Q", f"-RNTO {PAGE}"]
    return argv


def delaying_proxy(server, rtt):
    """bench/delay_proxy.py before `server`, control and passive data connections alike."""
    argv = ["/usr/bin/python3", PROXY, "--rtt", str(rtt), "--target", str(server.port)]
    if server.passive:
        argv += ["--passive", "%d-%d" % server.passive]
    return process_with_port(argv)


def work_with_certificates(b, prefix):
    """A folder for one part, and in it the servers' certificates and trusted.pem, what a user's
    clients trust: the system's bundle with the test CA."""
    work = tempfile.mkdtemp(prefix=prefix, dir=b.work)
    for folder in (b.work, work):  # vsftpd serves its root as the unprivileged "ftp"
        os.chmod(folder, 0o755)
    certs = os.path.join(work, "certs")
    os.makedirs(certs)
    run(["/usr/bin/python3", os.path.join(SCRIPTS, "secure_servers.py"), "certs", certs],
        timeout=120)
    with open(os.path.join(certs, "trusted.pem"), "wb") as trusted:
        for name in ("/etc/ssl/certs/ca-certificates.crt", os.path.join(certs, "ca.pem")):
            with open(name, "rb") as part:
                trusted.write(part.read() + b"\n")
    return work, certs


def median_ms(values):
    return statistics.median(values) * 1000


def seconds_cells(by_rtt):
    """The median seconds at each RTT, as table cells."""
    return " | ".join(f"{statistics.median(by_rtt[r]):.2f}" for r in RTTS)


def ended(lines, lftp):
    """The table's text, with a word where lftp's rows are missing."""
    if not lftp:
        lines += ["", "lftp is not installed: its rows are left out."]
    return "\n".join(lines)


def put_session(b, program, server, url, path, certs, known_hosts):
    """bench_upload put of `path` to the server's page, waiting for each line; OpenSSH with a key."""
    login, keys = [USER, PASSWORD], []
    if server.scheme == "openssh":
        login = [pwd.getpwuid(os.getuid()).pw_name, ""]
        keys = [os.path.dirname(server.key)]
    return session([program, "put", url, *login, path, f"{server.folder()}/{PAGE}",
                    os.path.join(certs, "ca.pem"), known_hosts, *keys], b.env)


@contextlib.contextmanager
def our_sessions(b, before, server, url, path, certs, known_hosts):
    """Ours, and the bench_upload `before` where given and the scheme is one it knows (None
    otherwise), each a put session of `path`."""
    with contextlib.ExitStack() as stack:
        ours = stack.enter_context(put_session(b, b.program("bench_upload"), server, url, path,
                                               certs, known_hosts))
        older = None
        if before and server.scheme != "openssh":  # it logged in by password alone
            older = stack.enter_context(put_session(b, before, server, url, path, certs,
                                                    known_hosts))
        yield ours, older


def published_seconds(scheme, uploader):
    values = uploader.upload()
    if "erfolgreich" not in values["response"]:
        raise RuntimeError(f"{scheme}: ours failed: {values['response']}")
    return float(values["seconds"])


def run_links(b, runs, before=None):
    """A table and the command sequences; `runs` per figure. `before`: the bench_upload of another
    build, measured in the same turns as "ours before"."""
    work, certs = work_with_certificates(b, "links-")
    local = os.path.join(work, "local")
    os.makedirs(local)
    path = os.path.join(local, PAGE)
    with open(path, "wb") as f:
        f.write(os.urandom(20 * 1024))
    size = os.path.getsize(path)

    results = {}  # (scheme, client) -> {rtt: [seconds]}
    sequences = {}
    for scheme in ("ftp", "ftpes", "ftps", "sftp", "openssh"):
        server = scheme_server(scheme, work, certs)
        known_hosts = os.path.join(work, scheme + "_known_hosts")  # a host key per scheme
        try:
            for rtt in RTTS:
                proxy = delaying_proxy(server, rtt)
                try:
                    url = f"{'sftp' if scheme == 'openssh' else scheme}://127.0.0.1:{proxy.port}"
                    with our_sessions(b, before, server, url, path, certs,
                                      known_hosts) as (ours, older):
                        def publish(uploader):
                            return published_seconds(scheme, uploader)

                        def publish_curl(safely):
                            out = run(curl_argv(server, proxy.port, path, certs, known_hosts,
                                                safely), timeout=120)
                            return float(key_values(out)["seconds"])

                        clients = {"ours": lambda: publish(ours),
                                   "curl -T": lambda: publish_curl(False),
                                   "curl as safely": lambda: publish_curl(True)}
                        if older:
                            clients["ours before"] = lambda: publish(older)
                        # Two rounds of warm-up, so the page exists and ours has learnt what the
                        # server refuses; at RTT 0 a third round for the command sequences.
                        for round in range(3 if rtt == 0 else 2):
                            for name, client in clients.items():
                                mark = server.mark()
                                client()
                                if os.path.getsize(server.stored()) != size:
                                    raise RuntimeError(f"{scheme}: {name} left a wrong size")
                                if round == 2:
                                    time.sleep(0.2)  # the server's log of the last command
                                    sequences[(scheme, name)] = server.commands_since(mark)
                        for _ in range(runs):
                            for name, client in clients.items():
                                results.setdefault((scheme, name), {}).setdefault(
                                    rtt, []).append(client())
                finally:
                    proxy.stop()
        finally:
            server.stop()

    longest = RTTS[-1]
    lines = [f"### Over links with a round-trip time (20 KiB page, median of {runs})", "",
             "| scheme | client | round trips per publish | ms at RTT "
             + " | ms at RTT ".join(str(r) for r in RTTS) + " |",
             "|---|---|---|" + "---|" * len(RTTS)]
    for (scheme, name), by_rtt in results.items():
        trips = (median_ms(by_rtt[longest]) - median_ms(by_rtt[0])) / longest
        lines.append(f"| {scheme} | {name} | {trips:.1f} | "
                     + " | ".join(f"{median_ms(by_rtt[r]):.1f}" for r in RTTS) + " |")
    lines += ["", "Commands (FTP) or requests (SFTP) the server received for one publish:", ""]
    for (scheme, name), seen in sequences.items():
        lines.append(f"- {scheme}, {name} ({len(seen)}): `{', '.join(seen)}`")
    return "\n".join(lines)


SITE_FILES = 20


def lftp_argv(server, port, local, certs, known_hosts):
    """lftp's mirror -R of the site folder, as a user of it deploys a site."""
    scheme = URL_SCHEMES[server.scheme]
    settings = ["set net:max-retries 1", "set cmd:fail-exit yes", "set ftp:prefer-epsv yes"]
    if server.scheme in ("ftpes", "ftps"):
        settings += [f"set ssl:ca-file {os.path.join(certs, 'trusted.pem')}",
                     "set ftp:ssl-force yes", "set ftp:ssl-protect-data yes"]
    if scheme == "sftp":
        settings += ['set sftp:connect-program "ssh -a -x -o StrictHostKeyChecking=no '
                     f'-o UserKnownHostsFile={known_hosts}"']
    script = "; ".join(settings + [f"mirror -R --no-perms {local} {server.folder()}/site", "quit"])
    return ["lftp", "-u", f"{USER},{PASSWORD}", "-e", script, f"{scheme}://127.0.0.1:{port}"]


def run_site(b, runs):
    """20 files of 20 KiB in one run: ours as `--publish FILE...` sends them (bench_upload site,
    the window's own code), one `curl -T` command for all 20, and lftp's mirror -R where lftp is
    installed; every file rewritten before each run, so each client sends all 20."""
    work, certs = work_with_certificates(b, "site-")
    local = os.path.join(work, "site")
    os.makedirs(local)
    names = [f"seite-{n:02d}.html" for n in range(SITE_FILES)]

    def rewrite():
        for name in names:
            with open(os.path.join(local, name), "wb") as f:
                f.write(os.urandom(20 * 1024))

    rewrite()
    lftp = shutil.which("lftp")
    results = {}  # (scheme, client) -> {rtt: [seconds]}
    for scheme in ("ftp", "ftpes", "sftp"):
        server = scheme_server(scheme, work, certs)
        known_hosts = os.path.join(work, scheme + "_known_hosts")
        try:
            for rtt in RTTS:
                proxy = delaying_proxy(server, rtt)
                try:
                    url = f"{scheme}://127.0.0.1:{proxy.port}"
                    with session([b.program("bench_upload"), "site", url, USER, PASSWORD, local,
                                  f"{server.folder()}/site/", os.path.join(certs, "ca.pem"),
                                  known_hosts], b.env) as ours:
                        def publish_ours():
                            values = ours.upload()
                            if values["published"] != str(SITE_FILES):
                                raise RuntimeError(f"{scheme}: ours failed: {values['response']}")
                            return float(values["seconds"])

                        def publish_curl():
                            argv = curl_argv(server, proxy.port, "{" + ",".join(
                                os.path.join(local, n) for n in names) + "}", certs, known_hosts,
                                False)
                            argv[-1] = argv[-1].rsplit("/", 1)[0] + "/site/"
                            if scheme in ("ftpes", "ftps"):
                                # Under TLS 1.3, vsftpd refuses libcurl every other upload's
                                # data connection (522): a user of curl must cap it.
                                argv[-1:-1] = ["--tls-max", "1.2"]
                            start = time.monotonic()
                            run(argv, timeout=300)
                            return time.monotonic() - start

                        def publish_lftp():
                            # Its mirror compares size and time stamp, and a rewrite keeps the
                            # size: the server's copies go first, untimed, so it sends all.
                            for n in names:
                                os.remove(os.path.join(server.root, "www", "site", n))
                            start = time.monotonic()
                            run(lftp_argv(server, proxy.port, local, certs, known_hosts),
                                timeout=300)
                            return time.monotonic() - start

                        clients = {"ours": publish_ours, "curl -T, one command": publish_curl}
                        if lftp:
                            clients["lftp mirror -R"] = publish_lftp
                        for round in range(1 + runs):  # the first round warms up
                            for name, client in clients.items():
                                rewrite()
                                seconds = client()
                                for n in names:
                                    stored = os.path.join(server.root, "www", "site", n)
                                    with open(stored, "rb") as f, \
                                            open(os.path.join(local, n), "rb") as g:
                                        if f.read() != g.read():
                                            raise RuntimeError(f"{scheme}: {name}: {n} differs")
                                if round:
                                    results.setdefault((scheme, name), {}).setdefault(
                                        rtt, []).append(seconds)
                finally:
                    proxy.stop()
        finally:
            server.stop()

    lines = [f"### The whole site: {SITE_FILES} files of 20 KiB in one run (median of {runs})", "",
             "| scheme | client | s at RTT " + " | s at RTT ".join(str(r) for r in RTTS)
             + " | round trips per run | per file |",
             "|---|---|" + "---|" * len(RTTS) + "---|---|"]
    longest = RTTS[-1]
    for (scheme, name), by_rtt in results.items():
        # Each round trip costs the RTT: the slope of the medians counts them, the login's too.
        trips = (statistics.median(by_rtt[longest]) - statistics.median(by_rtt[0])) / (longest / 1000)
        lines.append(f"| {scheme} | {name} | {seconds_cells(by_rtt)} | {trips:.1f} | "
                     f"{trips / SITE_FILES:.1f} |")
    lines += ["", "curl over FTPS with `--tls-max 1.2`: under TLS 1.3, vsftpd refuses every other "
              "data connection of one curl command (522, session reuse required); ours moves to "
              "TLS 1.2 by itself when that happens."]
    return ended(lines, lftp)


LARGE_SIZES_MIB = (1, 4, 16)


def lftp_put_argv(server, port, local, remote, known_hosts):
    """lftp's put of one file, over SFTP through OpenSSH's ssh, as its users send a large one."""
    ssh = f"ssh -a -x -o StrictHostKeyChecking=no -o UserKnownHostsFile={known_hosts}"
    user = f"{USER},{PASSWORD}"
    if server.scheme == "openssh":
        ssh += f" -i {server.key}"
        user = pwd.getpwuid(os.getuid()).pw_name + ","
    script = "; ".join(["set net:max-retries 1", "set cmd:fail-exit yes",
                        f'set sftp:connect-program "{ssh}"', f"put {local} -o {remote}", "quit"])
    return ["lftp", "-u", user, "-e", script, f"sftp://127.0.0.1:{port}"]


def run_large(b, runs, before=None):
    """One file of 1, 4 and 16 MiB: ours (bench_upload put, the safe publish), `curl -T` and,
    over SFTP where lftp is installed, lftp's put; `before` as in run_links."""
    work, certs = work_with_certificates(b, "large-")
    local = os.path.join(work, "local")
    os.makedirs(local)
    results = {}  # (scheme, MiB, client) -> {rtt: [seconds]}
    lftp = shutil.which("lftp")
    for scheme in ("ftp", "sftp", "openssh"):
        server = scheme_server(scheme, work, certs)
        known_hosts = os.path.join(work, scheme + "_known_hosts")
        try:
            for mib in LARGE_SIZES_MIB:
                path = os.path.join(local, PAGE)
                with open(path, "wb") as f:
                    f.write(os.urandom(mib * 1024 * 1024))
                for rtt in RTTS:
                    proxy = delaying_proxy(server, rtt)
                    try:
                        url = f"{URL_SCHEMES[scheme]}://127.0.0.1:{proxy.port}"
                        with our_sessions(b, before, server, url, path, certs,
                                          known_hosts) as (ours, older):
                            def publish(uploader):
                                return published_seconds(scheme, uploader)

                            def publish_curl():
                                out = run(curl_argv(server, proxy.port, path, certs, known_hosts,
                                                    False), timeout=300)
                                return float(key_values(out)["seconds"])

                            def publish_lftp():
                                start = time.monotonic()
                                run(lftp_put_argv(server, proxy.port, path,
                                                  f"{server.folder()}/{PAGE}", known_hosts),
                                    timeout=300)
                                return time.monotonic() - start

                            clients = {"ours": lambda: publish(ours)}
                            if older:
                                clients["ours before"] = lambda: publish(older)
                            clients["curl -T"] = publish_curl
                            if lftp and scheme != "ftp":
                                clients["lftp put"] = publish_lftp
                            for round in range(1 + runs):  # the first round warms up
                                for name, client in clients.items():
                                    seconds = client()
                                    if os.path.getsize(server.stored()) != mib * 1024 * 1024:
                                        raise RuntimeError(f"{scheme}: {name}: wrong size")
                                    if round:
                                        results.setdefault((scheme, mib, name), {}).setdefault(
                                            rtt, []).append(seconds)
                    finally:
                        proxy.stop()
        finally:
            server.stop()

    lines = [f"### One large file (median of {runs}, seconds)", "",
             "| scheme | MiB | client | s at RTT " + " | s at RTT ".join(str(r) for r in RTTS)
             + " | MiB/s at RTT " + str(RTTS[-1]) + " |",
             "|---|---|---|" + "---|" * len(RTTS) + "---|"]
    for (scheme, mib, name), by_rtt in results.items():
        longest = statistics.median(by_rtt[RTTS[-1]])
        lines.append(f"| {scheme} | {mib} | {name} | {seconds_cells(by_rtt)} | "
                     f"{mib / longest:.1f} |")
    lines += ["", "\"sftp\" is asyncssh with a password, \"openssh\" OpenSSH's sshd and "
              "sftp-server with a key; lftp goes through OpenSSH's ssh. Each figure includes the "
              "login."]
    return ended(lines, lftp)
