"""WebKitGTK's MiniBrowser driven through WebKitWebDriver (W3C WebDriver over HTTP), standard
library only. MiniBrowser has no headless mode: it runs on its own Xvfb display, and saves
downloads into $HOME itself, which is the downloads folder given.
"""
import base64
import glob
import json
import os
import socket
import subprocess
import time
import urllib.request

MINIBROWSER = glob.glob("/usr/lib/*/webkit2gtk-4.1/MiniBrowser")
ELEMENT = "element-6066-11e4-a52e-4f735466cecf"  # the W3C key of an element reference


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Browser:
    """One MiniBrowser on a display of its own; ends both on close."""

    def __init__(self, downloads, driver="WebKitWebDriver"):
        # Xvfb picks a free display and names it on the pipe once it is ready.
        ready, told = os.pipe()
        self.processes = [subprocess.Popen(
            ["Xvfb", "-displayfd", str(told), "-screen", "0", "1280x1200x24", "-nolisten",
             "tcp"], pass_fds=(told,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        os.close(told)
        try:
            with os.fdopen(ready) as f:
                display = f.readline().strip()
            if not display:
                raise RuntimeError("Xvfb did not start")
            port = free_port()
            env = dict(os.environ, DISPLAY=":" + display, HOME=os.path.abspath(downloads))
            self.processes.append(subprocess.Popen(
                [driver, "--port=%d" % port], env=env, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            self.url = "http://127.0.0.1:%d/session" % port
            deadline = time.monotonic() + 30
            while not self._listening():
                if time.monotonic() > deadline or self.processes[1].poll() is not None:
                    raise RuntimeError("WebKitWebDriver did not start")
                time.sleep(0.1)
            options = {"binary": MINIBROWSER[0], "args": ["--automation"]}
            self.url += "/" + self.call("", capabilities={"alwaysMatch": {
                "browserName": "MiniBrowser", "webkitgtk:browserOptions": options}})["sessionId"]
            self.call("/window/rect", width=1280, height=1200)
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
        try:
            self.call("", method="DELETE")  # closes MiniBrowser
        except (AttributeError, OSError, RuntimeError):
            pass  # it never started, or went
        for process in reversed(self.processes):
            process.terminate()
            process.wait()

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
