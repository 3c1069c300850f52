// The discharge sampler: the clamping of battery readings, the log line and its durability,
// the schedule of samples on the log's clock, the one-second clock, start and stop on the card
// thread, the clock text, and a logging session raced against screen rebuilds (for
// ThreadSanitizer).
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "chart.h"
#include "sampler.h"
#include "screens.h"
#include "slots.h"
#include "support.h"
#include "timeleft.h"

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
    beginLog();
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

    // A cut that cannot be undone, then a sync that fails after a whole line: the broken line
    // reads as damage, the next sample begins a line of its own, and the log is still known
    // when the card comes back with it numbered anew (a copy).
    limitWrites(3);
    breakCard(true);
    appendSample(240);
    limitWrites(-1);
    appendSample(300);
    EXPECT_STREQ(sampleProblem.load(), "Card error");
    breakCard(false);
    std::string log = readText(csvPath);
    rename(csvPath, (home + "/away").c_str());
    writeText(csvPath, log);
    appendSample(360);
    EXPECT_EQ(readText(csvPath), "0,3900\n180,3900\n240 (cut)\n300,3900\n360,3900\n");
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

// Sample k is due at START + 60 k s on the log's clock and carries the clock's second: a late
// one (the first, after a card that was busy) does not move the next, and a wake-up after
// several due moments takes one sample, not a burst. A log left on the charger goes on past
// 2^32 ms (49.7 days, sample 71,582), where 32-bit milliseconds would stop every sample.
TEST_F(Sampler, SamplesKeepToTheirMinutesWhateverIsLate)
{
    setBattery("3950\n");
    setClock(7777);
    beginLog();
    const struct {
        Uint64 ms;
        int taken;
    } steps[] = {{2500, 1}, {59999, 0}, {60000, 1}, {127600, 1}, {179999, 0},
                 {400000, 1}, {419999, 0}, {420000, 1}, {4294920000, 1}, {4294979999, 0},
                 {4294980000, 1}};
    for (const auto &step : steps) {
        setClock(7777 + step.ms);
        EXPECT_EQ(sampleWhenDue(), step.taken) << step.ms;
    }
    EXPECT_EQ(readText(csvPath), "3,3950\n60,3950\n128,3950\n400,3950\n420,3950\n"
                                 "4294920,3950\n4294980,3950\n");
}

