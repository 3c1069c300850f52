// framepace: the display refresh and tearing check. It repaints a moving pattern straight into
// the double-buffered screen as fast as it can and prints and shows the frame rate. main is
// the whole program as a script; the pattern and the loop's pieces are in loop.cpp.
#include "framepace.h"
#include "startup.h"

int main(int, char **)
{
    takeOverFromLauncher();
    SDL_Surface *screen = nullptr;
    if (startUp(FRAMEPACE_START, &screen, &rw, &font) != 0)
        return -1;

    RateMeter meter = {SDL_GetTicks(), 0};
    while (running) {
        if (runFrame(screen, &meter, stdout) != 0)
            return giveUp("failed to SDL_LockSurface", SDL_GetError());
        handleEvents();
    }
    return 0;
}
