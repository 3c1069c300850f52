// The real voltrace binary on the virtual display, with /proc/jz and fbgrab stood in for: a
// whole logging session (backlight, the samples at their minutes, the red band, keys that
// must do nothing, the wake-up rebuild, stop and the one screenshot), a held START and SIGTERM
// while logging, the start-up screenshot under a HOME full of shell syntax, a card that
// stalls in every sync, a first sample held in the battery's read, and a screenshot tool that
// hangs.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

class VoltraceProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GE(startDisplay(), 0);
        home = makeTempDir();
        jz = makeTempDir();
        records = makeTempDir();
        writeFile(jz + "/battery", "3900\n");
        writeFile(jz + "/lcd_backlight", "0\n");
        options.home = home;
        options.jz = jz;
        options.fbgrabLog = records + "/fbgrab.log";
        options.env = {"SYNC_LOG=" + records + "/sync.log", "FBGRAB_SEEN=" + records + "/seen"};
    }
    std::vector<std::vector<std::string>> screenshots() { return fbgrabCalls(options.fbgrabLog); }
    // voltrace on a finished log whose start-up screenshot hangs for seconds; pid -1 when
    // no window or no tool run shows.
    Program launchWithHungTool(int seconds)
    {
        writeFile(home + "/battery0.csv", "0,4200\n60,4100\n");
        options.env.push_back("FBGRAB_HANG=" + std::to_string(seconds));
        Program p = launch(VOLTRACE_BIN, options);
        if (p.pid > 0 && !waitFor([&] { return toolRuns().size() == 1; }, 5000))
            waitExit(p, 0);
        return p;
    }
    // The tool's runs as it saw itself start: process group and blocked signals, one a line.
    std::vector<std::pair<pid_t, std::string>> toolRuns()
    {
        std::vector<std::pair<pid_t, std::string>> runs;
        std::istringstream lines(readFile(records + "/seen"));
        long group;
        std::string blocked;
        while (lines >> group >> blocked)
            runs.emplace_back(static_cast<pid_t>(group), blocked);
        return runs;
    }
    std::string home, jz, records;
    Launch options;
};

