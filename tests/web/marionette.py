"""Headless Firefox driven over Marionette, standard library only: length-prefixed JSON
commands over a TCP port on 127.0.0.1. Downloads go to the folder given, without asking.
"""
import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

ELEMENT = "element-6066-11e4-a52e-4f735466cecf"  # the W3C key of an element reference


class Browser:
    """One Firefox with a fresh profile; ends the browser on close."""

    def __init__(self, downloads, firefox="firefox-esr"):
        self.profile = tempfile.mkdtemp(prefix="marionette-profile-")
        with socket.socket() as s:  # a free port: the default 2828 may be another Firefox's
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        prefs = {"marionette.port": port, "browser.download.folderList": 2,
                 "browser.download.dir": os.path.abspath(downloads),
                 "browser.download.useDownloadDir": True,
                 "browser.download.always_ask_before_handling_new_types": False}
        with open(os.path.join(self.profile, "user.js"), "w") as f:
            f.writelines('user_pref("%s", %s);\n' % (k, json.dumps(v)) for k, v in prefs.items())
        self.log = open(os.path.join(self.profile, "firefox.log"), "w+")
        self.process = subprocess.Popen(
            [firefox, "--headless", "--marionette", "--no-remote", "--profile", self.profile],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        self._id = 0
        try:
            deadline = time.monotonic() + 60
            while True:  # Firefox takes several seconds to start listening
                try:
                    self.socket = socket.create_connection(("127.0.0.1", port))
                    break
                except OSError:
                    if time.monotonic() > deadline or self.process.poll() is not None:
                        raise RuntimeError("Firefox did not start:\n" + self._tail())
                    time.sleep(0.2)
            self.stream = self.socket.makefile("rb")
            self._read()  # the greeting
            self.call("WebDriver:NewSession", capabilities={"alwaysMatch": {}})
        except BaseException:
            self.close()
            raise

    def _tail(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read()[-2000:]

    def close(self):
        if hasattr(self, "socket"):
            self.socket.close()
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def _read(self):
        length = b""
        while not length.endswith(b":"):
            byte = self.stream.read(1)
            if not byte:
                raise RuntimeError("Firefox ended:\n" + self._tail())
            length += byte
        return json.loads(self.stream.read(int(length[:-1])))

    def call(self, command, **params):
        self._id += 1
        body = json.dumps([0, self._id, command, params]).encode()
        self.socket.sendall(b"%d:%s" % (len(body), body))
        _, _, error, result = self._read()
        if error:
            raise RuntimeError("%s: %s" % (command, error))
        return result

    def open(self, path):
        self.call("WebDriver:Navigate", url="file://" + os.path.abspath(path))

    def evaluate(self, expression):
        """The value of a JavaScript expression (awaited when it is a promise)."""
        return self.call("WebDriver:ExecuteScript", script="return (%s);" % expression,
                         args=[])["value"]

    def choose_files(self, selector, paths):
        element = self.call("WebDriver:FindElement", using="css selector",
                            value=selector)["value"][ELEMENT]
        self.call("WebDriver:ElementSendKeys", id=element,
                  text="\n".join(os.path.abspath(p) for p in paths))

    def screenshot(self, path):
        data = self.call("WebDriver:TakeScreenshot", full=True, hash=False)["value"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
