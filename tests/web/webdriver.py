"""WebKitGTK's MiniBrowser driven through WebKitWebDriver (W3C WebDriver over HTTP), standard
library only. MiniBrowser has no headless mode: it runs on its own Xvfb display, and saves
downloads into $HOME itself, which is the downloads folder given.
"""
import base64
import json
import os
import socket
import subprocess
import time
import urllib.request

MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser"
ELEMENT = "element-6066-11e4-a52e-4f735466cecf"  # the W3C key of an element reference


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(ready, what, process, timeout=30):
    deadline = time.monotonic() + timeout
    while not ready():
        if time.monotonic() > deadline or process.poll() is not None:
            raise RuntimeError(what + " did not start")
        time.sleep(0.1)


class Browser:
    """One MiniBrowser on a display of its own; ends both on close."""

    def __init__(self, downloads, driver="WebKitWebDriver"):
        display = free_port() % 1000 + 100
        self.processes = [subprocess.Popen(
            ["Xvfb", ":%d" % display, "-screen", "0", "1280x4000x24", "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        try:
            wait_until(lambda: os.path.exists("/tmp/.X11-unix/X%d" % display), "Xvfb",
                       self.processes[0])
            port = free_port()
            env = dict(os.environ, DISPLAY=":%d" % display, HOME=os.path.abspath(downloads))
            self.processes.append(subprocess.Popen(
                [driver, "--port=%d" % port], env=env, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            self.url = "http://127.0.0.1:%d/session" % port
            wait_until(self._listening, "WebKitWebDriver", self.processes[1])
            options = {"binary": MINIBROWSER, "args": ["--automation"]}
            self.url += "/" + self.call("", capabilities={"alwaysMatch": {
                "browserName": "MiniBrowser", "webkitgtk:browserOptions": options}})["sessionId"]
            # A window as tall as the screen, so a screenshot holds the whole page.
            self.call("/window/rect", width=1280, height=3900)
        except BaseException:
            self.close()
            raise

    def _listening(self):
        try:
            urllib.request.urlopen(self.url[:-len("/session")] + "/status", timeout=1)
            return True
        except OSError:
            return False

    def close(self):
        for process in reversed(self.processes):
            process.terminate()
            process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def call(self, path, method="POST", **params):
        data = json.dumps(params).encode() if method == "POST" else None
        request = urllib.request.Request(self.url + path, data, method=method,
                                          headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as answer:
                return json.load(answer)["value"]
        except urllib.error.HTTPError as e:
            raise RuntimeError("%s: %s" % (path, e.read().decode())) from None

    def open(self, path):
        self.call("/url", url="file://" + os.path.abspath(path))

    def evaluate(self, expression):
        """The value of a JavaScript expression (awaited when it is a promise)."""
        return self.call("/execute/sync", script="return (%s);" % expression, args=[])

    def choose_files(self, selector, paths):
        element = self.call("/element", using="css selector", value=selector)[ELEMENT]
        self.call("/element/%s/value" % element,
                  text="\n".join(os.path.abspath(p) for p in paths))

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("/screenshot", method="GET")))
