// framepace: the display refresh and tearing check. It repaints a moving pattern straight into
// the double-buffered screen as fast as it can and prints and shows the frame rate. main is
// the whole program as a script; the pattern and the loop's pieces are in loop.cpp.
#include <stdio.h>
#include <stdlib.h>

#include "framepace.h"
#include "rwfont.h"

// The one way out of a failed start-up: what failed (and SDL's reason, when it gave one) on
// standard output, where the launcher's log picks it up, and exit status 255.
static int fail(const char *what, const char *why)
{
    if (why && why[0] != '\0')
        printf("failed to %s: %s\n", what, why);
    else
        printf("failed to %s\n", what);
    return -1;
}

int main(int, char **)
{
    if (TTF_Init() == -1)
        return fail("TTF_Init", nullptr);
    rw = SDL_RWFromMem(const_cast<unsigned char *>(rwfont), rwfontSize);
    font = TTF_OpenFontRW(rw, 1, 10);
    if (!font)
        return fail("TTF_OpenFontRW", TTF_GetError());
    TTF_SetFontHinting(font, TTF_HINTING_NORMAL);
    TTF_SetFontOutline(font, 0);

    setenv("SDL_NOMOUSE", "1", 1);
    if (SDL_Init(SDL_INIT_VIDEO) != 0)
        return fail("SDL_Init", SDL_GetError());
    atexit(SDL_Quit);
    SDL_ShowCursor(0);
    SDL_Surface *screen = SDL_SetVideoMode(320, 240, 16, SDL_HWSURFACE | SDL_DOUBLEBUF);
    if (!screen)
        return fail("SDL_SetVideoMode", SDL_GetError());

    RateMeter meter = {SDL_GetTicks(), 0};
    while (running) {
        if (runFrame(screen, &meter, stdout) != 0)
            return fail("SDL_LockSurface", SDL_GetError());
        handleEvents();
    }
    return 0;
}
