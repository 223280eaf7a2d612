"""Cases of ftpgateway against what a web page or a player can do to it,
run by gateway_players.py with the others.

hostile_*: requests that any web page the person opens can send to a
loopback address (another Host, paths that start with "//" or hold "..",
bytes a terminal acts on), a server listing that no file system makes, and
a client asking for ever new names.

slow_*: players that read slowly, pause with full buffers, open connections
and send nothing, or go away while their request waits.

stop_*: SIGTERM and SIGINT at any moment of a gateway's life.

Every wait is bounded; the gateways of a case are its own, stopped at its end
(except where a case uses the suite's gateway, lab.gateway)."""
import http.client
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import threading
import time

import gatewaylab
from gatewaylab import curl, expect

HERE = os.path.dirname(os.path.abspath(__file__))
LISTING_FTPD = os.path.join(HERE, "listing_ftpd.py")
BIG_SIZE = 12 * 1048576  # beyond what the socket buffers of a paused reader hold


def request_text(port, path, *headers, host=None):
    """One GET on a connection of its own."""
    lines = ["GET %s HTTP/1.1" % path, "Host: %s" % (host or "127.0.0.1:%d" % port),
             "Connection: close"] + list(headers)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def exchange(port, data, timeout=10):
    """Sends data on a new connection; what came back until the gateway
    closed it or the timeout ran out."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        if data:
            sock.sendall(data)
        return receive_until_closed(sock, timeout)


def receive_until_closed(sock, timeout):
    deadline = time.monotonic() + timeout
    received = b""
    while time.monotonic() < deadline:
        sock.settimeout(max(0.05, deadline - time.monotonic()))
        try:
            piece = sock.recv(65536)
        except socket.timeout:
            break
        except ConnectionResetError:
            break
        if not piece:
            break
        received += piece
    return received


def status_of(response):
    first = response.split(b"\r\n", 1)[0].split()
    return int(first[1]) if len(first) > 1 and first[0].startswith(b"HTTP/") else 0


def log_bytes(gateway):
    with open(gateway.log, "rb") as f:
        return f.read()


def wait_for_log(gateway, pattern, count, seconds):
    """True once the gateway's log has count matches of pattern (bytes)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if len(re.findall(pattern, log_bytes(gateway))) >= count:
            return True
        time.sleep(0.05)
    return False


class BodyReader:
    """A GET whose body the case reads at its own pace. Its receive buffer is
    small, so that the gateway's writes block soon after the case stops
    reading, as with a paused player."""

    def __init__(self, port, path, timeout=30):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        self.sock.settimeout(timeout)
        self.sock.connect(("127.0.0.1", port))
        self.sock.sendall(request_text(port, path))
        head = b""
        while b"\r\n\r\n" not in head:
            piece = self.sock.recv(4096)
            if not piece:
                break
            head += piece
        head, _, rest = head.partition(b"\r\n\r\n")
        self.status = status_of(head)
        self.body = bytearray(rest)

    def read(self, count, pause=0.0):
        """Reads until the body holds count bytes or the gateway closes the
        connection; pause seconds after every piece."""
        while len(self.body) < count:
            piece = self.sock.recv(65536)
            if not piece:
                break
            self.body += piece
            if pause:
                time.sleep(pause)
        return bytes(self.body)

    def close(self):
        self.sock.close()


def big_file(lab):
    """/slow/big.bin on the suite's server: (its path on the server, its bytes)."""
    folder = os.path.join(lab.root, "slow")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "big.bin")
    if not os.path.exists(path) or os.path.getsize(path) != BIG_SIZE:
        with open(path, "wb") as f:
            f.write(random.Random(19).randbytes(BIG_SIZE))
    with open(path, "rb") as f:
        return "/slow/big.bin", f.read()


def own_gateway(lab, name, *extra):
    return gatewaylab.Gateway(lab.binary, lab.server.port, lab.work,
                              os.path.join(lab.work, "ftpgateway-%s.log" % name), extra=list(extra))


# ---- hostile requests ------------------------------------------------------------

