// framepace's own frame loop with the emulated handheld's frame buffer timing handed in
// through its seam, so device_cost.py can count a frame that shows all three lines of the
// label: SDL's dummy driver, which the count runs on, has no frame buffer. Start at main.
#include <linux/fb.h>
#include <string.h>

#include "framepace.h"
#include "startup.h"

/* driver state, main thread only */
static RateMeter meter;  // the loop's, as framepace's main keeps it

// The mode SDL's fbcon driver sets on the emulated handheld (read there while framepace
// ran): 320 x 240 double-scanned, 75.14 Hz.
static int emulatedHandheld(const char *, fb_var_screeninfo *info)
{
    memset(info, 0, sizeof *info);
    info->xres = 320;
    info->yres = 240;
    info->pixclock = 63492;
    info->left_margin = info->right_margin = info->upper_margin = 16;
    info->lower_margin = 4;
    info->hsync_len = 48;
    info->vsync_len = 2;
    info->vmode = FB_VMODE_DOUBLE;
    return 0;
}

int main(void)
{
    SDL_Surface *screen = nullptr;
    if (startUp(FRAMEPACE_START, &screen, &rw, &font) != 0)
        return -1;
    readScreenInfo = emulatedHandheld;
    startMeter(&meter, frameBufferRefresh("fbcon"));
    while (running) {
        if (runFrame(screen, &meter, stdout) != 0)
            return 1;
        handleEvents();
    }
    printSummary(&meter, stderr);
    return 0;
}
