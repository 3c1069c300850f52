// The application frame shared by voltrace and strobel: start-up, the exit routine quitApp,
// the screen lock every drawing thread takes, and text drawing with the header line.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include "rwfont.h"
#include "startup.h"

// Process-wide objects, valid from a successful startVideo until quitApp.
extern SDL_Surface *screen;  // 320 x 240, 16 bits per pixel, software surface
extern SDL_RWops *rw;        // read stream over rwfont, released with the font
extern TTF_Font *font;       // rwfont at point size 8; null once quitApp has closed it

extern const SDL_Color HEADER_COLOR;  // (200, 200, 0): the header line
extern const SDL_Color BODY_COLOR;    // (200, 200, 220): every other text

// Which point of the text box drawText's (x, y) names; one horizontal and one vertical flag.
typedef int TextAnchor;
enum {
    ANCHOR_LEFT = 1,     // x is the left edge (the default)
    ANCHOR_RIGHT = 2,    // x is the right edge
    ANCHOR_CENTER = 4,   // x is the centre; wins over ANCHOR_RIGHT
    ANCHOR_BOTTOM = 8,   // y is the bottom edge
    ANCHOR_TOP = 16,     // y is the top edge (the default)
    ANCHOR_MIDDLE = 32,  // y is the middle; wins over ANCHOR_BOTTOM
};

// Start-up step 1, called in main right after takeOverFromLauncher, before any other thread
// exists: SIGINT and SIGTERM are blocked in every thread and taken by one waiting thread,
// which has the main thread run quitApp(signal) at its next waitEvent (or, should it not
// begin within 3 s, or not finish within 12 s more, ends the commands the program started,
// gives the console back, syncs and ends the process with the signal number itself); SIGSEGV
// does the same at once with status 11. Should that thread not start, the two signals stay
// unblocked and only ask the main thread to quit; a second one ends the process as above.
void installSignalHandlers(void);

// Start-up steps 5 to 11: startUp as FRAME_START with this key repeat (ms), into screen, rw
// and font. On failure prints one line naming what failed and returns -1, which main returns.
int startVideo(int repeatDelay, int repeatInterval);

// Ends the program: ends the program's drawing threads, runs sync, closes the font, shuts SDL and SDL_ttf down, kills whatever
// command is still running (commands.h), exit(code). Never returns. Safe to reach from any
// thread; a caller that comes second waits for the first caller's exit.
[[noreturn]] void quitApp(int code);

// The signal (SIGINT or SIGTERM) that asked the program to quit and that the main thread has
// not acted on yet, else 0. For a wait on the main thread that must not hold the quit up.
int quitRequested(void);

// quitApp's release steps without the exit (the drawing threads, sync, font, SDL, SDL_ttf); a
// second call only syncs again. After it the screen is closed and holdScreen no longer grants it.
void closeApp(void);

// Called by quitApp before SDL shuts down, on the quitting thread, to end the program's own
// drawing threads. Set by the program; may stay null.
extern void (*stopDrawingThreads)(void);

// SDL 1.2 video calls are not thread-safe, so every draw-and-flip on screen, from any
// thread, happens while holding the screen lock:
//
//     ScreenHold hold = holdScreen();
//     if (!hold.ownsLock()) return;   // SDL has been shut down: draw nothing
//
// The lock is not recursive: drawText, drawHeader and the programs' draw routines expect
// their caller to hold it and never take it themselves. It is a plain pthread mutex: the C++
// library's own mutex does not lock at all in a static musl binary.
struct ScreenHold {
    int held = 0;  // 1 while this object holds the lock; released when it goes out of scope
    ScreenHold() = default;
    explicit ScreenHold(int isHeld) : held(isHeld) {}
    ScreenHold(ScreenHold &&other) : held(other.held) { other.held = 0; }
    ScreenHold &operator=(ScreenHold &&other)
    {
        unlock();
        held = other.held;
        other.held = 0;
        return *this;
    }
    ScreenHold(const ScreenHold &) = delete;
    ScreenHold &operator=(const ScreenHold &) = delete;
    ~ScreenHold() { unlock(); }
    int ownsLock() const { return held; }
    void unlock();
};
ScreenHold holdScreen(void);

// SDL_WaitEvent's own loop (pump, take one event, else sleep 10 ms) with each pump and take
// under the screen lock, so that quitApp on another thread never tears SDL down beneath it.
// Returns 1 with an event, 0 on an error. Runs quitApp here, on the main thread, once a
// signal asked for it. Once SDL is shut down it never returns: the quitting thread is about
// to end the process.
int waitEvent(SDL_Event *event);

// Renders text with the font and blits it to screen at (x, y) placed by anchor; returns the
// rendered width in pixels, also when the box falls outside the screen. An empty text, or
// one the font cannot render, draws nothing and returns 0.
int drawText(int x, int y, const char *text, SDL_Color colour, TextAnchor anchor);

// The width in pixels that drawText would give text, without drawing it; 0 for an empty
// text, or one the font cannot measure.
int textWidth(const char *text);

// Clears the whole screen to black and draws the header: the title at the top left and
// "Vantiro" right-aligned at x 310, both in HEADER_COLOR. Does not flip.
void drawHeader(const char *title);
