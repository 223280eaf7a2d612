#!/usr/bin/python3
"""Runs one real FTP server on loopback for the end-to-end tests.

    ftpserver.py start KIND ROOT PORTFILE [--servers-dir DIR] [--run-dir DIR]
                 [--tls explicit|implicit] [--no-reuse] [--strict-shutdown]
                 [--named] [--cert-name-mismatch] [--listen ADDRESS]
                 [--passive LOW-HIGH] [--announce ADDRESS]
    ftpserver.py service PORTFILE [--servers-dir DIR] [--run-dir DIR]

KIND is pyftpdlib, vsftpd, proftpd or pure-ftpd. The server serves ROOT to
the account "ftp" with the test password, on a free control port below the
kernel's ephemeral range and a passive port range of its kind's own (so
servers of different kinds can run at once). The options choose a mode:

  --tls explicit       AUTH TLS required before the login, PROT P before
                       every data connection; --tls implicit: TLS from the
                       first byte of every connection
  --no-reuse           data connections need not resume the control
                       connection's TLS session (vsftpd and proftpd require
                       it otherwise; pure-ftpd and pyftpdlib never do)
  --strict-shutdown    vsftpd only: TLS data connections must end with a
                       close_notify both ways
  --named              a second account, NAMED_USER with NAMED_PASSWORD,
                       serving the same ROOT
  --cert-name-mismatch the certificate names elsewhere.invalid and
                       192.0.2.1 instead of localhost and the address
  --listen ADDRESS     the loopback address of the control and data ports
                       (127.0.0.1)
  --passive LOW-HIGH   the passive ports; --announce ADDRESS: the address
                       the 227 reply names instead of the server's own

Once a login has succeeded (over TLS in the TLS modes, with each account),
PORTFILE gets the control port, then "key=value" lines:

    <control port>
    server=<name and version>
    writable=<remote folder where the accounts may write>
    address=<listen address>
    passive=<LOW-HIGH>
    announced=<address the 227 reply names, or empty: the server's own>
    tls=none|explicit|implicit
    reuse_required=yes|no
    ca_file=<the certificate the server presents, to trust>     (TLS)
    unrelated_ca_file=<an authority that signed nothing here>   (TLS)
    named_user=...
    named_password=...                                           (--named)

The certificate is made for the run: RSA 2048, self-signed, CN=localhost,
subjectAltName DNS:localhost and IP:127.0.0.1 (and the listen address when
it is another). A mode the kind or this machine cannot give ends the
launcher with status 3 and "unsupported: <reason>" on standard error; any
other failure with status 1 and the reason.

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

"service" serves tests that cannot start programs (the Windows tests under
Wine): see the Service section below.
"""
import argparse
import ctypes
import ipaddress
import os
import pwd
import grp
import random
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PYFTPD_SCRIPT = os.path.join(REPO, "tests", "realserver", "pyftpd_server.py")
FETCH_SCRIPT = os.path.join(HERE, "fetch-servers.sh")
ACCOUNT = "ftp"
NAMED_USER = "tester"
NAMED_PASSWORD = "tester-secret"
DEFAULT_ADDRESS = "127.0.0.1"
# Control ports come from here: below the passive ranges (28000-31999) and
# the kernel's ephemeral range (32768-60999), so no outgoing connection can
# take the port between the check and the server's bind. 24000-27999 is left
# for the relay's port ranges (tests/integration/RealFtpServer.cpp).
CONTROL_PORTS = (20000, 23999)
START_SECONDS = 10
FETCH_SECONDS = 300
STOP_SECONDS = 3
PORT_ATTEMPTS = 5
UNSUPPORTED_STATUS = 3
PAM_SERVICE = "ftpclient-tests"


class LaunchError(Exception):
    pass


class Unsupported(LaunchError):
    """The mode cannot be had from this kind, or on this machine."""


class Mode:
    """The options of one start: TLS, accounts, addresses, ports."""

    def __init__(self, args):
        self.tls = args.tls
        self.reuse = not args.no_reuse
        self.strict_shutdown = args.strict_shutdown
        self.named = args.named
        self.cert_name_mismatch = args.cert_name_mismatch
        self.address = args.listen
        self.passive = args.passive
        self.announce = args.announce or ""

    @property
    def secure(self):
        return self.tls != "none"


