// The time left on the logging screen: at START the card thread reads the earlier discharges
// beside the log into the charge-left gauge (chargeleft.h), and after every sample it turns
// the log's own level into the estimate the screens show. Start at estimateTimeLeft.
#pragma once

#include <SDL.h>

#include <atomic>

#include "chargeleft.h"

// An estimate as the screens get it, in one word so that the main thread never reads half
// of one: the time left in whole minutes, times 256, plus the number of earlier logs it comes
// from (1 ... MAX_EARLIER_LOGS). 0: nothing to show.
typedef Uint32 TimeLeft;

static inline TimeLeft packTimeLeft(uint32_t seconds, int logs)
{
    return seconds / 60 << 8 | static_cast<Uint32>(logs);
}
static inline unsigned minutesLeft(TimeLeft left)
{
    return left >> 8;
}
static inline unsigned earlierLogsOf(TimeLeft left)
{
    return left & 0xFF;
}

/* time-left state shared with the sampler and the screens; what it holds and who writes it
   is said beside its definition in timeleft.cpp */
extern std::atomic<TimeLeft> timeLeft;

// The earlier logs read at START: at most this many, the most recently written, since a
// battery ages and its latest discharges say most about it. With the report's bound on a
// log's size, a START reads at most eight files of 4 MB, twice each.
static const int MAX_EARLIER_LOGS = 8;
static const long MAX_LOG_BYTES = 4L << 20;  // past this a file is no discharge log (a day's
                                            // is about 20 KB), as the report's page has it

// The earlier discharges' gauge.
struct EarlierGauge {
    int logs;                     // logs taken into it; 0 when none qualified
    uint32_t levels[GAUGE_ROWS];  // their mean gauge, whole millivolts; only with logs
    double runTime;               // their mean awake seconds; only with logs
};

// Reads into gauge the slot logs (battery<N>.csv) in csv's folder other than csv itself,
// each by the report's gauge rules with its empty level (EMPTY_DEFAULT): one that did not
// run down, has no awake time, is out of time order, is larger than MAX_LOG_BYTES, is not a
// regular file or cannot be read is left out. Blocks on the card: card thread only (and
// tests).
void readEarlierLogs(const char *csv, EarlierGauge *gauge);

// Card thread, after each sample of the log at csv that START number order began, with the
// level that sample read (the first call for an order reads the earlier logs): the estimate
// at the log's envelope, its lowest real reading so far, from the earlier logs' gauge. 0
// while the log has no real reading or no earlier log qualified.
TimeLeft estimateTimeLeft(unsigned order, const char *csv, uint32_t level);
