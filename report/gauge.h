// The battery gauge: charge left at each twentieth of a run, read from the logs that ran
// down, for a launcher to map a level to a percentage. gaugeOf builds it on voltrace's own
// gauge core; writeGaugeCsv saves it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "summary.h"

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

// The gauge of the logs, by the core that voltrace shares (chargeleft.h): every log that ran
// down to emptyLevel and has awake time, in its own column, and their mean; the others
// left out, each with its reason.
Gauge gaugeOf(const std::vector<LogSummary> &logs, uint32_t emptyLevel);

// Writes the mean as CSV: the line "percent,millivolts", then 21 rows "100,4183" ... "0,3412".
// Only for a gauge with columns. Returns 0 when the file could not be written completely.
int writeGaugeCsv(const char *path, const Gauge &gauge);
