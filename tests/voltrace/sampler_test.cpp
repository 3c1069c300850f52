// The discharge sampler: the clamping of battery readings, the log line and its durability,
// the one-second tick (clock, sample every 60th tick, wake-up event), start and stop, the
// clock text, and a logging session raced against screen rebuilds (for ThreadSanitizer).
#include <stdlib.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "chart.h"
#include "sampler.h"
#include "screens.h"
#include "slots.h"
#include "support.h"

namespace {

using Sampler = Voltrace;

int pendingUserEvents(void)
{
    SDL_PumpEvents();
    SDL_Event events[64];
    return SDL_PeepEvents(events, 64, SDL_PEEKEVENT, SDL_EVENTMASK(SDL_USEREVENT));
}

void dropEvents(void)
{
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
    }
}

// Each reading as the kernel file might hold it, and the level the log must get: 1 ... 5000
// unchanged, everything else 5000.
TEST_F(Sampler, ReadingsOutside1To5000OrUnreadableBecome5000)
{
    struct Case {
        const char *file;  // null: no battery file at all
        int level;
    } cases[] = {
        {"3850\n", 3850},
        {"1\n", 1},
        {"5000\n", 5000},
        {"4999", 4999},
        {"  3700 mV\n", 3700},
        {"+3600\n", 3600},
        {"0\n", 5000},
        {"-1\n", 5000},
        {"5001\n", 5000},
        {"4294967297\n", 5000},  // would be 1 if cut to 32 bits
        {"99999999999999999999999\n", 5000},
        {"-99999999999999999999999\n", 5000},
        {"charging\n", 5000},
        {"\n", 5000},
        {"", 5000},
        {nullptr, 5000},
    };
    for (const Case &c : cases) {
        remove((home + "/battery").c_str());
        if (c.file)
            setBattery(c.file);
        EXPECT_EQ(readBatteryLevel(), c.level) << (c.file ? c.file : "(no file)");
    }
    // Only the first line counts.
    setBattery("abc\n4000\n");
    EXPECT_EQ(readBatteryLevel(), 5000);
    setBattery("4000\nabc\n");
    EXPECT_EQ(readBatteryLevel(), 4000);
}

// The line reaches the card before the file is closed: at the fsync the file already holds
// it. The folder is synced once, when the log is created.
TEST_F(Sampler, EachSampleIsOneWholeLineSyncedToTheCard)
{
    setBattery("3900\n");
    appendSample(0);
    setBattery("3888\n");
    appendSample(60);
    EXPECT_EQ(readText(csvPath), "0,3900\n60,3888\n");

    std::vector<SyncCall> calls = takeSyncs();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].path, csvPath);
    EXPECT_EQ(calls[0].size, 7);
    EXPECT_EQ(calls[1].path, home) << "the new log's folder";
    EXPECT_EQ(calls[2].path, csvPath);
    EXPECT_EQ(calls[2].size, 15);
}

TEST_F(Sampler, ALogThatCannotBeOpenedLosesTheSampleAndSaysSo)
{
    setBattery("3900\n");
    setenv("HOME", (home + "/no-such-folder").c_str(), 1);
    selectSlot(0);
    appendSample(0);
    EXPECT_EQ(isRegularFile(csvPath), 0);
    EXPECT_TRUE(takeSyncs().empty());
    EXPECT_STREQ(sampleProblem.load(), "Card error");
}

// A card that fills mid-line: the part that fitted is cut off again, so the log ends with its
// last whole line; the logging screen says so across the chart; every later sample is tried,
// and once one fits the words go.
TEST_F(Sampler, ACardThatFillsKeepsWholeLinesAndTheLoggingScreenSaysSo)
{
    auto shown = [](void) {
        clearFlips();
        redrawScreen("VOLTRACE");
        return takeFlips().back();
    };
    auto says = [](const Frame &f, const char *text, int dy) {
        return showsText(f, text, chartRect.x + chartRect.w / 2,
                         chartRect.y + chartRect.h / 2 + dy, ANCHOR_CENTER | ANCHOR_MIDDLE);
    };
    setBattery("3900\n");
    logging = 1;
    appendSample(0);
    EXPECT_EQ(sampleProblem.load(), nullptr);
    limitWrites(3);
    appendSample(60);
    EXPECT_EQ(readText(csvPath), "0,3900\n");
    EXPECT_STREQ(sampleProblem.load(), "Card full");
    Frame f = shown();
    EXPECT_TRUE(says(f, "Card full:", -8));
    EXPECT_TRUE(says(f, "the last sample could not be written", 8));

    appendSample(120);  // no room at all now
    EXPECT_EQ(readText(csvPath), "0,3900\n");
    limitWrites(-1);
    appendSample(180);
    EXPECT_EQ(readText(csvPath), "0,3900\n180,3900\n");
    EXPECT_EQ(sampleProblem.load(), nullptr);
    f = shown();
    EXPECT_FALSE(says(f, "the last sample could not be written", 8));
    EXPECT_TRUE(showsText(f, "Value: 3.9 V", 310, 206, ANCHOR_RIGHT | ANCHOR_MIDDLE));
    logging = 0;
}

