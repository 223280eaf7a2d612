#!/usr/bin/python3
"""End-to-end cases of ftpgateway with real players: ffprobe, ffmpeg, curl and
headless Chromium read media that a real FTP server (pyftpdlib) serves
through the gateway, and what they get is compared with the local files.

    gateway_players.py --gateway build/native/bin/ftpgateway --work build/native/gateway-tests
                       [--relay build/native/bin/ftprelay] [--relay-settings delay_ms=20,...]

Every case runs once with the gateway talking to the server directly; then
the cases that show what a player sees (exact bytes of curl's ranges,
ffprobe, ffmpeg's frames at the seek points, Chromium's play and seek) run
again, "relayed", with a second gateway that reaches the same server through
ftprelay (tests/ftprelay: by default 20 ms each way, replies in 7-byte
pieces, data in pieces of 1399 bytes), and a last case checks that the relay
carried their transfers and stopped cleanly.

The work folder keeps the media, the logs and Chromium's screenshots. The last
line reads "N passed, M failed"; the exit status is non-zero when M > 0. A
missing tool or relay program fails the cases that need it (tools/test-all.sh
installs the tools and builds ftprelay with the native build)."""
import argparse
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import time
import traceback

import gatewaylab
import gateway_limits
from chromium_pipe import Chromium
from gatewaylab import curl, expect, run

TOOLS = ("ffmpeg", "ffprobe", "curl", "chromium")
SEEK_POINTS = (0.0, 1.3, 2.9, 4.6)


class Lab:
    """One FTP server and one gateway for the whole suite; relayed(), a second
    gateway that reaches the same server through ftprelay."""

    def __init__(self, args):
        self.work = os.path.abspath(args.work)
        self.binary = os.path.abspath(args.gateway)
        self.root = os.path.join(self.work, "served")
        self.media_dir = os.path.join(self.root, "media")
        self.names = gatewaylab.make_media(self.media_dir)
        self.tag = ""
        self.relay = None
        self.server = gatewaylab.FtpServer(self.root, self.work, os.path.join(self.work, "pyftpdlib.log"))
        self.gateway = gatewaylab.Gateway(self.binary, self.server.port, self.work,
                                          os.path.join(self.work, "ftpgateway.log"))

    def relayed(self, relay_binary, settings):
        """The same server, media and cases, the gateway pointed at a relay."""
        other = Lab.__new__(Lab)
        other.__dict__.update(self.__dict__)
        other.tag = "-relayed"
        other.relay = gatewaylab.Relay(relay_binary, self.server.port, self.work,
                                       os.path.join(self.work, "ftprelay.log"), settings)
        try:
            other.gateway = gatewaylab.Gateway(self.binary, other.relay.port, self.work,
                                               os.path.join(self.work, "ftpgateway-relayed.log"))
        except Exception:
            other.relay.stop()
            raise
        return other

    def local(self, name):
        return os.path.join(self.media_dir, name)

    def url(self, name):
        return self.gateway.url("/media/" + name)

    def close(self):
        status = self.gateway.stop()
        self.server.stop()
        return status

    def close_relayed(self):
        """(the gateway's exit status, the relay's)."""
        return self.gateway.stop(), self.relay.stop()


# ---- cases ------------------------------------------------------------------------

