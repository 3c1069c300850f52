#!/usr/bin/python3
"""Build the Vantiro Pixel TrueType font from its bitmap source.

    make_font.py glyphs.txt rwfont.ttf           write the font
    make_font.py --check glyphs.txt rwfont.ttf   exit 1 if the font is stale

Every source pixel becomes a 125-unit square on a 1000-unit em, so at
8 ppem (SDL_ttf point size 8) each pixel lands exactly on one device
pixel and the rasteriser has nothing to smooth: text comes out crisp
without any hinting program in the font.

The output depends on nothing but the source file, so the committed font
can be compared byte for byte with a fresh build.

Needs fontTools; on Debian that is python3-fonttools for /usr/bin/python3.
"""

import argparse
import io
import sys

from fontTools.agl import UV2AGL
from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

FAMILY = "Vantiro Pixel"
STYLE = "Regular"
VERSION = "Version 1.000"
PS_NAME = "VantiroPixel-Regular"

UNITS_PER_EM = 1000
PIXEL = 125
# Line metrics are fixed rather than derived from the drawings so that a
# glyph edit can never move every line of text in every program.
ASCENT = 1375       # 11 px at 8 ppem: cap height plus room above it
DESCENT = -250      # 2 px: the deepest descender the source allows
CAP_HEIGHT = 875
X_HEIGHT = 625
SPACE_ADVANCE = 4   # pixels

# 1970-01-01 in head's 1904-based seconds. Zero would be legal too, but
# fontTools and other readers take such a small value for a Unix time and warn.
FIXED_DATE = 2082844800

FIRST_CODE = 0x20
LAST_CODE = 0x7E


class SourceError(Exception):
    pass


def glyph_name(code):
    # AGL names keep the post table readable for anyone who opens the font
    # in an editor; every printable ASCII code has one.
    return UV2AGL[code]


def parse_source(text, filename="glyphs.txt"):
    """Return (settings, glyphs): glyphs maps code or None (.notdef) to rows."""
    settings = {}
    glyphs = {}
    current = None      # (key, header line number, rows)

    def where(lineno):
        return "%s:%d" % (filename, lineno)

    def finish():
        if current is None:
            return
        key, lineno, rows = current
        if len(rows) != settings["rows"]:
            raise SourceError("%s: glyph has %d rows, expected %d"
                              % (where(lineno), len(rows), settings["rows"]))
        glyphs[key] = rows

    for lineno, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("//"):
            continue
        words = line.split()
        if words[0] in ("rows", "baseline", "advance"):
            if current is not None:
                raise SourceError("%s: '%s' must come before the first glyph"
                                  % (where(lineno), words[0]))
            if len(words) != 2 or not words[1].isdigit():
                raise SourceError("%s: expected '%s N'" % (where(lineno), words[0]))
            settings[words[0]] = int(words[1])
            continue
        if words[0] in ("char", "notdef"):
            missing = [k for k in ("rows", "baseline", "advance") if k not in settings]
            if missing:
                raise SourceError("%s: missing %s before the first glyph"
                                  % (where(lineno), ", ".join(missing)))
            finish()
            if words[0] == "notdef":
                key = None
            else:
                try:
                    key = int(words[1], 16)
                except (IndexError, ValueError):
                    raise SourceError("%s: expected 'char 0xNN C'" % where(lineno))
                if not FIRST_CODE <= key <= LAST_CODE:
                    raise SourceError("%s: code 0x%X is not printable ASCII"
                                      % (where(lineno), key))
                # The label is there for the reader; a wrong one means the
                # drawing below it is probably filed under the wrong code.
                label = line.split(None, 2)[2] if len(words) > 2 else ""
                expected = "space" if key == 0x20 else chr(key)
                if label != expected:
                    raise SourceError("%s: code 0x%02X is labelled %r, expected %r"
                                      % (where(lineno), key, label, expected))
            if key in glyphs:
                raise SourceError("%s: %s drawn twice" % (
                    where(lineno), "notdef" if key is None else "0x%02X" % key))
            current = (key, lineno, [])
            continue
        if current is None:
            raise SourceError("%s: pixel row outside a glyph" % where(lineno))
        if set(line) - set("#."):
            raise SourceError("%s: pixel rows may only hold '#' and '.'" % where(lineno))
        rows = current[2]
        if rows and len(line) != len(rows[0]):
            raise SourceError("%s: row is %d wide, the glyph's first row is %d"
                              % (where(lineno), len(line), len(rows[0])))
        if len(line) > settings["advance"]:
            raise SourceError("%s: row is wider than the advance of %d"
                              % (where(lineno), settings["advance"]))
        if len(rows) == settings["rows"]:
            raise SourceError("%s: glyph has more than %d rows"
                              % (where(lineno), settings["rows"]))
        rows.append(line)
    finish()

    if not settings:
        raise SourceError("%s: no glyphs" % filename)
    below = settings["rows"] - settings["baseline"]
    if settings["baseline"] * PIXEL > ASCENT or below * PIXEL > -DESCENT:
        raise SourceError("%s: a %d-row grid with baseline %d does not fit the "
                          "font's line" % (filename, settings["rows"], settings["baseline"]))
    absent = [c for c in range(FIRST_CODE, LAST_CODE + 1) if c not in glyphs]
    if absent:
        raise SourceError("%s: no drawing for %s" % (
            filename, " ".join("0x%02X" % c for c in absent)))
    if None not in glyphs:
        raise SourceError("%s: no notdef drawing" % filename)
    if any("#" in row for row in glyphs[0x20]):
        raise SourceError("%s: space must be blank" % filename)
    return settings, glyphs


