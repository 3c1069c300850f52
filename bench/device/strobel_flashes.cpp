// strobel's own flashing thread, run for a fixed number of flashes of the largest square, so
// device_cost.py can count one flash from outside: a flash needs a START press, which SDL's
// dummy driver cannot give. Start at main.
#include "strobel.h"

/* driver state, written by the flashing thread only */
static const int FLASHES = 20;
static int flashCount;           // flashes filled and flipped so far
static void (*realPause)(void);  // strobel's own pause after each flash

// Runs after each fill and flip, in place of the pause; each entry ends one flash period.
static void countedPause(void)
{
    if (++flashCount >= FLASHES)
        flashing = 0;
    else
        realPause();
}

int main(void)
{
    if (startVideo(200, 3) != 0)
        return 1;
    target = {0, 0, 240, 240};  // the largest square: the costliest flash
    realPause = flashPause;
    flashPause = countedPause;
    startFlashing();
    while (flashing)  // the flashing thread stops itself after the last flash
        SDL_Delay(10);
    endFlashThread();
    closeApp();
    return 0;
}