class Context:
    """What every kind needs to configure itself."""

    def __init__(self, args, kind):
        self.root = os.path.abspath(args.root)
        self.run_dir = os.path.abspath(args.run_dir)
        self.password = args.password
        self.mode = Mode(args)
        self.passive = self.mode.passive or kind.passive_ports
        self.cert_file = self.key_file = self.unrelated_ca_file = ""
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

    def accounts(self):
        """(name, password) of every account the server must let in."""
        named = [(NAMED_USER, NAMED_PASSWORD)] if self.mode.named else []
        return [(ACCOUNT, self.password)] + named


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


# ---- certificates --------------------------------------------------------------------

def openssl_req(subject, names, key, cert):
    argv = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
            "-subj", subject, "-keyout", key, "-out", cert]
    if names:
        argv[8:8] = ["-addext", "subjectAltName=" + ",".join(names)]
    try:
        result = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    except FileNotFoundError:
        raise Unsupported("the TLS modes need the openssl command (apt-get install openssl)")
    if result.returncode != 0:
        raise LaunchError("openssl req failed: " + result.stderr.strip())


def make_certificates(ctx):
    """The server's self-signed certificate, and an unrelated authority."""
    folder = ctx.run_path("certs")
    os.makedirs(folder, exist_ok=True)
    os.chmod(folder, 0o755)
    if ctx.mode.cert_name_mismatch:
        subject, names = "/CN=elsewhere.invalid", ["DNS:elsewhere.invalid", "IP:192.0.2.1"]
    else:
        subject, names = "/CN=localhost", ["DNS:localhost", "IP:" + DEFAULT_ADDRESS]
        if ctx.mode.address != DEFAULT_ADDRESS:
            names.append("IP:" + ctx.mode.address)
    ctx.cert_file = os.path.join(folder, "server.pem")
    ctx.key_file = os.path.join(folder, "server.key")
    openssl_req(subject, names, ctx.key_file, ctx.cert_file)
    ctx.unrelated_ca_file = os.path.join(folder, "unrelated-ca.pem")
    openssl_req("/CN=Unrelated test authority", [], os.path.join(folder, "unrelated-ca.key"),
                ctx.unrelated_ca_file)
    for name in os.listdir(folder):
        os.chmod(os.path.join(folder, name), 0o600 if name.endswith(".key") else 0o644)


# ---- the kinds -----------------------------------------------------------------------

class Kind:
    """One server program and our configuration of it."""

    name = ""
    passive_ports = (0, 0)
    writable = "/"
    from_tree = True
    # The unprivileged account the sessions run as.
    session_user = "nobody"
    # Whether the kind can refuse data connections that do not resume the
    # control connection's TLS session.
    can_require_reuse = False
    can_implicit = True
    can_strict_shutdown = False
    binary = ""

    def check_mode(self, ctx):
        """Raises Unsupported for a mode this kind cannot give."""
        mode = ctx.mode
        if mode.tls == "implicit" and not self.can_implicit:
            raise Unsupported("%s has no implicit TLS" % self.name)
        if mode.strict_shutdown and not self.can_strict_shutdown:
            raise Unsupported("%s has no switch for a strict TLS shutdown" % self.name)

    def reuse_required(self, ctx):
        return ctx.mode.secure and ctx.mode.reuse and self.can_require_reuse

    def prepare(self, ctx):
        """Writes the configuration and readies ROOT; before the first start."""

    def command(self, ctx, port):
        raise NotImplementedError

    def version(self, ctx):
        raise NotImplementedError

    def required_files(self, ctx):
        return [self.binary]

    def check_can_run(self, ctx):
        if not self.from_tree:
            return
        if os.geteuid() != 0:
            raise LaunchError("%s needs root here (it chroots the account into ROOT)" % self.name)
        if not all(os.path.exists(ctx.tree_path(f)) for f in self.required_files(ctx)):
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

    def check_mode(self, ctx):
        super().check_mode(ctx)
        if ctx.mode.secure:
            try:
                subprocess.run(["/usr/bin/python3", "-c", "import OpenSSL"], check=True,
                               capture_output=True, timeout=30)
            except subprocess.CalledProcessError:
                raise Unsupported("pyftpdlib's TLS needs python3-openssl")

    def command(self, ctx, port):
        mode = ctx.mode
        argv = ["/usr/bin/python3", PYFTPD_SCRIPT, "--root", ctx.root,
                "--port-file", ctx.run_path("pyftpdlib.port"), "--password", ctx.password,
                "--address", mode.address, "--port", str(port),
                "--log", ctx.run_path("pyftpdlib.log"), "--passive-ports", "%d-%d" % ctx.passive]
        if mode.announce:
            argv += ["--masquerade", mode.announce]
        if mode.secure:
            argv += ["--tls", mode.tls, "--certfile", ctx.cert_file, "--keyfile", ctx.key_file]
        if mode.named:
            argv += ["--named-user", NAMED_USER, "--named-password", NAMED_PASSWORD]
        return argv

    def version(self, ctx):
        return "pyftpdlib " + version_line(
            ["/usr/bin/python3", "-c", "import pyftpdlib; print(pyftpdlib.__ver__)"], ctx.environment())


