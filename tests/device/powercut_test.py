"""Power cuts while voltrace logs on the card: the emulator is killed (no shutdown, no sync) at
three moments: just after START, while the log is being created; between two samples; and as
soon as the screen shows the chart redrawn for the second sample. After each cut the host
checks the card: fsck finds nothing beyond the marks of any unclean stop, the log holds whole
sample lines only and every sample the screen had shown, and the next boot of voltrace on the
card shows the chart and takes exactly one screenshot of it. Prints when each cut came.
"""
import os
import re
import shutil
import tempfile
import time

import rig
from voltrace_test import band_shown, chart_and_png_agree, fbgrab_calls, help_shown, white

HOME = "home"
LOG, PNG = HOME + "/battery0.csv", HOME + "/battery0.png"
# Where the chart puts its points: one sample alone sits at the bottom left; of 3900 then
# 3700, the first is at the top left and the second at the bottom right.
POINTS = {0: [], 1: [(32, 178)], 2: [(32, 48), (311, 178)]}


def log_and_cut(guest, checks, moment):
    """Starts a log, cuts the power at the moment; returns the samples the screen had shown
    and when the cut came."""
    jz, _ = guest.folder("jz")
    with open(jz + "/battery", "w") as f:
        f.write("3900\n")
    with open(jz + "/lcd_backlight", "w") as f:
        f.write("0\n")
    guest.start("voltrace", home=HOME, jz=jz)
    guest.wait_screen(help_shown, 30)
    start = time.monotonic()
    guest.press("START", 0.05)
    if moment == "while the log is created":
        # The backlight command runs just before the first sample is taken; measured, the log
        # reaches the card 10 to 40 ms after the host sees the backlight's file change.
        rig.wait_for(lambda: rig.read(jz + "/lcd_backlight") == "100\n", 10, 0.001)
        time.sleep(0.01)
        guest.cut()
        return [], "%.3f s after START" % (time.monotonic() - start)
    _, ok = guest.wait_screen(lambda s: band_shown(s) and white(s, 32, 178), 10)
    checks.check(ok, "cut %s: the first sample shown within 10 s" % moment)
    first = time.monotonic()
    if moment == "between two samples":
        time.sleep(5)
        guest.cut()
        return ["0,3900"] if ok else [], "%.1f s after the first sample was shown" % (
            time.monotonic() - first)
    with open(jz + "/battery", "w") as f:
        f.write("3700\n")
    _, ok = guest.wait_screen(lambda s: white(s, 32, 48) and white(s, 311, 178),
                              rig.SAMPLE_MINUTE)
    checks.check(ok, "cut %s: the second sample shown" % moment)
    shown = time.monotonic()
    guest.cut()
    when = "%.3f s after the second sample's chart was seen, %.1f s after START" % (
        time.monotonic() - shown, time.monotonic() - start)
    return ["0,3900", "60,3700"] if ok else ["0,3900"], when


def boot_after_cut(card, checks, what, samples):
    """The next start of voltrace on the card: the chart of what the log holds and its one
    screenshot, or the help screen and none when the cut left no log."""
    with rig.Guest(programs=("voltrace",), card=card) as guest:
        records, guest_records = guest.folder("records")
        p = guest.start("voltrace", home=HOME, env=["FBGRAB_LOG=%s/fbgrab.log" % guest_records])
        shots = lambda: fbgrab_calls(records + "/fbgrab.log")
        if samples is None:
            s, ok = guest.wait_screen(help_shown, 30)
            checks.check(ok, what + ", next boot: no log, so the help screen")
        else:
            checks.check(rig.wait_for(lambda: shots() and guest.card_read(PNG) is not None, 30),
                         what + ", next boot: a screenshot at start-up", str(shots()))
            s = guest.capture()
            chart_and_png_agree(checks, what + ", next boot", guest.card_read(PNG), s,
                                POINTS.get(len(samples), []))
        guest.press("SELECT")
        checks.equal(p.wait(20), 0, what + ", next boot: exit status after SELECT")
        checks.equal(len(shots()), 0 if samples is None else 1, what + ", screenshots taken")
    pngs = [n for n in rig.Card(card).files(HOME) if n.endswith(".png")]
    checks.equal(pngs, [] if samples is None else ["battery0.png"], what + ", PNGs on the card")


def main():
    checks = rig.Checks("device power cuts")
    folder = tempfile.mkdtemp(prefix="device-cuts.")
    try:
        for moment in ("while the log is created", "between two samples",
                       "when the second sample is shown"):
            card = os.path.join(folder, "card.img")
            rig.make_card(card)
            with rig.Guest(programs=("voltrace",), card=card) as guest:
                shown, when = log_and_cut(guest, checks, moment)
            damage = rig.Card(card).damage()
            checks.check(not damage, "cut %s: fsck finds no damage" % moment, str(damage))
            data = rig.Card(card).read(LOG)
            samples = None
            if data is not None:
                text = data.decode(errors="replace")
                samples = rig.by_minute(data).decode(errors="replace").splitlines()
                checks.check(all(re.fullmatch(r"\d+,\d+", line) for line in samples) and
                             text.endswith("\n") or not text,
                             "cut %s: whole sample lines only" % moment, repr(text))
            missing = [line for line in shown if line not in (samples or [])]
            checks.check(not missing, "cut %s: the log holds every sample shown" % moment,
                         "missing %s" % missing)
            print("cut %s: %s; the log then held %r" % (moment, when, samples))
            boot_after_cut(card, checks, "cut " + moment, samples)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
