#!/usr/bin/env python3
"""The device's own cost: runs the device build (with its symbols) under qemu-mipsel as a
MIPS32 release-1 core with the insn_count plugin, and prints instructions counted, not time.
Start at main; each measure_* function is one program.

Usage: device_cost.py INSN_COUNT_SO DEVICE_BUILD_DIR

The counts do not move with the machine's load: a window counts only the instructions of the
thread that opened it, and the figures are per call or per turn of a loop, never per second.
"""
import collections
import os
import re
import subprocess
import sys
import tempfile

# The emulated handheld's rig knows the device runtime's system call names.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "device"))
from rig import call_names  # noqa: E402

# The functions that bound each window, as the symbol table spells them.
PAINT = "_Z5paintP11SDL_Surface"
RENDER_LABEL = "TTF_RenderText_Blended"  # framepace: once the first window has closed
DRAW_CHART = "_Z9drawChart"  # the start of its mangled name, whatever its arguments
COUNTED_PAUSE = "_ZL12countedPausev"  # strobel_flashes: entered once per flash period

# The line rule and the reader that feeds it (voltrace/logfile.cpp), as the symbols name them
# (parseField may be specialised); the C library's read and memmove beneath them are left out.
LINE_RULE = ("_Z10readSampleP9LogReaderPjS1_", "_Z11parseSamplePKcjiPjS1_",
             "_ZL10parseFieldPKcPj.constprop.0", "_ZL10parseFieldPKcPj", "_ZL8readMoreP9LogReader")
SCREEN_STORES = 320 * 240 // 2  # paint's limit: one 32-bit store per two pixels
FRAMES = 300                    # framepace frames counted, in its first second
DAY_LOG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "fuzz",
                       "seeds", "day-log")


def count(plugin, program, work, plugin_args):
    """Runs program under the plugin; returns ({function: (entries, insns)}, Counter of
    window sizes, {system call number: calls in the windows}, windows counted). Its standard
    output and error are left in work as "output" and "errors"."""
    symbols = os.path.join(work, "symbols")
    with open(symbols, "w") as out:
        subprocess.run(["mipsel-linux-gnu-nm", "-S", program], stdout=out, check=True)
    report = os.path.join(work, "report")
    args = ",".join([plugin, "syms=" + symbols, "out=" + report] + plugin_args)
    # The same home path in every run: voltrace draws it (its glyphs) before the chart, and
    # a glyph already drawn costs less the next time.
    env = dict(os.environ, SDL_VIDEODRIVER="dummy", HOME="home",
               PATH=os.path.join(work, "tools") + ":" + os.environ["PATH"])
    with open(os.path.join(work, "output"), "w") as output, \
            open(os.path.join(work, "errors"), "w") as errors:
        run = subprocess.Popen(["qemu-mipsel", "-cpu", "4Kc", "-plugin", args, program],
                               env=env, cwd=work, stdout=output, stderr=errors)
        try:
            run.wait(timeout=120)
        except subprocess.TimeoutExpired:
            run.terminate()  # the plugin still writes its report
            run.wait()
    if not os.path.exists(report):
        sys.exit("%s under the counting plugin left no report" % program)
    functions, windows, calls, counted = {}, collections.Counter(), {}, 0
    with open(report) as lines:
        for line in lines:
            kind, *fields = line.split()
            if kind == "function":
                functions[fields[0]] = (int(fields[1]), int(fields[2]))
            elif kind == "window":
                windows[int(fields[0])] += int(fields[1])
            elif kind == "call":
                calls[int(fields[0])] = int(fields[1])
            elif kind == "windows":
                counted = int(fields[0])
    return functions, windows, calls, counted


def symbol(program, prefix):
    """The one function whose mangled name starts with prefix."""
    names = subprocess.run(["mipsel-linux-gnu-nm", program], capture_output=True, text=True,
                           check=True).stdout.split()
    found = sorted(set(name for name in names if name.startswith(prefix)))
    if len(found) != 1:
        sys.exit("expected one function named %s..., found %s" % (prefix, found))
    return found[0]


def return_address(program, function):
    """The address right after the one call of function (past the delay slot): where the
    caller goes on once function has returned."""
    disassembly = subprocess.run(["mipsel-linux-gnu-objdump", "-d", program],
                                 capture_output=True, text=True, check=True).stdout
    calls = re.findall(r"^\s*([0-9a-f]+):\s+\S+\s+(?:jal|bal)\s+[0-9a-f]+ <%s>" % function,
                       disassembly, re.M)
    if len(calls) != 1:
        sys.exit("expected one call of %s, found %d" % (function, len(calls)))
    return "0x%x" % (int(calls[0], 16) + 8)


def most_common(windows):
    if not windows:
        sys.exit("no window was counted: the program never reached it")
    size, _ = windows.most_common(1)[0]
    return size


