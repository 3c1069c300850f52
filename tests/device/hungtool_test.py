"""voltrace and the handheld it leaves behind, with a screenshot tool and a card that hang: the
tool starts with no signal blocked; SIGTERM to voltrace's process group while the tool hangs
ends voltrace at once with the signal's status, ends the tool with all it started, and leaves
no picture, not even after the tool would have saved one; SIGTERM while a stalled card holds
up the quit ends voltrace by the exit that skips SDL; the next start draws and leaves on
SELECT; after each exit the console's VT, display mode and keyboard mode are as they were.
Also prints how long the device's screenshot tool and the sync after it take here.
"""
import os
import re
import shutil
import signal
import time

import rig
from voltrace_test import fbgrab_calls, white

HOME = "home"
PNG, DRAFT = HOME + "/battery0.png", HOME + "/battery0.tmp"
CONSOLE = "1 0 3"  # VT 1, KD_TEXT, K_UNICODE: the console a launcher works in
OURS = ("voltrace", "oldkernel", "/tmp/hung", "sleep 60")  # in our processes' command lines


def main():
    checks = rig.Checks("device hung tool")
    with rig.Guest(programs=("voltrace",)) as guest:
        records, inside = guest.folder("records")
        record = lambda name: rig.read(os.path.join(records, name)) or ""
        shots = lambda: fbgrab_calls(records + "/fbgrab.log")
        shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "hang.sh"), records)
        guest.shell("mkdir /tmp/hung && cp %s/hang.sh /tmp/hung/fbgrab && chmod +x /tmp/hung/*"
                    % inside)

        def console(when):
            guest.shell("consolestate >%s/console" % inside)
            checks.equal(record("console").strip(), CONSOLE,
                         "the console's VT, display mode and keyboard mode " + when)

        def ours():
            guest.shell("ps -o pid,pgid,args >%s/ps" % inside)
            return [l.strip() for l in record("ps").splitlines() if any(w in l for w in OURS)]

        def start(name, path="/bin"):
            return guest.start("voltrace", name=name, home=HOME, env=[
                "PATH=" + path, "HANG_RECORDS=" + inside, "FBGRAB_LOG=%s/fbgrab.log" % inside])

        guest.shell("for i in 1 2 3 4 5; do time fbgrab %s/shot.png; time sync; done 2>%s/times"
                    % (rig.CARD, inside))
        took = [float(t) for t in re.findall(r"real\s+0m ([\d.]+)s", record("times"))]
        print("fbgrab of a 320x240 frame: %s s; the sync after it: %s s" % (took[::2], took[1::2]))
        guest.card_write(HOME + "/battery0.csv", b"0,4200\n60,4100\n120,4000\n")
        console("before voltrace")

        # A finished log in slot 0: its picture is taken at start-up, and the tool hangs.
        p = start("hung", "/tmp/hung:/bin")
        checks.check(rig.wait_for(lambda: "SigIgn" in record("fbgrab"), 30),
                     "the screenshot tool started at start-up", record("fbgrab"))
        hung_at = time.monotonic()
        sig = dict(re.findall(r"(Sig\w+):\s*(\w+)", record("fbgrab")))
        checks.equal(int(sig.get("SigBlk", "-1"), 16), 0, "the screenshot tool's SigBlk")
        checks.equal(int(sig.get("SigIgn", "-1"), 16) & 0x4002, 0,
                     "the screenshot tool's SigIgn of SIGINT and SIGTERM (0x4002)")
        running = ours()
        checks.check(any("sleep 60" in l for l in running), "the tool still hangs", str(running))
        p.signal_group(signal.SIGTERM)
        sent = time.monotonic()
        checks.equal(p.wait(5), 15, "SIGTERM while the tool hangs: exit status within 5 s")
        print("SIGTERM while the tool hangs (%s): status %s after %.1f s" % (
            sig, p.status, time.monotonic() - sent))
        checks.check(rig.wait_for(lambda: not ours(), 5), "SIGTERM while the tool hangs: "
                     "none left of %s" % running, str(ours()))
        console("after SIGTERM while the tool hangs")
        time.sleep(max(0, hung_at + 65 - time.monotonic()))
        left = [f for f in (PNG, DRAFT, DRAFT + ".partial") if guest.card_read(f) is not None]
        checks.equal(left, [], "past the minute the tool hung: picture or draft on the card")

        # The quit's sync waits for a quarter of a megabyte at 4 KB/s: the exit without the
        # main thread gives the console back while it waits.
        p = start("stalled")
        checks.check(rig.wait_for(lambda: guest.card_read(PNG) is not None, 30),
                     "the next start saves the chart's picture")
        guest.throttle_card(4096)
        guest.shell("dd if=/dev/zero of=%s/other bs=4k count=64 2>/dev/null" % rig.CARD)
        p.signal_group(signal.SIGTERM)
        time.sleep(20)
        checks.check(p.running(), "20 s after SIGTERM on a stalled card: still in its sync")
        console("20 s after SIGTERM on a stalled card")
        guest.throttle_card(0)
        checks.equal(p.wait(30), 15, "SIGTERM on a stalled card, then the card freed: status")
        checks.check(rig.wait_for(lambda: not ours(), 5), "SIGTERM on a stalled card: no "
                     "process of ours left", str(ours()))

        # On a blank frame buffer, so that the chart is seen drawn anew.
        guest.shell("dd if=/dev/zero of=/dev/fb0 bs=640 count=240 2>/dev/null")
        p = start("working")
        s, ok = guest.wait_screen(lambda s: white(s, 32, 48), 30)
        checks.check(ok, "the next start draws the chart: a white point at (32, 48)",
                     str(s.at(32, 48)))
        guest.press("SELECT")
        checks.equal(p.wait(20), 0, "the next start: exit status after SELECT")
        console("after SELECT")
        checks.equal(shots(), [[rig.CARD + "/" + DRAFT]], "the real tool's calls (the hung one "
                     "never got to it)")
    checks.finish()


if __name__ == "__main__":
    main()
