#!/usr/bin/python3
"""How fast players open and seek media on an FTP server: through ftpgateway,
through FFmpeg's own ftp:// input, through rclone's FTP backend served over
HTTP, with curl's ranged reads, and for a host that calls ReadStream itself
(ftpbench seek); plain FTP and over TLS. Prints one table.

    bench/gateway_bench.py [--gateway build/native/bin/ftpgateway] [--relay ftprelay]
                           [--ftpbench ftpbench] [--delays 0,20,50] [--reps 2]
                           [--delayed-reps 1] [--no-handshake] [--no-tls]
                           [--seconds 60] [--work /tmp/gateway-bench] [--json FILE]
                           [--leave-out TEXT,...]
    bench/gateway_bench.py --compare BEFORE.json [BETWEEN.json ...] AFTER.json

The FTP server sits behind ftprelay (tests/ftprelay, docs/network-relay.md)
for every peer: each delay of --delays (ms each way) gets a relay of its own
and its own gateways and rclone in front of it, and every peer runs its
sessions through it. The relay plays a TCP handshake on every new connection
(handshake=1: the server sees a connection 1.5 round trips after the
client's connect) unless --no-handshake. --reps is the number of sessions
per file and peer at delay 0, --delayed-reps at the other delays. --ftpbench
is the bench host of the library under measurement (by default the one
beside --gateway); --relay may come from another build (it is a tool, not
what is measured).

Every player session is one libavformat/libavcodec instance (FFmpeg 5.1 of
Debian through PyAV, python3-av): open the URL and decode the first video
frame, then for each point of the seek list seek (to the keyframe before it)
and decode the first frame there. The same media (three files of --seconds
at about 3 Mbit/s, made with ffmpeg: an MP4 with its index at the end, a
Matroska and a WebM file), the same seek list and the same pyftpdlib server
serve every peer. Each gateway answers one ranged request before its
sessions (a gateway that has served something before). "Sent" is what the
FTP server process wrote to its sockets during the session and until it
stopped writing after it (its /proc/PID/io wchar; the plain server runs
without a log, so nothing else counts). A session that fails (the player's
error) is left out of the figures and counted in the last column.

TLS: a second pyftpdlib, started by tests/ftpservers/ftpserver.py with
explicit TLS on 127.0.0.3 with a passive block, behind ftprelay in
port-range mode (a relay cannot rewrite a 227 it cannot read). FFmpeg's
ftp:// input has no TLS; the TLS rows are the gateway (--tls --ca-file),
rclone (--ftp-explicit-tls), curl (--ssl-reqd) and ftpbench
(--address ftpes://127.0.0.1). That server logs every command, which its
byte count includes.

The ReadStream rows run `ftpbench seek` once per session on a pattern file
of BIG_BYTES: a new client object's first 64 KiB at 0 (its "open", login
included, in the MKV/WebM column), seven more reads, then one 64 KiB read at
three quarters of the file, timed to its bytes (the "seek").

--json keeps the figures; --compare prints such runs side by side as a
Markdown table (medians and p95 of each run, oldest first).
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "gateway"))
import gatewaylab  # noqa: E402

SEEK_FRACTIONS = (0.50, 0.08, 0.83, 0.25, 0.70, 0.03, 0.92, 0.42)
RANGE_BYTES = 262144  # what one curl ranged read takes
BIG_NAME = "big.bin"  # the pattern file ftpbench checks its reads against
BIG_BYTES = 32 * 1048576
READSTREAM = "ReadStream far jump (ftpbench seek)"
LAUNCHER = os.path.join(REPO, "tests", "ftpservers", "ftpserver.py")
TLS_SERVER_ADDRESS = "127.0.0.3"
TLS_BLOCK = 16
TLS_KEY = "SOFTWARE\\Pellacorde\\Ravelline\\Setting\\Tls"


def wchar(pid):
    with open("/proc/%d/io" % pid) as f:
        for line in f:
            if line.startswith("wchar:"):
                return int(line.split()[1])
    return 0


def settle(pid):
    """The server's written-byte count once it has stopped moving (at most 3 s)."""
    last = wchar(pid)
    deadline = time.monotonic() + 3
    time.sleep(0.5)
    while time.monotonic() < deadline:
        now = wchar(pid)
        if now == last:
            return now
        last = now
        time.sleep(0.2)
    return last


