#!/usr/bin/python3
"""Tests for make_font.py; run with /usr/bin/python3 (needs python3-fonttools)."""

import contextlib
import io
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
# Keep the source tree free of __pycache__ when the build runs this.
sys.dont_write_bytecode = True

import make_font  # noqa: E402
from fontTools.ttLib import TTFont  # noqa: E402

SOURCE = os.path.join(HERE, "glyphs.txt")
FONT = os.path.join(HERE, "rwfont.ttf")


def read_source():
    with open(SOURCE, encoding="utf-8") as f:
        return f.read()


def build(text):
    return make_font.build_font(*make_font.parse_source(text))


def run_quietly(argv):
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        rc = make_font.main(argv)
    return rc, err.getvalue()


def replace_glyph(text, header, rows):
    """Swap the drawing under `header` for `rows`."""
    lines = text.split("\n")
    i = lines.index(header)
    n = len(rows)
    return "\n".join(lines[:i + 1] + rows + lines[i + 1 + n:])


class CheckTest(unittest.TestCase):
    def test_committed_font_is_current(self):
        rc, err = run_quietly(["--check", SOURCE, FONT])
        self.assertEqual(rc, 0, err)

    def test_check_notices_a_single_pixel_edit(self):
        text = read_source()
        lines = text.split("\n")
        i = lines.index("char 0x41 A")
        row = lines[i + 1]
        lines[i + 1] = ("#" if row[0] == "." else ".") + row[1:]
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "glyphs.txt")
            with open(src, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            rc, err = run_quietly(["--check", src, FONT])
            self.assertEqual(rc, 1)
            self.assertIn("does not match", err)
            # Writing then checking the edited source must agree again.
            out = os.path.join(tmp, "out.ttf")
            self.assertEqual(run_quietly([src, out])[0], 0)
            self.assertEqual(run_quietly(["--check", src, out])[0], 0)

    def test_check_fails_on_missing_font(self):
        with tempfile.TemporaryDirectory() as tmp:
            rc, err = run_quietly(["--check", SOURCE, os.path.join(tmp, "none.ttf")])
        self.assertEqual(rc, 1)
        self.assertIn("cannot read", err)

    def test_build_is_reproducible(self):
        text = read_source()
        self.assertEqual(build(text), build(text))


class SourceErrorTest(unittest.TestCase):
    def assertRejects(self, text, fragment):
        with self.assertRaises(make_font.SourceError) as cm:
            make_font.parse_source(text)
        self.assertIn(fragment, str(cm.exception))

    def test_missing_glyph(self):
        text = read_source()
        text = text.replace("char 0x7E ~", "char 0x7D }")
        self.assertRejects(text, "drawn twice")
        lines = read_source().split("\n")
        i = lines.index("char 0x7E ~")
        self.assertRejects("\n".join(lines[:i]), "no drawing for 0x7E")

    def test_mislabelled_glyph(self):
        self.assertRejects(read_source().replace("char 0x42 B", "char 0x42 C"),
                           "labelled 'C'")

    def test_short_glyph(self):
        lines = read_source().split("\n")
        i = lines.index("char 0x42 B")
        del lines[i + 1]
        self.assertRejects("\n".join(lines), "glyph has 8 rows")

    def test_inked_space(self):
        self.assertRejects(replace_glyph(read_source(), "char 0x20 space", ["..#.."]),
                           "space must be blank")

    def test_stray_character(self):
        self.assertRejects(replace_glyph(read_source(), "char 0x42 B", ["#x..#"]),
                           "only hold")

    def test_grid_taller_than_line(self):
        self.assertRejects(read_source().replace("baseline 7", "baseline 5"),
                           "does not fit")


class GeometryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.settings, cls.glyphs = make_font.parse_source(read_source())
        cls.font = TTFont(io.BytesIO(build(read_source())))

    def test_rectangles_cover_exactly_the_ink(self):
        for key, rows in self.glyphs.items():
            covered = []
            for c0, c1, r0, r1 in make_font.rectangles(rows):
                covered += [(r, c) for r in range(r0, r1) for c in range(c0, c1)]
            ink = [(r, c) for r, row in enumerate(rows) for c, p in enumerate(row) if p == "#"]
            self.assertEqual(len(covered), len(set(covered)), "overlap in %r" % key)
            self.assertEqual(sorted(covered), sorted(ink), "coverage of %r" % key)

    def test_stems_become_one_rectangle(self):
        # "|" is a single column seven pixels tall.
        self.assertEqual(make_font.rectangles(self.glyphs[ord("|")]), [(2, 3, 0, 7)])

    def test_outlines_sit_on_the_pixel_grid_and_run_clockwise(self):
        glyf = self.font["glyf"]
        for name in self.font.getGlyphOrder():
            g = glyf[name]
            if not g.numberOfContours:
                continue
            coords, ends, _ = g.getCoordinates(glyf)
            for x, y in coords:
                self.assertEqual((x % 125, y % 125), (0, 0), name)
            start = 0
            for end in ends:
                pts = list(coords[start:end + 1])
                start = end + 1
                area2 = sum(pts[i][0] * pts[i - 1][1] - pts[i - 1][0] * pts[i][1]
                            for i in range(len(pts)))
                self.assertGreater(area2, 0, "%s has a counter-clockwise contour" % name)

    def test_line_metrics(self):
        f = self.font
        self.assertEqual(f["head"].unitsPerEm, 1000)
        self.assertEqual((f["hhea"].ascent, f["hhea"].descent, f["hhea"].lineGap),
                         (1375, -250, 0))
        os2 = f["OS/2"]
        self.assertEqual((os2.sTypoAscender, os2.sTypoDescender, os2.sTypoLineGap),
                         (1375, -250, 0))
        self.assertEqual((os2.usWinAscent, os2.usWinDescent), (1375, 250))
        self.assertEqual((os2.sCapHeight, os2.sxHeight), (875, 625))

    def test_every_printable_character_is_mapped_and_spaced_one_pixel_past_its_ink(self):
        cmap = self.font.getBestCmap()
        self.assertEqual(sorted(cmap), list(range(0x20, 0x7F)))
        self.assertEqual(self.font.getGlyphOrder()[0], ".notdef")
        glyf = self.font["glyf"]
        hmtx = self.font["hmtx"]
        for code, name in cmap.items():
            advance, lsb = hmtx[name]
            if chr(code).isdigit():
                self.assertEqual(advance, 750, name)   # tabular digits
            elif code == 0x20:
                self.assertEqual(advance, 500)
                self.assertEqual(glyf[name].numberOfContours, 0)
            else:
                g = glyf[name]
                g.recalcBounds(glyf)
                self.assertEqual(lsb, 0, name)
                self.assertEqual(g.xMin, 0, name)
                self.assertEqual(advance, g.xMax + 125, name)
        self.assertLess(hmtx[cmap[ord("i")]][0], hmtx[cmap[ord("m")]][0])

    def test_letters_have_the_drawn_heights(self):
        glyf = self.font["glyf"]
        cmap = self.font.getBestCmap()

        def extent(ch):
            g = glyf[cmap[ord(ch)]]
            g.recalcBounds(glyf)
            return g.yMin, g.yMax

        for ch in "HEO0":
            self.assertEqual(extent(ch), (0, 875), ch)
        for ch in "xoa":
            self.assertEqual(extent(ch), (0, 625), ch)
        for ch in "gjpqy":
            self.assertEqual(extent(ch)[0], -250, ch)

    def test_names(self):
        name = self.font["name"]
        self.assertEqual(name.getDebugName(1), make_font.FAMILY)
        self.assertEqual(name.getDebugName(2), "Regular")
        self.assertTrue(name.getDebugName(5).startswith("Version "))


if __name__ == "__main__":
    unittest.main()
