// voltrace: records a battery discharge. main runs the frame's start-up, then the screen loop.
#include <string.h>

#include "frame.h"

int main(void)
{
    installSignalHandlers();
    char title[64];
    memset(title, 0, sizeof title);
    SDL_GetKeyState(nullptr);
    strcpy(title, "VOLTRACE");
    puts(title);
    if (startVideo(500, 30) != 0)
        return -1;

    for (;;) {
        {
            std::unique_lock<std::mutex> hold = holdScreen();
            if (hold.owns_lock()) {
                drawHeader(title);
                SDL_Flip(screen);
            }
        }
        SDL_Event event;
        while (waitEvent(&event) == 0) {
        }
        if (event.type == SDL_KEYDOWN &&
            (event.key.keysym.sym == SDLK_ESCAPE || event.key.keysym.sym == SDLK_END))
            quitApp(0);
    }
}
