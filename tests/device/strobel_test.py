"""strobel on the emulated handheld, read from the console keyboard: the grey square at start,
one-pixel moves and size steps, a held pair of buttons into two corners, the red-green-blue
flashing seen in captures with SELECT ignored meanwhile, and SELECT's exit with status 0.
strobel decides each press from the key state, so a single step is a press held shorter than
the 200 ms key-repeat delay.
"""
import time

import rig

GREY = rig.shown(200, 200, 200)
BODY = rig.shown(200, 200, 220)
FLASH = {"red": (255, 0, 0), "green": (0, 255, 0), "blue": (0, 0, 255)}
SINGLE = 0.1  # s: seen down by the press's handling, released before the repeat delay


def square_of(s, colour, x, y, size):
    """Exactly a solid size x size square of colour at (x, y), and no other pixel of it."""
    return s.box(colour, 0) == (x, y, x + size - 1, y + size - 1, size * size)


def describe(s, colour):
    left, top, right, bottom, n = s.box(colour, 0)
    if not n:
        return "no pixel of it"
    return "%d pixels in (%d, %d)-(%d, %d)" % (n, left, top, right, bottom)


def help_shown(s):
    return s.count((10, 222, 200, 16), BODY, 0) > 100


def start_text_shown(s):
    return s.count((250, 222, 60, 16), BODY, 0) > 30


def flash_colours_seen(guest, x, y, size, seconds=4):
    """The flash colours seen filling exactly the target square, and nothing around it,
    within some seconds. Only the square's surroundings are read, so captures come every few
    milliseconds, far more often than the 30 ms colours change."""
    seen = set()
    around = (x - 2, y - 2, size + 4, size + 4)
    deadline = time.monotonic() + seconds
    while len(seen) < 3 and time.monotonic() < deadline:
        s = guest.capture()
        seen.update(name for name, c in FLASH.items()
                    if s.count(around, c, 0) == size * size == s.count((x, y, size, size), c, 0))
    return seen


def main():
    checks = rig.Checks("device strobel")
    with rig.Guest(programs=("strobel",)) as guest:
        p = guest.start("strobel")

        s, ok = guest.wait_screen(lambda s: square_of(s, GREY, 156, 116, 8), 30)
        checks.check(ok, "8 x 8 square of %s at (156, 116) at start" % (GREY,), describe(s, GREY))
        checks.region(s, "help line at the bottom left", (10, 222, 200, 16), BODY, 100, 0)
        checks.region(s, "START: Start at the bottom right", (250, 222, 60, 16), BODY, 30, 0)

        x, y, size = 156, 116, 8
        for button, dx, dy, dsize in (("RIGHT", 1, 0, 0), ("DOWN", 0, 1, 0), ("LEFT", -1, 0, 0),
                                      ("UP", 0, -1, 0), ("R", 0, 0, 1), ("L", 0, 0, -1),
                                      ("L", 0, 0, -1)):
            guest.press(button, SINGLE)
            x, y, size = x + dx, y + dy, size + dsize
            s, ok = guest.wait_screen(lambda s: square_of(s, GREY, x, y, size), 5)
            checks.check(ok, "%s: %d x %d square at (%d, %d)" % (button, size, size, x, y),
                         describe(s, GREY))

        # Held together, two D-pad buttons repeat diagonally into a corner and stay there.
        for horizontal, vertical, cx, cy in (("LEFT", "UP", 0, 0),
                                             ("RIGHT", "DOWN", 320 - size, 240 - size)):
            guest.key_down(horizontal)
            guest.key_down(vertical)
            s, reached = guest.wait_screen(lambda s: square_of(s, GREY, cx, cy, size), 30)
            time.sleep(0.5)  # dozens more repeats against the edges
            guest.key_up(vertical)
            guest.key_up(horizontal)
            checks.check(reached, "%s+%s held: square reaches (%d, %d)" % (
                horizontal, vertical, cx, cy), describe(s, GREY))
            s, ok = guest.wait_screen(lambda s: square_of(s, GREY, cx, cy, size), 5)
            checks.check(ok, "%s+%s held past the edge: square stays at (%d, %d)" % (
                horizontal, vertical, cx, cy), describe(s, GREY))
        x, y = 320 - size, 240 - size

        guest.press("START", SINGLE)
        seen = flash_colours_seen(guest, x, y, size)
        checks.equal(sorted(seen), ["blue", "green", "red"], "flash colours filling the square")
        s, ok = guest.wait_screen(lambda s: not help_shown(s) and start_text_shown(s), 5)
        checks.check(ok, "while flashing only START: Stop in the footer",
                     "help line %s" % (s.colours((10, 222, 200, 16)),))

        # SELECT and the D-pad are ignored while flashing; their releases redraw.
        guest.press("SELECT", SINGLE)
        guest.press("LEFT", SINGLE)
        time.sleep(0.5)
        checks.check(p.running(), "SELECT while flashing leaves strobel running",
                     "exit status %s" % p.status)
        seen = flash_colours_seen(guest, x, y, size)
        checks.equal(sorted(seen), ["blue", "green", "red"],
                     "flash colours after SELECT and LEFT, square not moved")

        guest.press("START", SINGLE)
        s, ok = guest.wait_screen(lambda s: help_shown(s) and square_of(s, GREY, x, y, size), 5)
        checks.check(ok, "START again: grey square and help line", describe(s, GREY))
        guest.press("SELECT", SINGLE)
        checks.equal(p.wait(20), 0, "exit status after SELECT")
    checks.finish()


if __name__ == "__main__":
    main()
