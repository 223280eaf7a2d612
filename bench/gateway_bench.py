#!/usr/bin/python3
"""How fast players open and seek media on an FTP server: through ftpgateway,
through FFmpeg's own ftp:// input, through rclone's FTP backend served over
HTTP, and with curl's ranged reads. Prints one table.

    bench/gateway_bench.py [--gateway build/native/bin/ftpgateway] [--relay ftprelay]
                           [--delays 0,20] [--reps 3] [--delayed-reps 1]
                           [--seconds 60] [--work /tmp/gateway-bench]

The FTP server sits behind ftprelay (tests/ftprelay, docs/network-relay.md)
for every peer: each delay of --delays (ms each way, the relay's delay_ms and
nothing else) gets a relay of its own and its own gateways and rclone in
front of it, and every peer runs its sessions through it. --reps is the
number of sessions per file and peer at delay 0, --delayed-reps at the other
delays (a session at 20 ms takes several times longer).

Every player session is one libavformat/libavcodec instance (FFmpeg 5.1 of
Debian through PyAV, python3-av): open the URL and decode the first video
frame, then for each point of the seek list seek (to the keyframe before it)
and decode the first frame there. The same media (three files of --seconds
at about 3 Mbit/s, made with ffmpeg), the same seek list and the same
pyftpdlib server serve every peer. "Sent" is what the FTP server process
wrote to its sockets during the session and half a second after it (its
/proc/PID/io wchar; the server runs without a log, so nothing else counts).
A session that fails (the player's error) is left out of the figures and
counted in the last column.
"""
import argparse
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


