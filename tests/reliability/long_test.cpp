// Long runs, labelled "long" (CI runs them in the ThreadSanitizer build): voltrace charting
// a day's log while the clock ticks and real samples land on top of it for a few minutes,
// and strobel flashing for ten minutes with key releases. No sanitizer report (status 66),
// every line whole, and memory flat after warm-up.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "support.h"

namespace {

const long FLAT_KB = 2048;  // growth of resident memory after warm-up still called flat

int envSeconds(const char *name, int fallback)
{
    const char *v = getenv(name);
    int n = v ? atoi(v) : 0;
    return n > 0 && n < 100000 ? n : fallback;
}

// A day of samples, one a minute, from a full charge down.
std::string dayOfSamples(int firstMinute)
{
    std::string day;
    for (int k = 0; k < 1440; k++)
        day += std::to_string(60 * (firstMinute + k)) + "," + std::to_string(4200 - 900 * k / 1439) + "\n";
    return day;
}

TEST(LongRun, VoltraceChartsADaysLogWhileRealSamplesLandOnTop)
{
    const int MINUTES = envSeconds("RELIABILITY_DAY_MINUTES", 3);
    ASSERT_GE(startDisplay(), 0);
    std::string home = makeTempDir(), jz = makeTempDir(), records = makeTempDir();
    std::string csv0 = home + "/battery0.csv", png0 = home + "/battery0.png";
    std::string csv1 = home + "/battery1.csv", png1 = home + "/battery1.png";
    std::string day = dayOfSamples(0);
    writeFile(csv0, day);
    writeFile(jz + "/battery", "3600\n");
    writeFile(jz + "/lcd_backlight", "0\n");
    Launch options;
    options.home = home;
    options.jz = jz;
    options.fbgrabLog = records + "/fbgrab.log";
    Program p = launch(VOLTRACE_BIN, options);
    ASSERT_GT(p.pid, 0) << "no window";

    // Slot 0: the day's chart, and its screenshot at start-up.
    EXPECT_TRUE(waitFor([&] { return fileExists(png0); }, 20000));
    EXPECT_TRUE(waitForScreen(chartShown, 5000));
    const std::string draft0 = home + "/battery0.tmp", draft1 = home + "/battery1.tmp";
    EXPECT_EQ(fbgrabCalls(options.fbgrabLog), (std::vector<std::vector<std::string>>{{draft0}}));

    // Slot 1 logs; right after its first sample the day goes in behind it, so every minute's
    // rebuild charts a day and more while the clock ticks.
    press("Right");
    ASSERT_TRUE(waitForScreen(helpShown, 5000));
    press("Return");
    ASSERT_TRUE(waitFor([&] { return readFile(csv1) == "0,3600\n"; }, 5000)) << readFile(csv1);
    std::string dayAfter = dayOfSamples(1);
    FILE *log = fopen(csv1.c_str(), "a");
    ASSERT_NE(log, nullptr);
    fputs(dayAfter.c_str(), log);
    fclose(log);

    std::string expected = "0,3600\n" + dayAfter;
    long warmKb = -1, peakKb = 0;
    int clockChanges = 0, clockChecks = 0, rebuildsSeen = 0;
    for (int minute = 1; minute <= MINUTES; minute++) {
        int level = 3600 - 7 * minute;
        writeFile(jz + "/battery", std::to_string(level) + "\n");
        // The clock in the place of the end-time label moves on between samples.
        for (int i = 0; i < 3; i++) {
            Screen before = capture();
            pauseMs(1300);
            Screen after = capture();
            clockChecks++;
            clockChanges += !sameArea(before, after, 240, 180, 70, 17);
        }
        expected += std::to_string(60 * minute) + "," + std::to_string(level) + "\n";
        ASSERT_TRUE(waitFor([&] { return byMinute(readFile(csv1)) == expected; }, 75000))
            << "minute " << minute << ", the log ends: "
            << readFile(csv1).substr(readFile(csv1).size() > 80 ? readFile(csv1).size() - 80 : 0);
        bool rebuilt = waitForScreen([](const Screen &s) { return chartShown(s) && redBand(s); }, 10000);
        EXPECT_TRUE(rebuilt);
        rebuildsSeen += rebuilt;
        pauseMs(1500);
        long kb = residentKb(p.pid);
        if (minute == 1)
            warmKb = kb;
        peakKb = std::max(peakKb, kb);
    }
    long endKb = residentKb(p.pid);
    EXPECT_EQ(clockChanges, clockChecks) << "the clock stood still";

    press("Return");
    EXPECT_TRUE(waitFor([&] { return fileExists(png1); }, 20000));
    EXPECT_TRUE(waitForScreen([](const Screen &s) { return chartShown(s) && !redBand(s); }, 5000));
    EXPECT_EQ(fbgrabCalls(options.fbgrabLog),
              (std::vector<std::vector<std::string>>{{draft0}, {draft1}}));
    press("Escape");
    int status = waitExit(p, 10000);
    EXPECT_EQ(status, 0) << readOutput(p);
    LogCheck check = checkLog(readFile(csv1));
    EXPECT_EQ(byMinute(readFile(csv1)), expected);
    EXPECT_EQ(check.malformed, 0);
    EXPECT_FALSE(check.cut);
    EXPECT_EQ(readFile(csv0), day) << "slot 0's log changed";
    EXPECT_LT(endKb - warmKb, FLAT_KB) << "resident memory grew from " << warmKb << " kB to " << endKb;

    char line[320];
    snprintf(line, sizeof line,
             "voltrace (%s build) logging %d minutes on top of a day's log (%d lines charted at "
             "the last rebuild): %d rebuilds seen, clock moved in %d of %d checks, resident "
             "memory %ld kB after minute 1, %ld kB at the end (peak %ld), status %d",
             sanitizerBuild(), MINUTES, check.whole, rebuildsSeen, clockChanges, clockChecks,
             warmKb, endKb, peakKb, status);
    reportFigures(line);
}

bool flashColour(const Screen &s, int r, int g, int b)
{
    return countNear(s, 156, 116, 8, 8, r, g, b, 8) == 64;
}

// Red, green and blue each seen filling the square within a few dozen captures.
bool stillFlashing(void)
{
    int seen = 0;
    for (int n = 0; n < 80 && seen != 7; n++) {
        Screen s = capture();
        seen |= flashColour(s, 255, 0, 0) | flashColour(s, 0, 255, 0) << 1 |
                flashColour(s, 0, 0, 255) << 2;
    }
    return seen == 7;
}

TEST(LongRun, StrobelFlashesTenMinutesWithKeyReleases)
{
    const int SECONDS = envSeconds("RELIABILITY_STROBEL_SECONDS", 600);
    ASSERT_GE(startDisplay(), 0);
    Launch options;
    Program p = launch(STROBEL_BIN, options);
    ASSERT_GT(p.pid, 0) << "no window";
    ASSERT_TRUE(waitForScreen(greySquareShown, 10000));
    long startKb = residentKb(p.pid);
    press("Return", 100);
    ASSERT_TRUE(stillFlashing());

    // Keys other than START are ignored while flashing, but each release redraws the whole
    // screen on the main thread while the flashing thread fills the square.
    const char *const keys[] = {"Left", "Up", "Tab", "BackSpace", "Down", "Right", "Escape"};
    long long start = nowMs(), nextCheck = start + 60000;
    long warmKb = -1, peakKb = 0;
    int releases = 0, checks = 0, flashingAtChecks = 0;
    while (nowMs() - start < SECONDS * 1000LL) {
        pauseMs(randomBetween(1500, 4500));
        press(keys[randomBetween(0, 6)], randomBetween(40, 150));
        releases++;
        if (warmKb < 0 && nowMs() - start >= 30000)
            warmKb = residentKb(p.pid);
        if (nowMs() >= nextCheck) {
            nextCheck += 60000;
            checks++;
            flashingAtChecks += stillFlashing();
            peakKb = std::max(peakKb, residentKb(p.pid));
        }
    }
    checks++;
    flashingAtChecks += stillFlashing();
    long endKb = residentKb(p.pid);
    if (warmKb < 0)
        warmKb = startKb;
    EXPECT_EQ(flashingAtChecks, checks);

    press("Return", 100);
    EXPECT_TRUE(waitForScreen([](const Screen &s) {
        return countNear(s, 156, 116, 8, 8, 200, 200, 200, 8) == 64;
    }, 5000)) << "flashing did not stop";
    press("Escape", 100);
    int status = waitExit(p, 10000);
    EXPECT_EQ(status, 0) << readOutput(p);
    EXPECT_LT(endKb - warmKb, FLAT_KB) << "resident memory grew from " << warmKb << " kB to " << endKb;

    char line[320];
    snprintf(line, sizeof line,
             "strobel (%s build) flashing %d s: %d key releases, all three colours seen at %d "
             "of %d checks, resident memory %ld kB at start, %ld kB after 30 s, %ld kB at the "
             "end (peak %ld), status %d",
             sanitizerBuild(), SECONDS, releases, flashingAtChecks, checks, startKb, warmKb,
             endKb, std::max(peakKb, endKb), status);
    reportFigures(line);
}

}  // namespace
