// The log chart: battery level in volts over elapsed time, read straight from the current
// slot's log on every rebuild, in two passes (ranges, then plot). Start at drawChart.
#pragma once

#include <SDL.h>

#include "logfile.h"
#include "timeleft.h"

/* chart state: the chart's area, as the last chart drawn laid it out (all 0 before any).
   Written by drawChart, read by clockBox; both under the screen lock */
extern SDL_Rect chartRect;

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
// it has no reading) as the readout at the bottom right, and discards the keys pressed
// meanwhile: key releases and SDL_USEREVENTs stay. isLogging says the log is being written,
// or a stopped one still takes its last sample: a log not there yet is then one whose first
// sample is on its way, and problem (why the last sample could not be written), when not
// null, is said across the chart's middle ("Card full: the last sample could not be
// written"), and left (timeleft.h), when not 0, in one line between the header and the chart
// ("About 2:10:00 left (3 earlier logs)"). Otherwise an empty log is a finished one ("No
// samples in this log"). The final flip is the caller's.
void drawChart(int isLogging, const char *problem, TimeLeft left = 0);

// Says across the chart's middle, over the points, "<cause>:" and what could not be done
// below it, on a black band: a user who left the device for hours must see it at a glance.
// The caller holds the screen lock and flips.
void drawTrouble(const char *cause, const char *what);

// The box the one-second clock erases and draws its time in: the top line of the readout
// box, where the end-of-axis label sits, at the bottom right of the last chart drawn
// (chartRect). Before any chart it lies left of the screen. Read under the screen lock.
SDL_Rect clockBox(void);

// Fills r with white and all of it but its left column and bottom row with black: the two
// axes.
void drawAxes(SDL_Rect r);

// One sample point: the white 2 x 2 square whose bottom left corner touches (x, y).
void drawPoint(int x, int y);

// Formats count / unitsPerSecond seconds as an elapsed time, "HH:MM:SS", the hours going on
// past 24 ("30:00:00") and taking more digits from 100. The text lives in a buffer of the
// calling thread, valid until that thread's next call. A zero unitsPerSecond counts as 1.
const char *formatClock(unsigned count, unsigned unitsPerSecond);

// Maps value linearly from from ... to onto outFrom ... outTo in single precision: the three
// differences exactly, each made a float, then (value - from) * (outTo - outFrom) / (to -
// from) + outFrom, multiply before divide. from may exceed to (the level axis turns over).
// Gives -1 when from equals to. Takes the chart's unsigned 32-bit fields without overflow.
float scaleToRange(long long value, long long from, long long to, long long outFrom,
                   long long outTo);
