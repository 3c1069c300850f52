"""voltrace logging through a handheld's mishaps: the wall clock set back, the processor hogged
on a busy host, the card's file system gone and back. Each sample's second stays within 2 s of
the host's time; while the card is gone nothing is written and the screen says so; then the
samples go on in the same log."""
import os
import re
import signal
import time

import rig
from fullcard_test import words
from voltrace_test import help_shown

PLOT = (32, 40, 280, 140)  # the chart's points and the words across them
HOGS = "for i in 1 2; do yes >/dev/null & echo $! >>/tmp/h; done"


def main():
    checks = rig.Checks("device mishaps")
    with rig.Guest(programs=("voltrace",)) as guest:
        def arrival(pattern):
            """When the log first matches, seen in the guest's page cache: the sample's fsync
            may then stall for many seconds while the host's disk is busy."""
            deadline = time.monotonic() + rig.SAMPLE_MINUTE
            while time.monotonic() < deadline:
                seen = re.fullmatch(pattern, guest.card_read("battery0.csv") or b"")
                if seen:
                    return time.monotonic(), seen
                time.sleep(0.2)
            return time.monotonic(), None

        jz, _ = guest.folder("jz")
        level = lambda mv: open(jz + "/battery", "w").write("%d\n" % mv)
        level(3900)
        p = guest.start("voltrace", home="", jz=jz)
        guest.wait_screen(help_shown, 30)
        guest.press("START")
        first, _ = arrival(rb"0,3900\n")
        level(3800)
        checks.equal(guest.shell("date -s @$(($(date +%s) - 3600))"), 0, "date set back")
        when, seen = arrival(rb"0,3900\n(\d+),3800\n")
        checks.check(seen and abs(int(seen.group(1)) - (when - first)) <= 2, "date set back: the "
                     "second sample within 2 s of %.1f s" % (when - first), str(seen and seen[0]))

        # Hogs take the guest's processor while the host starves the emulator (stopped 1.5 s
        # of every 2, as a busy host does): the clock's ticks come late, the samples' minutes
        # must not. Then the card goes, in voltrace's namespace and the guest's.
        guest.shell(HOGS)
        for pause in (1.5, 0.5) * 15:
            os.kill(guest.proc.pid, signal.SIGSTOP if pause > 1 else signal.SIGCONT)
            time.sleep(pause)
        checks.equal(guest.shell("kill $(cat /tmp/h)", 60), 0, "the hogs ended")
        level(3700)
        before = guest.capture()
        checks.equal(guest.in_namespace(p, "umount -l " + rig.CARD) + guest.shell(
            "umount -l " + rig.CARD), 0, "card unmounted")
        s, _ = guest.wait_screen(lambda s: not s.same(before, PLOT), rig.SAMPLE_MINUTE)
        checks.check(words(s), "card gone: words across the chart", str(s.colours(PLOT)))
        checks.equal(guest.in_namespace(p, 'test -z "$(ls -A %s)"' % rig.CARD), 0,
                     "card gone: nothing written into the bare mount point")

        mount = "mount -t vfat /dev/vda " + rig.CARD
        checks.equal(guest.in_namespace(p, mount) + guest.shell(mount), 0, "card back")
        last, seen = arrival(rb"0,3900\n\d+,3800\n(\d+),3700\n")
        checks.check(seen and abs(int(seen.group(1)) - (last - first)) <= 2, "card back: the "
                     "sample in the same log, within 2 s of %.1f s" % (last - first),
                     str(seen and seen[0]))
        checks.check(seen and abs(int(seen.group(1)) - 180) <= 2, "card back: the sample at "
                     "its minute, within 2 s of 180 s, for all the lateness before it",
                     str(seen and seen[0]))
        lost = guest.clock_lost()
        checks.check(lost < 1, "the guest's clock kept the host's", "%.1f s lost" % lost)
        s, ok = guest.wait_screen(lambda s: not words(s), rig.SAMPLE_MINUTE)
        checks.check(ok, "card back: the words gone", str(s.colours(PLOT)))
        print("samples arrived %.1f and %.1f s after the first: %r" % (
            when - first, last - first, seen and seen[0]))
        checks.check(p.running(), "voltrace still logging", "status %s" % p.status)
    checks.finish()


if __name__ == "__main__":
    main()
