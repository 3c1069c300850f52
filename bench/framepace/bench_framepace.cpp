// framepace's frame on this machine, for information: the device's own cost is counted in
// instructions by bench/device. On one 320 x 240 16-bit screen (SDL's dummy video driver,
// opened as the program opens it) it times memset of the whole buffer, paint, and one whole
// frame of the loop with the label's three lines, interleaved round by round so every figure
// sees the same machine state, and prints paint against memset and the frame against paint.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "framepace.h"
#include "startup.h"

static const int CALLS = 500;  // calls per round: about 1 ms of paint on a desktop machine
static const int ROUNDS = 60;  // the best round counts; the others absorb interruptions

static double nowSeconds(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Keeps the compiler from dropping stores into memory nothing reads back.
static inline void touched(void *memory)
{
    asm volatile("" : : "r"(memory) : "memory");
}

int main(void)
{
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    SDL_Surface *screen = nullptr;
    if (startUp(FRAMEPACE_START, &screen, &rw, &font) != 0)
        return -1;
    FILE *rateLines = fopen("/dev/null", "w");
    if (!rateLines)
        return giveUp("failed to open /dev/null", nullptr);
    const size_t bytes = static_cast<size_t>(screen->pitch) * screen->h;
    // The loop's steady state: a window has closed, so the label's three lines are shown on
    // every frame (the third as wide as it gets).
    setLabel(0, "60.00fps");
    setLabel(1, "worst 16.9 ms, 0 late");
    setLabel(2, "fb 75.1 Hz: not paced, ~200 frames a refresh");
    static RateMeter meter;
    startMeter(&meter, 0);

    double bestMemset = 1e9, bestPaint = 1e9, bestFrame = 1e9;
    for (int round = 0; round < ROUNDS; round++) {
        double t0 = nowSeconds();
        for (int i = 0; i < CALLS; i++) {
            memset(screen->pixels, i & 0xFF, bytes);
            touched(screen->pixels);
        }
        double t1 = nowSeconds();
        for (int i = 0; i < CALLS; i++) {
            SDL_LockSurface(screen);
            paint(screen);
            SDL_UnlockSurface(screen);
            touched(screen->pixels);
        }
        double t2 = nowSeconds();
        for (int i = 0; i < CALLS; i++)
            runFrame(screen, &meter, rateLines);
        double t3 = nowSeconds();
        bestMemset = (t1 - t0) < bestMemset ? t1 - t0 : bestMemset;
        bestPaint = (t2 - t1) < bestPaint ? t2 - t1 : bestPaint;
        bestFrame = (t3 - t2) < bestFrame ? t3 - t2 : bestFrame;
    }
    const double us = 1e6 / CALLS;
    printf("framepace, %d x %d x %d bits, pitch %d: best of %d rounds of %d calls\n", screen->w,
           screen->h, screen->format->BitsPerPixel, screen->pitch, ROUNDS, CALLS);
    printf("  memset of the buffer  %8.2f us/frame\n", bestMemset * us);
    printf("  paint                 %8.2f us/frame   paint / memset %5.2f\n", bestPaint * us,
           bestPaint / bestMemset);
    printf("  whole frame           %8.2f us/frame   frame / paint  %5.2f\n", bestFrame * us,
           bestFrame / bestPaint);
    fclose(rateLines);
    return 0;
}