class Proftpd(Kind):
    name = "proftpd"
    binary = "usr/sbin/proftpd"
    passive_ports = (30000, 30999)
    can_require_reuse = True
    tls_module = "usr/lib/proftpd/mod_tls.so"

    def required_files(self, ctx):
        return [self.binary] + ([self.tls_module] if ctx.mode.secure else [])

    def prepare(self, ctx):
        self.open_root_to_sessions(ctx)
        lines = "".join("%s:%s:%d:%d::%s:/bin/false\n" % (name, sha512_crypt(password), ctx.uid,
                                                           ctx.gid, ctx.root)
                        for name, password in ctx.accounts())
        users = ctx.write_run_file("ftpd.passwd", lines)
        groups = ctx.write_run_file("ftpd.group", "%s:x:%d:\n" % (group_name(ctx.gid), ctx.gid))
        self.settings = PROFTPD_CONF.format(
            users=users, groups=groups, low=ctx.passive[0], high=ctx.passive[1], run=ctx.run_dir,
            address=ctx.mode.address)
        if ctx.mode.announce:
            self.settings += "MasqueradeAddress %s\n" % ctx.mode.announce
        if ctx.mode.secure:
            self.settings += self.tls_settings(ctx)

    def tls_settings(self, ctx):
        options = []
        if not self.reuse_required(ctx):
            options.append("NoSessionReuseRequired")
        if ctx.mode.tls == "implicit":
            options.append("UseImplicitSSL")
        text = PROFTPD_TLS_CONF.format(modules=os.path.dirname(ctx.tree_path(self.tls_module)),
                                       cert=ctx.cert_file, key=ctx.key_file, run=ctx.run_dir)
        return text + ("TLSOptions %s\n" % " ".join(options) if options else "")

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
DefaultAddress {address}
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

# TLSRequired on: AUTH TLS before USER, PROT P before every transfer. Without
# NoSessionReuseRequired in TLSOptions a data connection that does not
# resume the control connection's session is refused.
PROFTPD_TLS_CONF = """\
ModulePath {modules}
LoadModule mod_tls.c
TLSEngine on
TLSRequired on
TLSProtocol TLSv1.2 TLSv1.3
TLSRSACertificateFile {cert}
TLSRSACertificateKeyFile {key}
TLSVerifyClient off
TLSLog {run}/tls.log
"""