def case_hostile_host_header(lab):
    """Only a Host that names the gateway is answered (DNS rebinding sends the
    page's own name); the rest get 403, and no answer carries CORS headers."""
    port = lab.gateway.port
    other_port = port + 1 if port < 65535 else port - 1
    for host, wanted in (("evil.example:%d" % port, 403), ("127.0.0.1:%d" % other_port, 403),
                         ("127.0.0.1", 403), ("localhost.evil.example:%d" % port, 403),
                         ("127.0.0.1:%d" % port, 200), ("localhost:%d" % port, 200),
                         ("LOCALHOST:%d" % port, 200)):
        for path in ("/media/", "/media/clip.webm"):
            status, headers, body = curl(lab.gateway.url(path), "-H", "Host: " + host, "-H",
                                         "Origin: http://evil.example", "-r", "0-99")
            expect(status in ((wanted,) if wanted == 403 else (200, 206)),
                   "Host %s, %s: status %d" % (host, path, status))
            cors = [name for name in headers if name.startswith("access-control-")]
            expect(not cors, "Host %s, %s: CORS headers %s" % (host, path, cors))
            if wanted == 403:
                expect(b"\x1aE\xdf\xa3" not in body, "the 403 for %s carries the file" % host)
    # HTTP/1.0 without a Host, and two Host headers.
    for data in (b"GET /media/ HTTP/1.0\r\n\r\n",
                 request_text(port, "/media/", "Host: evil.example:%d" % port)):
        response = exchange(port, data)
        expect(status_of(response) == 403, "%r: %r" % (data[:60], response[:60]))


def case_hostile_paths(lab):
    """No redirect or link leads off the gateway: runs of "/" are made one
    before any URL is built, and "." and ".." segments are refused."""
    base = lab.gateway.base
    for path in ("//evil.example/../../media", "/media/../media/clip.webm", "/media/./clip.webm",
                 "/media/%2e%2e/", "/%2E/media/", "/media/.."):
        status, headers, _ = curl(base + path, "--path-as-is")
        expect(status == 400 and "location" not in headers,
               "%s: status %d, Location %s" % (path, status, headers.get("location")))
    status, headers, _ = curl(base + "//media", "--path-as-is")
    expect(status == 301 and headers.get("location") == "/media/",
           "//media: status %d, Location %s" % (status, headers.get("location")))
    for path, own in (("//media//", "/media/clip.webm"), ("//evil.example//clip.webm?play", "/evil.example/clip.webm"),
                      ("///media///clip.mkv?play", "/media/clip.mkv")):
        status, _, body = curl(base + path, "--path-as-is")
        targets = re.findall(r'(?:href|src)="([^"]*)"', body.decode())
        expect(status == 200 and own in targets, "%s: status %d, links %s" % (path, status, targets))
        away = [t for t in targets if not t.startswith("/") or t.startswith("//")]
        expect(not away, "%s: links that leave the gateway: %s" % (path, away))


def case_hostile_listing_lines(lab):
    """A LIST line with a size of twenty digits, Unix or MS-DOS style, is
    shown as text; the rest of the folder page is served as usual."""
    root = os.path.join(lab.work, "listings")
    os.makedirs(os.path.join(root, "odd"), exist_ok=True)
    lines = ["-rw-r--r--   1 ftp ftp 99999999999999999999 Dec 07 16:00 huge.bin",
             "-rw-r--r--   1 ftp ftp  3024468 Dec 07 16:00 clip.webm",
             "12-07-26  04:00PM  123456789012345678901 dos-huge.bin"]
    with open(os.path.join(root, "odd", ".listing"), "w") as f:
        f.write("".join(line + "\r\n" for line in lines))
    server = gatewaylab.FtpServer(root, lab.work, script=LISTING_FTPD)
    gateway = None
    try:
        gateway = gatewaylab.Gateway(lab.binary, server.port, lab.work,
                                     os.path.join(lab.work, "ftpgateway-listings.log"))
        status, _, body = curl(gateway.url("/odd/"))
        page = body.decode(errors="replace")
        expect(status == 200, "folder page: status %d, %d bytes" % (status, len(body)))
        expect('href="/odd/clip.webm"' in page and 'href="/odd/clip.webm?play"' in page,
               "the well-formed line lost its links: " + page[-600:])
        for line in (lines[0], lines[2]):
            expect("<pre>%s</pre>" % line in page, "not shown as text: " + line)
        expect(b"GET /odd/ -> 200 folder page, 1 entries" in log_bytes(gateway), "no console line")
    finally:
        if gateway:
            gateway.stop()
        server.stop()


