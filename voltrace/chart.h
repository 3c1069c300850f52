// The log chart: battery level in volts over elapsed time, read straight from the current
// slot's log on every rebuild, in two passes (ranges, then plot). Start at drawChart.
#pragma once

#include <SDL.h>

#include "logfile.h"

// What the first pass learns from a log. Times are seconds, levels millivolts, both as the
// unsigned 32-bit values of the log's fields. A NO_READING sample (logfile.h) counts for
// time and in lineCount, never in the level range.
struct ChartRanges {
    int opened;          // 1 when the log could be opened
    Uint32 timeMin, timeMax;
    Uint32 levelMin, levelMax;
    Uint32 lineCount;    // usable lines (samples) in the log
    Uint32 readingCount; // those of them with a battery reading
};

// First pass over the log at path: ranges and sample count, the ranges widened by 10 when
// min equals max. A range with nothing in it (no samples, or no readings for the levels)
// keeps its start values (min all bits set, max 0); the caller shows a notice instead of
// labels derived from them.
ChartRanges scanLog(const char *path);

// Draws the chart of the log at csvPath onto screen; the caller holds the screen lock and
// has drawn the header and footer. Sets chartRect, plots in at most five frames (flipping
// after every lineCount / 5 + 1 samples), leaves the last sample's time and level (or that
// it has no reading) as the readout at the bottom right, and discards every event that
// arrived meanwhile but key releases. While logging, a sample that could not be written
// (sampleProblem) is said across the chart's middle, also when the log could not even be
// created. The final flip is the caller's.
void drawChart(void);

// The box the one-second clock erases and draws its time in: the top line of the readout
// box, where the end-of-axis label sits, at the bottom right of the last chart drawn
// (chartRect). Before any chart it lies left of the screen. Read under the screen lock.
SDL_Rect clockBox(void);

// Fills r with white and all of it but its left column and bottom row with black: the two
// axes.
void drawAxes(SDL_Rect r);

// One sample point: the white 2 x 2 square whose bottom left corner touches (x, y).
void drawPoint(int x, int y);

// Maps value linearly from from ... to onto outFrom ... outTo in single precision: the three
// differences exactly, each made a float, then (value - from) * (outTo - outFrom) / (to -
// from) + outFrom, multiply before divide. from may exceed to (the level axis turns over).
// Gives -1 when from equals to. Takes the chart's unsigned 32-bit fields without overflow.
float scaleToRange(long long value, long long from, long long to, long long outFrom,
                   long long outTo);