def case_http_answers(lab):
    """Statuses, headers and exact bytes for whole files, the three kinds of
    range, unsatisfiable ranges, HEAD, a missing file, folders and the player
    page; the re-read of a file's end comes from its kept ends."""
    types = {"clip.mp4": "video/mp4", "clip.mkv": "video/x-matroska", "clip.webm": "video/webm"}
    for name in lab.names:
        data = open(lab.local(name), "rb").read()
        size = len(data)
        status, headers, body = curl(lab.url(name))
        expect(status == 200 and body == data, "%s whole: status %d, %d bytes" % (name, status, len(body)))
        expect(headers.get("content-type") == types[name], "%s type %s" % (name, headers.get("content-type")))
        expect(headers.get("accept-ranges") == "bytes", "%s without Accept-Ranges" % name)
        expect(headers.get("content-length") == str(size), "%s length %s" % (name, headers.get("content-length")))
        for asked, first, last in (("100-65635", 100, 65635), ("1000000-", 1000000, size - 1),
                                  ("-70000", size - 70000, size - 1), ("0-0", 0, 0),
                                  ("%d-%d" % (size - 10, size + 500), size - 10, size - 1)):
            status, headers, body = curl(lab.url(name), "-r", asked)
            expect(status == 206, "%s bytes=%s: status %d" % (name, asked, status))
            expect(body == data[first:last + 1], "%s bytes=%s: other bytes (%d)" % (name, asked, len(body)))
            expect(headers.get("content-range") == "bytes %d-%d/%d" % (first, last, size),
                   "%s bytes=%s: Content-Range %s" % (name, asked, headers.get("content-range")))
        # The file was read whole just before: its last MiB is kept, and a
        # player's re-read of its index takes no transfer.
        expect(gateway_limits.wait_for_log(lab.gateway, rb"GET /media/%s bytes=-70000 -> 206 [^\n]*, 70000 "
                                           rb"from the kept ends of the file\n" % name.encode(), 1, 5),
               "%s bytes=-70000 did not come from the kept ends of the file" % name)
        status, headers, _ = curl(lab.url(name), "-r", "%d-" % size)
        expect(status == 416 and headers.get("content-range") == "bytes */%d" % size,
               "%s past the end: %d %s" % (name, status, headers.get("content-range")))
        status, headers, body = curl(lab.url(name), "-I")
        expect(status == 200 and headers.get("content-length") == str(size),
               "%s HEAD: %d, length %s" % (name, status, headers.get("content-length")))
        status, headers, body = curl(lab.url(name), "-I", "-r", "10-19")
        expect(status == 206 and headers.get("content-length") == "10", "%s HEAD with range" % name)
    status, _, _ = curl(lab.url("no-such-clip.mp4"))
    expect(status == 404, "missing file: %d" % status)
    status, headers, body = curl(lab.gateway.url("/media/"))
    page = body.decode()
    expect(status == 200 and "text/html" in headers.get("content-type", ""), "folder: %d" % status)
    for name in lab.names:
        expect('href="/media/%s"' % name in page and 'href="/media/%s?play"' % name in page,
               "folder page lacks the links of " + name)
    status, headers, _ = curl(lab.gateway.url("/media"))
    expect(status == 301 and headers.get("location") == "/media/", "folder without slash: %d" % status)
    status, _, body = curl(lab.url("clip.webm?play"))
    expect(status == 200 and b'<video id="player"' in body and b'src="/media/clip.webm"' in body,
           "player page: %d" % status)


