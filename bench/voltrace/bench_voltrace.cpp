// Benchmark of the chart: drawChart on logs of an hour, a day and 10,000 samples, beside the
// floor it cannot go below, reading and parsing the same file twice (its two passes without
// drawing), measured in the same run on SDL's dummy video driver with the real font.
// Also shown: what one readout per line (instead of one per shown frame) would add.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "chart.h"
#include "frame.h"
#include "slots.h"

/* benchmark state: none; each measurement is self-contained */

static double nowMs(void)
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Median time of runs calls of work, in milliseconds.
template <typename Work>
static double medianMs(int runs, Work work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        double start = nowMs();
        work();
        times.push_back(nowMs() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A plausible discharge: 4.2 V falling ever faster towards 3.2 V, one sample a minute.
static void writeLog(const char *path, int lines)
{
    FILE *log = fopen(path, "w");
    for (int i = 0; i < lines; i++) {
        double f = static_cast<double>(i) / lines;
        fprintf(log, "%d,%d\n", i * 60, static_cast<int>(4200 - 850 * f * f * f - 150 * f));
    }
    fclose(log);
}

int main(void)
{
    char home[] = "/tmp/bench-voltrace.XXXXXX";
    if (!mkdtemp(home)) {
        perror("mkdtemp");
        return 255;
    }
    setenv("HOME", home, 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    selectSlot(0);
    if (startVideo(500, 30) != 0)
        return 255;

    printf("%8s %14s %18s %8s %22s\n", "samples", "drawChart ms", "read+parse x2 ms", "ratio",
           "readout per line +ms");
    for (int lines : {60, 1440, 10000}) {
        writeLog(csvPath, lines);
        const int runs = lines > 5000 ? 15 : 41;
        ScreenHold hold = holdScreen();
        double chart = medianMs(runs, [] { drawChart(0, nullptr); });
        double floor = medianMs(runs, [] {
            ChartRanges a = scanLog(csvPath);
            ChartRanges b = scanLog(csvPath);
            if (a.lineCount != b.lineCount)
                abort();
        });
        double readouts = medianMs(3, [lines] {
            for (int i = 0; i < lines; i++) {
                drawText(310, 180, "01:23:45", BODY_COLOR, ANCHOR_RIGHT | ANCHOR_TOP);
                drawText(310, 206, "Value: 3.9 V", BODY_COLOR, ANCHOR_RIGHT | ANCHOR_MIDDLE);
            }
        });
        printf("%8d %14.3f %18.3f %8.1f %22.3f\n", lines, chart, floor, chart / floor, readouts);
    }
    printf("drawChart includes its 4 flips' 1 ms delays (on the dummy driver a flip copies "
           "nothing).\n");

    std::string cleanup = std::string("rm -rf '") + home + "'";
    if (system(cleanup.c_str()) != 0) {
    }
    closeApp();
    return 0;
}
