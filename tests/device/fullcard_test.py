"""voltrace on a card that is full at START and, a sample after room came back, goes read-only
(as Linux leaves a damaged FAT card): each lost sample is said in words across the chart of
the logging screen, every later sample is tried, and the log keeps whole lines only.
"""
import time

import rig
from voltrace_test import BODY, band_shown, help_shown, white

HOME = "home"
LOG = HOME + "/battery0.csv"
FIRST, SECOND = (40, 100, 270, 15), (40, 116, 270, 15)  # the two lines of the words


def words(s):
    """The width of the words' first line ("Card full:", ...) when both lines are shown,
    else 0. Their second line, "the last sample could not be written", spans some 195 px;
    a one-line notice across the middle ("No samples in this log yet", shown until the first
    sample has been tried) reaches into both regions too, but spans under 140."""
    second = [x for x, _, c in s.pixels(*SECOND) if c == BODY]
    if not second or max(second) - min(second) < 180:
        return 0
    xs = [x for x, _, c in s.pixels(*FIRST) if c == BODY]
    return max(xs) - min(xs) + 1 if xs else 0


def main():
    checks = rig.Checks("device full card")
    with rig.Guest(programs=("voltrace",)) as guest:
        jz, _ = guest.folder("jz")
        with open(jz + "/battery", "w") as f:
            f.write("3900\n")
        # Filled to the last cluster, as users' cards full of games are: big writes leave the
        # last few clusters of a page free, single clusters take those.
        guest.shell("mkdir -p {0}/{1} && dd if=/dev/zero of={0}/games bs=64k 2>/dev/null; "
                    "dd if=/dev/zero of={0}/saves bs=512 2>/dev/null; sync".format(
                        rig.CARD, HOME), 120)
        p = guest.start("voltrace", home=HOME, jz=jz)
        guest.wait_screen(help_shown, 30)
        guest.press("START")
        started = time.monotonic()
        s, ok = guest.wait_screen(lambda s: band_shown(s) and words(s), 10)
        full = words(s)
        checks.check(ok, "full at START: words across the chart (%s, %s)" % (FIRST, SECOND),
                     str(s.colours(SECOND)))
        log = guest.card_read(LOG)
        checks.check(log in (None, b""), "full at START: no partial line in the log", repr(log))

        # Room again: the next sample is written and the words go.
        guest.shell("rm %s/games %s/saves" % (rig.CARD, rig.CARD))
        s, ok = guest.wait_screen(lambda s: white(s, 32, 178) and not words(s),
                                  rig.SAMPLE_MINUTE - (time.monotonic() - started))
        checks.check(ok, "room again: the sample a minute after START shown, the words gone",
                     "point %s, words %d px wide" % (s.at(32, 178), words(s)))
        checks.equal(rig.by_minute(guest.card_read(LOG)), b"60,3900\n",
                     "room again: the log")

        guest.shell("mount -o remount,ro %s" % rig.CARD)
        s, ok = guest.wait_screen(lambda s: words(s), rig.SAMPLE_MINUTE)
        checks.check(ok, "read-only: words across the chart", str(s.colours(SECOND)))
        checks.check(words(s) > full, "read-only: other words than a full card's, wider",
                     "%d px, full %d px" % (words(s), full))
        checks.equal(rig.by_minute(guest.card_read(LOG)), b"60,3900\n",
                     "read-only: the log as it was")
        checks.check(p.running(), "read-only: voltrace still logging", "status %s" % p.status)

        guest.shell("mount -o remount,rw %s" % rig.CARD)
        guest.press("START")
        s, ok = guest.wait_screen(lambda s: not band_shown(s) and not words(s), 10)
        checks.check(ok, "START: the chart without band or words", str(s.colours(SECOND)))
        guest.press("SELECT")
        checks.equal(p.wait(20), 0, "exit status after SELECT")
    checks.finish()


if __name__ == "__main__":
    main()