def read_random_ranges(url_of, names, datas, readers, ranges):
    """readers curl readers at once over the files, ranges random ranges
    each, every byte compared; the failures."""
    failures = []

    def reader(number):
        rng = random.Random(1000 + number)
        name = names[number % len(names)]
        data = datas[name]
        try:
            for _ in range(ranges):
                first = rng.randrange(len(data))
                last = min(len(data) - 1, first + rng.randrange(1, 400000))
                status, _, body = curl(url_of(name), "-r", "%d-%d" % (first, last))
                if status != 206 or body != data[first:last + 1]:
                    failures.append("reader %d %s %d-%d: status %d, %d bytes" %
                                    (number, name, first, last, status, len(body)))
                    return
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append("reader %d: %s" % (number, error))

    threads = [threading.Thread(target=reader, args=(n,)) for n in range(readers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=180)
    if any(t.is_alive() for t in threads):
        failures.append("a reader did not finish within 180 s")
    return failures


def case_concurrent_readers(lab):
    """Six readers at once over the three files, 20 random ranges each: every
    byte right while the client objects are shared out between them."""
    datas = {name: open(lab.local(name), "rb").read() for name in lab.names}
    failures = read_random_ranges(lab.url, lab.names, datas, 6, 20)
    expect(not failures, "; ".join(failures[:3]))


def peak_sessions(log):
    """The most FTP sessions pyftpdlib's log shows open at once."""
    open_now = peak = 0
    with open(log, errors="replace") as f:
        for line in f:
            if "FTP session opened" in line:
                open_now += 1
                peak = max(peak, open_now)
            elif "FTP session closed" in line:
                open_now -= 1
    return peak


def case_ftp_connections_within_cap(lab):
    """--clients 8 with --max-ftp-connections 5, in front of a server that
    takes five sessions from an address: two client objects read (1 + 2 per
    client object), six readers at once and a folder page get every byte,
    and the server never sees more than five sessions."""
    log = os.path.join(lab.work, "pyftpdlib-capped.log")
    if os.path.exists(log):
        os.remove(log)
    os.environ["FTP_MAX_CONS_PER_IP"] = "5"
    try:
        server = gatewaylab.FtpServer(lab.root, lab.work, log, script=gateway_limits.LISTING_FTPD)
    finally:
        del os.environ["FTP_MAX_CONS_PER_IP"]
    gateway = None
    try:
        gateway = gatewaylab.Gateway(lab.binary, server.port, lab.work,
                                     os.path.join(lab.work, "ftpgateway-capped.log"),
                                     extra=["--clients", "8", "--max-ftp-connections", "5"])
        datas = {name: open(lab.local(name), "rb").read() for name in lab.names}
        failures = read_random_ranges(lambda name: gateway.url("/media/" + name), lab.names, datas, 6, 8)
        status, _, _ = curl(gateway.url("/media/"))
        expect(status == 200, "the folder page: %d" % status)
        expect(not failures, "; ".join(failures[:3]))
        expect("--clients 8: 2 client objects fit in --max-ftp-connections 5" in gateway.log_text(),
               "the console does not say how many client objects the cap allows")
    finally:
        if gateway:
            gateway.stop()
        server.stop()
    peak = peak_sessions(log)
    expect(0 < peak <= 5, "the server saw %d sessions at once" % peak)


def probe(source):
    result = run(["ffprobe", "-v", "error", "-print_format", "json", "-show_format", "-show_streams", source])
    facts = json.loads(result.stdout)
    facts["format"].pop("filename", None)
    return facts


def case_ffprobe_reads_each_file(lab):
    """ffprobe through the gateway finds what it finds in the local file."""
    for name in lab.names:
        remote, local = probe(lab.url(name)), probe(lab.local(name))
        expect(remote == local, "%s: ffprobe differs: %s" % (name, json.dumps(remote)[:300]))
        expect(len(remote["streams"]) == 2, "%s: %d streams" % (name, len(remote["streams"])))


def frame_sums(source, seek):
    result = run(["ffmpeg", "-nostdin", "-v", "error", "-ss", "%.2f" % seek, "-i", source, "-t", "0.8",
                  "-f", "framemd5", "-"])
    lines = [l for l in result.stdout.decode().splitlines() if l and not l.startswith("#")]
    return lines


def case_ffmpeg_seeks_match_local(lab):
    """ffmpeg decodes from each seek point through the gateway, and every
    frame's checksum equals the local file's with the same options."""
    for name in lab.names:
        for seek in SEEK_POINTS:
            remote, local = frame_sums(lab.url(name), seek), frame_sums(lab.local(name), seek)
            expect(len(local) > 10, "%s at %.1f s: only %d local frames" % (name, seek, len(local)))
            expect(remote == local, "%s at %.1f s: %d frames through the gateway, %d locally, first "
                   "difference at %s" % (name, seek, len(remote), len(local),
                                         next((i for i, (a, b) in enumerate(zip(remote, local)) if a != b), "end")))


PLAY_AND_SEEK = """
(async () => {
  const v = document.getElementById('player');
  const target = %f;
  const deadline = performance.now() + 40000;
  const pause = ms => new Promise(r => setTimeout(r, ms));
  const state = () => 'readyState ' + v.readyState + ', time ' + v.currentTime +
      (v.error ? ', error ' + v.error.code + ' ' + v.error.message : '');
  v.muted = true;
  await v.play();
  while (v.currentTime < 0.5) {
    if (performance.now() > deadline) throw new Error('did not play: ' + state());
    await pause(50);
  }
  const played = v.currentTime;
  const seeked = new Promise(r => v.addEventListener('seeked', r, {once: true}));
  v.currentTime = target;
  await Promise.race([seeked, pause(20000)]);
  while (v.readyState < 3 || v.seeking) {
    if (performance.now() > deadline) throw new Error('not ready at the target: ' + state());
    await pause(50);
  }
  v.pause();
  await pause(300);
  return {played: played, time: v.currentTime, readyState: v.readyState, seeking: v.seeking,
          duration: v.duration, width: v.videoWidth, height: v.videoHeight,
          error: v.error ? v.error.code : 0};
})()
"""


def case_chromium_plays_and_seeks(lab):
    """Headless Chromium opens the folder page, follows the WebM's play link,
    plays, seeks to 4 s and is ready to play there; a screenshot is kept."""
    profile = os.path.join(lab.work, "chromium-profile" + lab.tag)
    shutil.rmtree(profile, ignore_errors=True)
    before = lab.gateway.log_text().count("GET /media/clip.webm bytes=")
    browser = Chromium(profile, os.path.join(lab.work, "chromium%s.log" % lab.tag))
    try:
        session = browser.open_page(lab.gateway.url("/media/"))
        browser.wait_for(session, "!!document.querySelector('a.play[href$=\"clip.webm?play\"]')", 30)
        href = browser.evaluate(session, "document.querySelector('a.play[href$=\"clip.webm?play\"]').href")
        browser.send("Page.navigate", {"url": href}, session)
        browser.wait_for(session, "!!document.getElementById('player')", 30)
        target = 4.0
        state = browser.evaluate(session, PLAY_AND_SEEK % target, timeout=60)
        browser.screenshot(session, os.path.join(lab.work, "chromium-webm-after-seek%s.png" % lab.tag))
    finally:
        browser.close()
    expect(state["error"] == 0, "media error %s" % state["error"])
    expect(state["readyState"] >= 3 and not state["seeking"], "not ready after the seek: %s" % state)
    expect(abs(state["time"] - target) < 0.6, "stands at %.2f s, not at %.1f s" % (state["time"], target))
    expect(abs(state["duration"] - gatewaylab.MEDIA_SECONDS) < 0.2, "duration %s" % state["duration"])
    expect((state["width"], state["height"]) == (640, 360), "picture %sx%s" % (state["width"], state["height"]))
    ranged = lab.gateway.log_text().count("GET /media/clip.webm bytes=") - before
    expect(ranged >= 1, "Chromium made no range request through the gateway")



def case_reread_after_size_changed(lab):
    """With one client object and no size kept, a file read to its end and
    read again, then replaced by a smaller one and read again: each answer
    comes well within the wait for a client, with the bytes of the file as it
    is then (the client's buffers of the old one are not served)."""
    folder = os.path.join(lab.root, "versions")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "v.bin")
    gateway = gateway_limits.own_gateway(lab, "reread", "--clients", "1", "--size-seconds", "0")
    try:
        # The same file twice, then a smaller one.
        for version, (seed, size) in enumerate(((40, 3 * 1048576), (40, 3 * 1048576), (41, 1048576 + 10))):
            data = random.Random(seed).randbytes(size)
            with open(path + ".tmp", "wb") as f:
                f.write(data)
            os.replace(path + ".tmp", path)
            for asked, first, last in (("", 0, size - 1), ("0-99", 0, 99), ("-20", size - 20, size - 1)):
                # Bounded well below the 30 s a request waits for a client.
                status, _, body = curl(gateway.url("/versions/v.bin"), *(("-r", asked) if asked else ()),
                                       timeout=15)
                expect(status == (206 if asked else 200) and body == data[first:last + 1],
                       "version %d (%d bytes) bytes=%s: status %d, %d bytes" %
                       (version, size, asked or "all", status, len(body)))
    finally:
        gateway.stop()
        shutil.rmtree(folder)

