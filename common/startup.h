// Starting SDL, the 320 x 240 16-bit screen and the embedded font: one sequence for all three
// programs, with what differs between them in a StartUp, the one way out of a failed start,
// and the standard streams and signal settings a launcher hands over. Start reading at startUp.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

// The line each failed step prints on standard output. SDL's reason follows after ": " for
// every step but TTF_Init, which gives none.
struct StartTexts {
    const char *sdl;        // SDL_Init failed
    const char *videoMode;  // no 320 x 240 x 16 screen
    const char *ttf;        // TTF_Init failed
    const char *font;       // the embedded font did not open
};

// First thing in main, while no other thread exists: whichever of descriptors 0, 1 and 2 the
// launcher left closed is opened onto /dev/null. Otherwise the X connection or the frame
// buffer (opened without close-on-exec) takes the number: what is printed lands in it, and
// the shell's commands inherit it. And standard output may be a pipe nobody reads: a write
// to it then fails and is dropped (SIGPIPE is caught and does nothing), and the program goes
// on until the user leaves. Whatever signals the launcher ignored or blocked are put back:
// SIGCHLD, SIGINT, SIGTERM, SIGHUP and SIGALRM at their default action, nothing blocked.
void takeOverFromLauncher(void);

// What differs between the programs' start-ups; the steps themselves are the same.
struct StartUp {
    Uint32 sdlSystems;   // SDL_Init's flags
    Uint32 videoFlags;   // SDL_SetVideoMode's: 0 is a software surface
    int fontSize;        // points
    int repeatDelay;     // key repeat, ms; 0 leaves SDL's repeat off
    int repeatInterval;  // ms
    bool fontFirst;      // SDL_ttf and the font are opened before SDL starts
    bool pumpFirst;      // SDL_PumpEvents before the cursor is hidden
    bool quitAtExit;     // SDL_Quit is registered with atexit
    StartTexts failures;
};

// voltrace and strobel: SDL with its timer, a software screen and the font at 8 points. Each
// sets its own key repeat.
const StartUp FRAME_START = {
    SDL_INIT_TIMER | SDL_INIT_VIDEO, 0, 8, 0, 0, false, true, false,
    {"Could not initialize SDL", "Could not set the 320x240 16-bit video mode",
     "failed to TTF_Init", "Could not open the embedded font"},
};

// framepace: the font at 10 points before SDL, video alone with SDL_Quit at exit, and a
// double-buffered hardware screen, so whatever paces the flip paces the loop. No key repeat.
const StartUp FRAMEPACE_START = {
    SDL_INIT_VIDEO, SDL_HWSURFACE | SDL_DOUBLEBUF, 10, 0, 0, true, false, true,
    {"failed to SDL_Init", "failed to SDL_SetVideoMode", "failed to TTF_Init",
     "failed to TTF_OpenFontRW"},
};

// Sets SDL_NOMOUSE, starts SDL, hides the cursor, opens the screen into *screen, sets the key
// repeat and opens the embedded font into *rw and *font (the stream goes with the font), in
// the order how gives. On failure prints the failed step's line and returns -1, which main
// returns; a failure after SDL has started shuts SDL down again, which gives the device's
// console back. Otherwise returns 0. The console is noted first (console.h), so that an exit
// that cannot run SDL_Quit can still give it back.
int startUp(const StartUp &how, SDL_Surface **screen, SDL_RWops **rw, TTF_Font **font);

// The one failure path: what failed, then ": " and why when why is not null, as one line on
// standard output, where the launcher's log picks it up. Returns -1, for main to return: exit
// status 255.
int giveUp(const char *what, const char *why);
