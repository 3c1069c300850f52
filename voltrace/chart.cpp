// The log chart: scanLog is the first pass (logfile.h decides what a sample line is),
// drawChart lays out the axes and labels and plots the second pass. Start at drawChart.
#include "chart.h"

#include <stdio.h>

#include "frame.h"
#include "slots.h"

/* chart state */
SDL_Rect chartRect;  // the last chart's area; drawChart writes it, the clock reads it (clockBox)

static const int CHART_TOP = 50;          // y of the level axis's top end
static const int CHART_HEIGHT = 130;      // the time axis is row CHART_TOP + CHART_HEIGHT - 1
static const int CHART_RIGHT = 310;       // x of the time axis's right end, whatever W is
static const int READOUT_WIDTH = 70;      // the box that the readout erases: the end-time
static const int READOUT_HEIGHT = 36;     // label's line and the value's line below it
static const int CLOCK_HEIGHT = 17;       // the end-time label's line alone, which the clock
                                          // redraws every second
static const int TIME_LEFT_Y = 30;        // the middle of the free rows between the header
                                          // (to row 17) and the top label (from row 43)

// A one-sample range would make the scale divide by zero: give it ten units, downwards when
// upwards would wrap.
static void widen(Uint32 *min, Uint32 *max)
{
    if (*min != *max)
        return;
    if (*max <= 0xFFFFFFFFu - 10)
        *max = *min + 10;
    else
        *min = *max - 10;
}

ChartRanges scanLog(const char *path)
{
    ChartRanges r = {0, 0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0, 0, 0};
    LogReader log;
    if (!openLog(&log, path))
        return r;
    r.opened = 1;
    Uint32 t, v;
    while (readSample(&log, &t, &v)) {
        if (t > r.timeMax)
            r.timeMax = t;
        if (t < r.timeMin)
            r.timeMin = t;
        r.lineCount++;
        // The device was awake and logging, but this says nothing of the battery.
        if (v == NO_READING)
            continue;
        if (v > r.levelMax)
            r.levelMax = v;
        if (v < r.levelMin)
            r.levelMin = v;
        r.readingCount++;
    }
    closeLog(&log);
    if (r.lineCount > 0)
        widen(&r.timeMin, &r.timeMax);
    if (r.readingCount > 0)
        widen(&r.levelMin, &r.levelMax);
    return r;
}

float scaleToRange(long long value, long long from, long long to, long long outFrom,
                   long long outTo)
{
    if (from == to)
        return -1.0f;
    float offset = static_cast<float>(value - from);
    float outSpan = static_cast<float>(outTo - outFrom);
    float span = static_cast<float>(to - from);
    return offset * outSpan / span + static_cast<float>(outFrom);
}

// Truncation toward zero; values beyond the 16-bit coordinates (which no sample within its
// ranges produces) are held at their ends instead of being undefined.
static int toPixel(float f)
{
    if (!(f > -32768.0f))
        return -32768;
    if (f > 32767.0f)
        return 32767;
    return static_cast<int>(f);
}

// Levels are shown in volts, computed in single precision: 3850 mV is 3.8499999, so "3.8".
static float volts(Uint32 level)
{
    return static_cast<float>(static_cast<double>(level)) / 1000.0f;
}

SDL_Rect clockBox(void)
{
    const int right = chartRect.x + chartRect.w, bottom = chartRect.y + chartRect.h;
    return {static_cast<Sint16>(right - READOUT_WIDTH), static_cast<Sint16>(bottom),
            READOUT_WIDTH, CLOCK_HEIGHT};
}

void drawAxes(SDL_Rect r)
{
    SDL_FillRect(screen, &r, SDL_MapRGB(screen->format, 255, 255, 255));
    SDL_Rect inside = {static_cast<Sint16>(r.x + 1), r.y, static_cast<Uint16>(r.w - 1),
                       static_cast<Uint16>(r.h - 1)};
    SDL_FillRect(screen, &inside, SDL_MapRGB(screen->format, 0, 0, 0));
}

