// The start-up all three programs share: the standard streams and signal settings a launcher
// hands over, then SDL, the screen, key
// repeat and the embedded font in the order each program needs, and giveUp, the one failure
// path. Start at startUp.
#include "startup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "console.h"
#include "rwfont.h"

// Caught rather than ignored: an ignored signal stays ignored across exec, and the commands
// voltrace runs through the shell should meet a broken pipe as usual.
static void dropBrokenPipe(int)
{
}

// Whatever a launcher left set survives exec: ignored signals and the blocked mask (handlers
// do not). Each program starts from the settings it relies on instead.
static void resetSignals(void)
{
    struct sigaction fresh = {};
    sigemptyset(&fresh.sa_mask);
    // Default again, each for its own reason:
    //  - SIGCHLD: while ignored, the kernel reaps every command at once, and a wait for the
    //    screenshot tool or for sync finds no child and cannot tell how it ended;
    //  - SIGINT and SIGTERM: they end every program (voltrace and strobel take them on a
    //    thread of their own, framepace through SDL's quit event, which SDL sets up only for
    //    a signal at its default action);
    //  - SIGHUP and SIGALRM: nothing here uses them; they end a program as they would any.
    static const int DEFAULTS[] = {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGALRM};
    fresh.sa_handler = SIG_DFL;
    for (int sig : DEFAULTS)
        sigaction(sig, &fresh, nullptr);
    fresh.sa_handler = dropBrokenPipe;
    fresh.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &fresh, nullptr);
    // Nothing blocked: a blocked SIGTERM would never reach SDL's quit event, and the programs
    // that take SIGINT and SIGTERM on a thread of their own block them again themselves.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void takeOverFromLauncher(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number: fd itself, since those below it are open.
        int opened = open("/dev/null", O_RDWR);
        if (opened > fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
    resetSignals();
}

int giveUp(const char *what, const char *why)
{
    if (why)
        printf("%s: %s\n", what, why);
    else
        puts(what);
    return -1;
}

static int openFont(const StartUp &how, SDL_RWops **rw, TTF_Font **font)
{
    if (TTF_Init() == -1)
        return giveUp(how.failures.ttf, nullptr);
    *rw = SDL_RWFromMem(const_cast<unsigned char *>(rwfont), rwfontSize);
    *font = TTF_OpenFontRW(*rw, 1, how.fontSize);
    if (!*font)
        return giveUp(how.failures.font, TTF_GetError());
    TTF_SetFontHinting(*font, TTF_HINTING_NORMAL);
    TTF_SetFontOutline(*font, 0);
    return 0;
}

// A start that fails once SDL has the console gives it back: on the device the frame-buffer
// driver has switched terminals and set graphics mode, and the launcher needs its text console.
static int stopVideo(int status)
{
    SDL_Quit();
    return status;
}

int startUp(const StartUp &how, SDL_Surface **screen, SDL_RWops **rw, TTF_Font **font)
{
    if (how.fontFirst && openFont(how, rw, font) != 0)
        return -1;
    setenv("SDL_NOMOUSE", "1", 1);
    noteConsole();
    if (SDL_Init(how.sdlSystems) != 0)
        return giveUp(how.failures.sdl, SDL_GetError());
    if (how.quitAtExit)
        atexit(SDL_Quit);
    if (how.pumpFirst)
        SDL_PumpEvents();
    SDL_ShowCursor(0);
    *screen = SDL_SetVideoMode(320, 240, 16, how.videoFlags);
    if (!*screen)
        return stopVideo(giveUp(how.failures.videoMode, SDL_GetError()));
    noteConsoleTaken();
    if (how.repeatDelay != 0)
        SDL_EnableKeyRepeat(how.repeatDelay, how.repeatInterval);
    if (!how.fontFirst && openFont(how, rw, font) != 0)
        return stopVideo(-1);
    return 0;
}
