// Fuzzes voltrace-report's reading of a log, without SDL: the line rule, the table's numbers,
// the holes, the crossings and the gauge, each checked against a rule that must hold. The
// whole input is the log. Built as a libFuzzer target in the fuzz build, and as a
// replay of its seed corpus in every other build.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gauge.h"
#include "logfile.h"
#include "summary.h"

/* fuzz state: none; every input is read from memory and checked on its own */

// Counts the sample lines the way a reader of the file would, line by line. memchr finds
// the line ends, so the harness itself adds little to each run.
static size_t countSamples(const uint8_t *data, size_t size)
{
    size_t count = 0;
    std::vector<char> line;
    for (const uint8_t *start = data, *end; (end = static_cast<const uint8_t *>(
                                                  memchr(start, '\n', data + size - start)));
         start = end + 1) {
        line.assign(start, end + 1);
        uint32_t t, v;
        count += static_cast<size_t>(parseSample(line.data(), line.size(), start == data, &t, &v));
    }
    return count;
}

static void check(int holds)
{
    if (!holds)
        abort();
}

static void checkNumbers(const LogSummary &log)
{
    const std::vector<Sample> &s = log.samples;
    LogNumbers n = numbersOf(log);
    check(n.samples == s.size() && n.runTime == s.back().time - s.front().time);
    check(n.startLevel != NO_READING && n.endLevel != NO_READING);
    check(n.gaps == gapsOf(log).size() && n.gaps < s.size());

    // Highest tenth first, a tenth of a volt apart, each a real reading's first fall below it.
    std::vector<Crossing> crossings = crossingsOf(log);
    for (size_t i = 0; i < crossings.size(); i++) {
        check(crossings[i].tenth % 100 == 0 && crossings[i].tenth <= 5000);
        check(crossings[i].tenth <= n.startLevel && crossings[i].at <= n.runTime);
        if (i > 0)
            check(crossings[i].tenth + 100 == crossings[i - 1].tenth &&
                  crossings[i].at >= crossings[i - 1].at);
    }
}

// The column never climbs, starts at the first real reading and ends at the lowest one.
static void checkGauge(const std::vector<LogSummary> &logs)
{
    const LogSummary &log = logs[0];
    uint32_t first = NO_READING, lowest = 0xFFFFFFFFu;
    for (const Sample &s : log.samples) {
        if (!isReading(s))
            continue;
        first = first == NO_READING ? s.level : first;
        lowest = std::min(lowest, s.level);
    }
    // Every log with a run time qualifies when the empty level is the highest there is.
    Gauge gauge = gaugeOf(logs, 0xFFFFFFFFu);
    check(gauge.columns.size() + gauge.leftOut.size() == 1);
    if (gauge.columns.empty())
        return;
    const double *levels = gauge.columns[0].levels;
    check(levels[0] == first && levels[GAUGE_ROWS - 1] == lowest);
    for (int row = 0; row < GAUGE_ROWS; row++) {
        check(levels[row] >= lowest && levels[row] <= first);
        check(row == 0 || levels[row] <= levels[row - 1]);
        check(gauge.mean[row] == wholeMillivolts(levels[row]));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An empty log is an empty file, which the report's tests cover; a memory stream of no
    // bytes cannot be opened everywhere.
    if (size == 0)
        return 0;
    FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!file)
        abort();
    std::vector<LogSummary> logs(1);
    std::string problem;
    int reported = readLogFrom(file, &logs[0], &problem);
    fclose(file);
    const std::vector<Sample> &s = logs[0].samples;
    check(s.size() == countSamples(data, size));
    if (!reported)
        return 0;
    check(std::is_sorted(s.begin(), s.end(),
                         [](const Sample &a, const Sample &b) { return a.time < b.time; }));
    check(std::any_of(s.begin(), s.end(), isReading));
    checkNumbers(logs[0]);
    checkGauge(logs);
    return 0;
}