def player_session(url, seeks):
    """(ms to the first frame after open, [ms to the first frame after each seek])."""
    import av
    start = time.monotonic()
    container = av.open(url, timeout=60)
    stream = container.streams.video[0]
    next(container.decode(stream))
    opened = (time.monotonic() - start) * 1000
    seek_ms = []
    for seconds in seeks:
        start = time.monotonic()
        container.seek(int(seconds / stream.time_base), stream=stream, backward=True)
        next(container.decode(stream))
        seek_ms.append((time.monotonic() - start) * 1000)
    container.close()
    return opened, seek_ms


def curl_session(url, size, seeks, duration, options=()):
    """curl -r per read: the file's start, then the byte position of each seek
    point (in proportion); ms to the first byte of each."""
    def first_byte(offset):
        result = subprocess.run(
            ["curl", "-s", "-o", "/dev/null", "--max-time", "60"] + list(options) + ["-r",
             "%d-%d" % (offset, min(size, offset + RANGE_BYTES) - 1), "-w", "%{time_starttransfer}", url],
            stdout=subprocess.PIPE, timeout=90, check=True)
        return float(result.stdout) * 1000
    opened = first_byte(0)
    return opened, [first_byte(int(size * s / duration)) for s in seeks]


def percentile(values, share):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, int(round(share * (len(ordered) - 1)))))
    return ordered[index]


def free_port():
    """A port of 127.0.0.1 nobody listens on just now (for rclone's --addr)."""
    with socket.socket() as probe_socket:
        probe_socket.bind(("127.0.0.1", 0))
        return probe_socket.getsockname()[1]


def ftpbench_session(ftpbench, port, address=None, environment=None):
    """A new client object of the library: (its first 64 KiB at 0 in ms, [a 64 KiB
    read at three quarters of BIG_NAME in ms])."""
    command = [ftpbench] + (["--address", address] if address else []) + \
        ["seek", str(port), BIG_NAME, str(BIG_BYTES)]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
                            env=environment)
    if result.returncode != 0:
        raise RuntimeError(result.stderr.decode(errors="replace").strip())
    values = dict(line.split() for line in result.stdout.decode().splitlines() if len(line.split()) == 2)
    return float(values["open_ms"]), [float(values["seek_ms"])]


def end(process, ask):
    """Asks a process of ours to end (ask()); kills it if it has not within 20 s."""
    if process.poll() is None:
        ask()
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)


def free_block():
    """A block of TLS_BLOCK ports that nothing holds on 127.0.0.1 or on the TLS
    server's address, from the middle of pyftpdlib's thousand of relay blocks
    (the tests take theirs from either end)."""
    for low in range(24480, 24960, TLS_BLOCK):
        held = []
        try:
            for port in range(low, low + TLS_BLOCK):
                for address in ("127.0.0.1", TLS_SERVER_ADDRESS):
                    probe = socket.socket()
                    held.append(probe)
                    probe.bind((address, port))
            return low, low + TLS_BLOCK - 1
        except OSError:
            pass
        finally:
            for probe in held:
                probe.close()
    raise RuntimeError("no %d free ports in 24480-24959" % TLS_BLOCK)


class TlsServer:
    """pyftpdlib with explicit TLS (tests/ftpservers/ftpserver.py) serving root on
    TLS_SERVER_ADDRESS, passive ports `block` announced as 127.0.0.1, so that
    ftprelay in port-range mode on 127.0.0.1 carries it."""

    def __init__(self, root, work, block):
        port_file = os.path.join(work, "tls-server.port")
        if os.path.exists(port_file):
            os.remove(port_file)
        self._log_file = open(os.path.join(work, "tls-server.out"), "wb")
        self.process = subprocess.Popen(
            [gatewaylab.SYSTEM_PYTHON, LAUNCHER, "start", "pyftpdlib", root, port_file, "--tls", "explicit",
             "--listen", TLS_SERVER_ADDRESS, "--passive", "%d-%d" % block, "--announce", "127.0.0.1",
             "--run-dir", os.path.join(work, "tls-server")],
            stdin=subprocess.PIPE, stdout=self._log_file, stderr=self._log_file)
        self.port = gatewaylab._wait_for_file(port_file, self.process, 60, "the TLS pyftpdlib")
        with open(port_file) as f:
            facts = dict(line.strip().split("=", 1) for line in f if "=" in line)
        self.ca_file = facts["ca_file"]
        self.block = block
        # The launcher runs the server as its child: that process writes to the sockets.
        with open("/proc/%d/task/%d/children" % (self.process.pid, self.process.pid)) as f:
            children = f.read().split()
        self.pid = int(children[0]) if children else self.process.pid

    def stop(self):
        end(self.process, self.process.stdin.close)
        self._log_file.close()


