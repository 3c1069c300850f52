// What the report learns from one discharge log: its samples in time order and the numbers
// of the table. readLog reads a file by the device's line rule; the rest works on the result.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "chargeleft.h"
#include "logfile.h"

// Samples (chargeleft.h) that are NO_READING (logfile.h) count for time but never as a
// level: not in start and end levels, the fall, the crossings, the chart's curve or the gauge.

struct LogSummary {
    std::string name;             // the path as the user gave it
    std::vector<Sample> samples;  // every sample line, sorted by time (stable)
    unsigned long lines = 0;      // lines read, samples and damaged ones
    unsigned long firstDamaged = 0;  // line number (from 1) of the first damaged line, or 0
    unsigned long outOfOrder = 0;    // samples earlier than the sample before them in the file
};

// The table's numbers. Only for a log that readLog reported (one real reading at least).
struct LogNumbers {
    unsigned long samples;   // every sample, NO_READING ones included
    unsigned long damaged;   // lines that are not samples, skipped
    uint32_t runTime;        // seconds from the first sample to the last
    uint32_t startLevel;     // millivolts of the first and the last real reading
    uint32_t endLevel;
    int hasFall;             // 0 when no time passed between those two readings
    double fallPerHour;      // millivolts per hour, start minus end over the time between them
    unsigned long gaps;      // neighbouring samples more than GAP_SECONDS apart
};

struct Gap {
    uint32_t at;      // seconds from the first sample to the last one before the hole
    uint32_t length;  // seconds between the two samples around it
};

struct Crossing {
    uint32_t tenth;  // millivolts, a multiple of 100
    uint32_t at;     // seconds from the first sample to the first sample below tenth
};

// Reads the log at path into log. Returns 1 when it holds at least one sample with a real
// reading. problem gets a one-line message when the file is not reported (cannot be opened
// or read, is empty, holds no sample, holds only NO_READING samples), and a warning when it
// is reported but has damaged lines, samples out of time order or NO_READING samples; it is
// left empty otherwise.
int readLog(const char *path, LogSummary *log, std::string *problem);

// The same from a stream already open for reading, which stays open.
int readLogFrom(FILE *file, LogSummary *log, std::string *problem);

LogNumbers numbersOf(const LogSummary &log);

// Every hole in the log, in time order.
std::vector<Gap> gapsOf(const LogSummary &log);

// For each tenth of a volt from the one at or below the start level down to 0.1 V that the
// log fell below, the time of its first real reading below it; highest tenth first. Levels above
// 5 V, which no battery reading gives, start the list at 5.0 V, so a hostile level cannot
// make it long.
std::vector<Crossing> crossingsOf(const LogSummary &log);

// Durations as hours:minutes:seconds, hours not wrapped at a day: "10:00:00", "0:01:30".
std::string formatDuration(uint32_t seconds);

// Millivolts as volts with three decimals, exactly: 3850 gives "3.850".
std::string formatVolts(uint32_t millivolts);
