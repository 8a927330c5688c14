"""Real servers for the tests of secure connections, each on 127.0.0.1 and a free port.

  secure_servers.py certs DIR
      writes ca.pem, server.pem/.key (signed by the CA, for 127.0.0.1 and localhost),
      wrong_host.pem/.key (signed by the CA, for another name) and self_signed.pem/.key
  secure_servers.py host-key FILE
      writes a new SSH host key to FILE and prints its public line
  secure_servers.py proftpd --tls explicit|implicit --cert F --key F [--rate KB] [--tls13-only]
                    ROOT HOME USER PASSWORD
  secure_servers.py vsftpd --tls explicit|implicit --cert F --key F ROOT HOME USER PASSWORD
  secure_servers.py sftp [--host-key FILE] [--posix-rename absent|refused] [--keyboard-interactive]
                    [--stall REQUEST] ROOT HOME USER PASSWORD
  secure_servers.py openssh [--host-key FILE] [--key-file F] [--agent SOCKET]
                    [--silent-agent SOCKET] [--signless-agent SOCKET] HOME
      OpenSSH's sshd and sftp-server, starting in HOME; it lets in the user running it with a
      key of its own, written to F (--key-file) or held by an ssh-agent at SOCKET (--agent).
      --silent-agent: a socket that takes connections and never answers.
      --signless-agent: an agent that lists the key and never answers a request to sign with it.

For the benchmark's delaying proxy, which takes 127.0.0.1, every server takes --address ::1; the
FTP servers --passive-ports LO-HI and --command-log FILE (each command as received), SFTP and
OpenSSH --request-log FILE (each request's name; OpenSSH's in its sftp-server's words).

ROOT is the server's "/", HOME the login directory below it ("/home/alice"), so absolute and
home-relative paths land in different places (vsftpd logs in at ROOT itself). A server prints
"port N" once it listens and runs until its stdin closes, then ends everything it started.
"""
import argparse
import asyncio
import glob
import os
import posixpath
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import warnings

from processes import end

warnings.simplefilter("ignore")  # asyncssh's imports warn about old ciphers on stderr


def say(text):
    print(text, flush=True)


def wait_for_stdin_end():
    sys.stdin.buffer.read()


def run_openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE, timeout=60)


def make_certs(folder):
    os.makedirs(folder, exist_ok=True)

    def path(name):
        return os.path.join(folder, name)
    days = "2"
    rsa = ["-newkey", "rsa:2048", "-nodes"]
    run_openssl("req", "-x509", *rsa, "-keyout", path("ca.key"), "-out", path("ca.pem"),
                "-days", days, "-subj", "/CN=ftp-publisher test CA",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, alt in (("server", "IP:127.0.0.1,DNS:localhost"), ("wrong_host", "DNS:elsewhere.invalid")):
        run_openssl("req", *rsa, "-keyout", path(name + ".key"), "-out", path(name + ".csr"),
                    "-subj", "/CN=" + alt.split(",")[0].split(":")[1],
                    "-addext", "subjectAltName=" + alt)
        run_openssl("x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.pem"),
                    "-CAkey", path("ca.key"), "-CAcreateserial", "-out", path(name + ".pem"),
                    "-days", days, "-copy_extensions", "copy")
    run_openssl("req", "-x509", *rsa, "-keyout", path("self_signed.key"),
                "-out", path("self_signed.pem"), "-days", days, "-subj", "/CN=127.0.0.1",
                "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost")


