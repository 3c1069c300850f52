"""The frame of voltrace and strobel on the emulated handheld: the title on standard output (a
file, as in the launcher's log), the crisp header on the 320 x 240 frame buffer, and the
signal number as exit status after SIGTERM and SIGINT, sent while the program's second thread
is busy (voltrace logging, strobel flashing) on the one emulated core.

On the frame buffer the one source of SDL_QUIT is SDL's own SIGINT and SIGTERM handler; a
program that let SDL take the signals would ignore the quit and keep running, which the exit
checks here catch.
"""
import signal
import time

import rig

HEADER = rig.shown(200, 200, 0)
BLACK = (0, 0, 0)


def header_shown(s):
    """Yellow text in the title's place at the top left and the brand's right-aligned at 310."""
    return (s.count((10, 4, 60, 14), HEADER, 0) > 40 and
            s.count((268, 4, 42, 14), HEADER, 0) > 30)


def flashing(s):
    """strobel's square at (156, 116) in one of its flash colours."""
    return any(s.count((156, 116, 8, 8), c, 0) == 64 for c in
               ((255, 0, 0), (0, 255, 0), (0, 0, 255)))


def main():
    checks = rig.Checks("device frame")
    with rig.Guest(programs=("voltrace", "strobel")) as guest:
        for program, title in (("voltrace", "VOLTRACE"), ("strobel", "STROBEL")):
            for sig in (signal.SIGTERM, signal.SIGINT):
                run = "%s-%s" % (program, sig.name)
                home = run + "-home"
                jz, _ = guest.folder(run + "-jz")
                with open(jz + "/battery", "w") as f:
                    f.write("3900\n")
                p = guest.start(program, name=run, home=home, jz=jz)
                s, ok = guest.wait_screen(header_shown, 30)
                checks.check(ok, "%s: header at (10, 4) and right-aligned at 310 in %s" % (
                    run, HEADER), "title %s, brand %s" % (
                    s.colours((10, 4, 60, 14)), s.colours((268, 4, 42, 14))))
                checks.equal((s.w, s.h), (320, 240), run + ": frame buffer size")
                checks.no_colour(s, run + ": header band right of the brand", (311, 0, 9, 20),
                                 HEADER)
                # Crisp: every pixel of the header band is either black or exactly the
                # header colour, no blended edge.
                stray = [(x, y, c) for x, y, c in s.pixels(0, 4, 320, 14) if c not in
                         (BLACK, HEADER)]
                checks.check(not stray, "%s: header band (0, 4, 320, 14) only %s and black" % (
                    run, HEADER), "%d other pixels, first %s" % (len(stray), stray[:3]))

                guest.press("START", 0.1)
                if program == "voltrace":
                    busy = rig.wait_for(lambda: guest.card_read(home + "/battery0.csv"), 10)
                else:
                    busy = guest.wait_screen(flashing, 10)[1]
                checks.check(busy, run + ": START began " + (
                    "logging" if program == "voltrace" else "flashing"))
                time.sleep(1)
                p.signal(sig)
                status = p.wait(20)
                checks.equal(status, int(sig), "%s: exit status after %s" % (run, sig.name))
                checks.check(p.output.startswith(title + "\n"),
                             "%s: standard output begins with %r" % (run, title + "\n"),
                             repr(p.output))
    checks.finish()


if __name__ == "__main__":
    main()
