// The battery gauge across logs: gaugeOf hands each log's samples to the gauge core that
// voltrace shares (chargeleft.h), and keeps the columns and the reasons for the page.
#include "gauge.h"

#include <errno.h>
#include <stdio.h>

#include <algorithm>

/* gauge state: none; every function works on the logs it is given */

// Why a log is not in the gauge, in one line. readLog reports no log without a reading and
// sorts the samples, so only the first two are ever said.
static std::string leftOutReason(GaugeVerdict verdict, const GaugeWalk &walk,
                                 uint32_t emptyLevel)
{
    switch (verdict) {
    case GAUGE_NOT_RUN_DOWN:
        return "did not run down: its last level " + formatVolts(walk.lastLevel) +
               " V is above " + formatVolts(emptyLevel) + " V";
    case GAUGE_NO_RUN_TIME:
        return "no run time to share out: one sample, or only holes";
    case GAUGE_NO_READING:
        return "no battery reading in it";
    default:
        return "samples out of time order";
    }
}

Gauge gaugeOf(const std::vector<LogSummary> &logs, uint32_t emptyLevel)
{
    Gauge gauge;
    GaugeMean mean = {};
    for (size_t n = 0; n < logs.size(); n++) {
        const std::vector<Sample> &s = logs[n].samples;
        GaugeWalk walk;
        beginGaugeWalk(&walk);
        walkSamples(&walk, s.data(), s.size());
        GaugeVerdict verdict = turnGaugeWalk(&walk, emptyLevel);
        if (verdict != GAUGE_TAKEN) {
            gauge.leftOut.push_back({n, leftOutReason(verdict, walk, emptyLevel)});
            continue;
        }
        walkSamples(&walk, s.data(), s.size());
        endGaugeWalk(&walk);
        GaugeColumn column;
        column.log = n;
        std::copy(walk.levels, walk.levels + GAUGE_ROWS, column.levels);
        gauge.columns.push_back(column);
        addToMean(&mean, &walk);
    }
    if (!gauge.columns.empty())
        meanLevels(&mean, gauge.mean);
    return gauge;
}

int writeGaugeCsv(const char *path, const Gauge &gauge)
{
    FILE *out = fopen(path, "w");
    if (!out)
        return 0;
    fputs("percent,millivolts\n", out);
    for (int row = 0; row < GAUGE_ROWS; row++)
        fprintf(out, "%d,%u\n", 100 - row * GAUGE_STEP, gauge.mean[row]);
    int failed = ferror(out);
    if (fclose(out) != 0 || failed) {
        // Half a table would still load as a gauge, and a wrong one.
        int error = errno;
        remove(path);
        errno = error;
        return 0;
    }
    return 1;
}