def free_port(address="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET) as s:
        s.bind((address, 0))
        return s.getsockname()[1]


def listening(port, address="127.0.0.1"):
    try:
        with socket.create_connection((address, port), timeout=1):
            return True
    except OSError:
        return False


def give_to(root, uid, gid):
    for folder, _, files in os.walk(root):
        for name in [folder] + [os.path.join(folder, f) for f in files]:
            os.chown(name, uid, gid)


def serve_on_free_port(name, work, write_config, command, address="127.0.0.1"):
    """Starts command(config file) with the config write_config(port) gives, says its port and
    serves until stdin closes; ends the server and removes work."""
    log = os.path.join(work, name + ".log")
    try:
        for _ in range(5):  # another program may take the free port before the server binds it
            port = free_port(address)
            config = os.path.join(work, name + ".conf")
            with open(config, "w") as f:
                f.write(write_config(port))
            with open(log, "ab") as out:
                server = subprocess.Popen(command(config), stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=out, preexec_fn=end_with_parent)
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline and server.poll() is None and not listening(port, address):
                time.sleep(0.05)
            if server.poll() is None and listening(port, address):
                break
            end(server)
        else:
            with open(log) as f:
                sys.exit(f"{name} did not start:\n" + f.read())
        say(f"port {port}")
        try:
            wait_for_stdin_end()
        finally:
            end(server)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_proftpd(args):
    if os.getuid() != 0:
        sys.exit("proftpd needs root here: it confines the user to ROOT with chroot")
    uid = gid = 65534  # ProFTPD switches to this user; it refuses to serve as root
    user_name, group_name = "nobody", "nogroup"
    root = os.path.realpath(args.root)
    home = root + args.home
    os.makedirs(home, exist_ok=True)
    give_to(root, uid, gid)
    work = tempfile.mkdtemp(prefix="proftpd-")
    hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=args.password,
                            capture_output=True, text=True, check=True, timeout=20).stdout.strip()
    with open(os.path.join(work, "passwd"), "w") as f:
        f.write(f"{args.user}:{hashed}:{uid}:{gid}::{home}:/bin/false\n")
    with open(os.path.join(work, "group"), "w") as f:
        f.write(f"{group_name}:x:{gid}:\n")
    os.chmod(os.path.join(work, "passwd"), 0o600)
    os.chmod(os.path.join(work, "group"), 0o600)
    # As shipped, mod_tls requires data connections to resume the control connection's session.
    config = lambda port: f"""ServerType standalone
ServerName "ftp-publisher test"
ServerIdent off
DefaultAddress {args.address}
SocketBindTight on
UseIPv6 {"on" if ":" in args.address else "off"}
Port {port}
User {user_name}
Group {group_name}
Umask 022
PidFile {work}/proftpd.pid
ScoreboardFile {work}/proftpd.scoreboard
DelayTable none
WtmpLog off
UseReverseDNS off
RequireValidShell off
AuthOrder mod_auth_file.c
AuthUserFile {work}/passwd
AuthGroupFile {work}/group
DefaultRoot {root}
AllowOverwrite on
TimeoutIdle 60
ModulePath /usr/lib/proftpd
LoadModule mod_tls.c
TLSEngine on
TLSRequired on
TLSProtocol {"TLSv1.3" if args.tls13_only else "TLSv1.2 TLSv1.3"}
TLSRSACertificateFile {os.path.realpath(args.cert)}
TLSRSACertificateKeyFile {os.path.realpath(args.key)}
TLSVerifyClient off
TLSLog {work}/tls.log
{"TLSOptions UseImplicitSSL" if args.tls == "implicit" else ""}
{f"TransferRate STOR {args.rate}" if args.rate else ""}
{f"PassivePorts {args.passive_ports.replace('-', ' ')}" if args.passive_ports else ""}
{f'LogFormat commands "%m %J"{chr(10)}ExtendedLog {args.command_log} ALL commands'
 if args.command_log else ""}
"""
    serve_on_free_port("proftpd", work, config, lambda conf: ["proftpd", "-n", "-q", "-c", conf],
                       args.address)


# tools/setup unpacks vsftpd here: as a package it conflicts with proftpd-core.
VSFTPD_FOLDER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "build", "vsftpd")
PAM_SERVICE_PREFIX = "/etc/pam.d/ftp-publisher-test-"


def remove_stale_pam_services():
    # Left by a helper that was killed outright; its process id is in the name.
    for path in glob.glob(PAM_SERVICE_PREFIX + "*"):
        try:
            os.kill(int(path[len(PAM_SERVICE_PREFIX):]), 0)
        except ProcessLookupError:
            os.remove(path)
        except (ValueError, PermissionError):
            pass


