// The log chart: battery level in volts over elapsed time, read straight from the current
// slot's log on every rebuild, in two passes (ranges, then plot). Start at drawChart.
#pragma once

#include <SDL.h>

// What the first pass learns from a log. Times are seconds, levels millivolts, both as the
// unsigned 32-bit values of the log's fields.
struct ChartRanges {
    int opened;          // 1 when the log could be opened
    Uint32 timeMin, timeMax;
    Uint32 levelMin, levelMax;
    Uint32 lineCount;    // usable lines (samples) in the log
};

// Which lines are samples. Both passes ask this one function, so the ranges, the batch size
// and the plotted points always agree. A sample line:
//   - ends with a line feed (a last line without one was cut short by a power cut mid-write
//     and is not a sample yet), and holds no NUL byte (what a FAT card shows after a cut);
//   - splits at commas as strtok does (runs of commas count as one), into at least two
//     fields; fields past the second are ignored;
//   - has as its first two fields a decimal integer 0 ... 4294967295 each, with optional
//     blanks around it (so CRLF endings and "60, 4100" read as meant) and an optional '+'.
// Anything else (empty lines, a lone number, words, negative numbers, numbers beyond 32
// bits, binary bytes) is not a sample and both passes skip it.
int parseSample(char *line, size_t length, Uint32 *time, Uint32 *level);

// First pass over the log at path: ranges and sample count, the ranges widened by 10 when
// min equals max. With no samples the ranges keep their start values (min all bits set,
// max 0); the caller shows a notice instead of labels derived from them.
ChartRanges scanLog(const char *path);

// Draws the chart of the log at csvPath onto screen; the caller holds the screen lock and
// has drawn the header and footer. Sets chartRect, plots in at most five frames (flipping
// after every lineCount / 5 + 1 samples), leaves the last sample's time and level as the
// readout at the bottom right, and discards every event that arrived meanwhile. The final
// flip is the caller's.
void drawChart(void);

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