class Vsftpd(Kind):
    name = "vsftpd"
    binary = "usr/sbin/vsftpd"
    passive_ports = (29000, 29999)
    writable = "/up"
    # vsftpd enters the anonymous account's home before anon_root, and
    # nobody's (/nonexistent) does not exist.
    session_user = "daemon"
    can_require_reuse = True
    can_strict_shutdown = True

    def check_mode(self, ctx):
        super().check_mode(ctx)
        if ctx.mode.named:
            check_private_pam()

    def prepare(self, ctx):
        # Anonymous login (which takes the name "ftp"). vsftpd refuses a
        # chroot the account can write to, so only up/ is open to it.
        os.chmod(ctx.root, 0o755)
        upload = os.path.join(ctx.root, self.writable.lstrip("/"))
        os.makedirs(upload, exist_ok=True)
        os.chmod(upload, 0o777)
        empty = ctx.run_path("empty")
        os.makedirs(empty, exist_ok=True)
        os.chmod(empty, 0o755)
        user = pwd.getpwuid(ctx.uid).pw_name
        mode = ctx.mode
        self.settings = VSFTPD_CONF.format(
            root=ctx.root, user=user, empty=empty, run=ctx.run_dir,
            low=ctx.passive[0], high=ctx.passive[1], address=mode.address)
        if mode.announce:
            self.settings += "pasv_address=%s\n" % mode.announce
        if mode.secure:
            self.settings += VSFTPD_TLS_CONF.format(
                cert=ctx.cert_file, key=ctx.key_file, reuse=yes_no(self.reuse_required(ctx)),
                implicit=yes_no(mode.tls == "implicit"), strict=yes_no(mode.strict_shutdown))
        if mode.named:
            self.settings += VSFTPD_NAMED_CONF.format(root=ctx.root, user=user, service=PAM_SERVICE)
            self.pam_folder = write_pam_service(ctx)

    def command(self, ctx, port):
        config = ctx.write_run_file("vsftpd-%d.conf" % port,
                                    self.settings + "listen_port=%d\n" % port)
        server = [ctx.tree_path(self.binary), config]
        if not ctx.mode.named:
            return server
        # PAM reads its services from /etc/pam.d only: in a mount namespace of
        # its own, vsftpd sees the run's folder there, and the system's stays
        # untouched. unshare and sh exec, so the pid stays the server's.
        return ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
                'mount --bind "$0" /etc/pam.d && exec "$@"', self.pam_folder] + server

    def version(self, ctx):
        # vsftpd prints its version to standard input: "vsftpd: version 3.0.3".
        line = version_line(["/bin/sh", "-c", '"$0" -v 0>&1', ctx.tree_path(self.binary)],
                            ctx.environment())
        return "vsftpd " + line.split()[-1]


def yes_no(flag):
    return "YES" if flag else "NO"


# no_anon_password=NO: USER answers 331 and PASS 230, as on the other
# servers. isolate / seccomp off: namespaces and the sandbox fail in
# containers.
VSFTPD_CONF = """\
listen=YES
listen_ipv6=NO
background=NO
listen_address={address}
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

# allow_anon_ssl: without it "USER ftp" gets "530 Anonymous sessions may not
# use encryption.". ssl_ciphers: the built-in default (DES-CBC3-SHA) is off
# in OpenSSL 3.
VSFTPD_TLS_CONF = """\
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
force_local_logins_ssl=YES
force_local_data_ssl=YES
ssl_sslv2=NO
ssl_sslv3=NO
ssl_tlsv1=YES
ssl_ciphers=HIGH
rsa_cert_file={cert}
rsa_private_key_file={key}
require_ssl_reuse={reuse}
implicit_ssl={implicit}
strict_ssl_read_eof={strict}
strict_ssl_write_shutdown={strict}
debug_ssl=YES
"""

# The named account is a virtual user (PAM checks it against a pam_userdb
# file) mapped onto the sessions' account, with the anonymous account's root.
VSFTPD_NAMED_CONF = """\
local_enable=YES
guest_enable=YES
guest_username={user}
virtual_use_local_privs=YES
local_root={root}
chroot_local_user=YES
local_umask=022
pam_service_name={service}
"""


def pam_module_folder():
    for folder in ("/lib/x86_64-linux-gnu/security", "/usr/lib/x86_64-linux-gnu/security",
                   "/lib/security", "/usr/lib/security"):
        if os.path.exists(os.path.join(folder, "pam_userdb.so")):
            return folder
    return ""


def check_private_pam():
    """vsftpd's named account needs pam_userdb, Berkeley DB files and a mount namespace."""
    if not pam_module_folder():
        raise Unsupported("vsftpd's named account needs pam_userdb.so (libpam-modules)")
    try:
        import dbm.ndbm
        berkeley = "Berkeley" in dbm.ndbm.library
    except ImportError:
        berkeley = False
    if not berkeley:
        raise Unsupported("vsftpd's named account needs Python's dbm.ndbm on Berkeley DB "
                          "to write pam_userdb's file")
    result = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "true"],
                            capture_output=True, text=True, timeout=10)
    if result.returncode != 0:
        raise Unsupported("vsftpd's named account needs a mount namespace (unshare --mount) to give "
                          "PAM a service of the run's own; here: " + result.stderr.strip())


