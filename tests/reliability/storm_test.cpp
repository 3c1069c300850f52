// Signal storms: SIGTERM and SIGINT at random moments (seeded, replayable) to voltrace
// while it logs and to strobel while it flashes, run after run. Every run must end within
// 2 s of its signal, not counting the time sync itself takes, with the signal number as
// status (a sanitizer report would make it 66), and every log line must be whole.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "support.h"

namespace {

const int RUNS = 20;           // per program and build: 10 SIGTERM, 10 SIGINT
const int EXIT_LIMIT_MS = 2000;
// The sanitizer builds do work of their own at exit (LeakSanitizer scans the whole heap),
// which on a loaded two-core machine can pass 2 s by itself; the quit must still begin
// within 2 s.
const int SANITIZER_EXIT_LIMIT_MS = 4000;

struct Ending {
    int status = -1;          // as waitExit gives it; -1: still running after 10 s
    long long exitMs = 0;     // from the signal to the end of the process
    long long syncMs = 0;     // of that, the time quitApp's sync command took
    long long reactMs = -1;   // from the signal to the start of that sync: quitApp began
    bool synced = false;      // quitApp's sync command ran
};

long long realMs(void)
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Waits for the end of a signalled program. sync waits for every dirty page of the machine,
// so on a busy test machine it can take seconds that are not the program's: the sync
// stand-in of this folder records how long it ran, and the 2 s hold for the rest.
Ending waitEnding(Program &p, long long sentRealMs, const std::string &syncTimes)
{
    Ending e;
    e.status = waitExit(p, 10000);
    e.exitMs = realMs() - sentRealMs;
    long long start = 0, end = 0;
    if (sscanf(readFile(syncTimes).c_str(), "%lld %lld", &start, &end) == 2) {
        e.synced = true;
        e.syncMs = end - start;
        e.reactMs = start - sentRealMs;
    }
    return e;
}

int exitLimitMs(void)
{
    return std::string(sanitizerBuild()) == "none" ? EXIT_LIMIT_MS : SANITIZER_EXIT_LIMIT_MS;
}

// Every run puts this folder's sync stand-in first on PATH.
std::vector<std::string> timedSync(const std::string &syncTimes)
{
    return {"SYNC_TIMES=" + syncTimes,
            std::string("PATH=") + RELIABILITY_TOOLS + ":" + TOOLS_DIR + ":" + getenv("PATH")};
}

struct StormFigures {
    int runs = 0, signalled = 0, rightStatus = 0, inTime = 0, cutLines = 0, malformed = 0;
    int logsWritten = 0;
    long long slowestMs = 0, slowestSyncMs = 0, slowestReactMs = 0;
    int synced = 0;  // runs whose quitApp ran its sync command
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
        std::string records = makeTempDir(), syncTimes = records + "/sync.times";
        options.fbgrabLog = records + "/fbgrab.log";
        options.env = timedSync(syncTimes);
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
        long long sent = realMs();
        f.signalled++;
        Ending e = waitEnding(p, sent, syncTimes);
        f.slowestMs = std::max(f.slowestMs, e.exitMs);
        f.slowestSyncMs = std::max(f.slowestSyncMs, e.syncMs);
        f.synced += e.synced;
        EXPECT_EQ(e.status, sig) << readOutput(p);
        EXPECT_TRUE(e.synced) << "quitApp's sync did not run";
        EXPECT_LE(e.reactMs, EXIT_LIMIT_MS) << "quitApp began late";
        EXPECT_LE(e.exitMs - e.syncMs, exitLimitMs()) << "its sync took " << e.syncMs << " ms";
        f.rightStatus += e.status == sig;
        f.inTime += e.status >= 0 && e.exitMs - e.syncMs <= EXIT_LIMIT_MS;
        f.slowestReactMs = std::max(f.slowestReactMs, e.reactMs);

        std::string log = readFile(csv);
        LogCheck check = checkLog(log);
        EXPECT_FALSE(check.cut) << log;
        EXPECT_EQ(check.malformed, 0) << check.firstBad;
        EXPECT_TRUE(check.stepped) << log;
        f.cutLines += check.cut;
        f.malformed += check.malformed;
        f.logsWritten += check.whole > 0;
    }
    char line[512];
    snprintf(line, sizeof line,
             "voltrace SIGTERM/SIGINT storm while logging: %d runs, %d signals, %d ended with "
             "the signal's status, %d within 2 s not counting sync (slowest %lld ms; %d synced "
             "through quitApp, begun at the latest %lld ms after the signal, the slowest sync "
             "%lld ms), %d logs written, %d cut lines, %d malformed lines (%s build)",
             f.runs, f.signalled, f.rightStatus, f.inTime, f.slowestMs, f.synced,
             f.slowestReactMs, f.slowestSyncMs, f.logsWritten, f.cutLines, f.malformed,
             sanitizerBuild());
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
        std::string syncTimes = makeTempDir() + "/sync.times";
        Launch options;
        options.env = timedSync(syncTimes);
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
        long long sent = realMs();
        f.signalled++;
        Ending e = waitEnding(p, sent, syncTimes);
        f.slowestMs = std::max(f.slowestMs, e.exitMs);
        f.slowestSyncMs = std::max(f.slowestSyncMs, e.syncMs);
        f.synced += e.synced;
        EXPECT_EQ(e.status, sig) << readOutput(p);
        EXPECT_TRUE(e.synced) << "quitApp's sync did not run";
        EXPECT_LE(e.reactMs, EXIT_LIMIT_MS) << "quitApp began late";
        EXPECT_LE(e.exitMs - e.syncMs, exitLimitMs()) << "its sync took " << e.syncMs << " ms";
        f.rightStatus += e.status == sig;
        f.inTime += e.status >= 0 && e.exitMs - e.syncMs <= EXIT_LIMIT_MS;
        f.slowestReactMs = std::max(f.slowestReactMs, e.reactMs);
    }
    char line[512];
    snprintf(line, sizeof line,
             "strobel SIGINT/SIGTERM storm while flashing: %d runs (%d around a key release), "
             "%d signals, %d ended with the signal's status, %d within 2 s not counting sync "
             "(slowest %lld ms; %d synced through quitApp, begun at the latest %lld ms after "
             "the signal, the slowest sync %lld ms) (%s build)",
             f.runs, nearRelease, f.signalled, f.rightStatus, f.inTime, f.slowestMs, f.synced,
             f.slowestReactMs, f.slowestSyncMs, sanitizerBuild());
    reportFigures(line);
}

}  // namespace