def case_hostile_console_lines(lab):
    """What a request carries reaches the console escaped: no CR or LF that
    starts a forged line, no escape sequence for the terminal."""
    port = lab.gateway.port
    marker = b"FORGED%d" % random.randrange(10 ** 6)
    asked = ((request_text(port, "/a%0D%0Aftpgateway:%20" + marker.decode() + "%1B[2J"), 400),
             (request_text(port, "/media/" + marker.decode() + "%C2%9B2J%08"), 404),
             (request_text(port, "/media/", host="evil\x1b]0;" + marker.decode() + "\x07:1"), 403))
    answers = [exchange(port, data) for data, _ in asked]
    wait_for_log(lab.gateway, re.escape(marker), 3, 5)
    lines = [line for line in log_bytes(lab.gateway).split(b"\n") if marker in line]
    expect(all(line.startswith(b"ftpgateway: GET ") for line in lines), "a forged line: %r" % lines)
    expect(not any(re.search(rb"[\x00-\x08\x0b-\x1f\x7f]|\xc2[\x80-\x9f]", line) for line in lines),
           "control bytes reach the console: %r" % lines)
    for escaped in (b"/a\\r\\nftpgateway: " + marker + b"\\x1b[2J", marker + b"\\xc2\\x9b2J\\x08",
                    b"evil\\x1b]0;" + marker + b"\\x07:1"):
        expect(any(escaped in line for line in lines), "%r is not in %r" % (escaped, lines))
    for (data, status), response in zip(asked, answers):
        expect(status_of(response) == status, "%r: %r" % (data[:70], response[:40]))


def case_hostile_names_do_not_grow_the_size_cache(lab):
    """The sizes a gateway keeps are bounded: after a few hundred other
    names, the first one is asked of the server again, and the bytes kept
    of the file under its old size are not served under the new one."""
    path = os.path.join(lab.media_dir, "growing.bin")
    with open(path, "wb") as f:
        f.write(b"a" * 1000)
    # Names that exist cost one SIZE each (a missing one also a listing).
    many = os.path.join(lab.root, "many")
    os.makedirs(many, exist_ok=True)
    for number in range(300):
        open(os.path.join(many, "%d.bin" % number), "wb").close()
    gateway = own_gateway(lab, "sizes", "--size-seconds", "600")
    connection = http.client.HTTPConnection("127.0.0.1", gateway.port, timeout=30)

    def head(name):
        connection.request("HEAD", name)
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("Content-Length")

    try:
        expect(head("/media/growing.bin") == (200, "1000"), "the first size")
        # Read, so that its ends are kept under the size 1000.
        status, _, body = curl(gateway.url("/media/growing.bin"))
        expect(status == 200 and body == b"a" * 1000, "the first body: %d, %r" % (status, body[:20]))
        with open(path, "wb") as f:
            f.write(b"b" * 2000)
        expect(head("/media/growing.bin") == (200, "1000"), "the size is not kept; the case proves nothing")
        for number in range(300):
            answer = head("/many/%d.bin" % number)
            expect(answer == (200, "0"), "many/%d.bin: %s" % (number, answer))
        answer = head("/media/growing.bin")
        expect(answer == (200, "2000"), "after 300 other names the old size is still kept: %s" % (answer,))
        # Bytes kept under the old size are not the new file's.
        status, _, body = curl(gateway.url("/media/growing.bin"))
        expect(status == 200 and body == b"b" * 2000,
               "the body after the new size: %d, %d bytes, %d of them old" % (status, len(body), body.count(b"a")))
    finally:
        connection.close()
        gateway.stop()
        os.remove(path)
        # folder_of_500_files counts the files of this folder in a later run.
        shutil.rmtree(many)


# ---- slow clients ----------------------------------------------------------------

