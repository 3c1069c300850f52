// The charge-left gauge (chargeleft.h): the two walks over a log's samples, the mean across
// logs and the time left at a level. Start at walkSamples, then placePoint.
#include "chargeleft.h"

#include <math.h>

/* gauge state: none; every function works on the walk or mean it is given */

void beginGaugeWalk(GaugeWalk *walk)
{
    *walk = GaugeWalk();
}

// The second walk's next point of the envelope: every row whose moment of the run comes
// before it lies between the last point and this one.
static void placePoint(GaugeWalk *w, double at, double level)
{
    if (w->points == 0) {
        w->levels[0] = level;
    } else {
        for (; w->row < GAUGE_ROWS; w->row++) {
            const double gone = w->runTime * (w->row * GAUGE_STEP) / 100.0;
            if (!(gone < at))
                break;
            w->levels[w->row] =
                w->pointLevel + (level - w->pointLevel) * (gone - w->pointAt) / (at - w->pointAt);
        }
    }
    w->points++;
    w->pointAt = at;
    w->pointLevel = level;
}

void walkSamples(GaugeWalk *w, const Sample *samples, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const Sample &s = samples[i];
        if (w->walked) {
            w->outOfOrder |= s.time < w->previous;
            const uint32_t step = s.time - w->previous;
            w->awake += step > GAP_SECONDS ? 0 : step;
        }
        w->walked = 1;
        w->previous = s.time;
        if (!isReading(s))
            continue;
        if (!w->second) {
            w->hasReading = 1;
            w->lastLevel = s.level;
            continue;
        }
        if (w->points == 0) {
            w->lowest = s.level;
            // A run that begins with NO_READING samples has its first reading from its start.
            if (w->awake > 0.0)
                placePoint(w, 0.0, w->lowest);
        } else if (s.level < w->lowest) {
            w->lowest = s.level;
        }
        placePoint(w, w->awake, w->lowest);
    }
}

GaugeVerdict turnGaugeWalk(GaugeWalk *w, uint32_t emptyLevel)
{
    if (w->outOfOrder)
        return GAUGE_OUT_OF_ORDER;
    if (!w->hasReading)
        return GAUGE_NO_READING;
    if (w->lastLevel > emptyLevel)
        return GAUGE_NOT_RUN_DOWN;
    if (w->awake == 0.0)
        return GAUGE_NO_RUN_TIME;
    w->runTime = w->awake;
    w->second = 1;
    w->walked = 0;
    w->awake = 0.0;
    w->row = 1;
    return GAUGE_TAKEN;
}

void endGaugeWalk(GaugeWalk *w)
{
    if (w->pointAt < w->runTime)
        placePoint(w, w->runTime, w->lowest);
    for (; w->row < GAUGE_ROWS; w->row++)
        w->levels[w->row] = w->pointLevel;
}

void addToMean(GaugeMean *mean, const GaugeWalk *column)
{
    for (int row = 0; row < GAUGE_ROWS; row++)
        mean->sums[row] += column->levels[row];
    mean->runTimes += column->runTime;
    mean->logs++;
}

void meanLevels(const GaugeMean *mean, uint32_t levels[GAUGE_ROWS])
{
    for (int row = 0; row < GAUGE_ROWS; row++)
        levels[row] = wholeMillivolts(mean->sums[row] / static_cast<double>(mean->logs));
}

uint32_t wholeMillivolts(double millivolts)
{
    // Levels come from 32-bit readings, so the rounded value fits; long long keeps it so
    // where long has 32 bits.
    return static_cast<uint32_t>(llround(millivolts));
}

// The estimate reads the time left from the level alone, without a correction for this log
// running faster or slower than the earlier ones did down to the same level. The load is
// the same in every voltrace log (full backlight, a busy processor), so the earlier runs are
// the fair guide from a level to empty, and a log that does run faster already shows it: its
// level falls sooner, and the estimate, read anew from the level at every sample, falls with
// it. A pace measured from this log's own clock would instead swing most in its first
// minutes, when the level drops steeply and a reading's noise is large beside the fall so
// far, and it would make the time left climb while the level holds still on the flat middle
// of the curve, since the clock runs on; the line must never climb while the battery drains.
uint32_t timeLeftAt(const uint32_t levels[GAUGE_ROWS], double runTime, uint32_t level)
{
    double share = 0.0;  // percent of the run still to come
    if (level >= levels[0]) {
        share = 100.0;
    } else {
        // The first row at or below level; the row above it is above level.
        for (int row = 1; row < GAUGE_ROWS; row++) {
            if (levels[row] > level)
                continue;
            share = (100 - row * GAUGE_STEP) + GAUGE_STEP * static_cast<double>(level - levels[row]) /
                                                   static_cast<double>(levels[row - 1] - levels[row]);
            break;
        }
    }
    double seconds = share / 100.0 * runTime;
    // A run of 30 days leaves every figure below it; a larger one is no discharge.
    const double longest = 30.0 * 86400.0;
    if (!(seconds < longest))
        seconds = longest;
    const uint32_t whole = static_cast<uint32_t>(seconds);
    return (whole + TIME_LEFT_STEP / 2) / TIME_LEFT_STEP * TIME_LEFT_STEP;
}
