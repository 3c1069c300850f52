// What the reliability tests share: the replayable seed, the whole-line rule for logs, the
// screen checks (help text, the chart's axis, the red band), memory readings and the
// figures line each test prints. Start with checkLog.
#pragma once

#include <sys/types.h>

#include <random>
#include <string>
#include <vector>

#include "harness.h"

// The seed of this test process's random moments: RELIABILITY_SEED when set, so a failure
// printed with its seed can be replayed, else a fresh one. Printed once.
unsigned reliabilitySeed(void);
std::mt19937 &randomMoments(void);
int randomBetween(int low, int high);  // inclusive

struct LogCheck {
    int whole = 0;        // lines of the form "N,M\n"
    int malformed = 0;    // lines ended by a newline that are not
    bool cut = false;     // a last piece without its newline
    bool stepped = true;  // the k-th whole line is taken in minute k (60 k ... 60 k + 59 s),
                          // as the sampler writes
    std::string firstBad; // the first malformed line, for the failure message
};

// Reads a log as the sampler writes it: decimal seconds, a comma, decimal millivolts in
// 1..5000, a line feed; nothing else.
LogCheck checkLog(const std::string &text);

// The voltrace screens: help text at the top left, the chart's vertical axis (a white
// column over the chart's whole height), the red band of the logging screen.
bool helpShown(const Screen &s);
bool chartShown(const Screen &s);
bool redBand(const Screen &s);
// strobel: the grey square anywhere near its start.
bool greySquareShown(const Screen &s);

// Resident memory of a running process in kB (-1 when it is gone).
long residentKb(pid_t pid);

long long nowMs(void);

// One line of figures on standard output, "reliability: ...", also kept as a test property
// so it lands in ctest's and gtest's reports.
void reportFigures(const std::string &line);

// Which sanitizer this test was built with ("tsan", "asan-ubsan" or "none"), for the
// figures: the programs are built alike.
const char *sanitizerBuild(void);
