// Signal storms: SIGTERM and SIGINT at random moments (seeded, replayable) to voltrace
// while it logs and to strobel while it flashes, run after run. Every run must end within
// 2 s of its signal with the signal number as status (a sanitizer report would make it 66),
// and every log line must be whole.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "support.h"

namespace {

const int RUNS = 20;           // per program and build: 10 SIGTERM, 10 SIGINT
const int EXIT_LIMIT_MS = 2000;

struct StormFigures {
    int runs = 0, signalled = 0, rightStatus = 0, inTime = 0, cutLines = 0, malformed = 0;
    int logsWritten = 0;
    long long slowestMs = 0;
};

// voltrace's moments, by run: 0 around the START press itself, 1 around the first sample
// and the two rebuilds that follow it (START's, then the sample's wake-up), 2 anywhere over
// the next four seconds of clock ticks.
const char *const VOLTRACE_MOMENTS[] = {"around START", "around the first sample and its rebuilds",
                                        "during the clock ticks"};

TEST(SignalStorm, VoltraceWhileLogging)
{
    ASSERT_GE(startDisplay(), 0);
    StormFigures f;
    for (int run = 0; run < RUNS; run++) {
        int sig = run % 2 ? SIGINT : SIGTERM;
        int moment = run % 3;
        SCOPED_TRACE("run " + std::to_string(run) + ", seed " +
                     std::to_string(reliabilitySeed()) + ", signal " + std::to_string(sig) +
                     " " + VOLTRACE_MOMENTS[moment]);
        std::string home = makeTempDir(), csv = home + "/battery0.csv";
        Launch options;
        options.home = home;
        options.fbgrabLog = makeTempDir() + "/fbgrab.log";
        Program p = launch(VOLTRACE_BIN, options);
        ASSERT_GT(p.pid, 0) << "no window";
        ASSERT_TRUE(waitForScreen(helpShown, 10000));
        f.runs++;

        // Held START must stay short of the 500 ms key repeat, which would stop the log.
        keyDown("Return");
        if (moment == 0) {
            pauseMs(randomBetween(0, 350));
            sendSignal(p, sig);
            keyUp("Return");
        } else {
            ASSERT_TRUE(waitFor([&] { return fileExists(csv); }, 5000));
            keyUp("Return");
            pauseMs(moment == 1 ? randomBetween(0, 250) : randomBetween(300, 4000));
            sendSignal(p, sig);
        }
        long long sent = nowMs();
        f.signalled++;
        int status = waitExit(p, 10000);
        long long took = nowMs() - sent;
        f.slowestMs = std::max(f.slowestMs, took);
        EXPECT_EQ(status, sig) << readOutput(p);
        EXPECT_LE(took, EXIT_LIMIT_MS);
        f.rightStatus += status == sig;
        f.inTime += status >= 0 && took <= EXIT_LIMIT_MS;

        std::string log = readFile(csv);
        LogCheck check = checkLog(log);
        EXPECT_FALSE(check.cut) << log;
        EXPECT_EQ(check.malformed, 0) << check.firstBad;
        EXPECT_TRUE(check.stepped) << log;
        f.cutLines += check.cut;
        f.malformed += check.malformed;
        f.logsWritten += check.whole > 0;
    }
    char line[256];
    snprintf(line, sizeof line,
             "voltrace SIGTERM/SIGINT storm while logging: %d runs, %d signals, %d ended with "
             "the signal's status, %d within 2 s (slowest %lld ms), %d logs written, %d cut "
             "lines, %d malformed lines",
             f.runs, f.signalled, f.rightStatus, f.inTime, f.slowestMs, f.logsWritten,
             f.cutLines, f.malformed);
    reportFigures(line);
}

// strobel's moments: half the runs mid-flashing, half right around a key release, whose
// full redraw on the main thread meets the flashing thread's fills.
TEST(SignalStorm, StrobelWhileFlashing)
{
    ASSERT_GE(startDisplay(), 0);
    StormFigures f;
    int nearRelease = 0;
    for (int run = 0; run < RUNS; run++) {
        int sig = run % 2 ? SIGTERM : SIGINT;
        bool atRelease = run % 4 >= 2;
        SCOPED_TRACE("run " + std::to_string(run) + ", seed " +
                     std::to_string(reliabilitySeed()) + ", signal " + std::to_string(sig) +
                     (atRelease ? " around a key release" : " while flashing"));
        Launch options;
        Program p = launch(STROBEL_BIN, options);
        ASSERT_GT(p.pid, 0) << "no window";
        ASSERT_TRUE(waitForScreen(greySquareShown, 10000));
        f.runs++;

        press("Return", 100);
        pauseMs(randomBetween(0, 1500));
        if (atRelease) {
            keyDown("Left");  // ignored while flashing; its release redraws the screen
            pauseMs(randomBetween(20, 120));
            keyUp("Left");
            pauseMs(randomBetween(0, 60));
            nearRelease++;
        }
        sendSignal(p, sig);
        long long sent = nowMs();
        f.signalled++;
        int status = waitExit(p, 10000);
        long long took = nowMs() - sent;
        f.slowestMs = std::max(f.slowestMs, took);
        EXPECT_EQ(status, sig) << readOutput(p);
        EXPECT_LE(took, EXIT_LIMIT_MS);
        f.rightStatus += status == sig;
        f.inTime += status >= 0 && took <= EXIT_LIMIT_MS;
    }
    char line[256];
    snprintf(line, sizeof line,
             "strobel SIGINT/SIGTERM storm while flashing: %d runs (%d around a key release), "
             "%d signals, %d ended with the signal's status, %d within 2 s (slowest %lld ms)",
             f.runs, nearRelease, f.signalled, f.rightStatus, f.inTime, f.slowestMs);
    reportFigures(line);
}

}  // namespace
