#!/usr/bin/python3
"""Runs one real FTP server on 127.0.0.1 for the end-to-end tests.

    ftpserver.py start KIND ROOT PORTFILE [--servers-dir DIR] [--run-dir DIR]

KIND is pyftpdlib, vsftpd, proftpd or pure-ftpd. The server serves ROOT to
the account "ftp" with the test password, on a free control port and a
passive port range of its kind's own (so servers of different kinds can run
at once). Once a login has succeeded, PORTFILE gets:

    <control port>
    server=<name and version>
    writable=<remote folder where the account may write>

The launcher stays in the foreground and ends, taking the server with it,
when its standard input closes or when it gets SIGTERM/SIGINT/SIGHUP; if it
is killed outright the server is sent SIGTERM by the kernel. The generated
configuration and the server's log stay in the run folder (default: beside
PORTFILE), never in the repository.

vsftpd, proftpd and pure-ftpd run from a `dpkg -x` tree in --servers-dir
(fetched there by fetch-servers.sh when missing); they need root, since each
locks the account into ROOT with chroot. Their sessions run as an
unprivileged account ("nobody"; "daemon" for vsftpd), so ROOT is opened to
it: mode 777, or on vsftpd 755 with an upload folder up/ of mode 777.
"""
import argparse
import ctypes
import os
import pwd
import grp
import select
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PYFTPD_SCRIPT = os.path.join(REPO, "tests", "realserver", "pyftpd_server.py")
FETCH_SCRIPT = os.path.join(HERE, "fetch-servers.sh")
ACCOUNT = "ftp"
START_SECONDS = 10
FETCH_SECONDS = 300
STOP_SECONDS = 3
PORT_ATTEMPTS = 3


class LaunchError(Exception):
    pass


class Context:
    """What every kind needs to configure itself."""

    def __init__(self, args, kind):
        self.root = os.path.abspath(args.root)
        self.run_dir = os.path.abspath(args.run_dir)
        self.password = args.password
        self.tree = ""
        if kind.from_tree and args.servers_dir:
            self.tree = os.path.join(os.path.abspath(args.servers_dir), "tree")
        account = pwd.getpwnam(kind.session_user)
        self.uid, self.gid = account.pw_uid, account.pw_gid

    def tree_path(self, relative):
        return os.path.join(self.tree, relative)

    def run_path(self, name):
        return os.path.join(self.run_dir, name)

    def write_run_file(self, name, text, mode=0o600):
        path = self.run_path(name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def environment(self):
        env = dict(os.environ)
        if self.tree:
            libs = os.path.join(self.tree, "usr", "lib")
            found = [os.path.join(libs, d) for d in sorted(os.listdir(libs)) if d.endswith("-linux-gnu")]
            env["LD_LIBRARY_PATH"] = ":".join(found + [env.get("LD_LIBRARY_PATH", "")]).rstrip(":")
        return env


def group_name(gid):
    return grp.getgrgid(gid).gr_name


def sha512_crypt(password):
    """A "$6$" hash: cheap to check, unlike pure-pw's argon2 default."""
    libcrypt = ctypes.CDLL("libcrypt.so.1")
    libcrypt.crypt.restype = ctypes.c_char_p
    libcrypt.crypt_gensalt.restype = ctypes.c_char_p
    salt = libcrypt.crypt_gensalt(b"$6$", 0, None, 0)
    hashed = libcrypt.crypt(password.encode(), salt) if salt else None
    if not hashed or not hashed.startswith(b"$6$"):
        raise LaunchError("libcrypt could not make a SHA-512 hash")
    return hashed.decode()


def version_line(argv, env):
    result = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=10)
    return (result.stdout + result.stderr).strip().splitlines()[0]


class Kind:
    """One server program and our configuration of it."""

    name = ""
    passive_ports = (0, 0)
    writable = "/"
    from_tree = True
    # The unprivileged account the sessions run as.
    session_user = "nobody"

    def prepare(self, ctx):
        """Writes the configuration and readies ROOT; before the first start."""

    def command(self, ctx, port):
        raise NotImplementedError

    def version(self, ctx):
        raise NotImplementedError

    def own_port_file(self):
        """Where the server writes the port it chose itself, if it does."""
        return None

    def check_can_run(self, ctx):
        if not self.from_tree:
            return
        if os.geteuid() != 0:
            raise LaunchError("%s needs root here (it chroots the account into ROOT)" % self.name)
        binary = ctx.tree_path(self.binary)
        if not os.access(binary, os.X_OK):
            fetch(ctx)

    def open_root_to_sessions(self, ctx):
        # The tests (often root) make ROOT; the sessions must write in it.
        os.chmod(ctx.root, 0o777)


