// One log as the report sees it: readLog reads and sorts the samples, the other functions
// derive the table's numbers, the holes and the tenth-of-a-volt crossings. Start at readLog.
#include "summary.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include <algorithm>

#include "logfile.h"

/* summary state: none; every function works on the LogSummary it is given */

static const uint32_t HIGHEST_TENTH = 5000;  // a battery reading never exceeds 5000 mV

int readLog(const char *path, LogSummary *log, std::string *problem)
{
    problem->clear();
    FILE *file = fopen(path, "r");
    if (!file) {
        *problem = std::string("cannot open: ") + strerror(errno);
        return 0;
    }
    int reported = readLogFrom(file, log, problem);
    fclose(file);
    return reported;
}

int readLogFrom(FILE *file, LogSummary *log, std::string *problem)
{
    problem->clear();
    char *line = nullptr;
    size_t size = 0;
    ssize_t n;
    uint32_t latest = 0;
    unsigned long marks = 0;
    while ((n = getline(&line, &size, file)) > 0) {
        log->lines++;
        Sample s;
        if (!parseSample(line, static_cast<size_t>(n), log->lines == 1, &s.time, &s.level)) {
            if (log->firstDamaged == 0)
                log->firstDamaged = log->lines;
            continue;
        }
        if (!log->samples.empty() && s.time < latest)
            log->outOfOrder++;
        latest = std::max(latest, s.time);
        marks += !isReading(s);
        log->samples.push_back(s);
    }
    // A directory opens for reading and fails at the first read.
    int readError = ferror(file) ? errno : 0;
    free(line);
    if (readError) {
        *problem = std::string("cannot read: ") + strerror(readError);
        return 0;
    }
    if (log->lines == 0) {
        *problem = "empty file, no samples";
        return 0;
    }
    if (log->samples.empty()) {
        char text[96];
        snprintf(text, sizeof text, "not a discharge log: none of its %lu lines is a sample",
                 log->lines);
        *problem = text;
        return 0;
    }
    if (marks == log->samples.size()) {
        *problem = "no battery reading in it: the device could not read its battery file";
        return 0;
    }
    std::stable_sort(log->samples.begin(), log->samples.end(),
                     [](const Sample &a, const Sample &b) { return a.time < b.time; });
    char text[160];
    unsigned long damaged = log->lines - log->samples.size();
    if (damaged > 0) {
        snprintf(text, sizeof text, "skipped %lu damaged line%s, the first at line %lu", damaged,
                 damaged == 1 ? "" : "s", log->firstDamaged);
        *problem = text;
    }
    if (log->outOfOrder > 0) {
        snprintf(text, sizeof text, "%s%lu sample%s out of time order, taken in time order",
                 problem->empty() ? "" : "; ", log->outOfOrder, log->outOfOrder == 1 ? "" : "s");
        *problem += text;
    }
    if (marks > 0) {
        snprintf(text, sizeof text, "%s%lu sample%s without a battery reading (%u), counted for "
                 "time only", problem->empty() ? "" : "; ", marks, marks == 1 ? "" : "s",
                 NO_READING);
        *problem += text;
    }
    return 1;
}

std::vector<Gap> gapsOf(const LogSummary &log)
{
    std::vector<Gap> gaps;
    const std::vector<Sample> &s = log.samples;
    for (size_t i = 1; i < s.size(); i++)
        if (s[i].time - s[i - 1].time > GAP_SECONDS)
            gaps.push_back({s[i - 1].time - s[0].time, s[i].time - s[i - 1].time});
    return gaps;
}

// The first and the last sample with a real reading; readLog reports no log without one.
static const Sample &firstReading(const std::vector<Sample> &s)
{
    return *std::find_if(s.begin(), s.end(), isReading);
}

static const Sample &lastReading(const std::vector<Sample> &s)
{
    return *std::find_if(s.rbegin(), s.rend(), isReading);
}

LogNumbers numbersOf(const LogSummary &log)
{
    const Sample &first = firstReading(log.samples), &last = lastReading(log.samples);
    LogNumbers n;
    n.samples = log.samples.size();
    n.damaged = log.lines - n.samples;
    n.runTime = log.samples.back().time - log.samples.front().time;
    n.startLevel = first.level;
    n.endLevel = last.level;
    uint32_t between = last.time - first.time;
    n.hasFall = between > 0;
    n.fallPerHour =
        n.hasFall ? (static_cast<double>(first.level) - last.level) * 3600.0 / between : 0.0;
    n.gaps = gapsOf(log).size();
    return n;
}

std::vector<Crossing> crossingsOf(const LogSummary &log)
{
    std::vector<Crossing> crossings;
    const std::vector<Sample> &s = log.samples;
    uint32_t tenth = std::min(firstReading(s).level / 100 * 100, HIGHEST_TENTH);
    // The samples are in time order, so one walk finds every first fall, highest tenth first.
    for (const Sample &sample : s) {
        while (isReading(sample) && tenth > 0 && sample.level < tenth) {
            crossings.push_back({tenth, sample.time - s[0].time});
            tenth -= 100;
        }
    }
    return crossings;
}

std::string formatDuration(uint32_t seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

std::string formatVolts(uint32_t millivolts)
{
    char text[32];
    snprintf(text, sizeof text, "%u.%03u", millivolts / 1000, millivolts % 1000);
    return text;
}
