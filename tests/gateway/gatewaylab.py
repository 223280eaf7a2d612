"""Pieces shared by the gateway's player tests and its benchmark: test media
made with ffmpeg, a pyftpdlib server, and ftpgateway itself, each a process
of ours that ends with the object that started it."""
import os
import signal
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PYFTPD = os.path.join(REPO, "tests", "realserver", "pyftpd_server.py")
PASSWORD = "secret"
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, with python3-pyftpdlib

MEDIA_SECONDS = 6
_H264 = ["-c:v", "libx264", "-preset", "veryfast", "-b:v", "3M", "-maxrate", "3M", "-bufsize", "3M"]
MEDIA = {
    # No -movflags faststart: the index (moov) stays at the end, as a
    # recorder leaves it, so a player must read the end before it can play.
    "clip.mp4": _H264 + ["-c:a", "aac", "-b:a", "128k"],
    "clip.mkv": _H264 + ["-c:a", "aac", "-b:a", "128k"],
    "clip.webm": ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "3M",
                  "-c:a", "libopus"],
}


def make_media(folder, seconds=MEDIA_SECONDS):
    """Writes the three clips into folder (made if missing); returns their names.
    640x360 at 25 frames/s with a tone; the noise keeps the encoders near
    3 Mbit/s. A keyframe every second."""
    sources = ["-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=%d" % seconds,
               "-f", "lavfi", "-i", "sine=frequency=440:duration=%d" % seconds,
               "-vf", "noise=alls=25:allf=t", "-g", "25"]
    os.makedirs(folder, exist_ok=True)
    for name, codec in MEDIA.items():
        path = os.path.join(folder, name)
        if os.path.exists(path):
            continue
        extension = name.split(".")[-1]
        partial = path + ".part." + extension
        subprocess.run(["nice", "ffmpeg", "-nostdin", "-loglevel", "error", "-y"] + sources + codec +
                       [partial], check=True, timeout=600)
        os.replace(partial, path)
    return sorted(MEDIA)


def _wait_for_file(path, process, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            with open(path) as f:
                text = f.read().strip()
            if text:
                return int(text.split()[0])
        if process.poll() is not None:
            raise RuntimeError("%s ended at start with status %s" % (what, process.returncode))
        time.sleep(0.05)
    raise RuntimeError("%s did not start within %d s" % (what, seconds))


class FtpServer:
    """pyftpdlib serving root to the account ftp; log (DEBUG, timestamped) has
    one line per finished transfer with the bytes it sent. script: another
    server program with the same options (listing_ftpd.py)."""

    def __init__(self, root, work, log=None, script=PYFTPD):
        self.root = root
        port_file = os.path.join(work, "ftp-port-%d" % id(self))
        if os.path.exists(port_file):
            os.remove(port_file)
        command = [SYSTEM_PYTHON, script, "--root", root, "--port-file", port_file,
                   "--password", PASSWORD]
        if log:
            command += ["--log", log]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        self.port = _wait_for_file(port_file, self.process, 20, "pyftpdlib")

    def kill(self):
        """Gone at once, its connections with it (a server that fails)."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)


class Gateway:
    """ftpgateway in front of 127.0.0.1:ftp_port; its console goes to log."""

    def __init__(self, binary, ftp_port, work, log, extra=()):
        port_file = os.path.join(work, "gateway-port-%d" % id(self))
        if os.path.exists(port_file):
            os.remove(port_file)
        self.log = log
        self._log_file = open(log, "wb")
        environment = dict(os.environ, FTPCLI_PASSWORD=PASSWORD)
        self.process = subprocess.Popen(
            [binary, "--server", "127.0.0.1", "--port", str(ftp_port), "--http-port", "0",
             "--port-file", port_file] + list(extra),
            stdin=subprocess.DEVNULL, stdout=self._log_file, stderr=self._log_file, env=environment)
        self.port = _wait_for_file(port_file, self.process, 20, "ftpgateway")
        self.base = "http://127.0.0.1:%d" % self.port

    def url(self, path):
        return self.base + path

    def log_text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def stop(self):
        """SIGTERM, then the exit status (0 when it stopped cleanly)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self._log_file.close()
        return self.process.returncode


class Relay:
    """ftprelay (tests/ftprelay, docs/network-relay.md) in front of
    127.0.0.1:target_port, with settings in the FTP_TEST_RELAY syntax
    ("delay_ms=20,piece=7,data_piece=1399"); extra: more of its options
    (port-range mode). It ends when stop() closes its standard input, and
    prints what it passed on into log."""

    def __init__(self, binary, target_port, work, log, settings, extra=()):
        port_file = os.path.join(work, "relay-port-%d" % id(self))
        if os.path.exists(port_file):
            os.remove(port_file)
        self.log = log
        self.settings = settings
        self._log_file = open(log, "wb")
        self.process = subprocess.Popen(
            [binary, "--target-port", str(target_port), "--settings", settings, "--port-file", port_file,
             "--max-seconds", "7200"] + list(extra),
            stdin=subprocess.PIPE, stdout=self._log_file, stderr=self._log_file)
        self.port = _wait_for_file(port_file, self.process, 20, "ftprelay")

    def log_text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def stop(self):
        """Closes its input, then the exit status (0 when it stopped cleanly)."""
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self._log_file.close()
        return self.process.returncode


def run(command, timeout=120, check=True):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError("%s exited %d: %s" % (" ".join(command[:3]), result.returncode,
                                                   result.stderr.decode(errors="replace")[-600:]))
    return result


def curl(url, *options, timeout=60):
    """(status, headers dict in lower case, body bytes)."""
    result = run(["curl", "-s", "-D", "-", "-o", "/dev/stdout", "--max-time", str(timeout - 5)] +
                 list(options) + [url], timeout=timeout)
    raw = result.stdout
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers, body


def expect(condition, text):
    if not condition:
        raise AssertionError(text)
