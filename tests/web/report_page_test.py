"""voltrace-report.html in headless Chromium, held against the command-line tool on the same
logs: three discharges picked in the page give the tool's page byte for byte (shown and
saved), its table, one curve per log, its warnings and its gauge CSV; then a huge stray file,
an empty one, a non-log and a log that never ran down are each named, and the page still
reports the next logs it is given. Nothing is logged, and the page's policy refuses any
address outside it.

usage: report_page_test.py VOLTRACE_REPORT PAGE.html [SCREENSHOT.png]
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

import devtools

FRAME = "document.getElementById('report')"
# True once the page's content policy has refused to load an image from outside it (any
# address but the page's own data: would do; this one is never fetched when it works).
OUTSIDE_BLOCKED = """new Promise(done => {
    document.addEventListener('securitypolicyviolation', () => done(true));
    const image = new Image();
    image.onload = image.onerror = () => setTimeout(() => done(false), 500);
    image.src = 'file:///dev/null';
})"""
SHOWN = FRAME + ".contentDocument"


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
    """Picks the files in the page and waits until the run has finished."""
    browser.evaluate("document.getElementById('status').textContent = ''")
    browser.choose_files("#logs", [os.path.join(folder, n) for n in names])
    return browser.wait_for("/^(Report|No report)/.test("
                            "document.getElementById('status').textContent)")


def messages(browser):
    return browser.evaluate("[...document.querySelectorAll('#messages li')]"
                            ".map(li => li.textContent)")


def save(browser, button, downloads, name):
    """Clicks a save button; the bytes of the file the browser saved, or None."""
    path = os.path.join(downloads, name)
    if os.path.exists(path):
        os.remove(path)
    browser.evaluate("document.getElementById('%s').click()" % button)
    if browser.wait_download() != "completed" or not os.path.exists(path):
        return None
    return open(path, "rb").read()


def three_logs(browser, checks, tool, folder, downloads, screenshot):
    names = ["battery1.csv", "battery2.csv", "battery3.csv"]
    discharge(os.path.join(folder, names[0]), 10, 1, cut_short=True)
    discharge(os.path.join(folder, names[1]), 6, 2, hole=(7200, 9900))
    discharge(os.path.join(folder, names[2]), 4, 3, end=3300)
    table, errors, page, gauge = command_line(tool, folder, names)
    if not checks.check(page is not None and gauge is not None,
                        "the tool wrote its page and gauge", "\n".join(errors)):
        return
    if not checks.check(pick(browser, folder, names), "three logs: the page reported them"):
        return
    shown = browser.evaluate(FRAME + ".srcdoc")
    checks.check(shown == page.decode(), "three logs: the page shown is the tool's page")
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

    checks.check(save(browser, "save-report", downloads, "discharge-report.html") == page,
                 "three logs: the saved report is the tool's page")
    checks.equal(save(browser, "save-gauge", downloads, "gauge.csv"), gauge,
                 "three logs: the saved gauge against the tool's --gauge")
    if screenshot:
        height = browser.evaluate("document.documentElement.scrollHeight")
        browser.screenshot(screenshot, 1000, height)


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
    checks.check(browser.evaluate(FRAME + ".hidden && document.getElementById('save-report')"
                                  ".disabled"), "no log: no report shown or offered")

    checks.check(pick(browser, folder, ["stopped.csv"]), "a stopped log: the page reported it")
    _, errors, page, _ = command_line(tool, folder, ["stopped.csv"])
    checks.check(browser.evaluate(FRAME + ".srcdoc") == page.decode(),
                 "a stopped log: the page shown is the tool's page")
    checks.equal(messages(browser), errors, "a stopped log: the gauge's refusal named")
    checks.check(browser.evaluate("document.getElementById('save-gauge').disabled"),
                 "a stopped log: no gauge offered")


def main():
    tool, page = os.path.abspath(sys.argv[1]), sys.argv[2]
    screenshot = sys.argv[3] if len(sys.argv) > 3 else None
    chromium = os.environ.get("CHROMIUM", "chromium")
    if not shutil.which(chromium):
        sys.exit("report page: no Chromium (%s); ./scripts/setup.sh test installs it" % chromium)
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="report-page-test-") as folder, \
            devtools.Browser(chromium) as browser:
        downloads = os.path.join(folder, "downloads")
        os.mkdir(downloads)
        browser.downloads_to(downloads)
        browser.call("Log.enable")
        browser.open(page)
        three_logs(browser, checks, tool, folder, downloads, screenshot)
        bad_files(browser, checks, tool, folder)
        # A request the page's policy blocked, or a script error, is logged here.
        logged = [e["params"]["entry"]["text"] for e in browser.events("Log.entryAdded")]
        checks.equal(logged, [], "the browser's log")
        checks.check(browser.evaluate(OUTSIDE_BLOCKED), "the page's policy blocks a request")
    if checks.failures:
        print("report page: %d check(s) failed" % len(checks.failures))
        sys.exit(1)
    print("report page: passed")


if __name__ == "__main__":
    main()
