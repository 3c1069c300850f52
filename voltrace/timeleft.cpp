// The time left (timeleft.h): readEarlierLogs picks the earlier slot logs and walks each
// through the gauge core twice; estimateTimeLeft keeps the log's own envelope from every
// sample. Start at estimateTimeLeft.
#include "timeleft.h"

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "slots.h"

/* time-left state */
std::atomic<TimeLeft> timeLeft{0};  // the estimate for the log START last ordered, 0 for
                                    // none; reset by startLogging, written by the card thread
                                    // after each sample, both under the card's lock; read by
                                    // the screens
static bool gaugeKnown;             // earlier logs have been read; the card thread's own
static unsigned gaugeOrder;         // for this START; the card thread's own
static EarlierGauge earlier;        // into this; the card thread's own
static uint32_t envelope;           // this START's log's lowest real reading so far, or
                                    // NO_READING (above every reading) before one; the card
                                    // thread's own

static const size_t SAMPLE_BATCH = 64;  // samples handed to the gauge core at a time

// Whether name is a slot's log, "battery<N>.csv" with N as selectSlot writes it (plain
// decimal, no leading zero); its slot number into slot.
static bool isSlotLog(const char *name, uint32_t *slot)
{
    static const char PREFIX[] = "battery";
    if (strncmp(name, PREFIX, sizeof PREFIX - 1) != 0)
        return false;
    const char *digits = name + sizeof PREFIX - 1;
    const char *end = readDecimal(digits, INT_MAX, slot);
    return end && (digits[0] != '0' || end == digits + 1) && strcmp(end, ".csv") == 0;
}

// One walk of the log at path through the gauge. false when it cannot be opened or read
// whole.
static bool walkLog(const char *path, GaugeWalk *walk)
{
    LogReader in;
    if (!openLog(&in, path))
        return false;
    Sample batch[SAMPLE_BATCH];
    size_t n = 0;
    while (readSample(&in, &batch[n].time, &batch[n].level)) {
        if (++n == SAMPLE_BATCH) {
            walkSamples(walk, batch, n);
            n = 0;
        }
    }
    walkSamples(walk, batch, n);
    const bool whole = !in.failed;
    closeLog(&in);
    return whole;
}

// Adds the log at path to mean when the gauge takes it.
static void addLog(const char *path, GaugeMean *mean)
{
    GaugeWalk walk;
    beginGaugeWalk(&walk);
    if (!walkLog(path, &walk) || turnGaugeWalk(&walk, EMPTY_DEFAULT) != GAUGE_TAKEN ||
        !walkLog(path, &walk))
        return;
    endGaugeWalk(&walk);
    addToMean(mean, &walk);
}

struct EarlierLog {
    uint32_t slot;
    time_t written;  // its last modification
};

void readEarlierLogs(const char *csv, EarlierGauge *gauge)
{
    gauge->logs = 0;
    char folder[sizeof csvPath], path[sizeof csvPath];
    folderOf(csv, folder, sizeof folder);
    const char *slash = strrchr(csv, '/');
    const char *own = slash ? slash + 1 : csv;
    DIR *dir = opendir(folder);
    if (!dir)
        return;
    // The most recently written first; of two written in the same second (FAT keeps two),
    // the higher slot, which was started later.
    EarlierLog chosen[MAX_EARLIER_LOGS];
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        EarlierLog found;
        struct stat st;
        if (!isSlotLog(entry->d_name, &found.slot) || strcmp(entry->d_name, own) == 0 ||
            snprintf(path, sizeof path, "%s/%s", folder, entry->d_name) >=
                static_cast<int>(sizeof path) ||
            stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > MAX_LOG_BYTES)
            continue;
        found.written = st.st_mtime;
        int at = count;
        while (at > 0 && (chosen[at - 1].written < found.written ||
                          (chosen[at - 1].written == found.written &&
                           chosen[at - 1].slot < found.slot)))
            at--;
        if (at == MAX_EARLIER_LOGS)
            continue;
        if (count < MAX_EARLIER_LOGS)
            count++;
        memmove(chosen + at + 1, chosen + at, sizeof chosen[0] * (count - 1 - at));
        chosen[at] = found;
    }
    closedir(dir);
    // Walked in slot order, as a report of the same logs would usually list them.
    for (int i = 1; i < count; i++)
        for (int j = i; j > 0 && chosen[j - 1].slot > chosen[j].slot; j--) {
            EarlierLog swap = chosen[j];
            chosen[j] = chosen[j - 1];
            chosen[j - 1] = swap;
        }
    GaugeMean mean = {};
    for (int i = 0; i < count; i++) {
        // The same path as read from the folder, so it fits as it did then.
        if (snprintf(path, sizeof path, "%s/battery%u.csv", folder, chosen[i].slot) <
            static_cast<int>(sizeof path))
            addLog(path, &mean);
    }
    gauge->logs = static_cast<int>(mean.logs);
    if (mean.logs == 0)
        return;
    meanLevels(&mean, gauge->levels);
    gauge->runTime = mean.runTimes / mean.logs;
}

TimeLeft estimateTimeLeft(unsigned order, const char *csv, uint32_t level)
{
    if (!gaugeKnown || order != gaugeOrder) {
        readEarlierLogs(csv, &earlier);
        gaugeKnown = true;
        gaugeOrder = order;
        envelope = NO_READING;
    }
    // Every sample of this log passes here, so its envelope is kept, not read again from the
    // card each minute. A reading the card could not take still tells the battery's level.
    if (level < envelope)
        envelope = level;
    if (earlier.logs == 0 || envelope == NO_READING)
        return 0;
    return packTimeLeft(timeLeftAt(earlier.levels, earlier.runTime, envelope), earlier.logs);
}