def fetch(ctx):
    if not ctx.tree:
        raise LaunchError("no --servers-dir (or FTP_SERVERS_DIR) to run the server from")
    try:
        result = subprocess.run([FETCH_SCRIPT, os.path.dirname(ctx.tree)], capture_output=True,
                                text=True, timeout=FETCH_SECONDS)
    except subprocess.TimeoutExpired:
        raise LaunchError("fetching the servers took over %d s" % FETCH_SECONDS)
    if result.returncode != 0:
        raise LaunchError("fetching the servers failed: " + result.stderr.strip())


class Pyftpdlib(Kind):
    name = "pyftpdlib"
    passive_ports = (31000, 31999)
    from_tree = False

    def prepare(self, ctx):
        self.port_file = ctx.run_path("pyftpdlib.port")

    def command(self, ctx, port):
        return ["/usr/bin/python3", PYFTPD_SCRIPT, "--root", ctx.root, "--port-file", self.port_file,
                "--password", ctx.password, "--log", ctx.run_path("pyftpdlib.log"),
                "--passive-ports", "%d-%d" % self.passive_ports]

    def own_port_file(self):
        return self.port_file

    def version(self, ctx):
        return "pyftpdlib " + version_line(
            ["/usr/bin/python3", "-c", "import pyftpdlib; print(pyftpdlib.__ver__)"], ctx.environment())


class Proftpd(Kind):
    name = "proftpd"
    binary = "usr/sbin/proftpd"
    passive_ports = (30000, 30999)

    def prepare(self, ctx):
        self.open_root_to_sessions(ctx)
        users = ctx.write_run_file("ftpd.passwd", "%s:%s:%d:%d::%s:/bin/false\n" % (
            ACCOUNT, sha512_crypt(ctx.password), ctx.uid, ctx.gid, ctx.root))
        groups = ctx.write_run_file("ftpd.group", "%s:x:%d:\n" % (group_name(ctx.gid), ctx.gid))
        self.settings = PROFTPD_CONF.format(
            users=users, groups=groups, low=self.passive_ports[0], high=self.passive_ports[1], run=ctx.run_dir)

    def command(self, ctx, port):
        config = ctx.write_run_file("proftpd-%d.conf" % port, self.settings + "Port %d\n" % port)
        return [ctx.tree_path(self.binary), "-n", "-q", "-c", config]

    def version(self, ctx):
        # "ProFTPD Version 1.3.8"
        return "ProFTPD " + version_line([ctx.tree_path(self.binary), "-v"], ctx.environment()).split()[-1]


# A standalone configuration that loads none of Debian's modules.conf (so no
# mod_ident: IdentLookups would be fatal). mod_delay off: it pads every
# login by design, which only slows the tests. No User/Group: the master
# stays root (sessions still take the account's uid), because a process
# that changes its uid loses the signal that ends it with the launcher.
PROFTPD_CONF = """\
ServerType standalone
ServerName "test proftpd"
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
Umask 022
MaxInstances 64
PassivePorts {low} {high}
AuthOrder mod_auth_file.c
AuthUserFile {users}
AuthGroupFile {groups}
RequireValidShell off
UseFtpUsers off
DefaultRoot ~
AllowOverwrite on
AllowStoreRestart on
UseReverseDNS off
DelayEngine off
ControlsEngine off
WtmpLog off
PidFile {run}/proftpd.pid
ScoreboardFile {run}/proftpd.scoreboard
SystemLog {run}/proftpd.log
TransferLog {run}/xferlog
"""


