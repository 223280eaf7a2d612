"""Headless Chromium driven over its DevTools pipe (--remote-debugging-pipe):
JSON messages separated by NUL bytes, written to the browser's fd 3 and read
from its fd 4. Nothing beyond the standard library is needed."""
import json
import os
import subprocess
import threading
import time


class ChromiumError(Exception):
    pass


class Chromium:
    def __init__(self, profile_dir, log_path):
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()

        def place_pipes():
            # Moved out of the way first: either may already be 3 or 4.
            high_read = os.dup(to_browser_read)
            high_write = os.dup(from_browser_write)
            os.dup2(high_read, 3)
            os.dup2(high_write, 4)

        self._log = open(log_path, "ab")
        self.process = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--mute-audio",
             "--no-first-run", "--no-default-browser-check", "--disable-extensions",
             "--autoplay-policy=no-user-gesture-required", "--window-size=900,700",
             "--user-data-dir=" + profile_dir, "--remote-debugging-pipe", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log,
            preexec_fn=place_pipes, pass_fds=(3, 4))
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._next_id = 0
        self._answers = {}
        self._lock = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        pending = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                with self._lock:
                    self._answers["closed"] = True
                    self._lock.notify_all()
                return
            pending += chunk
            while b"\0" in pending:
                message, pending = pending.split(b"\0", 1)
                answer = json.loads(message)
                if "id" in answer:
                    with self._lock:
                        self._answers[answer["id"]] = answer
                        self._lock.notify_all()

    def send(self, method, params=None, session=None, timeout=30):
        with self._lock:
            self._next_id += 1
            number = self._next_id
        message = {"id": number, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        with self._lock:
            while number not in self._answers:
                if self._answers.get("closed"):
                    raise ChromiumError("the browser closed its pipe during " + method)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise ChromiumError("no answer to %s within %d s" % (method, timeout))
                self._lock.wait(left)
            answer = self._answers.pop(number)
        if "error" in answer:
            raise ChromiumError("%s: %s" % (method, answer["error"]))
        return answer.get("result", {})

    def open_page(self, url):
        target = self.send("Target.createTarget", {"url": url})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.send("Page.enable", session=session)
        return session

    def evaluate(self, session, expression, timeout=30):
        """The value of a JavaScript expression (a promise is awaited)."""
        result = self.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True}, session, timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise ChromiumError("script failed: %s" % text)
        return result["result"].get("value")

    def wait_for(self, session, expression, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                if self.evaluate(session, expression, timeout=10):
                    return
            except ChromiumError:
                pass  # the page is still being replaced
            time.sleep(0.1)
        raise ChromiumError("not true within %d s: %s" % (seconds, expression))

    def screenshot(self, session, path):
        import base64
        data = self.send("Page.captureScreenshot", {"format": "png"}, session)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.send("Browser.close", timeout=10)
        except ChromiumError:
            pass
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        os.close(self._to_browser)
        self._reader.join(timeout=5)
        os.close(self._from_browser)
        self._log.close()