// The clock shows the log clock's rounded second (a tick a little early shows its own second,
// a late one its true second), in place of the end-time label, erasing its 70 x 17 box first;
// the next tick is aimed at the clock's next whole second.
TEST_F(Sampler, TheClockShowsTheLogsSecondsInPlaceOfTheEndTimeLabel)
{
    chartRect = {34, 50, 276, 130};
    {
        ScreenHold hold = holdScreen();
        drawText(310, 180, "88:88:88", BODY_COLOR, ANCHOR_RIGHT | ANCHOR_TOP);
    }
    logging = 1;
    const struct {
        Uint64 ms;
        Uint32 next;
        const char *shown;
    } ticks[] = {{7000, 1000, "00:00:07"}, {59990, 10, "00:01:00"}, {127600, 400, "00:02:08"},
                 {4295000400, 600, "1193:03:20"}};
    for (const auto &tick : ticks) {
        setClock(tick.ms);
        EXPECT_EQ(timerTick(1000, nullptr), tick.next) << tick.shown;
        EXPECT_TRUE(showsText(takeFlips().back(), tick.shown, 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
    }
    EXPECT_EQ(isRegularFile(csvPath), 0) << "the clock touches no file";
    logging = 0;
}

// START returns at once and the card thread takes the first sample and wakes the main loop;
// after STOP nothing more is written or drawn, however the clock runs on.
TEST_F(Sampler, StartTakesTheFirstSampleOnTheCardThreadAndStopEndsTheLog)
{
    setBattery("4100\n");
    dropEvents();
    startLogging();
    EXPECT_EQ(logging.load(), 1);
    ASSERT_TRUE(waitForLog("0,4100\n"));
    SDL_Delay(50);
    EXPECT_EQ(pendingUserEvents(), 1);

    stopLogging();
    EXPECT_EQ(logging.load(), 0);
    dropEvents();
    setClock(120000);
    clearFlips();
    timerTick(1000, nullptr);
    SDL_Delay(1300);  // past the card thread's longest wait
    EXPECT_EQ(readText(csvPath), "0,4100\n");
    EXPECT_EQ(pendingUserEvents(), 0);
    EXPECT_TRUE(takeFlips().empty());
}

// Earlier discharges whose gauge the report's tests know, 4100 - 6 (100 - p) mV at p %: a
// long and a short one, their mean awake time 7:30:00. A log stopped early, a folder and a log
// past 4 MB beside them are left out, and so is the log being written.
TEST_F(Sampler, TheEarlierDischargesGiveTheReportsGaugeAndTheTimeLeftAtALevel)
{
    writeText(home + "/battery1.csv", minuteLog(600, [](int k) { return 4200 - k; }));
    writeText(home + "/battery2.csv", minuteLog(300, [](int k) { return 4000 - 2 * k; }));
    writeText(home + "/battery3.csv", minuteLog(60, [](int k) { return 4000 - k; }));
    ASSERT_EQ(mkdir((home + "/battery4.csv").c_str(), 0755), 0);
    writeText(home + "/battery5.csv", minuteLog(300, [](int k) { return 3900 - 2 * k; }));
    ASSERT_EQ(truncate((home + "/battery5.csv").c_str(), MAX_LOG_BYTES + 1), 0);
    writeText(csvPath, minuteLog(10, [](int) { return 3000; }));
    EarlierGauge g;
    readEarlierLogs(csvPath, &g);
    ASSERT_EQ(g.logs, 2);
    for (int row = 0; row < GAUGE_ROWS; row++)
        EXPECT_EQ(g.levels[row], static_cast<uint32_t>(4100 - 6 * row * GAUGE_STEP)) << row;
    EXPECT_EQ(g.runTime, 27000.0);

    // The report's row times the mean run time: 40 % at 3.740 V, 3:00:00. 50 % (3:45:00) is a
    // half step of ten minutes, rounded up; above the 100 % row all of it, below 0 % none.
    EXPECT_EQ(timeLeftAt(g.levels, g.runTime, 3740), 3u * 3600);
    EXPECT_EQ(timeLeftAt(g.levels, g.runTime, 3800), 3u * 3600 + 50 * 60);
    EXPECT_EQ(timeLeftAt(g.levels, g.runTime, 4300), 27000u);
    EXPECT_EQ(timeLeftAt(g.levels, g.runTime, 3400), 0u);
    for (uint32_t level = 4200; level > 3400; level--)
        EXPECT_LE(timeLeftAt(g.levels, g.runTime, level - 1), timeLeftAt(g.levels, g.runTime, level));
}

TEST_F(Sampler, ClockTexts)
{
    struct Case {
        unsigned count, units;
        const char *text;
    } cases[] = {
        {0, 1, "00:00:00"},         {59, 1, "00:00:59"},       {60, 1, "00:01:00"},
        {3599, 1, "00:59:59"},      {3600, 1, "01:00:00"},     {86399, 1, "23:59:59"},
        {86400, 1, "24:00:00"},     {108000, 1, "30:00:00"},   {259200, 1, "72:00:00"},
        {360000, 1, "100:00:00"},   {4294967295u, 1, "1193046:28:15"},
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
// fast as it can both draw the clock and flip, the second thread also running the log's clock
// on so that the card thread samples as often as it looks, while the main thread rebuilds the
// whole screen (chart included) on every wake-up and in between. Under ThreadSanitizer this
// must stay silent; in every build the log must come out whole and in order.
TEST_F(Sampler, ALoggingSessionRacedAgainstRebuildsKeepsTheLogWhole)
{
    setBattery("4000\n");
    dropEvents();
    startLogging();
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        for (Uint32 ms = 0; ms < 3000 && logging; ms += 5) {
            setClock(ms * 4000);
            timerTick(1000, nullptr);
            SDL_Delay(5);
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
    while (logUnsettled(nullptr))
        SDL_Delay(10);
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
        EXPECT_GT(static_cast<long long>(seconds), previous);
        previous = static_cast<long long>(seconds);
        lines++;
    }
    EXPECT_GE(lines, 3);
    EXPECT_EQ(readText(csvPath).back(), '\n');
}

}  // namespace