def case_server_failures(lab):
    """502 when the FTP server cannot be reached; a body cut short when the
    server fails mid-transfer, never a short body that looks complete."""
    root = os.path.join(lab.work, "failing")
    os.makedirs(root, exist_ok=True)
    big = os.path.join(root, "big.bin")
    size = 48 * 1048576
    if not os.path.exists(big) or os.path.getsize(big) != size:
        with open(big, "wb") as f:
            f.write(random.Random(7).randbytes(size))
    server = gatewaylab.FtpServer(root, lab.work)
    gateway = gatewaylab.Gateway(lab.binary, server.port, lab.work, os.path.join(lab.work, "ftpgateway-failing.log"),
                                 extra=["--size-seconds", "0"])
    try:
        status, headers, _ = curl(gateway.url("/big.bin"), "-I")
        expect(status == 200 and headers.get("content-length") == str(size), "HEAD before: %d" % status)
        out = os.path.join(lab.work, "cut.bin")
        # Slow enough that the server is still sending when it is killed.
        reader = subprocess.Popen(["curl", "-s", "--limit-rate", "4M", "--max-time", "60", "-o", out,
                                   "-w", "%{http_code} %{size_download}", gateway.url("/big.bin")],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(1.5)
        server.kill()
        output, _ = reader.communicate(timeout=90)
        got = os.path.getsize(out) if os.path.exists(out) else 0
        expect(reader.returncode != 0, "curl took a body of %d bytes for complete (exit 0, %s)" %
               (got, output.decode()))
        expect(got < size, "the whole file arrived before the server was killed; the case proves nothing")
        status, _, body = curl(gateway.url("/big.bin"))
        expect(status == 502, "a file after the server went: %d" % status)
        status, _, _ = curl(gateway.url("/"))
        expect(status == 502, "a folder after the server went: %d" % status)
    finally:
        gateway.stop()
        server.stop()
    expect("connection cut" in gateway.log_text(), "the gateway's console does not say it cut the body")


def case_large_file_end_found(lab):
    """A sparse 3 GiB file: HEAD gives its true size (the library's 64-bit
    size, not 2147483647) and its last bytes are served."""
    size = 3 * 1024 ** 3
    marker = b"END-OF-A-3-GIB-FILE!"
    path = os.path.join(lab.root, "large.bin")
    with open(path, "wb") as f:
        f.seek(size - len(marker))
        f.write(marker)
    try:
        status, headers, _ = curl(lab.gateway.url("/large.bin"), "-I")
        expect(status == 200 and headers.get("content-length") == str(size),
               "HEAD: %d, length %s (the true size is %d)" % (status, headers.get("content-length"), size))
        status, headers, body = curl(lab.gateway.url("/large.bin"), "-r", "-%d" % len(marker))
        expect(status == 206 and body == marker, "the last bytes: %d, %r" % (status, body[:40]))
        status, _, body = curl(lab.gateway.url("/large.bin"), "-r", "2147483000-2147484999")
        expect(status == 206 and body == bytes(2000), "bytes across 2 GiB: %d, %d bytes" % (status, len(body)))
    finally:
        os.remove(path)


def case_film_past_four_gib(lab):
    """A sparse 6 GiB film with marks at 5 GiB and across 4 GiB: HEAD gives
    its size, and ranges past 4 GiB, across the edge (both ways, one after
    the other on the same file) and at the end come byte for byte."""
    gib = 1024 ** 3
    size = 6 * gib
    marks = {5 * gib + 12345: random.Random(61).randbytes(300000),
             4 * gib - 150000: random.Random(62).randbytes(300000),
             size - 70000: random.Random(63).randbytes(70000)}
    path = os.path.join(lab.root, "film6.mkv")
    with open(path, "wb") as f:
        f.truncate(size)
        for at, data in marks.items():
            f.seek(at)
            f.write(data)

    def expected(first, last):
        data = bytearray(last + 1 - first)
        for at, mark in marks.items():
            lo, hi = max(first, at), min(last + 1, at + len(mark))
            if lo < hi:
                data[lo - first:hi - first] = mark[lo - at:hi - at]
        return bytes(data)

    try:
        status, headers, _ = curl(lab.gateway.url("/film6.mkv"), "-I")
        expect(status == 200 and headers.get("content-length") == str(size),
               "HEAD: %d, length %s (the true size is %d)" % (status, headers.get("content-length"), size))
        for first, last in ((5 * gib + 12000, 5 * gib + 400000),     # past 4 GiB
                            (4 * gib - 200000, 4 * gib + 200000),    # across the edge, forward
                            (5 * gib, 5 * gib + 65535),              # far beyond it
                            (4 * gib - 100000, 4 * gib + 100),       # back across it
                            (size - 100000, size + 5000)):           # the end, asked past it
            status, headers, body = curl(lab.gateway.url("/film6.mkv"), "-r", "%d-%d" % (first, last))
            last = min(last, size - 1)
            expect(status == 206 and headers.get("content-range") == "bytes %d-%d/%d" % (first, last, size),
                   "bytes=%d-%d: %d %s" % (first, last, status, headers.get("content-range")))
            expect(body == expected(first, last), "bytes=%d-%d: other bytes (%d)" % (first, last, len(body)))
    finally:
        os.remove(path)


def case_folder_of_500_files(lab):
    """A folder of 500 files with names of 60 characters: its page lists
    every one with its link, size and date."""
    folder = os.path.join(lab.root, "many")
    os.makedirs(folder, exist_ok=True)
    names = ["film-%03d-%s.mkv" % (i, chr(ord("a") + i % 26) * 42) for i in range(500)]
    for i, name in enumerate(names):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"x" * (1000 + i))
    try:
        status, _, body = curl(lab.gateway.url("/many/"))
        page = body.decode()
        expect(status == 200, "folder page: %d" % status)
        rows = re.findall(r'<tr><td><a class="file" href="/many/([^"]+)">[^<]*</a></td><td>([^<]*)</td>'
                          r'<td>([^<]*)</td>', page)
        listed = {name: (size, date) for name, size, date in rows}
        expect(sorted(listed) == names, "the page lists %d of the 500 files" % len(set(listed) & set(names)))
        expect(listed.get(names[7], ("", ""))[0] == "1007 B", "size of %s: %r" % (names[7], listed.get(names[7], ())))
        expect(all(re.match(r"[A-Z][a-z]{2} +\d+ +[\d:]+$", date) for _, date in listed.values()),
               "a file without its date: %r" % (next(iter(listed.values()), None),))
        expect("/many/ -> 200 folder page, 500 entries" in lab.gateway.log_text(),
               "the console does not count 500 entries")
    finally:
        shutil.rmtree(folder)


