// The report's two outputs: the table on a text stream, and the HTML page with the same
// table, an SVG chart of every log overlaid, the charge left, the tenth-of-a-volt crossings
// and the holes.
#pragma once

#include <stdio.h>

#include <vector>

#include "gauge.h"
#include "summary.h"

// The logs' colours in the chart and its legend, in the order the logs were named; the ninth
// log takes the first colour again. Far apart, so each curve stays told apart (and found by
// colour in a rendering).
static constexpr unsigned char LOG_COLORS[][3] = {
    {0, 90, 200}, {220, 50, 30}, {0, 150, 60}, {150, 60, 190},
    {230, 140, 0}, {0, 170, 190}, {120, 80, 40}, {230, 70, 160},
};

// One header line, then one row per log, columns aligned: log, samples, skipped, run time,
// start V, end V, fall mV/h, gaps. A log without a run time shows "-" as its fall.
void printTable(FILE *out, const std::vector<LogSummary> &logs);

// Writes the page to path: one file with its style inline and no scripts or outside
// resources. gauge is gaugeOf(logs, emptyLevel). Returns 0 when it could not be written
// completely.
int writePage(const char *path, const std::vector<LogSummary> &logs, const Gauge &gauge,
              uint32_t emptyLevel);
