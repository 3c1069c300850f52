// The charge-left gauge, written once for voltrace on the device and voltrace-report on the
// PC, so the two never disagree: each log's levels at every twentieth of its run, their mean
// across logs, and the time left at a level. Plain C style: the caller hands in the samples,
// nothing is allocated and every bound is fixed. Start at GaugeWalk.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "logfile.h"

// Two samples further apart than this left a hole in the log: the device slept, or the
// program was stopped. The device writes one sample a minute.
static const uint32_t GAP_SECONDS = 90;

// A log whose last level is above this many millivolts was stopped before the battery ran
// down: its 0 % would be a level the battery still had plenty of charge at.
static const uint32_t EMPTY_DEFAULT = 3600;

// Rows from 100 % charge left down to 0 % in steps of GAUGE_STEP.
static const int GAUGE_STEP = 5;
static const int GAUGE_ROWS = 100 / GAUGE_STEP + 1;

// One sample of a log. NO_READING samples (logfile.h) count for time but never as a level.
struct Sample {
    uint32_t time;   // seconds since logging started, as the log has it
    uint32_t level;  // millivolts, or NO_READING
};

static inline int isReading(const Sample &s)
{
    return s.level != NO_READING;
}

// One log's column: its levels in millivolts at 100, 95, ... 0 % charge left, read in two
// walks over its samples in time order, handed in by the caller in pieces of any size: the
// first finds the run time, the second the levels.
//
// The run time a charge-left percentage is a share of is the log's awake time: a hole
// (neighbouring samples more than GAP_SECONDS apart) counts as none, since the device slept
// and drew almost nothing. Counting the hours asleep would claim charge was used when it was
// not, and so show more charge left before the hole than there was. NO_READING samples count
// for time like any other.
//
// Levels follow the falling envelope of the real readings: the lowest level so far,
// interpolated linearly in awake time between samples, so a recovery (the rise after a rest,
// a noisy reading) never makes a column climb. Before the first real reading the envelope is
// that reading; after the last, the lowest. 100 % is the first real reading and 0 % the
// lowest one. Where readings share an awake time (around a hole) the later, lower one holds.
struct GaugeWalk {
    int second;              // 0 in the first walk, 1 in the second
    int walked;              // a sample has been walked in this walk
    uint32_t previous;       // the time of the last sample walked
    double awake;            // awake seconds so far in this walk
    int hasReading;          // first walk: a real reading has been walked
    uint32_t lastLevel;      // first walk: the last real reading
    int outOfOrder;          // first walk: a sample came before the one ahead of it
    double runTime;          // awake seconds in all, from the first walk
    uint32_t lowest;         // second walk: the envelope so far
    int points;              // second walk: envelope points placed so far (0 or more)
    double pointAt;          // the last point's awake seconds and level
    double pointLevel;
    int row;                 // the next row to place
    double levels[GAUGE_ROWS];  // the column, complete once endGaugeWalk has run
};

// Whether a log goes into the gauge, said once its first walk is over.
enum GaugeVerdict {
    GAUGE_TAKEN,        // the second walk may begin
    GAUGE_NOT_RUN_DOWN, // its last real reading is above the empty level
    GAUGE_NO_RUN_TIME,  // no awake time: one sample, or only holes between its samples
    GAUGE_NO_READING,   // no real reading at all
    GAUGE_OUT_OF_ORDER, // its samples are not in time order (the report sorts them first)
};

void beginGaugeWalk(GaugeWalk *walk);

// The next count samples of the log, in time order, in either walk.
void walkSamples(GaugeWalk *walk, const Sample *samples, size_t count);

// Ends the first walk: GAUGE_TAKEN when the log goes into the gauge, its second walk then
// begun; else why not. A log is left out when its last real reading is above emptyLevel (it
// did not run down), or when it has no awake time.
GaugeVerdict turnGaugeWalk(GaugeWalk *walk, uint32_t emptyLevel);

// Ends the second walk: levels is the log's column.
void endGaugeWalk(GaugeWalk *walk);

// The mean of the columns taken, and of their run times. Zero it to begin.
struct GaugeMean {
    uint32_t logs;             // columns added
    double sums[GAUGE_ROWS];   // of their levels, row by row, added in the order given
    double runTimes;           // of their awake seconds
};

void addToMean(GaugeMean *mean, const GaugeWalk *column);

// The mean gauge in whole millivolts, row by row. Only with one log added at least.
void meanLevels(const GaugeMean *mean, uint32_t levels[GAUGE_ROWS]);

// Level as a whole number of millivolts, rounded to the nearest.
uint32_t wholeMillivolts(double millivolts);

// Seconds of run time left at level: the share of the run still to come there, read from
// the mean gauge levels (linearly between its rows; all of it above the 100 % row, none
// below the 0 % row), times runTime, the logs' mean awake seconds; rounded to the nearest
// TIME_LEFT_STEP, halves up. Never grows as level falls.
uint32_t timeLeftAt(const uint32_t levels[GAUGE_ROWS], double runTime, uint32_t level);

// Ten minutes: the finest step the estimate can back. Earlier runs of the same device differ
// by minutes to tens of minutes, the one-minute samples and a reading's noise of about 10 mV
// place a level on the flat middle of a lithium cell's curve only to within several
// minutes, and a finer figure would change every minute for no reason the user could act on.
static const uint32_t TIME_LEFT_STEP = 600;
