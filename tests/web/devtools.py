"""Headless Chromium driven over its DevTools protocol, standard library only: the protocol
runs over two pipes (--remote-debugging-pipe), so no websocket and no port. Start at Browser.
"""
import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

# Flags that keep a headless run quiet and self-contained: no sandbox (tests run as root), no
# GPU, and none of the browser's own background traffic.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe"]


class DevToolsError(Exception):
    pass


class Browser:
    """One Chromium with a fresh profile and one page; ends the browser on close. Events
    that arrive while waiting for an answer are kept for wait_event."""

    def __init__(self, chromium="chromium"):
        self.profile = tempfile.mkdtemp(prefix="devtools-profile-")
        commands_r, self._commands = os.pipe()
        self._answers, answers_w = os.pipe()

        # Chromium reads commands on descriptor 3 and answers on 4. os.pipe() may itself have
        # returned 3 or 4, and dup2 onto the same number keeps close-on-exec: dup first.
        def onto_3_and_4():
            a, b = os.dup(commands_r), os.dup(answers_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.log = open(os.path.join(self.profile, "chromium.log"), "w")
        self.process = subprocess.Popen(
            [chromium] + FLAGS + ["--user-data-dir=" + self.profile, "about:blank"],
            preexec_fn=onto_3_and_4, pass_fds=(3, 4), stdin=subprocess.DEVNULL,
            stdout=self.log, stderr=self.log)
        os.close(commands_r)
        os.close(answers_w)
        self._next_id = 0
        self._buffer = b""
        self._events = []
        self.session = None
        try:
            page = next(t for t in self.call("Target.getTargets")["targetInfos"]
                        if t["type"] == "page")
            self.session = self.call("Target.attachToTarget", targetId=page["targetId"],
                                     flatten=True)["sessionId"]
            self.call("Page.enable")
            self.call("Runtime.enable")
        except BaseException:
            self.close()
            raise

    def close(self):
        try:
            os.close(self._commands)
            os.close(self._answers)
        except OSError:
            pass
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _ended(self):
        self.log.flush()
        with open(self.log.name) as log:
            return DevToolsError("Chromium ended; the end of its log:\n" + log.read()[-2000:])

    def _read_message(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._answers], [], [], left)[0]:
                raise DevToolsError("no answer from Chromium in time")
            chunk = os.read(self._answers, 1 << 16)
            if not chunk:
                raise self._ended()
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, timeout=30, browser=False, **params):
        """Sends one command (to the page unless browser) and returns its result."""
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if self.session and not browser:
            message["sessionId"] = self.session
        try:
            os.write(self._commands, json.dumps(message).encode() + b"\0")
        except BrokenPipeError:
            raise self._ended() from None
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") != self._next_id:
                self._events.append(answer)
                continue
            if "error" in answer:
                raise DevToolsError("%s: %s" % (method, answer["error"]))
            return answer["result"]

    def wait_event(self, method, timeout=30):
        """The next event of that name, kept or still to come."""
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self._events):
                if event.get("method") == method:
                    return self._events.pop(i)["params"]
            self._events.append(self._read_message(deadline))

    def events(self, method):
        """Takes every kept event of that name."""
        taken = [e for e in self._events if e.get("method") == method]
        self._events = [e for e in self._events if e.get("method") != method]
        return taken

    def open(self, path):
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        self.wait_event("Page.loadEventFired")

    def evaluate(self, expression, timeout=30):
        """The value of a JavaScript expression (awaited when it is a promise)."""
        result = self.call("Runtime.evaluate", timeout=timeout, expression=expression,
                           awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise DevToolsError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait_for(self, expression, timeout=30):
        """Polls a JavaScript expression until it is true; returns whether it became so."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.evaluate(expression):
                return True
            time.sleep(0.05)
        return False

    def choose_files(self, selector, paths):
        """Gives a file input these files, as a user picking them in the dialog would."""
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        node = self.call("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        self.call("DOM.setFileInputFiles", nodeId=node,
                  files=[os.path.abspath(p) for p in paths])

    def downloads_to(self, folder):
        self.call("Browser.setDownloadBehavior", browser=True, behavior="allow",
                  downloadPath=os.path.abspath(folder), eventsEnabled=True)

    def wait_download(self, timeout=30):
        """Waits for the download under way to finish; returns its state."""
        deadline = time.monotonic() + timeout
        while True:
            event = self.wait_event("Browser.downloadProgress", deadline - time.monotonic())
            if event["state"] != "inProgress":
                return event["state"]

    def screenshot(self, path, width, height):
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)
        data = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data["data"]))
