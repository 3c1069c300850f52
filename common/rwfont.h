// The embedded font: a complete TrueType file compiled into every program, so the device
// needs no font on its card. Drawn by this project from common/font/glyphs.txt.
#pragma once

extern const unsigned char rwfont[];   // the .ttf file's bytes
extern const int rwfontSize;           // their count