def run_vsftpd(args):
    if os.getuid() != 0:
        sys.exit("vsftpd needs root: it checks logins through PAM and confines them with chroot")
    program = os.path.join(VSFTPD_FOLDER, "usr", "sbin", "vsftpd")
    if not os.access(program, os.X_OK):
        sys.exit(f"vsftpd is not unpacked in {VSFTPD_FOLDER}: run tools/setup")
    import dbm.ndbm
    import pwd
    # USER is a virtual account, checked by PAM against a database of its own and served as
    # the "ftp" account (proftpd-core creates it), so the machine's accounts stay as they are.
    ftp = pwd.getpwnam("ftp")
    root = os.path.realpath(args.root)
    os.makedirs(root + args.home, exist_ok=True)
    give_to(root, ftp.pw_uid, ftp.pw_gid)
    work = tempfile.mkdtemp(prefix="vsftpd-")
    os.mkdir(os.path.join(work, "empty"))
    with dbm.ndbm.open(os.path.join(work, "users"), "n", 0o600) as users:
        users[args.user.encode()] = args.password.encode()
    remove_stale_pam_services()
    service = PAM_SERVICE_PREFIX + str(os.getpid())
    with open(service, "w") as f:
        f.write(f"auth required pam_userdb.so db={work}/users\naccount required pam_permit.so\n")
    ipv6 = ":" in args.address
    low, high = args.passive_ports.split("-") if args.passive_ports else (0, 0)
    # TLS switched on, the rest as vsftpd has it by default (written out where it matters: data
    # connections must resume the control connection's session). The login directory is ROOT.
    config = lambda port: f"""{"listen_ipv6=YES" if ipv6 else "listen=YES"}
{"listen_address6" if ipv6 else "listen_address"}={args.address}
background=NO
listen_port={port}
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
guest_enable=YES
guest_username=ftp
virtual_use_local_privs=YES
local_root={root}
chroot_local_user=YES
allow_writeable_chroot=YES
secure_chroot_dir={work}/empty
pam_service_name={os.path.basename(service)}
xferlog_enable=YES
vsftpd_log_file={args.command_log or work + "/transfers.log"}
{"log_ftp_protocol=YES" if args.command_log else ""}
{f"pasv_min_port={low}{chr(10)}pasv_max_port={high}" if args.passive_ports else ""}
ssl_enable=YES
{"implicit_ssl=YES" if args.tls == "implicit" else ""}
require_ssl_reuse=YES
force_local_logins_ssl=YES
force_local_data_ssl=YES
rsa_cert_file={os.path.realpath(args.cert)}
rsa_private_key_file={os.path.realpath(args.key)}
"""
    # its libwrap0 is unpacked beside it
    os.environ["LD_LIBRARY_PATH"] = ":".join(
        os.path.dirname(found) for found in glob.glob(VSFTPD_FOLDER + "/usr/lib/*/libwrap.so.0"))
    try:
        serve_on_free_port("vsftpd", work, config, lambda conf: [program, conf], args.address)
    finally:
        os.remove(service)


def end_with_parent():
    # Should this helper be killed outright, ProFTPD must not outlive it.
    import ctypes
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


REQUESTS = {"open", "close", "read", "write", "stat", "lstat", "fstat", "setstat", "fsetstat",
            "rename", "posix_rename", "remove", "realpath", "opendir", "statvfs", "mkdir"}


def new_host_key():
    import asyncssh
    return asyncssh.generate_private_key("ssh-ed25519")


