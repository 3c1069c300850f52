// strobel: flashes a movable square red, green and blue to show stuck display pixels. main
// runs the frame's start-up, then redraws and waits for the next event worth a redraw.
#include <stdio.h>
#include <string.h>

#include "strobel.h"

int main(void)
{
    takeOverFromLauncher();
    installSignalHandlers();
    char title[64];
    memset(title, 0, sizeof title);
    keys = SDL_GetKeyState(nullptr);
    strcpy(title, "STROBEL");
    puts(title);
    fflush(stdout);  // the title is out even if the process later ends without exit()
    if (startVideo(200, 3) != 0)
        return -1;
    stopDrawingThreads = endFlashThread;

    target = START_TARGET;
    for (;;) {
        redrawScreen(title);
        // A failed wait redraws as well.
        SDL_Event event;
        while (waitEvent(&event) && !handleEvent(event)) {
        }
    }
}