def write_pam_service(ctx):
    import dbm.ndbm
    database = ctx.run_path("virtual-users")
    with dbm.ndbm.open(database, "n", 0o600) as users:
        users[NAMED_USER] = sha512_crypt(NAMED_PASSWORD)
    folder = ctx.run_path("pam.d")
    os.makedirs(folder, exist_ok=True)
    modules = pam_module_folder()
    with open(os.path.join(folder, PAM_SERVICE), "w") as f:
        f.write("auth required %s/pam_userdb.so db=%s crypt=crypt\n"
                "account required %s/pam_permit.so\n"
                "session required %s/pam_permit.so\n" % (modules, database, modules, modules))
    return folder


class PureFtpd(Kind):
    name = "pure-ftpd"
    binary = "usr/sbin/pure-ftpd"
    passive_ports = (28000, 28999)
    # Built without implicit TLS (a compile-time choice that would make every
    # connection implicit).
    can_implicit = False

    def prepare(self, ctx):
        self.open_root_to_sessions(ctx)
        # Written by hand: `pure-pw useradd` hashes with argon2, which costs
        # seconds of CPU at every login. "/./" locks the account into ROOT.
        lines = "".join("%s:%s:%d:%d::%s/./::::::::::::\n" % (
            name, sha512_crypt(password), ctx.uid, ctx.gid, ctx.root) for name, password in ctx.accounts())
        users = ctx.write_run_file("pureftpd.passwd", lines)
        self.database = ctx.run_path("pureftpd.pdb")
        subprocess.run([ctx.tree_path("usr/bin/pure-pw"), "mkdb", self.database, "-f", users],
                       env=ctx.environment(), check=True, capture_output=True, timeout=10)

    def command(self, ctx, port):
        argv = [ctx.tree_path(self.binary), "-S", "%s,%d" % (ctx.mode.address, port),
                "-p", "%d:%d" % ctx.passive, "-l", "puredb:" + self.database,
                "-E", "-H", "-c", "64", "-C", "64", "-O", "clf:" + ctx.run_path("xferlog")]
        if ctx.mode.announce:
            argv += ["-P", ctx.mode.announce]
        if ctx.mode.secure:
            # 3: TLS required on the control connection and every data connection.
            argv += ["-Y", "3", "-2", "%s,%s" % (ctx.cert_file, ctx.key_file)]
        return argv

    def version(self, ctx):
        # "pure-ftpd v1.0.50 [privsep]"
        line = version_line([ctx.tree_path(self.binary), "--help"], ctx.environment())
        return "pure-ftpd " + line.split()[1].lstrip("v")


KINDS = {kind.name: kind for kind in (Pyftpdlib(), Proftpd(), Vsftpd(), PureFtpd())}


# ---- talking to the server ---------------------------------------------------------

class ControlConnection:
    """A control connection that can turn to TLS, for the check at start."""

    def __init__(self, ctx, port):
        self.ctx = ctx
        self.socket = socket.create_connection((ctx.mode.address, port), timeout=5)
        if ctx.mode.tls == "implicit":
            self.secure()
        self.stream = self.socket.makefile("r", encoding="latin-1", newline="\n")

    def secure(self):
        context = ssl.create_default_context(cafile=self.ctx.cert_file)
        # The certificate that names elsewhere still has to be the server's.
        context.check_hostname = not self.ctx.mode.cert_name_mismatch
        self.socket = context.wrap_socket(self.socket, server_hostname=self.ctx.mode.address)
        self.stream = self.socket.makefile("r", encoding="latin-1", newline="\n")

    def reply(self):
        """The final line of one (possibly multi-line) reply."""
        first = self.stream.readline()
        if len(first) < 4:
            raise LaunchError("connection closed instead of a reply")
        line = first
        if first[3:4] == "-":
            while not (line[:3] == first[:3] and line[3:4] == " "):
                line = self.stream.readline()
                if not line:
                    raise LaunchError("connection closed inside a reply")
        return line.rstrip("\r\n")

    def send(self, command):
        self.socket.sendall((command + "\r\n").encode())
        return self.reply()

    def close(self):
        self.socket.close()