class Rclone:
    """rclone serve http in front of an FTP server at 127.0.0.1:ftp_port."""

    def __init__(self, ftp_port, log, tls=False):
        obscured = subprocess.run(["rclone", "obscure", gatewaylab.PASSWORD], stdout=subprocess.PIPE,
                                  check=True, timeout=30).stdout.decode().strip()
        self.port = free_port()
        self._log_file = open(log, "wb")
        tls_options = ["--ftp-explicit-tls", "--ftp-no-check-certificate"] if tls else []
        self.process = subprocess.Popen(
            ["rclone", "serve", "http", ":ftp:/", "--ftp-host", "127.0.0.1", "--ftp-port", str(ftp_port),
             "--ftp-user", "ftp", "--ftp-pass", obscured, "--addr", "127.0.0.1:%d" % self.port,
             "--vfs-cache-mode", "off", "--config", "/dev/null"] + tls_options,
            stdin=subprocess.DEVNULL, stdout=self._log_file, stderr=self._log_file)
        for _ in range(100):  # rclone needs a moment to listen
            if subprocess.run(["curl", "-s", "-o", "/dev/null", "http://127.0.0.1:%d/" % self.port],
                              timeout=10).returncode == 0:
                break
            time.sleep(0.1)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        end(self.process, self.process.terminate)
        self._log_file.close()


def warm(gateway, name):
    """One ranged request, so that the gateway has served something before."""
    gatewaylab.curl(gateway.url("/media/" + name), "-r", "0-65535", timeout=60)


def plain_peers(args, started, relay, tag, sizes, seeks):
    """(label, session, media?) of every plain peer behind relay."""
    gateway = started.add(gatewaylab.Gateway(args.gateway, relay.port, args.work,
                                             os.path.join(args.work, "ftpgateway%s.log" % tag), extra=["--quiet"]))
    skipping = started.add(gatewaylab.Gateway(args.gateway, relay.port, args.work,
                                              os.path.join(args.work, "ftpgateway-skip%s.log" % tag),
                                              extra=["--quiet", "--skip-head-buffer"]))
    rclone = started.add(Rclone(relay.port, os.path.join(args.work, "rclone%s.log" % tag)))
    for g in (gateway, skipping):
        warm(g, "clip.mkv")
    ftp_base = "ftp://ftp:%s@127.0.0.1:%d" % (gatewaylab.PASSWORD, relay.port)
    return [
        ("ffmpeg via ftpgateway", lambda n: player_session(gateway.url("/media/" + n), seeks), True),
        ("ffmpeg via ftpgateway --skip-head-buffer",
         lambda n: player_session(skipping.url("/media/" + n), seeks), True),
        ("ffmpeg ftp:// input", lambda n: player_session(ftp_base + "/media/" + n, seeks), True),
        ("ffmpeg via rclone serve http", lambda n: player_session(rclone.url("/media/" + n), seeks), True),
        ("curl -r ftp:// (first byte)",
         lambda n: curl_session(ftp_base + "/media/" + n, sizes[n], seeks, args.seconds), True),
        ("curl -r via ftpgateway (first byte)",
         lambda n: curl_session(gateway.url("/media/" + n), sizes[n], seeks, args.seconds), True),
        (READSTREAM, lambda n: ftpbench_session(args.ftpbench, relay.port), False),
    ]


