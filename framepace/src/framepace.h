// framepace below its main: the test pattern (paint), the rate meter, the rate label and
// handleEvents, kept apart from main so tests and the benchmark reach them. Start with
// runFrame, one turn of the frame loop.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>
#include <stddef.h>
#include <stdio.h>

typedef Uint16 Pixel;  // one pixel in the surface's own 16-bit format

// The frame loop's state (main thread only; there is no other thread).
extern Uint32 animationStep;  // paint calls so far; only its low 16 bits reach the pixels
extern bool running;          // the loop runs while true; handleEvents clears it
extern char buf[100];         // the last rate text, empty until the first window closes
extern SDL_RWops *rw;         // read stream over rwfont, released with the font
extern TTF_Font *font;        // rwfont at point size 10; the label is drawn with it

// Writes the moving pattern into a locked 16-bit surface and adds 1 to animationStep. The
// pixel at column x, row y of the call with step s is, modulo 2^16,
//     Rmask | (Bmask & (y << Bshift)) | (Gmask & ((s + x) << Gshift))
// for any 16-bit format. Every row starts at its own pitch and only its w pixels are
// written; an odd last column is written alone. Width or height 0 writes nothing. The pixels
// and the pitch must be word-aligned, as SDL makes them; columns past the screen's 320 are
// left alone.
void paint(SDL_Surface *surface);

// The rate meter: frames counted in the window that began at start, checked at now (both
// SDL_GetTicks milliseconds; their difference is taken modulo 2^32, so a tick counter that
// wraps inside a window still gives the right time). When at least 1000 ms have passed the
// window closes: returns 1 with the rate in *fps (frames per second, single precision) and
// "%3.2ffps" in text. Otherwise returns 0 and leaves both alone.
int measureRate(Uint32 start, Uint32 now, int frames, float *fps, char *text, size_t size);

// The measuring window of the loop in progress.
struct RateMeter {
    Uint32 start;    // SDL_GetTicks when the window began, ms
    int frameCount;  // frames painted since then
};

// Makes text (cut to fit buf) the label and renders it, black and blended, once; an empty
// text gives no label. Unchanged text is not rendered again.
void setLabel(const char *text);

// Blits the label at the top-left corner of screen, exactly as blitting the whole rendered
// text there would; nothing while buf is empty. Must come right after paint on the same
// screen with nothing drawn in between: it reuses the blend of an earlier frame whose pattern
// had the same phase.
void drawLabel(SDL_Surface *screen);

// One frame: lock, paint, unlock, count it, close the window when it is due (the rate line
// goes to rateLines, flushed, and becomes the label), draw the label, flip. Returns -1 when
// the screen cannot be locked, with nothing drawn, else 0.
int runFrame(SDL_Surface *screen, RateMeter *meter, FILE *rateLines);

// Takes every waiting event; SELECT (a key-down of SDLK_ESCAPE) or SDL_QUIT clears running,
// everything else is ignored.
void handleEvents(void);