void drawPoint(int x, int y)
{
    SDL_Rect dot = {static_cast<Sint16>(x), static_cast<Sint16>(y - 2), 2, 2};
    SDL_FillRect(screen, &dot, SDL_MapRGB(screen->format, 255, 255, 255));
}

// The level labels only when the log holds a reading; the time labels for any sample.
static void drawRangeLabels(const ChartRanges &r)
{
    const int x = chartRect.x, y = chartRect.y, right = CHART_RIGHT, bottom = y + chartRect.h;
    char text[64];
    if (r.readingCount > 0) {
        snprintf(text, sizeof text, "%0.1f", volts(r.levelMax));
        drawText(x - 4, y, text, BODY_COLOR, ANCHOR_RIGHT | ANCHOR_MIDDLE);
        snprintf(text, sizeof text, "%0.1f", volts(r.levelMin));
        drawText(x - 4, bottom, text, BODY_COLOR, ANCHOR_RIGHT | ANCHOR_BOTTOM);
    }
    drawText(x, bottom, formatClock(r.timeMin, 1), BODY_COLOR, ANCHOR_LEFT | ANCHOR_TOP);
    drawText(right, bottom, formatClock(r.timeMax, 1), BODY_COLOR, ANCHOR_RIGHT | ANCHOR_TOP);
}

// A log with nothing to chart says so in the chart's middle, where the points would be.
static void drawNotice(const char *text)
{
    drawText(chartRect.x + chartRect.w / 2, chartRect.y + chartRect.h / 2, text, BODY_COLOR,
             ANCHOR_CENTER | ANCHOR_MIDDLE);
}

// The estimate from the earlier discharges, above the chart, where the header leaves room.
static void drawTimeLeft(TimeLeft left)
{
    const unsigned minutes = minutesLeft(left), logs = earlierLogsOf(left);
    char text[64];
    snprintf(text, sizeof text, "About %u:%02u:00 left (%u earlier log%s)", minutes / 60,
             minutes % 60, logs, logs == 1 ? "" : "s");
    drawText(10, TIME_LEFT_Y, text, BODY_COLOR, ANCHOR_LEFT | ANCHOR_MIDDLE);
}

void drawTrouble(const char *cause, const char *what)
{
    const int middle = chartRect.y + chartRect.h / 2;
    const int centre = chartRect.x + chartRect.w / 2;
    SDL_Rect box = {static_cast<Sint16>(chartRect.x + 1), static_cast<Sint16>(middle - 16),
                    static_cast<Uint16>(chartRect.w - 1), 32};
    SDL_FillRect(screen, &box, SDL_MapRGB(screen->format, 0, 0, 0));
    char text[64];
    snprintf(text, sizeof text, "%s:", cause);
    drawText(centre, middle - 8, text, BODY_COLOR, ANCHOR_CENTER | ANCHOR_MIDDLE);
    drawText(centre, middle + 8, what, BODY_COLOR, ANCHOR_CENTER | ANCHOR_MIDDLE);
}

// The readout: this sample's time in the end-of-axis label's place, its level below, or
// that it has none.
static void drawReadout(Uint32 time, Uint32 level)
{
    const int bottom = chartRect.y + chartRect.h;
    SDL_Rect box = {static_cast<Sint16>(CHART_RIGHT - READOUT_WIDTH), static_cast<Sint16>(bottom),
                    READOUT_WIDTH, READOUT_HEIGHT};
    SDL_FillRect(screen, &box, SDL_MapRGB(screen->format, 0, 0, 0));
    drawText(CHART_RIGHT, bottom, formatClock(time, 1), BODY_COLOR, ANCHOR_RIGHT | ANCHOR_TOP);
    // "No reading" is narrower than READOUT_WIDTH, so the next readout erases it whole.
    char text[64] = "No reading";
    if (level != NO_READING)
        snprintf(text, sizeof text, "Value: %0.1f V", volts(level));
    drawText(CHART_RIGHT, bottom + 26, text, BODY_COLOR, ANCHOR_RIGHT | ANCHOR_MIDDLE);
}