def curl_session(url, size, seeks, duration):
    """curl -r per read: the file's start, then the byte position of each seek
    point (in proportion); ms to the first byte of each."""
    def first_byte(offset):
        result = subprocess.run(
            ["curl", "-s", "-o", "/dev/null", "--max-time", "60", "-r",
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


def measure_at(args, server, delay, reps, names, sizes, seeks):
    """Every peer's sessions through a relay of delay ms each way:
    {label: (open ms list, seek ms list, MiB sent list)}."""
    tag = "-%dms" % delay
    relay = gatewaylab.Relay(args.relay, server.port, args.work, os.path.join(args.work, "ftprelay%s.log" % tag),
                             "delay_ms=%d" % delay)
    started = [relay]
    try:
        gateway = gatewaylab.Gateway(args.gateway, relay.port, args.work,
                                     os.path.join(args.work, "ftpgateway%s.log" % tag), extra=["--quiet"])
        started.append(gateway)
        skipping = gatewaylab.Gateway(args.gateway, relay.port, args.work,
                                      os.path.join(args.work, "ftpgateway-skip%s.log" % tag),
                                      extra=["--quiet", "--skip-head-buffer"])
        started.append(skipping)
        return run_peers(args, server, relay, gateway, skipping, tag, reps, names, sizes, seeks)
    finally:
        for process in reversed(started):
            process.stop()


def run_peers(args, server, relay, gateway, skipping, tag, reps, names, sizes, seeks):
    obscured = subprocess.run(["rclone", "obscure", gatewaylab.PASSWORD], stdout=subprocess.PIPE,
                              check=True, timeout=30).stdout.decode().strip()
    rclone_port = free_port()
    rclone_log = open(os.path.join(args.work, "rclone%s.log" % tag), "wb")
    rclone = subprocess.Popen(
        ["rclone", "serve", "http", ":ftp:/", "--ftp-host", "127.0.0.1", "--ftp-port", str(relay.port),
         "--ftp-user", "ftp", "--ftp-pass", obscured, "--addr", "127.0.0.1:%d" % rclone_port,
         "--vfs-cache-mode", "off", "--config", "/dev/null"],
        stdin=subprocess.DEVNULL, stdout=rclone_log, stderr=rclone_log)
    ftp_base = "ftp://ftp:%s@127.0.0.1:%d" % (gatewaylab.PASSWORD, relay.port)
    peers = [
        ("ffmpeg via ftpgateway", lambda n: player_session(gateway.url("/media/" + n), seeks)),
        ("ffmpeg via ftpgateway --skip-head-buffer",
         lambda n: player_session(skipping.url("/media/" + n), seeks)),
        ("ffmpeg ftp:// input", lambda n: player_session(ftp_base + "/media/" + n, seeks)),
        ("ffmpeg via rclone serve http",
         lambda n: player_session("http://127.0.0.1:%d/media/%s" % (rclone_port, n), seeks)),
        ("curl -r ftp:// (first byte)",
         lambda n: curl_session(ftp_base + "/media/" + n, sizes[n], seeks, args.seconds)),
        ("curl -r via ftpgateway (first byte)",
         lambda n: curl_session(gateway.url("/media/" + n), sizes[n], seeks, args.seconds)),
    ]
    try:
        for _ in range(100):  # rclone needs a moment to listen
            if subprocess.run(["curl", "-s", "-o", "/dev/null", "http://127.0.0.1:%d/" % rclone_port],
                              timeout=10).returncode == 0:
                break
            time.sleep(0.1)
        results = {}
        for label, session in peers:
            opens, seeks_ms, sent, failed = [], [], [], []
            for rep in range(reps):
                for name in names:
                    before = settle(server.process.pid)
                    try:
                        opened, per_seek = session(name)
                    except Exception as error:  # noqa: BLE001 - counted and shown, not measured
                        failed.append("%s: %s" % (name, str(error)[-160:]))
                        print("failed%s: %s %s" % (tag, label, failed[-1]), file=sys.stderr, flush=True)
                        settle(server.process.pid)
                        continue
                    sent.append((settle(server.process.pid) - before) / 1048576)
                    opens.append(opened)
                    seeks_ms.extend(per_seek)
            results[label] = (opens, seeks_ms, sent, failed)
            print("measured%s: %s" % (tag, label), file=sys.stderr, flush=True)
        return results
    finally:
        rclone.terminate()
        try:
            rclone.wait(timeout=20)
        except subprocess.TimeoutExpired:
            rclone.kill()
        rclone_log.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", default=os.path.join(REPO, "build", "native", "bin", "ftpgateway"))
    parser.add_argument("--relay", default="", help="ftprelay; by default the one beside --gateway")
    parser.add_argument("--delays", default="0,20", help="relay delays each way, ms")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--delayed-reps", type=int, default=1)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--work", default="/tmp/gateway-bench")
    args = parser.parse_args()
    args.relay = os.path.abspath(args.relay or os.path.join(os.path.dirname(args.gateway), "ftprelay"))
    delays = [int(d) for d in args.delays.split(",")]
    for tool in ("ffmpeg", "curl", "rclone", args.relay, args.gateway):
        if shutil.which(tool) is None:
            sys.exit("missing %s (apt-get install ffmpeg curl rclone python3-av; the native build makes "
                     "ftpgateway and ftprelay)" % tool)
    os.makedirs(args.work, exist_ok=True)
    root = os.path.join(args.work, "root")
    names = gatewaylab.make_media(os.path.join(root, "media"), args.seconds)
    sizes = {n: os.path.getsize(os.path.join(root, "media", n)) for n in names}
    seeks = [round(f * args.seconds, 2) for f in SEEK_FRACTIONS]

    server = gatewaylab.FtpServer(root, args.work)
    results = {}
    try:
        for delay in delays:
            reps = args.reps if delay == 0 else args.delayed_reps
            results[delay] = (reps, measure_at(args, server, delay, reps, names, sizes, seeks))
    finally:
        server.stop()

    total = sum(sizes.values()) / len(sizes) / 1048576
    print("media: %s, %d s each, %.1f MiB on average; seek list %s s"
          % (", ".join(names), args.seconds, total, seeks))
    print("server behind ftprelay for every peer; sessions per peer: %s"
          % ", ".join("%d at %d ms" % (reps * len(names), d) for d, (reps, _) in results.items()))
    print("%-42s %6s %12s %12s %12s %12s %14s %7s" % ("peer", "delay", "open ms med", "open ms p95",
                                                     "seek ms med", "seek ms p95", "MiB sent/sess", "failed"))
    labels = list(next(iter(results.values()))[1])
    for label in labels:
        for delay, (_, measured) in results.items():
            opens, seeks_ms, sent, failed = measured[label]
            if not opens:
                print("%-42s %6s %s %7d" % (label, "%d ms" % delay, "every session failed".center(70), len(failed)))
                continue
            print("%-42s %6s %12.1f %12.1f %12.1f %12.1f %14.2f %7d" % (
                label, "%d ms" % delay, statistics.median(opens), percentile(opens, 0.95),
                statistics.median(seeks_ms), percentile(seeks_ms, 0.95), statistics.median(sent), len(failed)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