def log_in(ctx, port, name, password):
    """Greeting, (AUTH TLS,) USER, PASS, QUIT: proves the server is up and configured."""
    connection = ControlConnection(ctx, port)
    try:
        expect(connection.reply(), "220")
        if ctx.mode.tls == "explicit":
            expect(connection.send("AUTH TLS"), "234")
            connection.secure()
        reply = connection.send("USER %s" % name)
        if reply.startswith("331"):
            reply = connection.send("PASS %s" % password)
        expect(reply, "230", "as " + name)
        connection.send("QUIT")
    finally:
        connection.close()


def expect(reply, code, what=""):
    if not reply.startswith(code):
        raise LaunchError("expected %s%s, got %r" % (code, " " + what if what else "", reply))


def free_port(address):
    """A port of CONTROL_PORTS nobody holds now."""
    for _ in range(100):
        port = random.randint(*CONTROL_PORTS)
        with socket.socket() as probe:
            try:
                probe.bind((address, port))
                return port
            except OSError:
                continue
    raise LaunchError("no free port in %d-%d on %s" % (CONTROL_PORTS + (address,)))


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
    """Returns once every account logs in; raises when the server ends or stalls."""
    deadline = time.monotonic() + START_SECONDS
    last_problem = "no answer"
    while time.monotonic() < deadline:
        if server.exited():
            raise LaunchError("%s exited at start (status %d)" % (kind.name, server.process.returncode))
        try:
            for name, password in ctx.accounts():
                log_in(ctx, port, name, password)
            return
        except (OSError, ssl.SSLError) as problem:  # not listening yet
            last_problem = str(problem)
        time.sleep(0.05)
    raise LaunchError("%s did not let the accounts log in within %d s: %s"
                      % (kind.name, START_SECONDS, last_problem))


def start_serving(kind, ctx):
    """Starts the server, trying a fresh port when a chosen one was taken."""
    for attempt in range(PORT_ATTEMPTS):
        port = free_port(ctx.mode.address)
        server = ServerProcess(kind.command(ctx, port), ctx.environment(), ctx.run_path("server.log"))
        try:
            wait_until_serving(kind, ctx, server, port)
            return server, port
        except LaunchError as problem:
            server.stop()
            tail = server.log_tail()
            if attempt + 1 == PORT_ATTEMPTS or "in use" not in tail.lower():
                raise LaunchError("%s\n%s" % (problem, tail))
        except BaseException:
            server.stop()
            raise


def facts(kind, ctx, port, server_name):
    mode = ctx.mode
    lines = ["%d" % port, "server=" + server_name, "writable=" + kind.writable,
             "address=" + mode.address, "passive=%d-%d" % ctx.passive, "announced=" + mode.announce,
             "tls=" + mode.tls, "reuse_required=" + ("yes" if kind.reuse_required(ctx) else "no")]
    if mode.secure:
        lines += ["ca_file=" + ctx.cert_file, "unrelated_ca_file=" + ctx.unrelated_ca_file]
    if mode.named:
        lines += ["named_user=" + NAMED_USER, "named_password=" + NAMED_PASSWORD]
    return "\n".join(lines) + "\n"


def write_port_file(path, text):
    temporary = path + ".tmp"
    with open(temporary, "w") as f:
        f.write(text)
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
    kind.check_mode(ctx)
    kind.check_can_run(ctx)
    if ctx.mode.secure:
        make_certificates(ctx)
    kind.prepare(ctx)
    server_name = kind.version(ctx)
    server = None
    try:
        server, port = start_serving(kind, ctx)
        write_port_file(args.port_file, facts(kind, ctx, port, server_name))
        serve_until_told(server)
    except Stop:
        pass
    finally:
        ignore_stop_signals()
        if server:
            server.stop()


# ---- Service -------------------------------------------------------------------------
# For tests that cannot start programs (Windows tests under Wine). One TCP
# connection per server, on 127.0.0.1:
#   test:    "start KIND [OPTION...]\n"  (the start options of the modes above)
#   service: "ok\n", the port file's text, "root=<ROOT>\n", ".\n"
#            or "unsupported <reason>\n" or "error <reason>\n", and closes.
# The server runs until the test closes the connection (also when the test
# process dies) or the service ends; then the service stops it and removes
# its folder. The service ends when its standard input closes or on a stop
# signal, and then stops every server it started.