class Vsftpd(Kind):
    name = "vsftpd"
    binary = "usr/sbin/vsftpd"
    passive_ports = (29000, 29999)
    writable = "/up"
    # vsftpd enters the anonymous account's home before anon_root, and
    # nobody's (/nonexistent) does not exist.
    session_user = "daemon"

    def prepare(self, ctx):
        # Anonymous login (which takes the name "ftp"): local users would need
        # PAM and a system account. vsftpd refuses a chroot the anonymous
        # account can write to, so only up/ is open to it.
        os.chmod(ctx.root, 0o755)
        upload = os.path.join(ctx.root, self.writable.lstrip("/"))
        os.makedirs(upload, exist_ok=True)
        os.chmod(upload, 0o777)
        empty = ctx.run_path("empty")
        os.makedirs(empty, exist_ok=True)
        os.chmod(empty, 0o755)
        self.settings = VSFTPD_CONF.format(
            root=ctx.root, user=pwd.getpwuid(ctx.uid).pw_name, empty=empty, run=ctx.run_dir,
            low=self.passive_ports[0], high=self.passive_ports[1])

    def command(self, ctx, port):
        config = ctx.write_run_file("vsftpd-%d.conf" % port,
                                    self.settings + "listen_port=%d\n" % port)
        return [ctx.tree_path(self.binary), config]

    def version(self, ctx):
        # vsftpd prints its version to standard input: "vsftpd: version 3.0.3".
        line = version_line(["/bin/sh", "-c", '"$0" -v 0>&1', ctx.tree_path(self.binary)],
                            ctx.environment())
        return "vsftpd " + line.split()[-1]


# no_anon_password=NO: USER answers 331 and PASS 230, as on the other
# servers. isolate / seccomp off: namespaces and the sandbox fail in
# containers.
VSFTPD_CONF = """\
listen=YES
listen_ipv6=NO
background=NO
listen_address=127.0.0.1
anonymous_enable=YES
no_anon_password=NO
local_enable=NO
ftp_username={user}
nopriv_user=nobody
anon_root={root}
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
pasv_enable=YES
pasv_min_port={low}
pasv_max_port={high}
connect_from_port_20=NO
secure_chroot_dir={empty}
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=YES
xferlog_std_format=NO
log_ftp_protocol=YES
vsftpd_log_file={run}/vsftpd.log
"""


class PureFtpd(Kind):
    name = "pure-ftpd"
    binary = "usr/sbin/pure-ftpd"
    passive_ports = (28000, 28999)

    def prepare(self, ctx):
        self.open_root_to_sessions(ctx)
        # Written by hand: `pure-pw useradd` hashes with argon2, which costs
        # seconds of CPU at every login. "/./" locks the account into ROOT.
        line = "%s:%s:%d:%d::%s/./::::::::::::\n" % (
            ACCOUNT, sha512_crypt(ctx.password), ctx.uid, ctx.gid, ctx.root)
        users = ctx.write_run_file("pureftpd.passwd", line)
        self.database = ctx.run_path("pureftpd.pdb")
        subprocess.run([ctx.tree_path("usr/bin/pure-pw"), "mkdb", self.database, "-f", users],
                       env=ctx.environment(), check=True, capture_output=True, timeout=10)

    def command(self, ctx, port):
        return [ctx.tree_path(self.binary), "-S", "127.0.0.1,%d" % port,
                "-p", "%d:%d" % self.passive_ports, "-l", "puredb:" + self.database,
                "-E", "-H", "-c", "64", "-C", "64", "-O", "clf:" + ctx.run_path("xferlog")]

    def version(self, ctx):
        # "pure-ftpd v1.0.50 [privsep]"
        line = version_line([ctx.tree_path(self.binary), "--help"], ctx.environment())
        return "pure-ftpd " + line.split()[1].lstrip("v")


KINDS = {kind.name: kind for kind in (Pyftpdlib(), Proftpd(), Vsftpd(), PureFtpd())}


# ---- talking to the server ---------------------------------------------------------

def read_reply(stream):
    """The final line of one (possibly multi-line) reply."""
    first = stream.readline()
    if len(first) < 4:
        raise LaunchError("connection closed instead of a reply")
    line = first
    if first[3:4] == "-":
        while not (line[:3] == first[:3] and line[3:4] == " "):
            line = stream.readline()
            if not line:
                raise LaunchError("connection closed inside a reply")
    return line.rstrip("\r\n")