def rectangles(rows):
    """Cover the inked pixels with non-overlapping (col0, col1, row0, row1).

    Runs within a row are merged, and a run repeated exactly in the rows
    below it is stretched down over them: stems become one rectangle,
    which keeps the font small.
    """
    runs = []
    for r, row in enumerate(rows):
        c = 0
        while c < len(row):
            if row[c] == "#":
                start = c
                while c < len(row) and row[c] == "#":
                    c += 1
                runs.append((r, start, c))
            else:
                c += 1
    pending = set(runs)
    taken = set()
    out = []
    for r, c0, c1 in runs:
        if (r, c0, c1) in taken:
            continue
        r1 = r + 1
        while (r1, c0, c1) in pending - taken:
            taken.add((r1, c0, c1))
            r1 += 1
        out.append((c0, c1, r, r1))
    return out


def draw_glyph(rows, baseline):
    pen = TTGlyphPen(None)
    for c0, c1, r0, r1 in rectangles(rows):
        x0, x1 = c0 * PIXEL, c1 * PIXEL
        top = (baseline - r0) * PIXEL
        bottom = (baseline - r1) * PIXEL
        # Up the left side, across the top, down the right: clockwise in a
        # y-up system, which is TrueType's direction for filled contours.
        pen.moveTo((x0, bottom))
        pen.lineTo((x0, top))
        pen.lineTo((x1, top))
        pen.lineTo((x1, bottom))
        pen.closePath()
    return pen.glyph()


def fitted(code, rows, settings):
    """The glyph's rows and advance in pixels as the font spaces them.

    Text is proportional, so that a screen's footer and its path line fit side
    by side on 320 pixels: a glyph loses its blank columns on both sides and
    advances one pixel past its ink. Digits keep the full advance, so clocks
    and voltages do not shift sideways as they count; the space is narrow.
    """
    if code is None or chr(code).isdigit():
        return rows, settings["advance"]
    if code == 0x20:
        return rows, SPACE_ADVANCE
    inked = [c for c in range(len(rows[0])) if any(row[c] == "#" for row in rows)]
    first, last = inked[0], inked[-1]
    return [row[first:last + 1] for row in rows], last - first + 2