def run_sftp(args):
    import asyncssh

    root = os.path.realpath(args.root).encode()
    home = args.home.encode()
    os.makedirs(root + home, exist_ok=True)
    key = asyncssh.read_private_key(args.host_key) if args.host_key else new_host_key()

    class login(asyncssh.SSHServer):
        def begin_auth(self, username):
            return True

        def password_auth_supported(self):
            return not args.keyboard_interactive

        def validate_password(self, username, password):
            return username == args.user and password == args.password

        def kbdint_auth_supported(self):
            return args.keyboard_interactive

        def get_kbdint_challenge(self, username, lang, submethods):
            return "", "", "", [("Password: ", False)]

        def validate_kbdint_response(self, username, responses):
            return username == args.user and responses == [args.password]

    if args.posix_rename == "absent":
        asyncssh.sftp.SFTPServerHandler._extensions = [
            extension for extension in asyncssh.sftp.SFTPServerHandler._extensions
            if extension[0] != b"posix-rename@openssh.com"]

    if args.write_limit:  # limits@openssh.com, as OpenSSH's sftp-server offers it
        class limits:
            def encode(self, version):
                return b"".join(n.to_bytes(8, "big") for n in (65536, 65536, args.write_limit, 0))

        async def give_limits(handler, packet):
            return limits()

        handler = asyncssh.sftp.SFTPServerHandler
        handler._extensions = handler._extensions + [(b"limits@openssh.com", b"1")]
        handler._packet_handlers = dict(handler._packet_handlers)
        handler._packet_handlers[b"limits@openssh.com"] = give_limits
        handler._return_types = dict(handler._return_types)
        handler._return_types[b"limits@openssh.com"] = asyncssh.sftp.FXP_EXTENDED_REPLY
    writes = 0

    class files(asyncssh.SFTPServer):
        def __init__(self, channel):
            super().__init__(channel, chroot=root)

        def write(self, file_obj, offset, data):
            nonlocal writes
            writes += 1
            if args.queue_log:  # bytes of later requests that arrived before this one's answer
                with open(args.queue_log, "a") as log:
                    log.write(f"{self._chan._session._recv_buf_len}\n")
            if args.write_limit and len(data) > args.write_limit:
                raise asyncssh.SFTPFailure("write longer than the limit")
            if writes == args.refuse_write:
                raise asyncssh.SFTPFailure("no room left for the test")
            if writes == 10 and args.bogus_reply == "unknown-id":  # a status no request asked for
                body = bytes([101]) + (0xFFFFFFF0).to_bytes(4, "big") + bytes(4)
                self._chan.write(len(body).to_bytes(4, "big") + body)
            if writes == 10 and args.bogus_reply == "too-long":  # 16 MiB claimed, 16 bytes sent
                self._chan.write((16 << 20).to_bytes(4, "big") + bytes(16))
            return super().write(file_obj, offset, data)

        def posix_rename(self, oldpath, newpath):
            if args.posix_rename == "refused":
                raise asyncssh.SFTPFailure("posix-rename refused for the test")
            return super().posix_rename(oldpath, newpath)

        def __getattribute__(self, name):
            if args.request_log and name in REQUESTS:
                with open(args.request_log, "a") as log:
                    log.write(name + "\n")
            if name == args.stall:
                async def never_answered(*_):
                    await asyncio.sleep(3600)
                return never_answered
            return super().__getattribute__(name)

        def map_path(self, path):
            # chroot alone would start the client in "/"; a login directory below it tells
            # absolute paths from home-relative ones
            return super().map_path(path if path.startswith(b"/") else posixpath.join(home, path))

    async def serve():
        window = {"window": args.window} if args.window else {}
        acceptor = await asyncssh.listen(args.address, 0, server_host_keys=[key],
                                         server_factory=login, sftp_factory=files,
                                         allow_scp=False, **window)
        say(f"port {acceptor.sockets[0].getsockname()[1]}")
        await asyncio.get_running_loop().run_in_executor(None, wait_for_stdin_end)
        acceptor.close()

    asyncio.run(serve())


def run_openssh(args):
    import pwd
    work = tempfile.mkdtemp(prefix="sshd-")
    user = pwd.getpwuid(os.getuid()).pw_name
    keygen = ["ssh-keygen", "-q", "-t", "ed25519", "-N", ""]
    host_key, user_key = os.path.join(work, "host_key"), os.path.join(work, "user_key")
    if args.host_key:
        shutil.copy(args.host_key, host_key)
        os.chmod(host_key, 0o600)  # sshd takes no key others may read
    else:
        subprocess.run(keygen + ["-f", host_key], check=True, timeout=30)
    subprocess.run(keygen + ["-f", user_key], check=True, timeout=30)
    if args.key_file:  # as ssh-keygen leaves it
        shutil.copy(user_key, args.key_file)
        shutil.copy(user_key + ".pub", args.key_file + ".pub")
    if os.getuid() == 0:
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # its privilege separation
    log = f" -e -l DEBUG3 2>>{args.request_log}" if args.request_log else ""
    config = lambda port: f"""ListenAddress {args.address}
Port {port}
HostKey {host_key}
PidFile none
AuthorizedKeysFile {user_key}.pub
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AllowUsers {user}
Subsystem sftp /usr/lib/openssh/sftp-server -d {os.path.realpath(args.home)}{log}
"""
    helpers = []
    try:
        agent = args.agent or (args.signless_agent and args.signless_agent + ".real")
        if agent:
            helpers.append(subprocess.Popen(["ssh-agent", "-D", "-a", agent],
                                            stdout=subprocess.DEVNULL, preexec_fn=end_with_parent))
            for _ in range(100):  # 10 s
                if os.path.exists(agent):
                    break
                time.sleep(0.1)
            subprocess.run(["ssh-add", "-q", user_key], env=dict(os.environ, SSH_AUTH_SOCK=agent),
                           check=True, timeout=30, stderr=subprocess.DEVNULL)
        if args.signless_agent:
            serve_signless_agent(args.signless_agent, agent)
        if args.silent_agent:
            silent = socket.socket(socket.AF_UNIX)
            silent.bind(args.silent_agent)
            silent.listen()  # never accepted: the connection waits in the backlog
        serve_on_free_port("sshd", work, config,
                           lambda conf: ["/usr/sbin/sshd", "-D", "-e", "-f", conf], args.address)
    finally:
        for helper in helpers:
            end(helper)


