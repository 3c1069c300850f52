// framepace's judge of pacing: a histogram of frame times with the figures a window gives
// (worst, median, late frames, the 1 % low), the refresh a frame buffer's timing gives, and
// the verdict that sets the frames against it. Start at frameFigures, then describePacing.
#include <fcntl.h>
#include <linux/fb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "framepace.h"

// The real frame buffer: asked for its timing on a descriptor of its own, closed at once.
static int readScreenInfoFromDevice(const char *path, fb_var_screeninfo *info)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int result = ioctl(fd, FBIOGET_VSCREENINFO, info);
    close(fd);
    return result == 0 ? 0 : -1;
}

/* pacing state, main thread only: how the frame buffer is read, which tests replace */
int (*readScreenInfo)(const char *path, fb_var_screeninfo *info) = readScreenInfoFromDevice;

// Bin b < 64 holds b ns exactly; above, each power of two is cut into 32 bins, so a bin is
// at most 1/32 of its own times wide. Times of 2^32 ns (4.3 s) and more share the top bin.
static int binOf(Uint64 ns)
{
    const Uint32 v = ns > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<Uint32>(ns);
    if (v < 64)
        return static_cast<int>(v);
    const int top = 31 - __builtin_clz(v);  // 6 to 31
    return (top - 5) * 32 + static_cast<int>(v >> (top - 5));
}

void addFrame(FrameTimes *t, Uint64 ns)
{
    const int b = binOf(ns);
    t->count[b]++;
    t->sum[b] += ns;
    t->frames++;
    t->total += ns;
    if (ns > t->slowest)
        t->slowest = ns;
}

void addFrames(FrameTimes *to, const FrameTimes *from)
{
    for (int b = 0; b < TIME_BINS; b++) {
        to->count[b] += from->count[b];
        to->sum[b] += from->sum[b];
    }
    to->frames += from->frames;
    to->total += from->total;
    if (from->slowest > to->slowest)
        to->slowest = from->slowest;
}

void clearFrames(FrameTimes *t)
{
    memset(t, 0, sizeof *t);
}

// A frame is late when it takes more than 3/2 of the window's median. On a display that
// waits for its refresh a frame takes a whole number of refreshes: one missed refresh takes
// 2 medians, or a little less when the flip before it came back late, while a frame shown on
// its refresh whose flip a busy machine woke late takes 1 median and part of another. 3/2
// lies halfway: up to half a refresh of such lateness is spread, not a missed refresh. Where
// the flip does not wait, frames take microseconds and whatever else the machine does (a
// changed line's blend among it) spreads them by more than half: there the count is the
// machine's, not the display's, and the verdict says "not paced".
static bool isLate(Uint64 ns, Uint64 median)
{
    return ns * 2 > median * 3;
}

// Each bin stands for its frames by their mean, which is exact when they took the same time
// and within 1/32 of each of them otherwise; so the figures are off by at most that much.
FrameFigures frameFigures(const FrameTimes *t)
{
    FrameFigures f = {t->frames, t->slowest, 0, 0, 0};
    if (t->frames == 0)
        return f;
    const Uint32 medianRank = (t->frames + 1) / 2;                 // counted from the fastest
    const Uint32 lowRank = t->frames - (t->frames + 99) / 100 + 1;  // the ceil(N/100)th slowest
    Uint32 seen = 0;
    for (int b = 0; b < TIME_BINS && seen < lowRank; b++) {
        if (t->count[b] == 0)
            continue;
        const Uint64 mean = t->sum[b] / t->count[b];
        if (seen < medianRank && seen + t->count[b] >= medianRank)
            f.median = mean;
        seen += t->count[b];
        if (seen >= lowRank)
            f.onePercentLow = mean;
    }
    for (int b = 0; b < TIME_BINS; b++)
        if (t->count[b] != 0 && isLate(t->sum[b] / t->count[b], f.median))
            f.late += t->count[b];
    return f;
}

double refreshOf(const fb_var_screeninfo *v)
{
    const double columns = static_cast<double>(v->xres) + v->left_margin + v->right_margin +
                           v->hsync_len;
    const double lines = static_cast<double>(v->yres) + v->upper_margin + v->lower_margin +
                         v->vsync_len;
    if (v->pixclock == 0 || columns == 0 || lines == 0)
        return 0;
    // pixclock is the time of one pixel in picoseconds.
    double hz = 1e12 / (static_cast<double>(v->pixclock) * columns * lines);
    if (v->vmode & FB_VMODE_DOUBLE)  // each line is sent twice
        hz /= 2;
    if (v->vmode & FB_VMODE_INTERLACED)  // each refresh sends half the lines
        hz *= 2;
    return hz;
}

float frameBufferRefresh(const char *videoDriver)
{
    // Only SDL's fbcon driver draws on the frame buffer: a PC's X11 window may sit on a
    // machine whose console has one, with a refresh that has nothing to do with the window.
    if (strcmp(videoDriver, "fbcon") != 0)
        return 0;
    const char *device = getenv("SDL_FBDEV");  // where SDL's fbcon driver opens it
    fb_var_screeninfo info;
    memset(&info, 0, sizeof info);
    if (readScreenInfo(device && device[0] ? device : "/dev/fb0", &info) != 0)
        return 0;
    return static_cast<float>(refreshOf(&info));
}

// A display that waits for its refresh shows frames at the refresh or a whole fraction of
// it. Two in a hundred covers what a pixel clock made by a divider of another clock misses
// the timing's own figure by, and the flips' wake-up spread, while a loop that does not
// wait lands within it of a whole fraction only by chance. The frames' rate is taken from
// the median frame, not the mean, so that a few late frames (given beside it) do not move a
// display that does wait off its fraction.
static const double PACED_WITHIN = 0.02;

void describePacing(float refresh, Uint64 medianNs, char *text, size_t size)
{
    if (refresh <= 0 || medianNs == 0) {
        snprintf(text, size, "%s", "");
        return;
    }
    const double rate = 1e9 / static_cast<double>(medianNs);
    const double perRefresh = rate / refresh;  // frames each refresh shows (parts of)
    const int every = static_cast<int>(1 / perRefresh + 0.5);  // refreshes a frame takes
    const double fraction = every >= 1 ? static_cast<double>(refresh) / every : 0;
    if (every >= 1 && rate >= fraction * (1 - PACED_WITHIN) &&
        rate <= fraction * (1 + PACED_WITHIN)) {
        if (every == 1)
            snprintf(text, size, "fb %.1f Hz: paced", static_cast<double>(refresh));
        else
            snprintf(text, size, "fb %.1f Hz: paced, a frame every %d refreshes",
                     static_cast<double>(refresh), every);
        return;
    }
    // Whole frames from ten up; below, a tenth tells 1.5 from 2.
    if (perRefresh >= 9.95)
        snprintf(text, size, "fb %.1f Hz: not paced, ~%.0f frames a refresh",
                 static_cast<double>(refresh), perRefresh);
    else
        snprintf(text, size, "fb %.1f Hz: not paced, ~%.1f frames a refresh",
                 static_cast<double>(refresh), perRefresh);
}