// Second pass: plots the samples, showing the plot in steps of lineCount / 5 + 1 samples.
// Each sample's readout would erase the one before it within the same frame, so only the
// readout of the last sample before each flip is drawn: the frames shown are the same, and a
// long log costs two text renderings per frame instead of two per line. Stops at lineCount
// samples, should the log have grown since the first pass. 0 when the log did not open.
static int plotSamples(const ChartRanges &r)
{
    LogReader log;
    if (!openLog(&log, csvPath))
        return 0;
    const int left = chartRect.x, top = chartRect.y, bottom = top + chartRect.h;
    const Uint32 batch = r.lineCount / 5 + 1;
    Uint32 plotted = 0, sinceFlip = 0, t = 0, v = 0;
    while (plotted < r.lineCount && readSample(&log, &t, &v)) {
        if (v != NO_READING) {
            float px = scaleToRange(t, r.timeMin, r.timeMax, left, CHART_RIGHT);
            float py = scaleToRange(v, r.levelMax, r.levelMin, top, bottom);
            drawPoint(toPixel(px), toPixel(py));
        }
        plotted++;
        if (++sinceFlip == batch) {
            drawReadout(t, v);
            SDL_Delay(1);
            SDL_Flip(screen);
            sinceFlip = 0;
        }
    }
    if (sinceFlip > 0)
        drawReadout(t, v);
    closeLog(&log);
    return 1;
}

// Keys pressed while a long chart was drawn are stale by now: they are dropped rather than
// acted on late. Key releases stay: they end a press, and a press whose release was lost
// would count as held, so that the next press of START would be taken for its repeat. The
// sampler's wake-ups stay too: the log has changed since this chart read it.
static void discardEvents(void)
{
    const Uint32 stale =
        SDL_ALLEVENTS & ~(SDL_EVENTMASK(SDL_KEYUP) | SDL_EVENTMASK(SDL_USEREVENT));
    SDL_Event event;
    SDL_PumpEvents();
    while (SDL_PeepEvents(&event, 1, SDL_GETEVENT, stale) > 0)
        SDL_PumpEvents();
}

const char *formatClock(unsigned count, unsigned unitsPerSecond)
{
    // One buffer per thread: the timer's clock and the chart's labels format at the same
    // time on different threads. Wide enough for the hours of any 32-bit count.
    static thread_local char text[24];
    unsigned q = count / (unitsPerSecond ? unitsPerSecond : 1);
    snprintf(text, sizeof text, "%02u:%02u:%02u", q / 3600, (q % 3600) / 60, q % 60);
    return text;
}

void drawChart(int isLogging, const char *problem, TimeLeft left)
{
    ChartRanges r = scanLog(csvPath);

    // The left margin is the width of the top label with two decimals: one digit wider than
    // the one-decimal label drawn there.
    char text[64];
    snprintf(text, sizeof text, "%0.2f", volts(r.levelMax));
    Uint16 labelWidth = static_cast<Uint16>(textWidth(text));
    chartRect = {static_cast<Sint16>(labelWidth + 10), CHART_TOP,
                 static_cast<Uint16>(CHART_RIGHT - 10 - labelWidth), CHART_HEIGHT};
    drawAxes(chartRect);

    if (!isLogging) {
        problem = nullptr;
        left = 0;
    }
    if (left)
        drawTimeLeft(left);
    if (!r.opened) {
        if (!problem)
            drawNotice(isLogging ? "No samples in this log yet" : "Cannot read this log");
    } else {
        if (r.lineCount > 0)
            drawRangeLabels(r);
        // A finished log can be empty too: a power cut between its creation and its first
        // line leaves it so.
        if (!problem && r.lineCount == 0)
            drawNotice(isLogging ? "No samples in this log yet" : "No samples in this log");
        else if (!problem && r.readingCount == 0)
            drawNotice("No battery reading in this log");
        if (plotSamples(r))
            discardEvents();
    }
    if (problem)
        drawTrouble(problem, "the last sample could not be written");
}
