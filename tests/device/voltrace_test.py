"""voltrace on the emulated handheld, with its home on the card and /proc/jz as files in the
share: a whole logging session (help screen, START with the backlight and the first line, the
red band and the ticking clock, the keys that must do nothing, the second sample a minute
later, START again with the chart and its one screenshot); a second start on a home holding a
finished log (its chart and screenshot at start-up) and a hostile one (drawn without a crash),
under the guest's own current kernel; and a card that is full at START and then goes
read-only, each said on the logging screen, with the log kept whole.
"""
import os
import time

import rig

BODY = rig.shown(200, 200, 220)
HEADER = rig.shown(200, 200, 0)
BAND = rig.shown(150, 0, 0)
WHITE = (255, 255, 255)
BAND_REGION = (0, 226, 320, 13)  # the visible rows of the band, below the footer text's top
SLOT_LINE = (0, 222, 200, 17)
CLOCK = (240, 181, 70, 16)       # the elapsed time, right-aligned under the chart's end
# One text line of the help screen at each of its rows (text middle at y).
HELP_ROWS = (34, 50, 66, 90, 106, 122, 146)


def fbgrab_calls(log):
    """The screenshot tool's calls: lists of their arguments."""
    data = rig.read(log)
    if not data:
        return []
    fields = data.split("\0")[:-1]
    calls = []
    while fields:
        n = int(fields.pop(0))
        calls.append(fields[:n])
        del fields[:n]
    return calls


def help_shown(s):
    return all(s.count((10, y - 7, 150, 14), BODY, 0) > 20 for y in HELP_ROWS)


def band_shown(s):
    return s.count(BAND_REGION, BAND, 0) > 3000


def white(s, x, y):
    return s.at(x, y) == WHITE


def chart_and_png_agree(checks, what, data, capture, points):
    """The screenshot (its bytes, None when missing) is the frame shown, and that frame is a
    chart: the white vertical axis at column 31 and the given sample points."""
    if not checks.check(data is not None, what + ": a PNG on the card"):
        return
    try:
        png = rig.decode_png(data)
    except (rig.RigError, ValueError) as e:
        checks.check(False, what + ": the PNG decodes", str(e))
        return
    checks.equal((png.w, png.h), (320, 240), what + ": PNG size")
    checks.check(png.rgb == capture.rgb, what + ": the PNG holds the frame shown")
    checks.check(all(png.at(31, y) == WHITE for y in range(50, 180)),
                 what + ": the PNG shows the chart's axis at column 31, rows 50-179",
                 str(png.colours((31, 50, 1, 130))))
    for x, y in points:
        checks.check(white(png, x, y), "%s: the PNG shows a white point at (%d, %d)" % (
            what, x, y), str(png.at(x, y)))


def on_card(guest, rel):
    """A file on the card as text, or None."""
    data = guest.card_read(rel)
    return None if data is None else data.decode(errors="replace")


def logging_session(guest, checks):
    home = "v/home"
    jz, _ = guest.folder("v/jz")
    records, guest_records = guest.folder("v/records")
    csv, png, draft = home + "/battery0.csv", home + "/battery0.png", home + "/battery0.tmp"
    with open(jz + "/battery", "w") as f:
        f.write("3900\n")
    with open(jz + "/lcd_backlight", "w") as f:
        f.write("0\n")
    p = guest.start("voltrace", home=home, jz=jz,
                    env=["FBGRAB_LOG=%s/fbgrab.log" % guest_records])
    shots = lambda: fbgrab_calls(records + "/fbgrab.log")
    log = lambda: on_card(guest, csv)

    s, ok = guest.wait_screen(help_shown, 30)
    checks.check(ok, "help screen: a line of %s text at each of rows %s" % (BODY, HELP_ROWS),
                 str([s.count((10, y - 7, 150, 14), BODY, 0) for y in HELP_ROWS]))
    checks.region(s, "help screen footer, right-aligned at 310", (230, 222, 80, 16), BODY, 60, 0)
    checks.no_colour(s, "help screen: no band", BAND_REGION, BAND, 0)

    guest.press("START")
    checks.check(rig.wait_for(lambda: rig.read(jz + "/lcd_backlight") == "100\n", 10),
                 "START: backlight file holds 100", repr(rig.read(jz + "/lcd_backlight")))
    checks.check(rig.wait_for(lambda: log() == "0,3900\n", 10),
                 "START: the first log line at once", repr(log()))
    started = time.monotonic()
    s, ok = guest.wait_screen(lambda s: band_shown(s) and white(s, 32, 178), 10)
    checks.check(ok, "logging: band of %s over %s and the first point at (32, 178)" % (
        BAND, BAND_REGION), "band %s, point %s" % (s.colours(BAND_REGION), s.at(32, 178)))

    # The clock ticks from the timer thread; the exit and slot keys do nothing.
    before = guest.capture()
    for button in ("SELECT", "END", "LEFT", "RIGHT"):
        guest.press(button)
    time.sleep(1.5)
    after = guest.capture()
    checks.check(p.running(), "SELECT, END, LEFT, RIGHT while logging: still running",
                 "exit status %s" % p.status)
    checks.check(band_shown(after), "band still there after the keys", str(after.colours(
        BAND_REGION)))
    checks.check(after.same(before, SLOT_LINE), "slot line %s unchanged by the keys" % (
        SLOT_LINE,))
    checks.check(not after.same(before, CLOCK), "clock %s changes within 2 s" % (CLOCK,))
    checks.equal(shots(), [], "screenshots while logging")

    with open(jz + "/battery", "w") as f:
        f.write("3700\n")
    # The rebuild with the second point, now at the top left and at the right end, follows
    # the line at once. The card is read after it: each read costs the guest's one processor
    # and would delay the sampler's timer.
    s, ok = guest.wait_screen(lambda s: white(s, 32, 48) and white(s, 311, 178) and
                              band_shown(s), rig.SAMPLE_MINUTE -
                              (time.monotonic() - started))
    checks.check(ok, "a minute after START: points at (32, 48) and (311, 178)",
                 "%s, %s" % (s.at(32, 48), s.at(311, 178)))
    checks.equal(rig.by_minute(guest.card_read(csv)), b"0,3900\n60,3700\n",
                 "the log after the second sample")

    guest.press("START")
    checks.check(rig.wait_for(lambda: shots() and guest.card_read(png) is not None, 15),
                 "START again: a screenshot is taken", str(shots()))
    s, ok = guest.wait_screen(lambda s: not band_shown(s) and white(s, 32, 48), 5)
    checks.check(ok, "START again: the chart without the band", str(s.colours(BAND_REGION)))
    checks.equal(shots(), [[rig.CARD + "/" + draft]], "screenshot calls after the stop")
    chart_and_png_agree(checks, "stopped log", guest.card_read(png), s, [(32, 48), (311, 178)])

    # Away and back: the PNG is there, so no second screenshot.
    guest.press("RIGHT")
    time.sleep(0.5)
    guest.press("LEFT")
    time.sleep(1.5)
    checks.equal(shots(), [[rig.CARD + "/" + draft]], "screenshot calls after RIGHT and LEFT")
    checks.equal(rig.by_minute(guest.card_read(csv)), b"0,3900\n60,3700\n",
                 "log after the stop")
    guest.press("SELECT")
    checks.equal(p.wait(20), 0, "exit status after SELECT")