def build_font(settings, glyphs):
    baseline = settings["baseline"]

    order = [".notdef"] + [glyph_name(c) for c in range(FIRST_CODE, LAST_CODE + 1)]
    drawings = {}
    advances = {}
    drawings[".notdef"], advances[".notdef"] = fitted(None, glyphs[None], settings)
    cmap = {}
    for code in range(FIRST_CODE, LAST_CODE + 1):
        name = glyph_name(code)
        drawings[name], advances[name] = fitted(code, glyphs[code], settings)
        cmap[code] = name

    fb = FontBuilder(UNITS_PER_EM, isTTF=True)
    # FontBuilder stamps the current time into head; a fixed date keeps the
    # bytes reproducible so the committed font can be checked.
    fb.setupHead(unitsPerEm=UNITS_PER_EM, created=FIXED_DATE, modified=FIXED_DATE,
                 fontRevision=1.0, lowestRecPPEM=8)
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap(cmap)
    glyf = {name: draw_glyph(drawings[name], baseline) for name in order}
    fb.setupGlyf(glyf)
    metrics = {}
    for name in order:
        g = glyf[name]
        metrics[name] = (advances[name] * PIXEL, g.xMin if g.numberOfContours else 0)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=ASCENT, descent=DESCENT, lineGap=0)
    fb.setupNameTable({
        "familyName": FAMILY,
        "styleName": STYLE,
        "uniqueFontIdentifier": "%s %s %s" % (FAMILY, STYLE, VERSION),
        "fullName": "%s %s" % (FAMILY, STYLE),
        "psName": PS_NAME,
        "version": VERSION,
    }, mac=False)
    fb.setupOS2(
        version=4,
        xAvgCharWidth=round(sum(advances.values()) * PIXEL / len(advances)),
        usWeightClass=400,
        usWidthClass=5,
        fsType=0,
        # Regular, and use the typo metrics (which equal hhea anyway).
        fsSelection=0x40 | 0x80,
        sTypoAscender=ASCENT,
        sTypoDescender=DESCENT,
        sTypoLineGap=0,
        usWinAscent=ASCENT,
        usWinDescent=-DESCENT,
        sxHeight=X_HEIGHT,
        sCapHeight=CAP_HEIGHT,
        usDefaultChar=0,
        usBreakChar=0x20,
        usMaxContext=0,
        ulUnicodeRange1=1,      # Basic Latin
        ulCodePageRange1=1,     # Latin 1
        achVendID="NONE",
        # Latin text, monospaced: lets font pickers treat it as fixed pitch.
        panose=dict(bFamilyType=2, bSerifStyle=0, bWeight=0, bProportion=9,
                    bContrast=0, bStrokeVariation=0, bArmStyle=0,
                    bLetterForm=0, bMidline=0, bXHeight=0),
    )
    fb.setupPost(isFixedPitch=1, underlinePosition=-PIXEL, underlineThickness=PIXEL)

    buf = io.BytesIO()
    fb.save(buf)
    return buf.getvalue()


def main(argv=None):
    ap = argparse.ArgumentParser(description="Build rwfont.ttf from glyphs.txt.")
    ap.add_argument("--check", action="store_true",
                    help="compare the font with a fresh build instead of writing it")
    ap.add_argument("source")
    ap.add_argument("font")
    args = ap.parse_args(argv)

    try:
        with open(args.source, encoding="utf-8") as f:
            settings, glyphs = parse_source(f.read(), args.source)
    except (OSError, SourceError) as e:
        print("make_font.py: %s" % e, file=sys.stderr)
        return 1
    data = build_font(settings, glyphs)

    if args.check:
        try:
            with open(args.font, "rb") as f:
                committed = f.read()
        except OSError as e:
            print("make_font.py: cannot read %s: %s" % (args.font, e), file=sys.stderr)
            return 1
        if committed != data:
            print("make_font.py: %s does not match %s (%d bytes committed, %d built); "
                  "regenerate it with: make_font.py %s %s"
                  % (args.font, args.source, len(committed), len(data),
                     args.source, args.font), file=sys.stderr)
            return 1
        return 0

    with open(args.font, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
