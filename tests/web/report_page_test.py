"""voltrace-report.html in a real browser, held against the command-line tool on the same
logs: three discharges picked in the page give the tool's page byte for byte (shown and
saved), its table, one curve per log, its warnings and its gauge CSV; then a huge stray file,
an empty one, a non-log and a log that never ran down are each named, and the page still
reports the next logs it is given. Nothing is logged, the hidden report frame takes no room,
and no file: or http: address is reached from the frame, nor from the page where the engine's
policy can refuse it. The same checks in every engine, each through its own driver module.

usage: report_page_test.py chromium|firefox|webkit VOLTRACE_REPORT PAGE.html [SCREENSHOT.png]
"""
import contextlib
import http.server
import importlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

# Each engine's driver module, the variable naming its program, and whether the page's own
# content policy refuses file: addresses (Firefox lets a page opened from one reach others).
ENGINES = {"chromium": ("devtools", "CHROMIUM", True),
           "firefox": ("marionette", "FIREFOX", False),
           "webkit": ("webdriver", "WEBKITWEBDRIVER", True)}

FRAME = "document.getElementById('report')"
STATUS = "document.getElementById('status').textContent"
# Run once the page has loaded. Keeps what the page logs as an error (WebKit's console reaches
# no driver), and counts the report frame's loads: the page cannot read the frame's document.
WATCH = """(() => {
    window.logged = [];
    const keep = what => window.logged.push(String(what));
    const error = console.error;
    window.console.error = (...args) => { keep(args.join(' ')); error(...args); };
    addEventListener('error', e => keep(e.message || 'no ' + e.target.outerHTML), true);
    addEventListener('unhandledrejection', e => keep(e.reason));
    addEventListener('securitypolicyviolation', e => keep('refused ' + e.blockedURI));
    window.frameLoads = 0;
    %s.addEventListener('load', () => window.frameLoads++);
})()""" % FRAME
# The report shown, as its frame parses it (the frame's source is all the page can read).
SHOWN = "new DOMParser().parseFromString(%s.srcdoc, 'text/html')" % FRAME
SIZE = "(box => [box.width, box.height])(%s.getBoundingClientRect())" % FRAME
# An image and a fetch of each address, from the page itself.
FROM_PAGE = """Promise.all(%s.map(url => Promise.all([
    fetch(url).catch(() => null),
    new Promise(done => { const image = new Image(); image.onload = image.onerror = done;
                          image.src = url; })]))).then(() => true)"""
# The same from inside the report frame, shown by the page's own showPage: the very frame,
# its sandbox as the page sets it, its srcdoc as the page fills it. The sandbox lets no script
# run there, so the fetches must not happen either.
INTO_FRAME = """new Promise(done => {
    %s.addEventListener('load', () => done(true), {once: true});
    showPage(new TextEncoder().encode(%%s));
})""" % FRAME


class Checks:
    """Collects failed checks, so one run reports everything it saw wrong."""

    def __init__(self):
        self.failures = []

    def check(self, ok, what, seen=""):
        if not ok:
            self.failures.append(what + (": " + seen if seen else ""))
            print("FAIL  " + self.failures[-1], flush=True)
        return ok

    def equal(self, seen, expected, what):
        return self.check(seen == expected, "%s: expected %r" % (what, expected), repr(seen))


def discharge(path, hours, seed, hole=None, end=3400, cut_short=False):
    """A lithium cell under load, one sample a minute: a quick first drop, a long slope, the
    knee and the fall to end (mV), with a few millivolts of noise. hole=(from, to) seconds
    leaves the device asleep; cut_short adds a last line cut off by the power cut."""
    rand = random.Random(seed)
    last = hours * 3600
    with open(path, "w") as f:
        for t in range(0, last + 1, 60):
            if hole and hole[0] <= t < hole[1]:
                continue
            x = t / last
            knee = (4180 - 90 - 330 - end) * ((x - 0.82) / 0.18) ** 2.5 if x > 0.82 else 0
            level = 4180 - 90 * (1 - 2.718 ** (-t / 1200)) - 330 * x - knee
            f.write("%d,%d\n" % (t, level + rand.randint(-4, 4)))
        if cut_short:
            f.write("%d,33" % (last + 60))


