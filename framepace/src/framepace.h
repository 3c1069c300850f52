// framepace below its main: the test pattern (paint), the rate meter, the frame times and
// what they say about pacing, the label and handleEvents, kept apart from main so tests and
// the benchmark reach them. Start with runFrame, one turn of the frame loop.
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

// Frame times, as a histogram: a fixed size and no allocation whatever the frame rate (the
// emulated handheld gives thousands of frames a second). Times are in nanoseconds.
const int TIME_BINS = 896;
struct FrameTimes {
    Uint32 frames;            // frames added
    Uint64 total;             // their times added up
    Uint64 slowest;           // the longest, exactly
    Uint32 count[TIME_BINS];  // frames per bin: exact below 64 ns, 1/32 of an octave above
    Uint64 sum[TIME_BINS];    // their times added up, per bin
};
void addFrame(FrameTimes *t, Uint64 ns);
void addFrames(FrameTimes *to, const FrameTimes *from);  // every frame of from into to
void clearFrames(FrameTimes *t);

// What a set of frame times says, in ns; all 0 when it holds none.
struct FrameFigures {
    Uint32 frames;
    Uint64 worst;
    Uint64 median;         // the lower median
    Uint64 onePercentLow;  // the 1 % low's frame, as MangoHud gives it: the ceil(N/100)th
                           // slowest (1000 / its milliseconds is the 1 % low in fps)
    Uint32 late;           // frames over 3/2 of the median
};
FrameFigures frameFigures(const FrameTimes *t);

// The refresh in Hz that a frame buffer's timing gives (pixel clock, visible size, margins
// and syncs; halved when double-scanned, doubled when interlaced); 0 without a pixel clock.
struct fb_var_screeninfo;
double refreshOf(const fb_var_screeninfo *v);

// How the frame buffer's timing is read: the real one opens path and asks the driver
// (FBIOGET_VSCREENINFO). 0 with *info filled, -1 when it cannot.
extern int (*readScreenInfo)(const char *path, fb_var_screeninfo *info);

// The refresh the frame buffer SDL draws on reports, read once the video mode is set (SDL
// sets its own): SDL_FBDEV or /dev/fb0, when videoDriver (SDL_VideoDriverName) is SDL's
// fbcon. 0, nothing claimed, for any other driver, an unreadable device or no pixel clock.
float frameBufferRefresh(const char *videoDriver);

// The line the frames get against a known refresh (Hz) from their median time: for example
// "fb 60.0 Hz: paced" or "fb 75.1 Hz: not paced, ~200 frames a refresh". "" when the
// refresh is 0 or there are no frames.
void describePacing(float refresh, Uint64 medianNs, char *text, size_t size);

// The measuring window of the loop in progress, and the whole run so far.
struct RateMeter {
    Uint32 start;       // SDL_GetTicks when the window began, ms
    int frameCount;     // frames painted since then
    float refresh;      // Hz, what frameBufferRefresh gave; 0: not known
    Uint64 lastFlip;    // monotonic clock when the last frame ended, ns
    Uint32 lateBefore;  // late frames of the windows closed so far
    FrameTimes window;  // the frames that ended since the window began
    FrameTimes run;     // the frames of the windows closed so far
};

// Starts the first window and the run now (the end of start-up begins the first frame).
void startMeter(RateMeter *meter, float refresh);

// Ends the run: one summary line of it, the window in progress included: frames, seconds,
// mean rate, worst frame, 1 % low, late frames (each judged against its own window), and
// the refresh with its verdict if known.
void printSummary(RateMeter *meter, FILE *to);

// The label: LABEL_LINES lines of black, blended text at the top left, one under the other.
// Line 0 is the rate (buf), 1 the window's worst and late frames, 2 the refresh's verdict.
const int LABEL_LINES = 3;

// Makes text (cut to 99 bytes) that line of the label and renders it once; an empty text
// gives no line. Unchanged text is not rendered again.
void setLabel(int line, const char *text);

// Blits the label's lines onto screen, exactly as blitting each whole rendered line there
// would; nothing for an empty line. Must come right after paint on the same screen with
// nothing drawn in between: it reuses the blend of an earlier frame whose pattern had the
// same phase.
void drawLabel(SDL_Surface *screen);

// One frame: lock, paint, unlock, count it, close the window when it is due (the rate line
// goes to rateLines, flushed, and the window's figures become the label), draw the label,
// flip, and note the frame's time, from the last flip's return to this one's. Returns -1
// when the screen cannot be locked, with nothing drawn, else 0.
int runFrame(SDL_Surface *screen, RateMeter *meter, FILE *rateLines);

// Takes every waiting event; SELECT (a key-down of SDLK_ESCAPE) or SDL_QUIT clears running,
// everything else is ignored.
void handleEvents(void);
