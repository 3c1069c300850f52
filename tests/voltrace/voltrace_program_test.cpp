// The real voltrace binary on the virtual display, with /proc/jz and fbgrab stood in for: a
// whole logging session (backlight, first and 60th-second samples, the red band, keys that
// must do nothing, the wake-up rebuild, stop and the one screenshot), a held START and SIGTERM
// while logging, and the start-up screenshot under a HOME full of shell syntax.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
        options.env = {"SYNC_LOG=" + records + "/sync.log"};
    }
    std::vector<std::vector<std::string>> screenshots() { return fbgrabCalls(options.fbgrabLog); }
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

TEST_F(VoltraceProgram, AWholeLoggingSession)
{
    const std::string csv = home + "/battery0.csv", png = home + "/battery0.png";
    Program p = launch(VOLTRACE_BIN, options);
    ASSERT_GT(p.pid, 0) << "no window";
    // The help screen of free slot 0.
    ASSERT_TRUE(waitForScreen([](const Screen &s) {
        return countNear(s, 10, 27, 186, 14, 200, 200, 220, 12) > 100 && !redBand(s);
    }, 5000));

    press("Return");
    EXPECT_TRUE(waitFor([&] { return readFile(jz + "/lcd_backlight") == "100\n"; }, 5000))
        << readFile(jz + "/lcd_backlight");
    EXPECT_TRUE(waitFor([&] { return readFile(csv) == "0,3900\n"; }, 5000)) << readFile(csv);
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
    EXPECT_TRUE(waitFor([&] { return readFile(csv) == "0,3900\n60,3700\n"; }, 75000))
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

    // Away and back: the PNG is there, no second screenshot.
    press("Right");
    pauseMs(300);
    press("Left");
    pauseMs(1500);
    EXPECT_EQ(screenshots().size(), 1u);
    EXPECT_EQ(readFile(csv), "0,3900\n60,3700\n") << "nothing appended after the stop";
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

}  // namespace