def tls_peers(args, started, relay, ca_file, tag, sizes, seeks):
    """The same over explicit TLS, for the peers that have it."""
    gateway = started.add(gatewaylab.Gateway(args.gateway, relay.port, args.work,
                                             os.path.join(args.work, "ftpgateway-tls%s.log" % tag),
                                             extra=["--quiet", "--tls", "--ca-file", ca_file]))
    rclone = started.add(Rclone(relay.port, os.path.join(args.work, "rclone-tls%s.log" % tag), tls=True))
    warm(gateway, "clip.mkv")
    registry = os.path.join(args.work, "tls.reg")
    with open(registry, "w") as f:
        f.write('[HKEY_LOCAL_MACHINE\\%s]\n"CaFile"="%s"\n' % (TLS_KEY, ca_file))
    environment = dict(os.environ, FTPCLIENT_REGISTRY=registry)
    ftps_base = "ftp://ftp:%s@127.0.0.1:%d" % (gatewaylab.PASSWORD, relay.port)

    def curl_tls(n):
        return curl_session(ftps_base + "/media/" + n, sizes[n], seeks, args.seconds,
                            ["--ssl-reqd", "--cacert", ca_file])
    return [
        ("TLS: ffmpeg via ftpgateway --tls", lambda n: player_session(gateway.url("/media/" + n), seeks), True),
        ("TLS: ffmpeg via rclone serve http", lambda n: player_session(rclone.url("/media/" + n), seeks), True),
        ("TLS: curl -r --ssl-reqd (first byte)", curl_tls, True),
        ("TLS: " + READSTREAM,
         lambda n: ftpbench_session(args.ftpbench, relay.port, "ftpes://127.0.0.1", environment), False),
    ]


class Started(list):
    """What a delay's run started, stopped in reverse order."""

    def add(self, process):
        self.append(process)
        return process

    def stop(self):
        for process in reversed(self):
            process.stop()


def measure_at(args, servers, delay, reps, names, sizes, seeks):
    """Every peer's sessions through relays of delay ms each way: {label: Figures}."""
    tag = "-%dms" % delay
    settings = "delay_ms=%d" % delay + ("" if args.no_handshake else ",handshake=1")
    started = Started()
    results = {}
    try:
        relay = started.add(gatewaylab.Relay(args.relay, servers["plain"].port, args.work,
                                             os.path.join(args.work, "ftprelay%s.log" % tag), settings))
        peers = plain_peers(args, started, relay, tag, sizes, seeks)
        results.update(run_peers(servers["plain"].process.pid, peers, tag, reps, names, args.left_out))
        if "tls" in servers:
            tls = servers["tls"]
            relay = started.add(gatewaylab.Relay(
            args.relay, tls.port, args.work, os.path.join(args.work, "ftprelay-tls%s.log" % tag), settings,
            extra=["--target-address", TLS_SERVER_ADDRESS, "--passive-ports", "%d-%d" % tls.block]))
            peers = tls_peers(args, started, relay, tls.ca_file, tag, sizes, seeks)
            results.update(run_peers(tls.pid, peers, tag, reps, names, args.left_out))
        return results
    finally:
        started.stop()


def run_peers(server_pid, peers, tag, reps, names, left_out):
    results = {}
    for label, session, media in peers:
        if any(text in label for text in left_out):
            continue
        figures = {"open_mp4": [], "open_other": [], "seek": [], "sent": [], "failed": []}
        for _ in range(reps):
            for name in names:
                before = settle(server_pid)
                try:
                    opened, per_seek = session(name)
                except Exception as error:  # noqa: BLE001 - counted and shown, not measured
                    figures["failed"].append("%s: %s" % (name, str(error)[-160:]))
                    print("failed%s: %s %s" % (tag, label, figures["failed"][-1]), file=sys.stderr, flush=True)
                    settle(server_pid)
                    continue
                figures["sent"].append((settle(server_pid) - before) / 1048576)
                figures["open_mp4" if media and name.endswith(".mp4") else "open_other"].append(opened)
                figures["seek"].extend(per_seek)
        results[label] = figures
        print("measured%s: %s" % (tag, label), file=sys.stderr, flush=True)
    return results


def median_text(values, digits=1):
    return "%.*f" % (digits, statistics.median(values)) if values else "-"


def print_table(results):
    print("%-48s %6s %9s %13s %9s %9s %9s %6s" % ("peer", "delay", "open MP4", "open MKV/WebM", "seek med",
                                                   "seek p95", "MiB/sess", "failed"))
    labels = list(next(iter(results.values())))
    for label in labels:
        for delay, measured in results.items():
            f = measured.get(label)
            if f is None:
                continue
            print("%-48s %6s %9s %13s %9s %9s %9s %6d" % (
                label, "%d ms" % delay, median_text(f["open_mp4"]), median_text(f["open_other"]),
                median_text(f["seek"]), "%.1f" % percentile(f["seek"], 0.95) if f["seek"] else "-",
                median_text(f["sent"], 2), len(f["failed"])))


