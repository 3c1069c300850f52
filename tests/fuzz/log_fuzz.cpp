// Fuzzes what voltrace reads from files it does not control: a log, through both passes of
// the chart (ranges, batch arithmetic, plotted points, labels), and the battery file's first
// line. The first input byte picks which; the rest is the file. Built as a libFuzzer target
// in the fuzz build, and as a replay of the seed corpus in every other build.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "chart.h"
#include "frame.h"
#include "sampler.h"
#include "slots.h"

/* fuzz state */
static char filePath[64];  // the one file every input is written to, in a private folder

static int setUp(void)
{
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    if (startVideo(500, 30) != 0)
        abort();
    char folder[] = "/tmp/vantiro-fuzz.XXXXXX";
    if (!mkdtemp(folder))
        abort();
    snprintf(filePath, sizeof filePath, "%s/input", folder);
    return 1;
}

static void writeInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(filePath, "wb");
    if (!f || (size && fwrite(data, 1, size, f) != size))
        abort();
    fclose(f);
}

// Counts the sample lines the way a reader of the file would, line by line.
static Uint32 countSamples(const uint8_t *data, size_t size)
{
    Uint32 count = 0;
    size_t start = 0;
    for (size_t i = 0; i < size; i++) {
        if (data[i] != '\n')
            continue;
        size_t length = i + 1 - start;
        char *line = static_cast<char *>(malloc(length));
        memcpy(line, data + start, length);
        Uint32 t, v;
        count += static_cast<Uint32>(parseSample(line, length, start == 0, &t, &v));
        free(line);
        start = i + 1;
    }
    return count;
}

static void fuzzLog(const uint8_t *data, size_t size)
{
    writeInput(data, size);
    snprintf(csvPath, sizeof csvPath, "%s", filePath);

    ChartRanges r = scanLog(csvPath);
    if (!r.opened || r.lineCount != countSamples(data, size))
        abort();
    // With samples the time range is real and never empty, and so is the level range with
    // readings, so no scale divides by zero.
    if (r.readingCount > r.lineCount || (r.lineCount > 0 && r.timeMin >= r.timeMax) ||
        (r.readingCount > 0 && r.levelMin >= r.levelMax))
        abort();

    ScreenHold hold = holdScreen();
    drawChart(0, nullptr);
    // Whatever the labels measure, the chart ends at x 310 and y 180 and stays on screen.
    if (chartRect.x + chartRect.w != 310 || chartRect.y + chartRect.h != 180 ||
        chartRect.x < 10 || chartRect.x >= 310)
        abort();
}

static void fuzzBattery(const uint8_t *data, size_t size)
{
    writeInput(data, size);
    batteryPath = filePath;
    int level = readBatteryLevel();
    if (level < 1 || level > 5000)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int ready = setUp();
    (void)ready;
    if (size == 0)
        return 0;
    if (data[0] & 1)
        fuzzBattery(data + 1, size - 1);
    else
        fuzzLog(data + 1, size - 1);
    return 0;
}
