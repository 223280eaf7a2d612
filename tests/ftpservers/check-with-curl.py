#!/usr/bin/python3
"""Checks every mode of the four test servers with curl as the client.

    check-with-curl.py [--servers-dir DIR] [--relay BUILD/bin/ftprelay]
                       [--size-mib 64] [--kinds KIND,...] [--modes MODE,...]

For each kind and mode (MODES below) it starts the server through
ftpserver.py, as the tests do, and with curl: lists the root, downloads and
uploads a file of --size-mib MiB (bytes compared with the served file), with
each account the mode has; in the TLS modes it also makes sure that a plain
login, a client trusting only the unrelated authority, and (with
--cert-name-mismatch) the name check are refused. With --relay the "relayed"
mode runs the transfers through ftprelay in port-range mode (TLS hides the
227 reply from a relay that rewrites it). A mode the kind cannot give is
reported as unsupported with the launcher's reason, not as a failure.

Prints one line per check and a summary; exits 0 when every check passed,
1 otherwise, 77 (a skip for ctest) when curl is missing.
"""
import argparse
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCHER = os.path.join(HERE, "ftpserver.py")
KINDS = ["pyftpdlib", "vsftpd", "proftpd", "pure-ftpd"]
PASSWORD = "secret"
SKIP_STATUS = 77
START_SECONDS = 200
CURL_SECONDS = 120
# The relayed mode's passive block: the relay holds these ports on
# 127.0.0.1, the server the same ports on 127.0.0.3. From the top of the
# kind's thousand ports for relay blocks (tests/integration/RealFtpServer.cpp),
# below the kernel's ephemeral range and apart from the control ports and
# the kinds' own passive ranges.
RELAY_BASE = {"pyftpdlib": 24000, "vsftpd": 25000, "proftpd": 26000, "pure-ftpd": 27000}
RELAY_BLOCK = 16
RELAY_SERVER_ADDRESS = "127.0.0.3"

# name: (launcher options, curl's URL scheme)
MODES = {
    "plain": ([], "ftp"),
    "named": (["--named"], "ftp"),
    "explicit": (["--tls", "explicit"], "ftp"),
    "explicit-no-reuse": (["--tls", "explicit", "--no-reuse"], "ftp"),
    "explicit-named": (["--tls", "explicit", "--named"], "ftp"),
    "explicit-strict": (["--tls", "explicit", "--strict-shutdown"], "ftp"),
    "implicit": (["--tls", "implicit"], "ftps"),
    "implicit-no-reuse": (["--tls", "implicit", "--no-reuse"], "ftps"),
    "cert-name-mismatch": (["--tls", "explicit", "--cert-name-mismatch"], "ftp"),
    "relayed": (["--tls", "explicit"], "ftp"),
}


def stop_by_input(process):
    """Closing its input ends a launcher (and its server) or ftprelay."""
    process.stdin.close()
    try:
        process.wait(15)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Server:
    """One launcher and its server, stopped by closing the launcher's input."""

    def __init__(self, work, kind, options, servers_dir):
        self.folder = tempfile.mkdtemp(prefix="curl-check-", dir=work)
        os.chmod(self.folder, 0o755)
        self.root = os.path.join(self.folder, "root")
        os.mkdir(self.root)
        self.port_file = os.path.join(self.folder, "port")
        self.log = os.path.join(self.folder, "launcher.log")
        argv = ["/usr/bin/python3", LAUNCHER, "start", kind, self.root, self.port_file] + options
        if servers_dir:
            argv += ["--servers-dir", servers_dir]
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=log, stderr=subprocess.STDOUT)
        self.facts = {}

    def wait(self):
        """None once serving, else ("unsupported" or "failed", reason)."""
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            if os.path.exists(self.port_file):
                with open(self.port_file) as f:
                    lines = f.read().splitlines()
                self.facts = dict(line.split("=", 1) for line in lines[1:] if "=" in line)
                self.facts["port"] = lines[0]
                return None
            if self.process.poll() is not None:
                with open(self.log, errors="replace") as f:
                    reason = " ".join(f.read().split())
                return ("unsupported" if self.process.returncode == 3 else "failed"), reason
            time.sleep(0.05)
        return "failed", "no port file within %d s" % START_SECONDS

    def stop(self):
        stop_by_input(self.process)