SERVICE_FLAGS = {"--no-reuse", "--strict-shutdown", "--named", "--cert-name-mismatch"}
SERVICE_VALUED = {"--tls", "--listen", "--passive", "--announce"}
SERVICE_MOST_SERVERS = 32
SERVICE_REQUEST_SECONDS = 10
SERVICE_START_SECONDS = FETCH_SECONDS + 60


def request_arguments(line):
    """The launcher's arguments for one request line; raises ValueError."""
    words = line.split()
    if len(words) < 2 or words[0] != "start" or words[1] not in KINDS:
        raise ValueError("expected: start KIND [OPTION...]")
    options = []
    rest = iter(words[2:])
    for word in rest:
        if word in SERVICE_FLAGS:
            options.append(word)
        elif word in SERVICE_VALUED:
            value = next(rest, "")
            if not re.fullmatch(r"[A-Za-z0-9.\-]{1,40}", value):
                raise ValueError("bad value for " + word)
            options += [word, value]
        else:
            raise ValueError("unknown option " + word)
    return words[1], options


def read_request(connection):
    deadline = time.monotonic() + SERVICE_REQUEST_SECONDS
    data = b""
    while b"\n" not in data and len(data) < 4096 and time.monotonic() < deadline:
        readable, _, _ = select.select([connection], [], [], 0.2)
        if readable:
            piece = connection.recv(4096)
            if not piece:
                break
            data += piece
    return data.split(b"\n")[0].decode("ascii", "replace").strip()


class ServiceRequest:
    """One server the service started for one connection."""

    def __init__(self, service, connection, number):
        self.service = service
        self.connection = connection
        self.folder = os.path.join(service.run_dir, "server-%d" % number)

    def run(self):
        launcher = None
        try:
            kind, options = request_arguments(read_request(self.connection))
            launcher = self.start(kind, options)
            answer = self.wait_for_start(launcher)
            self.connection.sendall(answer.encode())
            if answer.startswith("ok"):
                self.wait_until_done()
        except (ValueError, OSError) as problem:
            self.answer("error %s\n" % problem)
        finally:
            if launcher:
                stop_launcher(launcher)
            self.connection.close()
            shutil.rmtree(self.folder, ignore_errors=True)

    def answer(self, text):
        try:
            self.connection.sendall(text.encode())
        except OSError:
            pass

    def start(self, kind, options):
        root = os.path.join(self.folder, "root")
        os.makedirs(root)
        os.chmod(self.folder, 0o755)
        self.port_file = os.path.join(self.folder, "port")
        self.log_file = os.path.join(self.folder, "launcher.log")
        argv = ["/usr/bin/python3", os.path.abspath(__file__), "start", kind, root, self.port_file,
                "--servers-dir", self.service.servers_dir] + options
        with open(self.log_file, "wb") as log:
            return subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=log, stderr=subprocess.STDOUT)

    def wait_for_start(self, launcher):
        deadline = time.monotonic() + SERVICE_START_SECONDS
        while time.monotonic() < deadline and not self.service.stopping.is_set():
            if os.path.exists(self.port_file):
                with open(self.port_file) as f:
                    text = f.read()
                return "ok\n%sroot=%s\n.\n" % (text, os.path.join(self.folder, "root"))
            if launcher.poll() is not None:
                with open(self.log_file, errors="replace") as f:
                    reason = " ".join(f.read().split())[-1500:]
                word = "unsupported" if launcher.returncode == UNSUPPORTED_STATUS else "error"
                return "%s %s\n" % (word, reason)
            time.sleep(0.05)
        return "error the server did not start within %d s\n" % SERVICE_START_SECONDS

    def wait_until_done(self):
        while not self.service.stopping.is_set():
            readable, _, _ = select.select([self.connection], [], [], 0.2)
            if readable:
                try:
                    if not self.connection.recv(4096):
                        return
                except OSError:
                    return


def stop_launcher(launcher):
    try:
        launcher.stdin.close()
    except OSError:
        pass
    try:
        launcher.wait(STOP_SECONDS + 5)
    except subprocess.TimeoutExpired:
        launcher.kill()  # its server gets SIGTERM from the kernel
        launcher.wait()


