// The flashing period: 100 periods of the real flashing thread (fill, flip, 30 ms pause) on
// SDL's dummy driver, timed at each flip, against 100 bare 30 ms pauses timed in the same run.
// Run: build/<dir>/bench/strobel/bench_strobel
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>

#include "strobel.h"

/* benchmark state */
static const int PERIODS = 100;
static std::chrono::steady_clock::time_point flips[PERIODS + 1];  // written by the flashing
static int flipCount;                                             // thread, read after it ends
static void (*realPause)(void);  // the program's own 30 ms pause

struct Spread {
    double mean, worst;  // ms
};

static double msBetween(std::chrono::steady_clock::time_point a,
                        std::chrono::steady_clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

static Spread spreadOf(const std::chrono::steady_clock::time_point *t, int periods)
{
    Spread s = {0, 0};
    for (int n = 0; n < periods; n++) {
        double ms = msBetween(t[n], t[n + 1]);
        s.mean += ms;
        s.worst = std::max(s.worst, ms);
    }
    s.mean /= periods;
    return s;
}

// Stamps the end of each fill and flip, then pauses as the program does; stops the run
// after the last period.
static void timedPause(void)
{
    flips[flipCount++] = std::chrono::steady_clock::now();
    if (flipCount > PERIODS)
        flashing = 0;
    else
        realPause();
}

int main(void)
{
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    if (startVideo(200, 3) != 0)
        return -1;
    target = {0, 0, 240, 240};  // the largest square: the costliest fill

    // Baseline: the bare pause, nothing drawn.
    std::chrono::steady_clock::time_point pauses[PERIODS + 1];
    pauses[0] = std::chrono::steady_clock::now();
    for (int n = 1; n <= PERIODS; n++) {
        SDL_Delay(30);
        pauses[n] = std::chrono::steady_clock::now();
    }
    Spread bare = spreadOf(pauses, PERIODS);

    realPause = flashPause;
    flashPause = timedPause;
    startFlashing();
    while (flashing)  // the run stops itself after the last period
        SDL_Delay(10);
    endFlashThread();
    Spread flash = spreadOf(flips, PERIODS);

    printf("flashing period over %d periods, 240 x 240 square, dummy driver\n", PERIODS);
    printf("%-22s %10s %10s\n", "", "mean ms", "worst ms");
    printf("%-22s %10.3f %10.3f\n", "bare SDL_Delay(30)", bare.mean, bare.worst);
    printf("%-22s %10.3f %10.3f\n", "flashing period", flash.mean, flash.worst);
    printf("ratio to 30 ms:          %8.3f   %8.3f\n", flash.mean / 30.0, flash.worst / 30.0);
    printf("ratio to bare delay:     %8.3f   %8.3f\n", flash.mean / bare.mean,
           flash.worst / bare.worst);
    closeApp();
    return 0;
}