def log_in(port, password):
    """Greeting, USER, PASS, QUIT: proves the server is up and configured."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        stream = connection.makefile("r", encoding="latin-1", newline="\n")
        expect(read_reply(stream), "220")
        connection.sendall(("USER %s\r\n" % ACCOUNT).encode())
        reply = read_reply(stream)
        if reply.startswith("331"):
            connection.sendall(("PASS %s\r\n" % password).encode())
            reply = read_reply(stream)
        expect(reply, "230")
        connection.sendall(b"QUIT\r\n")
        read_reply(stream)


def expect(reply, code):
    if not reply.startswith(code):
        raise LaunchError("expected %s, got %r" % (code, reply))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---- the server process --------------------------------------------------------------

def die_with_parent():
    os.setsid()
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, signal.SIGTERM)


class ServerProcess:
    """The server in a process group of its own, which stop() ends whole."""

    def __init__(self, argv, env, log_path):
        self.log_path = log_path
        with open(log_path, "ab") as log:
            self.process = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE, stdout=log,
                                            stderr=subprocess.STDOUT, preexec_fn=die_with_parent)

    def exited(self):
        return self.process.poll() is not None

    def stop(self):
        if self.process.poll() is None:
            self.signal_group(signal.SIGTERM)
            try:
                self.process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                pass
        # Session processes the server forked share its group.
        self.signal_group(signal.SIGKILL)
        self.process.wait()

    def signal_group(self, number):
        try:
            os.killpg(self.process.pid, number)
        except ProcessLookupError:
            pass

    def log_tail(self, lines=15):
        try:
            with open(self.log_path, errors="replace") as f:
                return "".join(f.readlines()[-lines:]).strip()
        except OSError:
            return ""


def wait_until_serving(kind, ctx, server, port):
    """The port once a login works; raises when the server ends or stalls."""
    deadline = time.monotonic() + START_SECONDS
    last_problem = "no answer"
    while time.monotonic() < deadline:
        if server.exited():
            raise LaunchError("%s exited at start (status %d)" % (kind.name, server.process.returncode))
        port = port or read_port(kind.own_port_file())
        if port:
            try:
                log_in(port, ctx.password)
                return port
            except OSError as problem:  # not listening yet
                last_problem = str(problem)
        time.sleep(0.05)
    raise LaunchError("%s did not let the account log in within %d s: %s"
                      % (kind.name, START_SECONDS, last_problem))


def read_port(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 0


def start_serving(kind, ctx):
    """Starts the server, trying a fresh port when a chosen one was taken."""
    for attempt in range(PORT_ATTEMPTS):
        port = 0 if kind.own_port_file() else free_port()
        server = ServerProcess(kind.command(ctx, port), ctx.environment(), ctx.run_path("server.log"))
        try:
            return server, wait_until_serving(kind, ctx, server, port)
        except LaunchError as problem:
            server.stop()
            tail = server.log_tail()
            if attempt + 1 == PORT_ATTEMPTS or "in use" not in tail.lower():
                raise LaunchError("%s\n%s" % (problem, tail))
        except BaseException:
            server.stop()
            raise


def write_port_file(path, port, server_name, writable):
    temporary = path + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d\nserver=%s\nwritable=%s\n" % (port, server_name, writable))
    os.replace(temporary, path)


class Stop(Exception):
    pass


STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def raise_stop(number, frame):
    raise Stop()


def ignore_stop_signals():
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)


def serve_until_told(server):
    """Returns when stdin closes or a stop signal came; raises if the server died."""
    while True:
        if server.exited():
            raise LaunchError("server exited by itself (status %d)\n%s"
                              % (server.process.returncode, server.log_tail()))
        readable, _, _ = select.select([sys.stdin], [], [], 0.2)
        if readable and not os.read(sys.stdin.fileno(), 4096):
            return


def run(args):
    kind = KINDS[args.kind]
    ctx = Context(args, kind)
    os.makedirs(ctx.run_dir, exist_ok=True)
    kind.check_can_run(ctx)
    kind.prepare(ctx)
    server_name = kind.version(ctx)
    server = None
    try:
        server, port = start_serving(kind, ctx)
        write_port_file(args.port_file, port, server_name, kind.writable)
        serve_until_told(server)
    except Stop:
        pass
    finally:
        ignore_stop_signals()
        if server:
            server.stop()


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["start"])
    parser.add_argument("kind", choices=sorted(KINDS))
    parser.add_argument("root")
    parser.add_argument("port_file")
    parser.add_argument("--servers-dir", default=os.environ.get("FTP_SERVERS_DIR", ""))
    parser.add_argument("--run-dir", default="")
    parser.add_argument("--password", default="secret")
    args = parser.parse_args()
    if not args.run_dir:
        args.run_dir = os.path.join(os.path.dirname(os.path.abspath(args.port_file)), args.kind + "-run")
    return args


def main():
    args = parse_arguments()
    for number in STOP_SIGNALS:
        signal.signal(number, raise_stop)
    try:
        run(args)
    except (LaunchError, subprocess.CalledProcessError, OSError) as problem:
        print("ftpserver: %s: %s" % (args.kind, problem), file=sys.stderr)
        return 1
    except Stop:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