// A log is the file its first sample created. Once the path leads elsewhere (the card gone,
// leaving a bare folder; a stranger's file there) nothing is written and the screen says so;
// the same log back, numbered anew as after a remount (a copy), takes the samples again.
TEST_F(Sampler, SamplesGoOnlyIntoTheFileTheFirstOneCreated)
{
    setBattery("3900\n");
    appendSample(0);
    rename(csvPath, (home + "/away").c_str());
    appendSample(60);
    EXPECT_EQ(isRegularFile(csvPath), 0);
    EXPECT_STREQ(sampleProblem.load(), "Card removed");
    for (const char *stranger : {"0,3800\n", "0,3900\n0,3900\n"}) {
        writeText(csvPath, stranger);
        appendSample(120);
        EXPECT_EQ(readText(csvPath), stranger);
        EXPECT_STREQ(sampleProblem.load(), "Card removed") << stranger;
    }
    writeText(csvPath, "0,3900\n");
    appendSample(180);
    EXPECT_EQ(readText(csvPath), "0,3900\n180,3900\n");
    EXPECT_EQ(sampleProblem.load(), nullptr);
}

// The seconds shown and logged are the monotonic clock's since START, rounded: a tick a few
// milliseconds early shows its own second, a late one its true second.
TEST_F(Sampler, TheSecondsShownAndLoggedAreTheClocksNotTheTicks)
{
    static Uint32 now = 7777;
    monotonicMs = [] { return now; };
    beginLog();
    chartRect = {34, 50, 276, 130};
    setBattery("3950\n");
    logging = 1;
    const Uint32 ms[] = {0, 59990, 127600};  // ticks 0, 60 (a little early), 120 (late)
    const char *clocks[] = {"00:00:00", "00:01:00", "00:02:08"};
    for (int i = 0; i < 3; i++) {
        tickCount = 60u * i;
        now = 7777 + ms[i];
        timerTick(1000, nullptr);
        EXPECT_TRUE(showsText(takeFlips().back(), clocks[i], 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
    }
    EXPECT_EQ(readText(csvPath), "0,3950\n60,3950\n128,3950\n");
    logging = 0;
}

// Ticks 1 to 59 only redraw the clock; tick 60 redraws it, appends the line for second 60
// and then wakes the main loop.
TEST_F(Sampler, EveryTickShowsTheClockAndEvery60thAppendsAndWakesTheLoop)
{
    chartRect = {34, 50, 276, 130};
    setBattery("3950\n");
    logging = 1;
    tickCount = 1;
    dropEvents();
    for (int tick = 1; tick < 60; tick++)
        EXPECT_EQ(timerTick(1000, nullptr), 1000u);
    EXPECT_EQ(tickCount.load(), 60u);
    EXPECT_EQ(isRegularFile(csvPath), 0);
    EXPECT_EQ(pendingUserEvents(), 0);
    std::vector<Frame> frames = takeFlips();
    ASSERT_EQ(frames.size(), 59u);
    EXPECT_TRUE(showsText(frames[0], "00:00:01", 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
    EXPECT_TRUE(showsText(frames[58], "00:00:59", 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));

    timerTick(1000, nullptr);
    EXPECT_EQ(readText(csvPath), "60,3950\n");
    EXPECT_EQ(pendingUserEvents(), 1);
    EXPECT_EQ(tickCount.load(), 61u);
    frames = takeFlips();
    EXPECT_TRUE(showsText(frames.back(), "00:01:00", 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
    logging = 0;
}

// The clock erases its 70 x 17 box below the time axis's right end before drawing: nothing
// of the previous second's text stays.
TEST_F(Sampler, TheClockReplacesTheEndTimeLabel)
{
    chartRect = {34, 50, 276, 130};
    {
        ScreenHold hold = holdScreen();
        drawText(310, 180, "88:88:88", BODY_COLOR, ANCHOR_RIGHT | ANCHOR_TOP);
    }
    logging = 1;
    tickCount = 7;
    timerTick(1000, nullptr);
    logging = 0;
    EXPECT_TRUE(showsText(takeFlips().back(), "00:00:07", 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
}

TEST_F(Sampler, StartTakesTheFirstSampleAtOnceAndStopEndsTheLog)
{
    setBattery("4100\n");
    dropEvents();
    startLogging();
    EXPECT_EQ(logging.load(), 1);
    EXPECT_EQ(readText(csvPath), "0,4100\n");
    EXPECT_GE(tickCount.load(), 1u);
    EXPECT_EQ(pendingUserEvents(), 1);

    stopLogging();
    EXPECT_EQ(logging.load(), 0);
    dropEvents();
    // A tick that was already on its way when START stopped the log writes nothing.
    tickCount = 120;
    clearFlips();
    timerTick(1000, nullptr);
    EXPECT_EQ(readText(csvPath), "0,4100\n");
    EXPECT_EQ(pendingUserEvents(), 0);
    EXPECT_TRUE(takeFlips().empty());

    // Nor does the real timer after it is removed.
    SDL_Delay(1300);
    EXPECT_EQ(readText(csvPath), "0,4100\n");
}

// Hours wrap at 24; the rule q = count / unitsPerSecond holds for the other units too.
TEST_F(Sampler, ClockTexts)
{
    struct Case {
        unsigned count, units;
        const char *text;
    } cases[] = {
        {0, 1, "00:00:00"},         {59, 1, "00:00:59"},       {60, 1, "00:01:00"},
        {3599, 1, "00:59:59"},      {3600, 1, "01:00:00"},     {86399, 1, "23:59:59"},
        {86400, 1, "00:00:00"},     {86400 + 3600, 1, "01:00:00"},
        {4294967295u, 1, "06:28:15"},  // 49710 days and 23295 s
        {5940, 1, "01:39:00"},      {7200, 2, "01:00:00"},     {59999, 1000, "00:00:59"},
        {42, 0, "00:00:42"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(formatClock(c.count, c.units), c.text) << c.count << "/" << c.units;
}

TEST_F(Sampler, EachThreadFormatsTheClockInItsOwnBuffer)
{
    const char *mine = formatClock(3600, 1);
    std::thread other([] {
        for (unsigned i = 0; i < 1000; i++)
            formatClock(i, 1);
    });
    other.join();
    EXPECT_STREQ(mine, "01:00:00");
}

TEST_F(Sampler, TheLoadThreadEndsWhenLoggingStops)
{
    logging = 1;
    std::atomic<bool> ended{false};
    std::thread load([&] {
        loadThread(nullptr);
        ended = true;
    });
    SDL_Delay(50);
    EXPECT_FALSE(ended.load());
    logging = 0;
    load.join();
    EXPECT_TRUE(ended.load());
}

// A logging session under load: the real one-second timer and a second thread ticking as
// fast as it can both draw, flip and append, while the main thread rebuilds the whole screen
// (chart included) on every wake-up and in between. Under ThreadSanitizer this must stay
// silent; in every build the log must come out whole and in order.
TEST_F(Sampler, ALoggingSessionRacedAgainstRebuildsKeepsTheLogWhole)
{
    setBattery("4000\n");
    dropEvents();
    startLogging();
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        for (int i = 0; i < 600 && logging; i++) {
            timerTick(1000, nullptr);
            if (i % 7 == 0)
                SDL_Delay(1);
        }
        done = true;
    });
    int rebuilds = 0;
    while (!done) {
        redrawScreen("VOLTRACE");
        rebuilds++;
        SDL_Event event;
        while (SDL_PollEvent(&event))
            handleEvent(&event);
    }
    ticker.join();
    stopLogging();
    redrawScreen("VOLTRACE");
    EXPECT_GT(rebuilds, 1);

    std::istringstream log(readText(csvPath));
    std::string line;
    long long previous = -1;
    int lines = 0;
    while (std::getline(log, line)) {
        unsigned long seconds = 0, level = 0;
        char end = 0;
        ASSERT_EQ(sscanf(line.c_str(), "%lu,%lu%c", &seconds, &level, &end), 2) << line;
        EXPECT_EQ(level, 4000u);
        EXPECT_EQ(seconds % 60, 0u);
        EXPECT_GT(static_cast<long long>(seconds), previous);
        previous = static_cast<long long>(seconds);
        lines++;
    }
    EXPECT_GE(lines, 10);
    EXPECT_EQ(readText(csvPath).back(), '\n');
}

}  // namespace
