// The battery gauge: charge left at each twentieth of a run, read from the logs that ran
// down, for a launcher to map a level to a percentage. gaugeOf builds it; writeGaugeCsv saves it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "summary.h"

// A log whose last level is above this many millivolts was stopped before the battery ran
// down: its 0 % would be a level the battery still had plenty of charge at.
static const uint32_t EMPTY_DEFAULT = 3600;

// Rows from 100 % charge left down to 0 % in steps of GAUGE_STEP.
static const int GAUGE_STEP = 5;
static const int GAUGE_ROWS = 100 / GAUGE_STEP + 1;

// One log's levels in millivolts at 100, 95, ... 0 % charge left, not yet rounded.
struct GaugeColumn {
    size_t log;  // index into the logs the gauge was built from
    double levels[GAUGE_ROWS];
};

struct LeftOut {
    size_t log;          // index into the logs
    std::string reason;  // one line: why the log is not in the gauge
};

struct Gauge {
    std::vector<GaugeColumn> columns;  // the logs taken into it, in the order given
    std::vector<LeftOut> leftOut;      // the others, in the order given
    uint32_t mean[GAUGE_ROWS] = {};    // whole millivolts, the columns' mean; only with columns
};

// The run time a charge-left percentage is a share of. A log's run time here is its awake
// time: a hole (neighbouring samples more than GAP_SECONDS apart) counts as none, since the
// device slept and drew almost nothing. Counting the hours asleep would claim charge was used
// when it was not, and so show more charge left before the hole than there was. NO_READING
// samples count for time like any other.
//
// Levels follow the falling envelope of the real readings: the lowest level so far,
// interpolated linearly in awake time between samples, so a recovery (the rise after a rest,
// a noisy reading) never makes a column climb. Before the first real reading the envelope is
// that reading; after the last, the lowest. 100 % is the first real reading and 0 % the
// lowest one.
//
// A log is left out when its last real reading is above emptyLevel (it did not run down), or
// when it has no awake time (one sample, or only holes between its samples).
Gauge gaugeOf(const std::vector<LogSummary> &logs, uint32_t emptyLevel);

// Writes the mean as CSV: the line "percent,millivolts", then 21 rows "100,4183" ... "0,3412".
// Only for a gauge with columns. Returns 0 when the file could not be written completely.
int writeGaugeCsv(const char *path, const Gauge &gauge);

// Level as a whole number of millivolts, rounded to the nearest.
uint32_t wholeMillivolts(double millivolts);