def measure_framepace(plugin, build, work):
    # A window is one turn of the frame loop, from one paint to the next: first until the
    # label is made, a second after start, then in a second run only once it exists. That
    # run is framepace's own loop given the emulated handheld's frame buffer timing
    # (bench/device/framepace_frames), so the label shows all three lines: the rate, the
    # worst and late frames, and the refresh's verdict. The label's cost follows its width,
    # that is the digits of the rate and of the frames a refresh, and so this machine's speed
    # under qemu: the note names the texts. The first frame of each phase of the pattern
    # blends a changed line; later ones copy that blend, so the note gives the largest frame
    # too. A labelled frame's system calls are counted too: on the device's kernel each is
    # work of the kernel's beyond these counts, and each clock read is two of them there
    # (clock_gettime64 refused, then clock_gettime), where qemu gives the first.
    program = os.path.join(build, "framepace", "framepace")
    functions, windows, _, _ = count(plugin, program, work,
                                     ["from=" + PAINT, "until=" + RENDER_LABEL,
                                      "stop=%d" % FRAMES])
    paints, insns = functions[PAINT]
    paint = insns / paints
    frame = most_common(windows)
    _, windows, calls, counted = count(
        plugin, os.path.join(build, "bench", "device", "framepace_frames"), work,
        ["from=" + PAINT, "after=" + RENDER_LABEL, "stop=%d" % FRAMES])
    labelled = most_common(windows)
    with open(os.path.join(work, "output")) as output:
        text = output.readline().strip()
    with open(os.path.join(work, "errors")) as errors:
        verdict = re.search(r"fb [^\n]*", errors.read())
    names = call_names()
    made = ", ".join("%s %.2f" % (names.get(number, str(number)), times / counted)
                     for number, times in sorted(calls.items())) if counted else "none"
    return [("framepace", "one frame (paint, flip, events)", frame,
             "paint and the rest %d; before the label" % (frame - round(paint))),
            ("framepace", "one labelled frame, three lines", labelled,
             "first rate \"%s\", the run's \"%s\"; %d more; limit 115,000; the largest %s, "
             "%d of %d frames" % (text, verdict.group(0) if verdict else "no refresh line",
                                  labelled - frame, format(max(windows), ","),
                                  windows[max(windows)], sum(windows.values()))),
            ("framepace", "system calls, one labelled frame",
             sum(calls.values()) // max(counted, 1), made + " (per frame)"),
            ("framepace", "paint, one call (320 x 240)", round(paint),
             "%.2f per 32-bit store; limit 2.9 per store, 1 store per 2 pixels (%d stores)" %
             (paint / SCREEN_STORES, SCREEN_STORES))]


def measure_voltrace(plugin, build, work):
    # Start-up draws the chart once: a window opens as the main thread enters drawChart and
    # closes where the call returns, so start-up, the screenshot and idling stay outside. A
    # second run opens the window at main instead: start-up and the first chart, the figure
    # a user waits through before the chart shows.
    program = os.path.join(build, "voltrace", "voltrace")
    home = os.path.join(work, "home")
    with open(DAY_LOG, "rb") as log, open(os.path.join(home, "battery0.csv"), "wb") as out:
        out.write(log.read())
    lines = open(DAY_LOG, "rb").read().count(b"\n")
    draw_chart = symbol(program, DRAW_CHART)
    after_chart = return_address(program, draw_chart)
    functions, windows, _, _ = count(plugin, program, work,
                                     ["from=" + draw_chart, "to=" + after_chart, "stop=1"])
    chart = most_common(windows)
    parse = sum(functions.get(name, (0, 0))[1] for name in LINE_RULE)
    _, windows, _, _ = count(plugin, program, work, ["from=main", "to=" + after_chart, "stop=1"])
    return [("voltrace", "one chart of a day's log (%d lines)" % lines, chart,
             "drawChart from its entry to its return, first chart after start-up; reading "
             "and parsing %d a line a pass" % round(parse / (2 * lines))),
            ("voltrace", "start-up and that chart", most_common(windows),
             "main from its entry to the chart's return; limit 8,000,000")]


def measure_strobel(plugin, build, work):
    _, windows, _, _ = count(plugin, os.path.join(build, "bench", "device", "strobel_flashes"),
                             work, ["from=" + COUNTED_PAUSE])
    sizes = sorted(windows)
    spread = "" if len(sizes) == 1 else "; %d to %d by colour" % (sizes[0], sizes[-1])
    return [("strobel", "one flash, 240 x 240 square", most_common(windows),
             "fill, flip, pause, over %d flashes%s" % (sum(windows.values()), spread))]


def main():
    plugin, build = (os.path.abspath(path) for path in sys.argv[1:3])
    rows = []
    for measure in (measure_framepace, measure_voltrace, measure_strobel):
        with tempfile.TemporaryDirectory() as work:
            os.mkdir(os.path.join(work, "home"))
            # Stand-ins for the device's own tools, which voltrace and strobel start.
            tools = os.path.join(work, "tools")
            os.mkdir(tools)
            for name, status in (("fbgrab", 1), ("sync", 0)):
                with open(os.path.join(tools, name), "w") as script:
                    script.write("#!/bin/sh\nexit %d\n" % status)
                os.chmod(os.path.join(tools, name), 0o755)
            rows += measure(plugin, build, work)
    print("instructions executed on a MIPS32 release-1 core (qemu-mipsel -cpu 4Kc), "
          "device build")
    for program, what, insns, note in rows:
        print("%-10s %-40s %11s  %s" % (program, what, format(insns, ","), note))


if __name__ == "__main__":
    main()
