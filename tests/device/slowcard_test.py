"""voltrace on the device's old kernel with a card that stalls: the boot clock is refused and
the log keeps its minutes on the monotonic clock; while a sample's sync waits behind another
writer on a card limited to 4 KB/s, the clock on the screen moves and START stops the log at
once; the stalled sample lands as a whole line, and only then is the chart's picture taken.
"""
import re
import time

import rig
from voltrace_test import CLOCK, band_shown, chart_and_png_agree, fbgrab_calls, help_shown

LOG, PNG, DRAFT = "home/battery0.csv", "home/battery0.png", "home/battery0.tmp"
CLOCK_GETTIME = 4263  # o32: refused (EINVAL) for the clocks newer than the old kernel


def main():
    checks = rig.Checks("device slow card")
    with rig.Guest(programs=("voltrace",)) as guest:
        jz, _ = guest.folder("jz")
        records, inside = guest.folder("records")
        level = lambda mv: open(jz + "/battery", "w").write("%d\n" % mv)
        shots = lambda: fbgrab_calls(records + "/fbgrab.log")
        in_cache = lambda: guest.card_read(LOG) or b""  # written, maybe not yet synced
        on_card = lambda: rig.Card(guest.card).read(LOG)  # synced: in the host's image
        level(3900)
        p = guest.start("voltrace", home="home", jz=jz, clock_calls=True,
                        env=["FBGRAB_LOG=%s/fbgrab.log" % inside])
        guest.wait_screen(help_shown, 30)
        guest.press("START")
        checks.check(rig.wait_for(lambda: in_cache() == b"0,3900\n", 10, 0.2),
                     "START: the first line", repr(in_cache()))
        first = time.monotonic()
        level(3700)
        # Another writer's 96 KB go to the card at 4 KB/s from 12 s before the next sample.
        time.sleep(max(0, first + 48 - time.monotonic()))
        guest.throttle_card(4096)
        guest.shell("dd if=/dev/zero of=%s/other bs=4k count=24 conv=fsync 2>/dev/null &"
                    % rig.CARD)
        rig.wait_for(lambda: in_cache().count(b"\n") == 2, 40, 0.2)
        second = time.monotonic() - first
        seen = re.fullmatch(rb"0,3900\n(\d+),3700\n", in_cache())
        checks.check(seen and abs(int(seen[1]) - second) <= 2 and int(seen[1]) < 63,
                     "the sample at its minute, within 2 s of %.1f s" % second, str(seen))
        line = seen[0] if seen else b"?"
        lost = guest.clock_lost()
        checks.check(lost < 1, "the guest's clock kept the host's", "%.1f s lost" % lost)

        before = guest.capture()
        time.sleep(2)
        moved = not guest.capture().same(before, CLOCK)
        pressed = time.monotonic()
        guest.press("START")
        s, stopped = guest.wait_screen(lambda s: not band_shown(s), 2)
        took = time.monotonic() - pressed
        checks.check(on_card() == b"0,3900\n", "the sample's sync still stalled after the "
                     "clock's 2 s and START (else the card was too quick to tell)", repr(on_card()))
        checks.check(moved, "the clock %s moves in 2 s of the stalled sync" % (CLOCK,))
        checks.check(stopped, "START during the stalled sync: the band gone within 2 s",
                     str(s.colours((0, 226, 320, 13))))

        early = []  # the pictures seen begun while the line was not yet on the card

        def landed_yet():
            taken = shots()  # before the card is read: begun before that read
            if on_card() == line:
                return True
            early[:] = taken

        landed = rig.wait_for(landed_yet, 60, 0.2)
        stall = time.monotonic() - first - second
        checks.check(landed, "the stalled sample reaches the card, whole", repr(on_card()))
        checks.equal(early, [], "pictures begun before the stalled sample reached the card")
        guest.throttle_card(0)
        checks.check(rig.wait_for(lambda: guest.card_read(PNG) is not None, 30),
                     "the chart's picture once the sample landed", str(shots()))
        checks.equal(shots(), [[rig.CARD + "/" + DRAFT]], "the screenshot tool's calls")
        chart_and_png_agree(checks, "stopped log", guest.card_read(PNG), guest.capture(),
                            [(32, 48), (311, 178)])
        checks.equal(in_cache(), line, "the log after the stop")
        guest.press("SELECT")
        checks.equal(p.wait(20), 0, "exit status after SELECT")
        checks.check(CLOCK_GETTIME in p.refused, "the boot clock asked for and refused",
                     str(p.refused))
        print("second sample %s at %.1f s; its sync stalled %.1f s; START took %.1f s" % (
            line, second, stall, took))
    checks.finish()


if __name__ == "__main__":
    main()