# Lines a power cut, a bad card or a stranger could leave: no fields, one field, signs, text,
# values past 32 bits, CR line ends, NUL bytes, a line of 100,000 digits, a cut last line.
HOSTILE_LOG = (b"\n" b"garbage\n" b"-5,-7\n" b"4294967296,99999999999\n" b"12,abc,7\n"
               b"60,3800\r\n" b"\0\0,\0\n" + b"9" * 100000 + b",1\n" b",\n" b"120,")


def start_up_screenshot(guest, checks):
    """Runs under the guest's own kernel, so that a current one stays covered too."""
    home = "w/home"
    records, guest_records = guest.folder("w/records")
    guest.card_write(home + "/battery0.csv", b"0,4200\n60,4100\n120,4000\n")
    guest.card_write(home + "/battery1.csv", HOSTILE_LOG)
    png0, png1 = home + "/battery0.png", home + "/battery1.png"
    p = guest.start("voltrace", name="voltrace-finished", home=home, old_kernel=False,
                    env=["FBGRAB_LOG=%s/fbgrab.log" % guest_records])
    shots = lambda: fbgrab_calls(records + "/fbgrab.log")

    checks.check(rig.wait_for(lambda: shots() and guest.card_read(png0) is not None, 30),
                 "finished log: a screenshot at start-up", str(shots()))
    s, ok = guest.wait_screen(lambda s: white(s, 32, 48), 5)
    checks.check(ok, "finished log: the chart's first point at (32, 48)", str(s.at(32, 48)))
    # The tool writes a draft beside the log, which becomes the picture once it is whole.
    draft0, draft1 = home + "/battery0.tmp", home + "/battery1.tmp"
    checks.equal(shots(), [[rig.CARD + "/" + draft0]], "screenshot calls at start-up")
    chart_and_png_agree(checks, "finished log", guest.card_read(png0), s, [(32, 48), (311, 178)])

    guest.press("RIGHT")
    both = [[rig.CARD + "/" + draft0], [rig.CARD + "/" + draft1]]
    checks.check(rig.wait_for(lambda: shots() == both and guest.card_read(png1) is not None,
                              30),
                 "hostile log: its chart drawn and its screenshot taken", str(shots()))
    time.sleep(0.5)
    checks.check(p.running(), "hostile log: voltrace still running", "exit status %s" % p.status)
    s = guest.capture()
    checks.region(s, "hostile log: the header", (10, 4, 60, 14), HEADER, 40, 0)
    checks.region(s, "hostile log: SELECT: Exit at the bottom right", (250, 222, 60, 16), BODY,
                  30, 0)
    guest.press("END")
    checks.equal(p.wait(20), 0, "exit status after END")


def main():
    checks = rig.Checks("device voltrace")
    with rig.Guest(programs=("voltrace",)) as guest:
        logging_session(guest, checks)
        start_up_screenshot(guest, checks)
    checks.finish()


if __name__ == "__main__":
    main()