def command_line(tool, folder, names):
    """What the tool writes for these logs in folder: stdout, stderr lines without the
    program's name, the page and the gauge (None when not written)."""
    for output in ("discharge-report.html", "gauge.csv"):
        if os.path.exists(os.path.join(folder, output)):
            os.remove(os.path.join(folder, output))
    run = subprocess.run([tool, "-o", "discharge-report.html", "--gauge", "gauge.csv", "--"] +
                         names, cwd=folder, capture_output=True)
    errors = [line.replace("voltrace-report: ", "", 1)
              for line in run.stderr.decode().splitlines()]

    def read(name):
        path = os.path.join(folder, name)
        return open(path, "rb").read() if os.path.exists(path) else None
    return run.stdout.decode(), errors, read("discharge-report.html"), read("gauge.csv")


def pick(browser, folder, names):
    """Picks the files in the page and waits until the run has finished and a report it made
    has loaded in the frame (the status line changes first), then two frames more, which
    WebKit needs to paint it."""
    loads = browser.evaluate("[frameLoads, %s = ''][0]" % STATUS)
    browser.choose_files("#logs", [os.path.join(folder, n) for n in names])
    finished = "/^No report/.test(%s) || /^Report/.test(%s) && frameLoads > %d" % (
        STATUS, STATUS, loads)
    deadline = time.monotonic() + 30
    while not browser.evaluate(finished):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return browser.evaluate("new Promise(done => requestAnimationFrame(() => "
                            "requestAnimationFrame(() => done(true))))")


def messages(browser):
    return browser.evaluate("[...document.querySelectorAll('#messages li')]"
                            ".map(li => li.textContent)")


def save(browser, button, downloads, name):
    """Clicks a save button; the bytes of the file the browser saved, or None. Each engine
    writes under another name first (Firefox beside an empty file of the right name)."""
    path = os.path.join(downloads, name)
    if os.path.exists(path):
        os.remove(path)
    browser.evaluate("document.getElementById('%s').click()" % button)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) and not [
                n for n in os.listdir(downloads) if n.startswith(name + ".")]:
            return open(path, "rb").read()
        time.sleep(0.05)
    return None


def three_logs(browser, checks, tool, folder, downloads, screenshot):
    names = ["battery1.csv", "battery2.csv", "battery3.csv"]
    discharge(os.path.join(folder, names[0]), 10, 1, cut_short=True)
    discharge(os.path.join(folder, names[1]), 6, 2, hole=(7200, 9900))
    discharge(os.path.join(folder, names[2]), 4, 3, end=3300)
    table, errors, page, gauge = command_line(tool, folder, names)
    if not checks.check(page is not None and gauge is not None,
                        "the tool wrote its page and gauge", "\n".join(errors)):
        return
    started = time.monotonic()
    if not checks.check(pick(browser, folder, names), "three logs: the page reported them"):
        return
    print("three logs picked to report shown: %.2f s" % (time.monotonic() - started))
    checks.check(browser.evaluate(FRAME + ".srcdoc") == page.decode(),
                 "three logs: the page shown is the tool's page")
    checks.check(min(browser.evaluate(SIZE)) > 100, "three logs: the report frame is shown",
                 repr(browser.evaluate(SIZE)))
    rows = browser.evaluate("[...%s.querySelector('table').rows]"
                            ".map(r => [...r.cells].map(c => c.textContent))" % SHOWN)
    checks.equal(rows, [re.split(" {2,}", line.strip()) for line in table.splitlines()],
                 "three logs: the table shown against the tool's standard output")
    colours = browser.evaluate("[...new Set([...%s.querySelector('svg')"
                               ".querySelectorAll('polyline')].map(p => p.getAttribute('stroke')))]"
                               % SHOWN)
    checks.equal(len(colours), 3, "three logs: curves in the chart, one colour per log")
    checks.equal(messages(browser), errors, "three logs: warnings against the tool's")
    checks.check(any("damaged line" in e for e in errors), "battery1.csv's cut line is named")
    if screenshot:
        browser.screenshot(screenshot)
    checks.check(save(browser, "save-report", downloads, "discharge-report.html") == page,
                 "three logs: the saved report is the tool's page")
    checks.equal(save(browser, "save-gauge", downloads, "gauge.csv"), gauge,
                 "three logs: the saved gauge against the tool's --gauge")


