// The battery gauge across logs. gaugeOf decides which logs qualify and averages their
// columns; columnOf reads one log's falling envelope. Start at gaugeOf.
#include "gauge.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>

#include <algorithm>

/* gauge state: none; every function works on the logs it is given */

// One log's column, as gauge.h describes it. Returns 0 when the log has no awake time.
static int columnOf(const LogSummary &log, double levels[GAUGE_ROWS])
{
    const std::vector<Sample> &s = log.samples;
    std::vector<double> at, envelope;  // awake seconds and envelope level of each real reading
    double awake = 0.0, lowest = 0.0;
    for (size_t i = 0; i < s.size(); i++) {
        if (i > 0) {
            uint32_t step = s[i].time - s[i - 1].time;
            awake += step > GAP_SECONDS ? 0 : step;
        }
        if (!isReading(s[i]))
            continue;
        lowest = at.empty() ? s[i].level : std::min(lowest, static_cast<double>(s[i].level));
        // A run that begins with NO_READING samples has its first reading from its start.
        if (at.empty() && awake > 0.0) {
            at.push_back(0.0);
            envelope.push_back(lowest);
        }
        at.push_back(awake);
        envelope.push_back(lowest);
    }
    if (awake == 0.0 || at.empty())
        return 0;
    if (at.back() < awake) {
        at.push_back(awake);
        envelope.push_back(lowest);
    }
    // Rows go forward in time, so one walk along the readings serves them all. Where readings
    // share an awake time (around a hole) the later, lower one holds.
    size_t j = 0;
    for (int row = 0; row < GAUGE_ROWS; row++) {
        double gone = awake * (row * GAUGE_STEP) / 100.0;
        while (j + 1 < at.size() && at[j + 1] <= gone)
            j++;
        if (row == 0)
            levels[row] = envelope[0];
        else if (j + 1 < at.size())
            levels[row] = envelope[j] + (envelope[j + 1] - envelope[j]) * (gone - at[j]) /
                                            (at[j + 1] - at[j]);
        else
            levels[row] = envelope[j];
    }
    return 1;
}

Gauge gaugeOf(const std::vector<LogSummary> &logs, uint32_t emptyLevel)
{
    Gauge gauge;
    for (size_t n = 0; n < logs.size(); n++) {
        LogNumbers numbers = numbersOf(logs[n]);
        if (numbers.endLevel > emptyLevel) {
            gauge.leftOut.push_back(
                {n, "did not run down: its last level " + formatVolts(numbers.endLevel) +
                        " V is above " + formatVolts(emptyLevel) + " V"});
            continue;
        }
        GaugeColumn column;
        column.log = n;
        if (!columnOf(logs[n], column.levels)) {
            gauge.leftOut.push_back({n, "no run time to share out: one sample, or only holes"});
            continue;
        }
        gauge.columns.push_back(column);
    }
    for (int row = 0; row < GAUGE_ROWS && !gauge.columns.empty(); row++) {
        double sum = 0.0;
        for (const GaugeColumn &c : gauge.columns)
            sum += c.levels[row];
        gauge.mean[row] = wholeMillivolts(sum / static_cast<double>(gauge.columns.size()));
    }
    return gauge;
}

uint32_t wholeMillivolts(double millivolts)
{
    // Levels come from 32-bit readings, so the rounded value fits; long long keeps it so
    // where long has 32 bits.
    return static_cast<uint32_t>(llround(millivolts));
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