class Service:
    def __init__(self, args):
        self.run_dir = os.path.abspath(args.run_dir)
        self.servers_dir = os.path.abspath(args.servers_dir) if args.servers_dir else ""
        self.stopping = threading.Event()
        self.threads = []

    def serve(self, port_file):
        os.makedirs(self.run_dir, exist_ok=True)
        os.chmod(self.run_dir, 0o755)
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((DEFAULT_ADDRESS, free_port(DEFAULT_ADDRESS)))
        listener.listen(16)
        write_port_file(port_file, "%d\n" % listener.getsockname()[1])
        number = 0
        try:
            while True:
                readable, _, _ = select.select([listener, sys.stdin], [], [], 0.2)
                if sys.stdin in readable and not os.read(sys.stdin.fileno(), 4096):
                    return
                if listener in readable:
                    connection, _ = listener.accept()
                    self.threads = [t for t in self.threads if t.is_alive()]
                    if len(self.threads) >= SERVICE_MOST_SERVERS:
                        connection.sendall(b"error too many servers at once\n")
                        connection.close()
                        continue
                    number += 1
                    thread = threading.Thread(target=ServiceRequest(self, connection, number).run)
                    thread.start()
                    self.threads.append(thread)
        finally:
            listener.close()
            self.stopping.set()
            for thread in self.threads:
                thread.join()


# ---- command line --------------------------------------------------------------------

def loopback_address(text):
    try:
        if ipaddress.IPv4Address(text) in ipaddress.IPv4Network("127.0.0.0/8"):
            return text
    except ValueError:
        pass
    raise argparse.ArgumentTypeError("%r is no loopback address (127.0.0.0/8)" % text)


def port_range(text):
    match = re.fullmatch(r"(\d+)-(\d+)", text)
    if match:
        low, high = int(match.group(1)), int(match.group(2))
        if 1024 <= low <= high < 32768:
            return low, high
    raise argparse.ArgumentTypeError("%r is no range LOW-HIGH within 1024-32767" % text)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    actions = parser.add_subparsers(dest="action", required=True)
    start = actions.add_parser("start")
    start.add_argument("kind", choices=sorted(KINDS))
    start.add_argument("root")
    start.add_argument("port_file")
    start.add_argument("--password", default="secret")
    start.add_argument("--tls", choices=["none", "explicit", "implicit"], default="none")
    start.add_argument("--no-reuse", action="store_true")
    start.add_argument("--strict-shutdown", action="store_true")
    start.add_argument("--named", action="store_true")
    start.add_argument("--cert-name-mismatch", action="store_true")
    start.add_argument("--listen", type=loopback_address, default=DEFAULT_ADDRESS)
    start.add_argument("--passive", type=port_range)
    start.add_argument("--announce", type=loopback_address)
    service = actions.add_parser("service")
    service.add_argument("port_file")
    for action in (start, service):
        action.add_argument("--servers-dir", default=os.environ.get("FTP_SERVERS_DIR", ""))
        action.add_argument("--run-dir", default="")
    args = parser.parse_args()
    if args.action == "start" and args.tls == "none" and (
            args.no_reuse or args.strict_shutdown or args.cert_name_mismatch):
        parser.error("--no-reuse, --strict-shutdown and --cert-name-mismatch need --tls")
    if not args.run_dir:
        name = args.kind + "-run" if args.action == "start" else "service-run"
        args.run_dir = os.path.join(os.path.dirname(os.path.abspath(args.port_file)), name)
    return args


def main():
    args = parse_arguments()
    for number in STOP_SIGNALS:
        signal.signal(number, raise_stop)
    name = args.kind if args.action == "start" else "service"
    try:
        if args.action == "start":
            run(args)
        else:
            Service(args).serve(args.port_file)
    except Unsupported as problem:
        print("ftpserver: %s: unsupported: %s" % (name, problem), file=sys.stderr)
        return UNSUPPORTED_STATUS
    except (LaunchError, subprocess.CalledProcessError, OSError) as problem:
        print("ftpserver: %s: %s" % (name, problem), file=sys.stderr)
        return 1
    except Stop:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
