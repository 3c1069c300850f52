// framepace: the display refresh and tearing check. It repaints a moving pattern straight into
// the double-buffered screen as fast as it can, prints and shows the frame rate, shows each
// window's worst and late frames and, where the frame buffer gives its refresh, whether the
// frames follow it; a summary of the run goes to standard error at the end. main is the whole
// program as a script; the pattern and the loop's pieces are in loop.cpp, the judging of
// pacing in pacing.cpp.
#include "framepace.h"
#include "startup.h"

/* the run's measuring: main's alone; large, so not on the stack */
static RateMeter meter;

int main(int, char **)
{
    takeOverFromLauncher();
    SDL_Surface *screen = nullptr;
    if (startUp(FRAMEPACE_START, &screen, &rw, &font) != 0)
        return -1;
    char driver[32] = "";
    SDL_VideoDriverName(driver, sizeof driver);

    startMeter(&meter, frameBufferRefresh(driver));
    while (running) {
        if (runFrame(screen, &meter, stdout) != 0)
            return giveUp("failed to SDL_LockSurface", SDL_GetError());
        handleEvents();
    }
    printSummary(&meter, stderr);
    return 0;
}