// Still running (a zombie has ended); leaves the exit status to waitExit.
bool running(const Program &p)
{
    std::string stat = readFile("/proc/" + std::to_string(p.pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool redBand(const Screen &s)
{
    return countNear(s, 0, 226, 320, 13, 150, 0, 0, 12) > 3000;
}

bool white(const Screen &s, int x, int y)
{
    return near(s.at(x, y), 255, 255, 255, 12);
}

// Words across the chart's middle, where only points would be: "Card full: ...",
// "Screenshot tool hung: ...".
bool wordsOverTheChart(const Screen &s)
{
    return countNear(s, 40, 100, 270, 30, 200, 200, 220, 12) > 100;
}

// No process is left in the group (a command and whatever it started).
bool groupGone(pid_t group)
{
    return waitFor([&] { return kill(-group, 0) != 0 && errno == ESRCH; }, 3000);
}

TEST_F(VoltraceProgram, AWholeLoggingSession)
{
    const std::string csv = home + "/battery0.csv", png = home + "/battery0.png";
    Program p = launch(VOLTRACE_BIN, options);
    ASSERT_GT(p.pid, 0) << "no window";
    // The help screen of free slot 0.
    ASSERT_TRUE(waitForScreen([](const Screen &s) {
        return countNear(s, 10, 27, 186, 14, 200, 200, 220, 12) > 100 && !redBand(s);
    }, 5000));

    // A picture left by an earlier log of this name, whose log was deleted on a PC.
    writeFile(png, "an earlier discharge's picture");
    press("Return");
    EXPECT_TRUE(waitFor([&] { return readFile(jz + "/lcd_backlight") == "100\n"; }, 5000))
        << readFile(jz + "/lcd_backlight");
    EXPECT_TRUE(waitFor([&] { return readFile(csv) == "0,3900\n"; }, 5000)) << readFile(csv);
    EXPECT_FALSE(fileExists(png)) << "the earlier picture stays beside the new log";
    ASSERT_TRUE(waitForScreen(redBand, 5000));
    // The one-sample chart: its point at the bottom left, (31, 180).
    EXPECT_TRUE(waitForScreen([](const Screen &s) { return white(s, 32, 178); }, 3000));

    // While logging the exit keys and the slot keys do nothing.
    Screen before = capture();
    for (const char *key : {"Escape", "End", "Left", "Right"})
        press(key);
    pauseMs(700);
    EXPECT_TRUE(running(p));
    Screen after = capture();
    EXPECT_TRUE(redBand(after));
    EXPECT_TRUE(sameArea(before, after, 0, 222, 200, 17)) << "the slot line changed";

    // The 60th tick samples the new level and the screen is rebuilt with the second point:
    // now at the top left (31, 50) and the right end (310, 180).
    writeFile(jz + "/battery", "3700\n");
    EXPECT_TRUE(waitFor([&] { return byMinute(readFile(csv)) == "0,3900\n60,3700\n"; }, 75000))
        << readFile(csv);
    EXPECT_TRUE(waitForScreen([](const Screen &s) {
        return white(s, 32, 48) && white(s, 311, 178) && redBand(s);
    }, 5000));
    EXPECT_TRUE(screenshots().empty()) << "no screenshot while logging";

    // START stops: the chart screen, and the screenshot exactly once with this slot's path.
    press("Return");
    EXPECT_TRUE(waitFor([&] { return !screenshots().empty() && fileExists(png); }, 10000));
    EXPECT_TRUE(waitForScreen([](const Screen &s) { return !redBand(s); }, 3000));
    auto calls = screenshots();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::vector<std::string>{home + "/battery0.tmp"});
    EXPECT_EQ(readFile(png).compare(1, 3, "PNG"), 0) << "not this log's chart";
    ASSERT_EQ(toolRuns().size(), 1u);
    EXPECT_EQ(toolRuns()[0].second.find_first_not_of('0'), std::string::npos)
        << "the tool started with signals blocked: " << toolRuns()[0].second;

    // Away and back: the PNG is there, no second screenshot.
    press("Right");
    pauseMs(300);
    press("Left");
    pauseMs(1500);
    EXPECT_EQ(screenshots().size(), 1u);
    EXPECT_EQ(byMinute(readFile(csv)), "0,3900\n60,3700\n") << "nothing appended after the stop";
    EXPECT_EQ(readFile(jz + "/lcd_backlight"), "100\n");

    press("Escape");
    EXPECT_EQ(waitExit(p, 5000), 0);
}

// START held past the key-repeat delay (500 ms) starts logging once: the repeats neither stop
// the log nor take its screenshot.
TEST_F(VoltraceProgram, AHeldStartLogsAndSigtermEndsWith15AndWholeLines)
{
    const std::string csv = home + "/battery0.csv";
    Program p = launch(VOLTRACE_BIN, options);
    ASSERT_GT(p.pid, 0) << "no window";
    pauseMs(300);
    press("Return", 1200);
    ASSERT_TRUE(waitFor([&] { return readFile(csv) == "0,3900\n"; }, 5000)) << readFile(csv);
    pauseMs(1500);  // the clock ticks; the load thread spins
    EXPECT_TRUE(redBand(capture())) << "not logging after the hold";
    EXPECT_TRUE(screenshots().empty());
    sendSignal(p, SIGTERM);
    EXPECT_EQ(waitExit(p, 10000), 15);
    EXPECT_EQ(readFile(csv), "0,3900\n");
    EXPECT_NE(readFile(records + "/sync.log").find("sync"), std::string::npos) << "no sync";
    EXPECT_EQ(readOutput(p), "VOLTRACE\n");
}

// A log left by a discharge that ended with the device switching off has no screenshot: it
// is taken at start-up. The folder's name is shell syntax that must stay a name.
TEST_F(VoltraceProgram, TheStartUpScreenshotUnderAHostileHome)
{
    std::string base = makeTempDir();
    std::string hostile = base + "/a b'c;$(touch pwned)`touch pwned2`\"d&";
    ASSERT_EQ(mkdir(hostile.c_str(), 0755), 0);
    writeFile(hostile + "/battery0.csv", "0,4200\n60,4100\n120,4000\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(base.c_str()), 0);  // where an injected command would leave its file
    options.home = hostile;
    options.jz.clear();  // no logging here, and LeakSanitizer needs the real /proc
    options.env.clear();
    Program p = launch(VOLTRACE_BIN, options);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_GT(p.pid, 0) << "no window";

    EXPECT_TRUE(waitFor([&] { return !screenshots().empty(); }, 10000));
    auto calls = screenshots();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::vector<std::string>{hostile + "/battery0.tmp"});
    EXPECT_TRUE(waitFor([&] { return fileExists(hostile + "/battery0.png"); }, 5000));
    EXPECT_FALSE(fileExists(base + "/pwned"));
    EXPECT_FALSE(fileExists(base + "/pwned2"));
    // The chart: axes at column 31 and the first point at the top left.
    Screen s = capture();
    EXPECT_TRUE(white(s, 31, 100));
    EXPECT_TRUE(white(s, 32, 48));

    press("End");
    EXPECT_EQ(waitExit(p, 5000), 0);
    EXPECT_EQ(screenshots().size(), 1u);
}

// A card that stalls for seconds in every sync: START shows the logging screen at once, its
// clock runs, and START again leaves it at once, while the first sample is still on its way;
// the log then holds its whole line and the chart's picture follows.
TEST_F(VoltraceProgram, ACardThatStallsInEverySyncHoldsUpNoKey)
{
    const std::string csv = home + "/battery0.csv", png = home + "/battery0.png";
    options.env.push_back("LD_PRELOAD=" SLOW_SYNC_SO);
    options.env.push_back("SLOW_SYNC_MS=6000");
    Program p = launch(VOLTRACE_BIN, options);
    ASSERT_GT(p.pid, 0) << "no window";
    press("Return");
    EXPECT_TRUE(waitForScreen(redBand, 2000)) << "the logging screen waited for the card";
    Screen before = capture();
    pauseMs(1300);
    EXPECT_FALSE(sameArea(before, capture(), 240, 180, 70, 17)) << "the clock stood still";
    press("Return");
    EXPECT_TRUE(waitForScreen([](const Screen &s) { return !redBand(s); }, 2000))
        << "STOP waited for the card";
    EXPECT_TRUE(waitFor([&] { return fileExists(png); }, 40000)) << "no picture";
    EXPECT_EQ(readFile(csv), "0,3900\n");
    EXPECT_EQ(screenshots().size(), 1u);
    press("Escape");
    EXPECT_EQ(waitExit(p, 20000), 0);
}

// STOP while the first sample waits in the battery's read (a FIFO that answers when told),
// then START: the slot is taken until that sample lands, so no second log begins in its file.
TEST_F(VoltraceProgram, StopAndStartBeforeTheFirstSampleLandsLeaveOneLog)
{
    const std::string battery = jz + "/battery";
    ASSERT_EQ(unlink(battery.c_str()), 0);
    ASSERT_EQ(mkfifo(battery.c_str(), 0644), 0);
    Program p = launch(VOLTRACE_BIN, options);
    ASSERT_GT(p.pid, 0) << "no window";
    press("Return");
    ASSERT_TRUE(waitForScreen(redBand, 5000));
    press("Return");
    EXPECT_TRUE(waitForScreen([](const Screen &s) {
        return !redBand(s) && countNear(s, 10, 27, 186, 14, 200, 200, 220, 12) == 0;
    }, 3000)) << "the help screen offers the taken slot";
    press("Return");
    pauseMs(700);
    EXPECT_FALSE(redBand(capture())) << "a second log began";
    writeFile(battery, "4000\n");  // the first sample lands
    EXPECT_TRUE(waitFor([&] { return fileExists(home + "/battery0.png"); }, 10000));
    // Nobody reads the battery any more: no log is under way.
    EXPECT_EQ(open(battery.c_str(), O_WRONLY | O_NONBLOCK), -1);
    EXPECT_EQ(readFile(home + "/battery0.csv"), "0,4000\n");
    press("Escape");
    EXPECT_EQ(waitExit(p, 5000), 0);
}

// A screenshot tool that hangs is ended at its deadline, and the chart says so; the next try,
// on the return to the slot, is ended by SELECT, which leaves at once. Nothing of either run
// is left, and no picture or draft appears.
TEST_F(VoltraceProgram, AHungScreenshotToolIsEndedAtItsDeadlineAndBySelect)
{
    Program p = launchWithHungTool(60);
    ASSERT_GT(p.pid, 0) << "no window or no screenshot";
    EXPECT_TRUE(waitForScreen(wordsOverTheChart, 15000)) << "a hung tool is not said";
    EXPECT_TRUE(groupGone(toolRuns()[0].first)) << "the hung tool outlived its deadline";
    press("Right");
    press("Left");
    ASSERT_TRUE(waitFor([&] { return toolRuns().size() == 2; }, 5000)) << "not tried again";
    press("Escape");
    EXPECT_EQ(waitExit(p, 2000), 0) << "SELECT waited for the tool";
    EXPECT_TRUE(groupGone(toolRuns()[1].first)) << "the tool outlived voltrace";
    EXPECT_FALSE(fileExists(home + "/battery0.png"));
    EXPECT_FALSE(fileExists(home + "/battery0.tmp"));
}

// SIGTERM to the whole process group, as a launcher ends what it started, while the start-up
// screenshot hangs: the status is 15, and no command of voltrace's is left to save a picture
// of whatever the launcher draws next.
TEST_F(VoltraceProgram, AHungScreenshotToolDiesWithVoltraceOnSigtermToTheGroup)
{
    Program p = launchWithHungTool(2);
    ASSERT_GT(p.pid, 0) << "no window or no screenshot";
    pid_t group = p.pid;
    kill(-group, SIGTERM);
    EXPECT_EQ(waitExit(p, 3000), 15);
    EXPECT_TRUE(groupGone(toolRuns()[0].first)) << "the tool outlived voltrace";
    pauseMs(3000);  // past the moment the hung tool would have saved
    EXPECT_FALSE(fileExists(home + "/battery0.png"));
    EXPECT_FALSE(fileExists(home + "/battery0.tmp"));
}

}  // namespace