def bad_files(browser, checks, tool, folder):
    """Files that are not logs, then a log that did not run down: each named, none stops
    the page. The huge file is sparse: only its size is real."""
    with open(os.path.join(folder, "huge.mp4"), "wb") as f:
        f.truncate(50 << 20)
    open(os.path.join(folder, "empty.csv"), "w").close()
    with open(os.path.join(folder, "photo.png"), "wb") as f:
        f.write(bytes(random.Random(4).randrange(256) for _ in range(3000)))
    discharge(os.path.join(folder, "stopped.csv"), 2, 5, end=3800)

    if not checks.check(pick(browser, folder, ["huge.mp4", "empty.csv", "photo.png"]),
                        "no log: the page finished"):
        return
    _, errors, _, _ = command_line(tool, folder, ["empty.csv", "photo.png"])
    said = messages(browser)
    checks.check(len(said) > 0 and said[0].startswith("huge.mp4: 50.0 MB") and
                 said[0].endswith("left out"), "the huge file named as left out", repr(said))
    checks.equal(said[1:], errors, "no log: the other files named as by the tool")
    checks.equal(browser.evaluate(SIZE), [0, 0], "no log: the report frame's size")
    checks.check(browser.evaluate("document.getElementById('save-report').disabled"),
                 "no log: no report offered")

    checks.check(pick(browser, folder, ["stopped.csv"]), "a stopped log: the page reported it")
    _, errors, page, _ = command_line(tool, folder, ["stopped.csv"])
    checks.check(browser.evaluate(FRAME + ".srcdoc") == page.decode(),
                 "a stopped log: the page shown is the tool's page")
    checks.equal(messages(browser), errors, "a stopped log: the gauge's refusal named")
    checks.check(browser.evaluate("document.getElementById('save-gauge').disabled"),
                 "a stopped log: no gauge offered")


class Listener(http.server.BaseHTTPRequestHandler):
    """An http: address on this machine, which keeps the paths asked of it."""
    asked = []

    def do_GET(self):
        self.asked.append(self.path)
        self.send_response(404)
        self.end_headers()

    def log_message(self, *args):
        pass


def reached(browser, script, real):
    """What a script run in the page got through to: paths asked of the Listener, and the
    real file if it was read (relatime moves an access time older than the file's change)."""
    os.utime(real, (1000, time.time()))
    Listener.asked.clear()
    browser.evaluate(script)
    time.sleep(0.3)  # a fetch the frame's load did not wait for
    return Listener.asked + (["read " + real] if os.stat(real).st_atime != 1000 else [])


def content_policy(browser, checks, real, http, page_refuses_file):
    """An image and a fetch of the real file and of the Listener, from the report frame and
    from the page; none may get through."""
    os.utime(real, (1000, time.time()))
    open(real, "rb").read()
    checks.check(os.stat(real).st_atime != 1000, "a read shows in the file's access time")
    urls = ["file://" + real, http + "/frame"]
    probe = "".join('<img src="%s"><script>fetch("%s")</script>' % (u, u) for u in urls)
    checks.equal(reached(browser, INTO_FRAME % json.dumps(probe), real), [],
                 "from the report frame, %s" % urls)
    urls = ["file://" + real] * page_refuses_file + [http + "/page"]
    checks.equal(reached(browser, FROM_PAGE % json.dumps(urls), real), [],
                 "from the page, %s" % urls)


def main():
    engine, tool, page = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3]
    screenshot = sys.argv[4] if len(sys.argv) > 4 else None
    module, variable, page_refuses_file = ENGINES[engine]
    program = os.environ.get(variable, "")
    if not shutil.which(program):
        sys.exit("report page: no %s (%r); ./scripts/setup.sh test installs it" % (
            engine, program))
    driver = importlib.import_module(module)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Listener)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="report-page-test-") as folder:
        downloads = os.path.join(folder, "downloads")
        os.mkdir(downloads)
        with contextlib.closing(driver.Browser(downloads, program)) as browser:
            started = time.monotonic()
            browser.open(page)
            print("%s: page loaded in %.2f s" % (engine, time.monotonic() - started))
            browser.evaluate(WATCH)
            checks.equal(browser.evaluate(SIZE), [0, 0], "a fresh page: the report frame's size")
            three_logs(browser, checks, tool, folder, downloads, screenshot)
            bad_files(browser, checks, tool, folder)
            # Chromium's own log also holds what happened before WATCH ran.
            checks.equal(browser.evaluate("logged") + getattr(browser, "errors", list)(), [],
                         "what the page logged")
            content_policy(browser, checks, os.path.join(folder, "battery1.csv"),
                           "http://127.0.0.1:%d" % server.server_port, page_refuses_file)
    server.shutdown()
    if checks.failures:
        print("report page in %s: %d check(s) failed" % (engine, len(checks.failures)))
        sys.exit(1)
    print("report page in %s: passed" % engine)


if __name__ == "__main__":
    main()