def case_slow_reader_yields_to_waiting_request(lab):
    """One client object. A reader that pauses with full buffers keeps it
    while nobody waits; once a request waits, the request gets it within a
    few seconds, and the paused reader, reading on, gets every byte."""
    big_path, big = big_file(lab)
    clip = open(lab.local("clip.webm"), "rb").read()
    gateway = own_gateway(lab, "slow-reader", "--clients", "1")
    reader = None
    try:
        reader = BodyReader(gateway.port, big_path)
        expect(reader.status == 200, "the big file: status %d" % reader.status)
        reader.read(65536)
        time.sleep(4.5)  # past its credit, while nobody waits
        start = time.monotonic()
        status, _, body = curl(gateway.url("/media/clip.webm"), "-r", "1000-200999", timeout=20)
        waited = time.monotonic() - start
        expect(status == 206 and body == clip[1000:201000], "the waiting request: %d, %d bytes" % (status, len(body)))
        expect(waited < 10, "the waiting request took %.1f s" % waited)
        got = reader.read(len(big))
        expect(got == big, "the paused reader got %d bytes, %s" % (len(got), "the right ones" if big.startswith(got) else "other ones"))
        expect(wait_for_log(gateway, rb"GET /slow/big.bin -> 200, %d of %d bytes" % (len(big), len(big)), 1, 5),
               "no line for the paused reader")
        text = log_bytes(gateway)
        expect(re.search(rb"GET /media/clip.webm bytes=1000-200999 -> 206 .*taken from a slow reader", text),
               "the waiting request's line does not say it took the client")
        expect(re.search(rb"GET /slow/big.bin -> 200, .*gave its client object up 1 time to", text),
               "the paused reader's line does not say it gave its client up once")
    finally:
        if reader:
            reader.close()
        gateway.stop()


def case_slow_waiting_requests_bounded(lab):
    """One client object, held by a reader above the minimum rate: a missing
    file and a range past the end are answered without it; requests
    wait for it, four at most (503 at once beyond), and a waiting request
    whose client goes away is dropped before anything is read for it."""
    big_path, big = big_file(lab)
    gateway = own_gateway(lab, "waiting", "--clients", "1")
    reader = None
    waiters = []
    try:
        reader = BodyReader(gateway.port, big_path)
        got = {}
        # About 2 MB/s, eight times the minimum rate: it keeps its client.
        steady = threading.Thread(target=lambda: got.setdefault("body", reader.read(len(big), pause=0.02)))
        steady.start()
        # Answers that hang on the size alone come at once, not once the
        # reader lets the client go (bounded well below its end).
        for path, headers, expected in (("/media/no-such-clip.mp4", (), 404),
                                        ("/media/clip.mp4", ("Range: bytes=999999999-",), 416)):
            response = exchange(gateway.port, request_text(gateway.port, path, *headers), 3)
            expect(status_of(response) == expected, "%s %s with the client busy: %r" % (path, headers, response[:80]))
        for number in range(4):
            waiter = socket.create_connection(("127.0.0.1", gateway.port), timeout=10)
            waiter.sendall(request_text(gateway.port, "/media/clip.mp4", "Range: bytes=%d-%d" % (number, 99)))
            waiters.append(waiter)
        time.sleep(1)  # every one of them waits for the client by then
        start = time.monotonic()
        response = exchange(gateway.port, request_text(gateway.port, "/media/clip.mp4", "Range: bytes=4-99"), 5)
        expect(status_of(response) == 503 and b"Retry-After: 2" in response,
               "a fifth waiting request: %r" % response[:80])
        expect(time.monotonic() - start < 2, "the fifth request waited before its 503")
        for waiter in waiters:
            waiter.close()
        expect(wait_for_log(gateway, rb"GET /media/clip.mp4 bytes=[0-3]-99 -> dropped: the client went away", 4, 3),
               "the waiting requests whose clients went away were not dropped")
        steady.join(timeout=60)
        expect(got.get("body") == big, "the steady reader got %d bytes" % len(got.get("body", b"")))
        text = log_bytes(gateway)
        expect(not re.search(rb"GET /media/clip.mp4 bytes=[0-3]-99 -> 206", text), "a dropped request was read")
        expect(not re.search(rb"taken from a slow reader|gave its client object up", text),
               "a reader above the minimum rate lost its client")
    finally:
        for waiter in waiters:
            waiter.close()
        if reader:
            reader.close()
        gateway.stop()


def case_slow_idle_connections(lab):
    """Forty connections that send nothing: a folder page is still answered
    at once, and the gateway closes them after a short wait. Beyond the
    connections served at once, a connection is answered 503 at once."""
    port = lab.gateway.port
    idle = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(40)]
    opened = time.monotonic()
    try:
        status, _, _ = curl(lab.gateway.url("/media/"), timeout=10)
        answered = time.monotonic() - opened
        expect(status == 200 and answered < 4, "folder page beside 40 idle connections: %d after %.1f s"
               % (status, answered))
        for sock in idle:
            rest = receive_until_closed(sock, max(0.1, opened + 9 - time.monotonic()))
            expect(rest == b"" and time.monotonic() < opened + 9,
                   "an idle connection is still open after %.1f s" % (time.monotonic() - opened))
    finally:
        for sock in idle:
            sock.close()
    gateway = own_gateway(lab, "connections", "--max-connections", "4")
    held = []
    try:
        held = [socket.create_connection(("127.0.0.1", gateway.port), timeout=10) for _ in range(4)]
        time.sleep(0.2)
        start = time.monotonic()
        response = exchange(gateway.port, b"", 3)
        expect(status_of(response) == 503 and time.monotonic() - start < 2,
               "a fifth connection: %r after %.1f s" % (response[:60], time.monotonic() - start))
        for sock in held:
            sock.close()
        time.sleep(0.3)
        status, _, _ = curl(gateway.url("/media/"), timeout=10)
        expect(status == 200, "after the idle connections closed: %d" % status)
    finally:
        for sock in held:
            sock.close()
        gateway.stop()