def compare(paths):
    """--json runs, oldest first, as one Markdown table: a -> b -> ..."""
    runs = []
    for path in paths:
        with open(path) as f:
            runs.append(json.load(f)["results"])

    def cells(key, label, delay, digits=0, p95=False):
        texts = []
        for run in runs:
            values = run.get(delay, {}).get(label, {}).get(key, [])
            if not values:
                texts.append("-")
            elif p95:
                texts.append("%.*f" % (digits, percentile(values, 0.95)))
            else:
                texts.append(median_text(values, digits))
        return " → ".join(texts)

    print("| peer | delay | open MP4 (ms) | open MKV/WebM (ms) | seek median (ms) | seek p95 (ms) | "
          "server MiB/session |")
    print("|---|---|---|---|---|---|---|")
    labels = []
    for run in runs:
        labels += [label for label in next(iter(run.values())) if label not in labels]
    for label in labels:
        for delay in runs[0]:
            if not any(label in run.get(delay, {}) for run in runs):
                continue
            print("| %s | %s ms | %s | %s | %s | %s | %s |" % (
                label, delay, cells("open_mp4", label, delay), cells("open_other", label, delay),
                cells("seek", label, delay), cells("seek", label, delay, p95=True),
                cells("sent", label, delay, 1)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", default=os.path.join(REPO, "build", "native", "bin", "ftpgateway"))
    parser.add_argument("--relay", default="", help="ftprelay; by default the one beside --gateway")
    parser.add_argument("--ftpbench", default="", help="by default the one beside --gateway")
    parser.add_argument("--delays", default="0,20,50", help="relay delays each way, ms")
    parser.add_argument("--reps", type=int, default=2)
    parser.add_argument("--delayed-reps", type=int, default=1)
    parser.add_argument("--no-handshake", action="store_true", help="connections cost no round trips")
    parser.add_argument("--no-tls", action="store_true")
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--work", default="/tmp/gateway-bench")
    parser.add_argument("--leave-out", default="", help="comma-separated texts: rows whose peer has one are not run")
    parser.add_argument("--json", default="", help="also write the figures here")
    parser.add_argument("--compare", nargs="+", metavar="JSON", help="runs to set side by side, oldest first")
    args = parser.parse_args()
    if args.compare:
        compare(args.compare)
        return 0
    args.left_out = [text for text in args.leave_out.split(",") if text]
    beside = os.path.dirname(args.gateway)
    args.relay = os.path.abspath(args.relay or os.path.join(beside, "ftprelay"))
    args.ftpbench = os.path.abspath(args.ftpbench or os.path.join(beside, "ftpbench"))
    delays = [int(d) for d in args.delays.split(",")]
    for tool in ("ffmpeg", "curl", "rclone", args.relay, args.gateway, args.ftpbench):
        if shutil.which(tool) is None:
            sys.exit("missing %s (apt-get install ffmpeg curl rclone python3-av; the native build makes "
                     "ftpgateway, ftpbench and ftprelay)" % tool)
    os.makedirs(args.work, exist_ok=True)
    root = os.path.join(args.work, "root")
    names = gatewaylab.make_media(os.path.join(root, "media"), args.seconds)
    sizes = {n: os.path.getsize(os.path.join(root, "media", n)) for n in names}
    seeks = [round(f * args.seconds, 2) for f in SEEK_FRACTIONS]
    big = os.path.join(root, BIG_NAME)
    if not os.path.exists(big) or os.path.getsize(big) != BIG_BYTES:
        subprocess.run([args.ftpbench, "makefile", big, str(BIG_BYTES)], check=True, timeout=120)

    servers = {"plain": gatewaylab.FtpServer(root, args.work)}
    results = {}
    try:
        if not args.no_tls:
            servers["tls"] = TlsServer(root, args.work, free_block())
        for delay in delays:
            reps = args.reps if delay == 0 else args.delayed_reps
            results[delay] = measure_at(args, servers, delay, reps, names, sizes, seeks)
    finally:
        for server in servers.values():
            server.stop()

    total = sum(sizes.values()) / len(sizes) / 1048576
    print("media: %s, %d s each, %.1f MiB on average; seek list %s s"
          % (", ".join(names), args.seconds, total, seeks))
    print("server behind ftprelay%s for every peer; sessions per peer: %s" % (
        "" if args.no_handshake else " (handshake=1)",
        ", ".join("%d at %d ms" % ((args.reps if d == 0 else args.delayed_reps) * len(names), d) for d in delays)))
    print_table(results)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"handshake": not args.no_handshake, "gateway": args.gateway,
                       "results": {str(d): r for d, r in results.items()}}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
