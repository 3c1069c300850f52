// strobel: flashes a movable square red, green and blue. main runs the frame's start-up,
// then the event loop.
#include <string.h>

#include "frame.h"

int main(void)
{
    installSignalHandlers();
    char title[64];
    memset(title, 0, sizeof title);
    Uint8 *keys = SDL_GetKeyState(nullptr);
    strcpy(title, "STROBEL");
    puts(title);
    if (startVideo(200, 3) != 0)
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
        if (event.type == SDL_KEYDOWN && keys[SDLK_ESCAPE])
            quitApp(0);
    }
}
