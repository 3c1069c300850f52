// voltrace: records a battery discharge. main runs the frame's start-up, then the screen
// loop; the parts are slots.h (log files), sampler.h (logging), chart.h and screens.h.
#include <stdio.h>
#include <string.h>

#include "frame.h"
#include "sampler.h"
#include "screens.h"
#include "slots.h"

int main(void)
{
    takeOverFromLauncher();
    installSignalHandlers();
    stopDrawingThreads = stopLoggingForExit;
    char title[64];
    memset(title, 0, sizeof title);
    SDL_GetKeyState(nullptr);
    selectSlot(0);
    strcpy(title, "VOLTRACE");
    puts(title);
    fflush(stdout);  // the title is out even if the process later ends without exit()
    if (startVideo(500, 30) != 0)
        return -1;

    for (;;) {
        redrawScreen(title);
        SDL_Event event;
        while (waitEvent(&event) && !handleEvent(&event)) {
        }
    }
}