# ---- stopping --------------------------------------------------------------------

def start_bare(lab, log, *extra):
    """ftpgateway without waiting for it: (process, its port file, log file)."""
    port_file = log + ".port"
    if os.path.exists(port_file):
        os.remove(port_file)
    output = open(log, "wb")
    process = subprocess.Popen(
        [lab.binary, "--server", "127.0.0.1", "--port", str(lab.server.port), "--http-port", "0",
         "--port-file", port_file] + list(extra),
        stdin=subprocess.DEVNULL, stdout=output, stderr=output,
        env=dict(os.environ, FTPCLI_PASSWORD=gatewaylab.PASSWORD))
    return process, port_file, output


def ended(process, seconds):
    """The exit status, or None (and the process killed) if it runs on."""
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=10)
        return None


def case_stop_signal_whenever_it_comes(lab):
    """SIGTERM or SIGINT ends the gateway with status 0 whenever it comes:
    while it starts, as soon as the port file appears (many times: whether
    the server already ran was a race), twice, and while a body is held by a
    paused reader and a request waits."""
    log = os.path.join(lab.work, "ftpgateway-stop.log")
    moments = [0.002, 0.004, 0.006, 0.008, 0.012, 0.05] + ["port file"] * 30 + ["twice"] * 3
    for moment in moments:
        process, port_file, output = start_bare(lab, log)
        try:
            if not isinstance(moment, str):
                time.sleep(moment)
            else:
                deadline = time.monotonic() + 20
                while not os.path.exists(port_file) and time.monotonic() < deadline and process.poll() is None:
                    time.sleep(0.002)
                expect(os.path.exists(port_file), "no port file: " + open(log, errors="replace").read()[-300:])
            process.send_signal(signal.SIGTERM)
            if moment == "twice":
                process.send_signal(signal.SIGINT)
            status = ended(process, 5)
        finally:
            output.close()
        # So early that the signals may not be blocked yet: ended by SIGTERM.
        allowed = (0,) if isinstance(moment, str) else (0, -signal.SIGTERM)
        expect(status in allowed, "a signal %s: exit status %s; %s"
               % (moment, status, open(log, errors="replace").read()[-300:]))
    big_path, _ = big_file(lab)
    process, port_file, output = start_bare(lab, log, "--clients", "1")
    reader = None
    waiter = None
    try:
        port = gatewaylab._wait_for_file(port_file, process, 20, "ftpgateway")
        reader = BodyReader(port, big_path)
        reader.read(65536)
        waiter = socket.create_connection(("127.0.0.1", port), timeout=10)
        waiter.sendall(request_text(port, "/media/clip.mkv"))
        # Long enough for the buffers to fill and the gateway to block on
        # its next write; short of the reader's credit, so the request waits.
        time.sleep(2)
        start = time.monotonic()
        process.send_signal(signal.SIGTERM)
        status = ended(process, 10)
        took = time.monotonic() - start
    finally:
        for sock in (reader, waiter):
            if sock:
                sock.close()
        if process.poll() is None:
            process.kill()
            process.wait(timeout=10)
        output.close()
    expect(status == 0 and took < 5, "a stop with a paused reader and a waiting request: status %s after %.1f s"
           % (status, took))


HOSTILE_CASES = [case_hostile_host_header, case_hostile_paths, case_hostile_listing_lines,
                 case_hostile_console_lines, case_hostile_names_do_not_grow_the_size_cache]
SLOW_CASES = [case_slow_reader_yields_to_waiting_request, case_slow_waiting_requests_bounded,
              case_slow_idle_connections]
STOP_CASES = [case_stop_signal_whenever_it_comes]
