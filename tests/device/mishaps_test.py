"""voltrace logging through what befalls a handheld mid-discharge: the wall clock set back an
hour, a program hogging the processor, and the card's file system going away and coming back.
Each sample's second stays within 2 s of the time the host measures since the first sample was
shown; while the card is gone no sample lands anywhere and the logging screen says so; once the
card is back the samples go on into the same log.
"""
import re
import time

import rig
from fullcard_test import words
from voltrace_test import band_shown, help_shown, white

PLOT = (32, 40, 280, 140)  # the chart's points and the words across them
HOG = "nice -n -20 sh -c 'while :; do :; done' >/dev/null 2>&1 & echo $! >/tmp/hog"


def main():
    checks = rig.Checks("device mishaps")
    with rig.Guest(programs=("voltrace",)) as guest:
        jz, _ = guest.folder("jz")
        level = lambda mv: open(jz + "/battery", "w").write("%d\n" % mv)
        level(3900)
        p = guest.start("voltrace", home="", jz=jz)
        guest.wait_screen(help_shown, 30)
        guest.press("START")
        _, ok = guest.wait_screen(lambda s: band_shown(s) and white(s, 32, 178), 10)
        first = time.monotonic()
        checks.check(ok, "START: the first sample shown")
        checks.equal(guest.shell("date -s @$(($(date +%s) - 3600)) >/dev/null"), 0,
                     "the guest's date set back an hour")
        level(3800)
        _, ok = guest.wait_screen(lambda s: white(s, 32, 48) and white(s, 311, 178),
                                  rig.SAMPLE_MINUTE)
        second = time.monotonic() - first
        log = guest.card_read("battery0.csv") or b""
        seen = re.fullmatch(rb"0,3900\n(\d+),3800\n", log)
        checks.check(ok and seen and abs(int(seen.group(1)) - second) <= 2,
                     "date set back: the second sample's second within 2 s of %.1f s" % second,
                     repr(log))

        # A hog takes the processor for a while: the timer's ticks come late, and the
        # card's file system goes away (in voltrace's namespace and the guest's).
        guest.shell(HOG)
        time.sleep(35)
        guest.shell("kill $(cat /tmp/hog)", 60)
        level(3700)
        checks.equal(guest.in_namespace(p, "umount -l %s" % rig.CARD), 0, "card unmounted")
        checks.equal(guest.shell("umount -l %s" % rig.CARD), 0, "card unmounted outside")
        s, ok = guest.wait_screen(words, rig.SAMPLE_MINUTE)
        checks.check(ok, "card gone: words across the chart", str(s.colours((40, 116, 270, 15))))
        checks.equal(guest.in_namespace(p, 'test -z "$(ls -A %s)"' % rig.CARD), 0,
                     "card gone: nothing written into the bare mount point")

        mount = "mount -t vfat /dev/vda %s" % rig.CARD
        checks.equal(guest.in_namespace(p, mount), 0, "card back")
        checks.equal(guest.shell(mount), 0, "card back outside")
        before = guest.capture()
        s, ok = guest.wait_screen(lambda s: not s.same(before, PLOT), rig.SAMPLE_MINUTE)
        fourth = time.monotonic() - first
        checks.check(ok and not words(s), "card back: the next sample shown, the words gone")
        log = guest.card_read("battery0.csv") or b""
        seen = re.fullmatch(rb"0,3900\n\d+,3800\n(\d+),3700\n", log)
        checks.check(seen and abs(int(seen.group(1)) - fourth) <= 2,
                     "after the hog, card back: the sample in the same log, its second within "
                     "2 s of %.1f s" % fourth, repr(log))
        checks.check(fourth - 180 >= 3, "the hog made the ticks late", "%.1f s" % fourth)
        print("second sample after %.1f s; the one after the card came back after %.1f s, "
              "written %r" % (second, fourth, log))
        guest.press("START")
        guest.press("SELECT")
        checks.equal(p.wait(20), 0, "exit status after START and SELECT")
    checks.finish()


if __name__ == "__main__":
    main()