class Relay:
    """ftprelay in port-range mode in front of a server on RELAY_SERVER_ADDRESS."""

    def __init__(self, binary, folder, server_port, ports):
        self.port_file = os.path.join(folder, "relay-port")
        self.process = subprocess.Popen(
            [binary, "--target-port", str(server_port), "--target-address", RELAY_SERVER_ADDRESS,
             "--passive-ports", "%d-%d" % ports, "--port-file", self.port_file, "--max-seconds", "600"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def wait(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.process.poll() is None:
            if os.path.exists(self.port_file):
                with open(self.port_file) as f:
                    return int(f.read().split()[0])
            time.sleep(0.05)
        return 0

    def stop(self):
        stop_by_input(self.process)


def free_block(kind):
    """A block of RELAY_BLOCK ports free on 127.0.0.1 now (a test run
    beside this one may hold others)."""
    for block in range(61, 40, -1):
        low = RELAY_BASE[kind] + block * RELAY_BLOCK
        probes = []
        try:
            for port in range(low, low + RELAY_BLOCK):
                probe = socket.socket()
                probes.append(probe)
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                probe.bind(("127.0.0.1", port))
            return low, low + RELAY_BLOCK - 1
        except OSError:
            continue
        finally:
            for probe in probes:
                probe.close()
    return None


def digest(path):
    hashed = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            hashed.update(block)
    return hashed.hexdigest()


def curl(arguments):
    result = subprocess.run(["curl", "-sS", "--max-time", str(CURL_SECONDS)] + arguments,
                            capture_output=True, text=True)
    lines = result.stderr.strip().splitlines()
    return result.returncode, result.stdout, lines[0] if lines else ""


class Check:
    def __init__(self, report, kind, mode):
        self.report, self.kind, self.mode = report, kind, mode

    def record(self, what, ok, detail=""):
        self.report.append((self.kind, self.mode, what, "ok" if ok else "FAILED", detail))
        print("%-10s %-19s %-34s %s %s" % (self.kind, self.mode, what, "ok" if ok else "FAILED", detail),
              flush=True)


def check_mode(check, server, args, sample, relay_port=0):
    facts = server.facts
    scheme = MODES[check.mode][1]
    port = relay_port or int(facts["port"])
    base = "%s://127.0.0.1:%d" % (scheme, port)
    tls = facts["tls"] != "none"
    options = ["--ssl-reqd", "--cacert", facts["ca_file"]] if tls else []
    if relay_port:
        options.append("--disable-epsv")  # PASV: the announced address is the relay's
    writable = facts["writable"].rstrip("/")
    shutil.copyfile(sample, os.path.join(server.root, "sample.bin"))
    os.chmod(os.path.join(server.root, "sample.bin"), 0o644)
    accounts = [("ftp", PASSWORD)]
    if "named_user" in facts:
        accounts.append((facts["named_user"], facts["named_password"]))

    if check.mode == "cert-name-mismatch":
        status, _, error = curl(options + ["-u", "ftp:" + PASSWORD, base + "/"])
        check.record("name check refuses the server", status == 60, "curl %d: %s" % (status, error))
        return
    size = "%d MiB" % args.size_mib
    for user, password in accounts:
        login = ["-u", "%s:%s" % (user, password)]
        status, listing, error = curl(options + login + [base + "/"])
        check.record("list as " + user, status == 0 and "sample.bin" in listing, error)
        got = os.path.join(server.folder, "got.bin")
        status, _, error = curl(options + login + [base + "/sample.bin", "-o", got])
        same = status == 0 and digest(got) == digest(sample)
        check.record("download %s as %s" % (size, user), same, error)
        remote = "%s/up-%s.bin" % (writable, user)
        status, _, error = curl(options + login + ["-T", sample, base + remote])
        landed = os.path.join(server.root, remote.lstrip("/"))
        same = status == 0 and os.path.exists(landed) and digest(landed) == digest(sample)
        check.record("upload %s as %s" % (size, user), same, error)
    if tls and scheme == "ftp":
        status, _, error = curl(["-u", "ftp:" + PASSWORD, base + "/"])
        check.record("plain login refused", status != 0, "curl %d: %s" % (status, error))
    if tls:
        status, _, error = curl(["--ssl-reqd", "--cacert", facts["unrelated_ca_file"], "-u", "ftp:" + PASSWORD,
                                 base + "/"])
        check.record("unrelated authority refused", status == 60, "curl %d" % status)


def run_mode(report, kind, mode, args, work, sample):
    check = Check(report, kind, mode)
    options = list(MODES[mode][0])
    relay = None
    block = None
    if mode == "relayed":
        if not args.relay:
            print("%-10s %-19s skipped: no --relay" % (kind, mode), flush=True)
            return
        block = free_block(kind)
        if not block:
            check.record("relay port block", False, "no free block of %d ports" % RELAY_BLOCK)
            return
        options += ["--listen", RELAY_SERVER_ADDRESS, "--passive", "%d-%d" % block, "--announce", "127.0.0.1"]
    server = Server(work, kind, options, args.servers_dir)
    try:
        problem = server.wait()
        if problem:
            word, reason = problem
            report.append((kind, mode, "start", word, reason))
            print("%-10s %-19s %-34s %s: %s" % (kind, mode, "start", word, reason[-300:]), flush=True)
            return
        relay_port = 0
        if mode == "relayed":
            relay = Relay(args.relay, server.folder, int(server.facts["port"]), block)
            relay_port = relay.wait()
            if not relay_port:
                check.record("relay start", False, relay.process.stderr.read().decode(errors="replace"))
                return
        check_mode(check, server, args, sample, relay_port)
    finally:
        if relay:
            relay.stop()
        server.stop()
        shutil.rmtree(server.folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--servers-dir", default="",
                        help="FTP_SERVERS_DIR wins over it, as in the tests' fixture")
    parser.add_argument("--relay", default="")
    parser.add_argument("--size-mib", type=int, default=64)
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--modes", default=",".join(MODES))
    args = parser.parse_args()
    args.servers_dir = os.environ.get("FTP_SERVERS_DIR") or args.servers_dir
    if shutil.which("curl") is None:
        print("check-with-curl: skipped: curl is not installed (apt-get install curl)")
        return SKIP_STATUS
    work = tempfile.mkdtemp(prefix="ftp-curl-check-")
    os.chmod(work, 0o755)
    report = []
    try:
        sample = os.path.join(work, "sample.bin")
        with open(sample, "wb") as f:
            for _ in range(args.size_mib):
                f.write(os.urandom(1 << 20))
        for kind in args.kinds.split(","):
            for mode in args.modes.split(","):
                run_mode(report, kind, mode, args, work, sample)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    failed = [row for row in report if row[3] == "FAILED" or row[3] == "failed"]
    unsupported = [row for row in report if row[3] == "unsupported"]
    print("check-with-curl: %d checks, %d failed, %d modes unsupported"
          % (len(report) - len(unsupported), len(failed), len(unsupported)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
