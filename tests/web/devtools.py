"""Headless Chromium driven over its DevTools protocol, standard library only: the protocol
runs over two pipes (--remote-debugging-pipe), so no websocket and no port. Downloads go to
the folder given. Start at Browser.
"""
import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

# Flags that keep a headless run quiet and self-contained: no sandbox (CI runs it as root), no
# GPU, and none of the browser's own background traffic.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe"]


class DevToolsError(Exception):
    pass


class Browser:
    """One Chromium with a fresh profile and one page; ends the browser on close. Events
    that arrive while waiting for an answer are kept for errors."""

    def __init__(self, downloads, chromium="chromium"):
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
            self.call("Log.enable")
            self.call("Browser.setDownloadBehavior", browser=True, behavior="allow",
                      downloadPath=os.path.abspath(downloads))
            self.call("Emulation.setDeviceMetricsOverride", width=1280, height=1200,
                      deviceScaleFactor=1, mobile=False)
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

    def open(self, path):
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        deadline = time.monotonic() + 30
        while not any(e.get("method") == "Page.loadEventFired" for e in self._events):
            self._events.append(self._read_message(deadline))

    def evaluate(self, expression):
        """The value of a JavaScript expression (awaited when it is a promise)."""
        result = self.call("Runtime.evaluate", expression=expression,
                           awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise DevToolsError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def choose_files(self, selector, paths):
        """Gives a file input these files, as a user picking them in the dialog would."""
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        node = self.call("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        self.call("DOM.setFileInputFiles", nodeId=node,
                  files=[os.path.abspath(p) for p in paths])

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(data["data"]))

    def errors(self):
        """What the browser logged (a request the page's policy refused, a script error)."""
        logged = [e["params"]["entry"]["text"] for e in self._events
                  if e.get("method") == "Log.entryAdded"]
        self._events = []
        return logged