def serve_signless_agent(path, real):
    """Relays each request to the agent at `real`, but holds every request to sign unanswered."""
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen()

    def relay(client):
        upstream = socket.socket(socket.AF_UNIX)
        upstream.connect(real)
        with client, upstream:
            while True:
                header = client.recv(4, socket.MSG_WAITALL)
                if len(header) < 4:
                    return
                body = client.recv(int.from_bytes(header, "big"), socket.MSG_WAITALL)
                if body[:1] == b"\x0d":  # SSH2_AGENTC_SIGN_REQUEST
                    client.recv(1)  # until the client gives up
                    return
                upstream.sendall(header + body)
                length = upstream.recv(4, socket.MSG_WAITALL)
                client.sendall(length + upstream.recv(int.from_bytes(length, "big"),
                                                      socket.MSG_WAITALL))

    def accept():
        while True:
            client, _ = listener.accept()
            threading.Thread(target=relay, args=(client,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # so that "finally" ends the servers
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("certs").add_argument("folder")
    commands.add_parser("host-key").add_argument("file")
    servers = {name: commands.add_parser(name) for name in ("proftpd", "vsftpd", "sftp")}
    openssh = commands.add_parser("openssh")
    for option in ("--host-key", "--key-file", "--agent", "--silent-agent", "--signless-agent",
                   "--request-log"):
        openssh.add_argument(option)
    openssh.add_argument("--address", choices=("127.0.0.1", "::1"), default="127.0.0.1")
    openssh.add_argument("home")
    for name in ("proftpd", "vsftpd"):
        servers[name].add_argument("--tls", choices=("explicit", "implicit"), required=True)
        servers[name].add_argument("--cert", required=True)
        servers[name].add_argument("--key", required=True)
    servers["proftpd"].add_argument("--rate", type=int, default=0,
                                    help="receive uploads at this many KB per second")
    servers["proftpd"].add_argument("--tls13-only", action="store_true",
                                    help="refuse every TLS version but 1.3")
    for name in ("proftpd", "vsftpd"):
        servers[name].add_argument("--passive-ports", metavar="LO-HI")
        servers[name].add_argument("--command-log", metavar="FILE")
    servers["sftp"].add_argument("--host-key")
    servers["sftp"].add_argument("--request-log", metavar="FILE")
    servers["sftp"].add_argument("--queue-log", metavar="FILE",
                                 help="for each write, the bytes waiting behind it")
    servers["sftp"].add_argument("--window", type=int, help="the channel window it opens")
    servers["sftp"].add_argument("--write-limit", type=int, metavar="BYTES",
                                 help="offer limits@openssh.com, and refuse longer writes")
    servers["sftp"].add_argument("--refuse-write", type=int, metavar="N",
                                 help="refuse the Nth write with a failure status")
    servers["sftp"].add_argument("--bogus-reply", choices=("unknown-id", "too-long"),
                                 help="slip a reply no request can have into the 10th write's")
    servers["sftp"].add_argument("--posix-rename", choices=("offered", "absent", "refused"),
                                 default="offered")
    servers["sftp"].add_argument("--keyboard-interactive", action="store_true",
                                 help="the password only as keyboard-interactive's answer")
    servers["sftp"].add_argument("--stall", metavar="REQUEST", choices=sorted(REQUESTS),
                                 help="never answer this request (write, posix_rename, ...)")
    for name in ("proftpd", "vsftpd", "sftp"):
        servers[name].add_argument("--address", choices=("127.0.0.1", "::1"),
                                   default="127.0.0.1")
    for sub in servers.values():
        for name in ("root", "home", "user", "password"):
            sub.add_argument(name)
    args = parser.parse_args()
    if args.command == "certs":
        make_certs(args.folder)
    elif args.command == "host-key":
        key = new_host_key()
        key.write_private_key(args.file)
        say(key.export_public_key().decode().strip())
    else:
        {"proftpd": run_proftpd, "vsftpd": run_vsftpd, "sftp": run_sftp,
         "openssh": run_openssh}[args.command](args)


if __name__ == "__main__":
    main()
