"""framepace on the emulated handheld's double-buffered frame buffer: the exact 565 pattern of
the frame shown, one rate line a second, the black rate label with the frames and refresh
lines under it, SELECT's exit with status 0 and the run's summary on standard error, whose
refresh is the frame buffer's 75.1 Hz and whose verdict is "not paced" (there is no vertical
blank to wait for), and a quit event (on the frame buffer SDL makes SIGTERM one) ending it
with 0 as well. Prints whether SDL flips pages there, the rate the emulator gives and the
summary.
"""
import re
import signal
import time

import rig

LABEL = (0, 0, 80, 18)  # where the rate text (point size 10) is drawn at (0, 0)
LINES = [("frames", (0, 17, 320, 17)), ("refresh", (0, 34, 320, 17))]  # the two under it
RATE_LINES = re.compile(r"(\d+\.\d\dfps\n)+")
VERDICT = re.compile(r"fb (\d+\.\d) Hz: not paced, ~\d+ frames a refresh\n")


def pattern_faults(s):
    """Differences from the pattern below the label, as (x, y, seen, why). Every pixel is an
    exact 565 value with red at its maximum and blue y mod 32; green is (step + x) mod 64 for
    one step, or the next one where a frame being painted shows through (within one step)."""
    faults = []
    steps = set()
    for x, y, (r, g, b) in s.pixels(0, 51, 320, 240 - 51):
        r5, g6, b5 = r >> 3, g >> 2, b >> 3
        if (r, g, b) != rig.shown(r5 << 3, g6 << 2, b5 << 3):
            faults.append((x, y, (r, g, b), "not a 565 value"))
        elif r5 != 31 or b5 != y % 32:
            faults.append((x, y, (r, g, b), "red should be 31, blue %d" % (y % 32)))
        else:
            steps.add((g6 - x) % 64)
        if len(faults) > 5:
            break
    if len(steps) > 2 or (len(steps) == 2 and max(steps) - min(steps) not in (1, 63)):
        faults.append((None, None, None, "green ramp offsets %s, more than one step" %
                       sorted(steps)))
    return faults


def fb_state(guest):
    """The frame buffer's virtual size and panning offset, as sysfs shows them."""
    guest.shell("cat /sys/class/graphics/fb0/virtual_size /sys/class/graphics/fb0/pan "
                ">/mnt/share/fb-state")
    with open(guest.share + "/fb-state") as f:
        return f.read().split()


def main():
    checks = rig.Checks("device framepace")
    with rig.Guest(programs=("framepace",)) as guest:
        p = guest.start("framepace")
        ok = rig.wait_for(lambda: p.output.count("\n") >= 1, 30)
        checks.check(ok, "a rate line within 30 s", repr(p.output))
        first = time.monotonic()
        lines = p.output.count("\n")
        time.sleep(4)
        lines = p.output.count("\n") - lines
        checks.check(3 <= lines <= 5, "one rate line a second: 3 to 5 in 4 s", str(lines))

        s = guest.capture()
        faults = pattern_faults(s)
        checks.check(not faults, "pattern below the label's lines, rows 51-239",
                     "; ".join("%s at (%s, %s) is %s" % (why, x, y, c) for x, y, c, why in
                               faults[:5]))
        checks.region(s, "black rate label at the top left", LABEL, (0, 0, 0), 40, 0)
        checks.no_colour(s, "right of the label", (100, 0, 220, LABEL[3]), (0, 0, 0), 0)
        for name, region in LINES:
            checks.region(s, "black %s line under the rate" % name, region, (0, 0, 0), 40, 0)

        # Page flips show as a virtual height of two screens and a panning offset that moves.
        size, pans = None, set()
        for _ in range(10):
            size, pan = fb_state(guest)
            pans.add(pan)
        print("frame buffer virtual size %s, panning offsets seen %s" % (size, sorted(pans)))

        guest.press("SELECT")
        checks.equal(p.wait(20), 0, "exit status after SELECT")
        out = p.output
        checks.check(RATE_LINES.fullmatch(out) is not None,
                     "standard output only rate lines like 60.00fps", repr(out[-200:]))
        rates = [float(v) for v in re.findall(r"(\d+\.\d\d)fps", out)]
        if rates:
            print("rate on the emulator: %.2f to %.2f fps (last %.2f), %.0f s of running" % (
                min(rates), max(rates), rates[-1], time.monotonic() - first))
        summary = rig.read(p.folder + "/err") or ""
        print("summary: " + summary.strip())
        verdict = VERDICT.search(summary)
        checks.check(verdict and verdict.group(1) == "75.1", "standard error's summary ends "
                     "\"fb 75.1 Hz: not paced, ~N frames a refresh\"", repr(summary[-200:]))

        p = guest.start("framepace", name="framepace-quit")
        rig.wait_for(lambda: p.output.count("\n") >= 1, 30)
        p.signal(signal.SIGTERM)
        checks.equal(p.wait(20), 0, "exit status after SIGTERM, SDL's quit event")
    checks.finish()


if __name__ == "__main__":
    main()