CASES = [case_http_answers, case_large_file_end_found, case_film_past_four_gib, case_folder_of_500_files,
         case_concurrent_readers, case_ftp_connections_within_cap, case_ffprobe_reads_each_file,
         case_ffmpeg_seeks_match_local, case_chromium_plays_and_seeks, case_server_failures,
         case_reread_after_size_changed] + \
    gateway_limits.HOSTILE_CASES + gateway_limits.SLOW_CASES + gateway_limits.STOP_CASES
# What a player sees, once more through the relay.
RELAYED_CASES = [case_http_answers, case_ffprobe_reads_each_file, case_ffmpeg_seeks_match_local,
                 case_chromium_plays_and_seeks]
RELAY_SETTINGS = "delay_ms=20,piece=7,data_piece=1399"


def relay_figures(text):
    """The numbers of ftprelay's last line: control and data connections,
    data bytes to the client, passive replies rewritten; None without it."""
    found = re.search(r"stopping \(standard input closed\): control (\d+) connections.*; data (\d+) connections, "
                      r"\d+ bytes to server, (\d+) to client; (\d+) passive replies rewritten", text)
    return tuple(int(n) for n in found.groups()) if found else None


def run_cases(lab, cases, setup_error, prefix=""):
    """Runs the cases, printing PASS/FAIL lines; (passed, failed)."""
    passed = failed = 0
    for case in cases:
        name = prefix + case.__name__[len("case_"):]
        start = time.monotonic()
        if setup_error:
            print("FAIL %s: %s" % (name, setup_error), flush=True)
            failed += 1
            continue
        try:
            case(lab)
            print("PASS %s (%.1f s)" % (name, time.monotonic() - start), flush=True)
            passed += 1
        except Exception as error:  # noqa: BLE001 - a case's failure, reported
            print("FAIL %s (%.1f s): %s" % (name, time.monotonic() - start, error), flush=True)
            if not isinstance(error, AssertionError):
                traceback.print_exc()
            failed += 1
    return passed, failed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--relay", default="", help="ftprelay; by default the one beside --gateway")
    parser.add_argument("--relay-settings", default=RELAY_SETTINGS)
    parser.add_argument("--only", default="", help="run the cases whose name contains this")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    relay_binary = os.path.abspath(args.relay or os.path.join(os.path.dirname(args.gateway), "ftprelay"))
    cases = [c for c in CASES if args.only in c.__name__]
    relayed_cases = [c for c in RELAYED_CASES if args.only in "relayed_" + c.__name__[len("case_"):]]
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if not os.access(args.gateway, os.X_OK):
        missing.append(args.gateway)
    passed = failed = 0
    lab = None
    setup_error = ""
    if missing:
        setup_error = "missing: " + ", ".join(missing) + " (tools/test-all.sh installs the tools)"
    else:
        try:
            lab = Lab(args)
        except Exception as error:  # noqa: BLE001 - every case fails with it
            setup_error = "set-up failed: %s" % error
    counts = run_cases(lab, cases, setup_error)
    passed, failed = passed + counts[0], failed + counts[1]

    if relayed_cases:
        relayed = None
        relay_error = setup_error
        if not relay_error and not os.access(relay_binary, os.X_OK):
            relay_error = "missing: %s (built with the native build, tests/CMakeLists.txt)" % relay_binary
        if not relay_error:
            try:
                relayed = lab.relayed(relay_binary, args.relay_settings)
                print("relayed: gateway -> ftprelay 127.0.0.1:%d (%s) -> pyftpdlib 127.0.0.1:%d"
                      % (relayed.relay.port, args.relay_settings, lab.server.port), flush=True)
            except Exception as error:  # noqa: BLE001 - every relayed case fails with it
                relay_error = "relayed set-up failed: %s" % error
        counts = run_cases(relayed, relayed_cases, relay_error, "relayed_")
        passed, failed = passed + counts[0], failed + counts[1]
        # The relayed run counts only if its bytes went through the relay.
        if relayed is None:
            print("FAIL relayed_run_went_through_the_relay: %s" % relay_error)
            failed += 1
        else:
            gateway_status, relay_status = relayed.close_relayed()
            figures = relay_figures(relayed.relay.log_text())
            # http_answers reads every file whole at least once.
            media_bytes = sum(os.path.getsize(relayed.local(n)) for n in relayed.names) \
                if case_http_answers in relayed_cases else 1
            problem = ""
            if gateway_status != 0 or relay_status != 0:
                problem = "exit status %s of the relayed gateway, %s of ftprelay" % (gateway_status, relay_status)
            elif figures is None:
                problem = "ftprelay did not report what it passed on: " + relayed.relay.log_text()[-300:]
            elif figures[0] < 1 or figures[1] < 1 or figures[3] < figures[1] or figures[2] < media_bytes:
                problem = ("ftprelay carried too little: control %d, data %d connections, %d data bytes to "
                           "the client (the media are %d), %d passive replies rewritten"
                           % (figures[0], figures[1], figures[2], media_bytes, figures[3]))
            if problem:
                print("FAIL relayed_run_went_through_the_relay: %s" % problem)
                failed += 1
            else:
                print("PASS relayed_run_went_through_the_relay (control %d, data %d connections, %d data bytes "
                      "to the client, %d passive replies rewritten)" % figures)
                passed += 1

    if lab is not None:
        status = lab.close()
        if status != 0:
            print("FAIL clean stop: ftpgateway exited %s on SIGTERM" % status)
            failed += 1
        else:
            passed += 1
            print("PASS clean stop")
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
