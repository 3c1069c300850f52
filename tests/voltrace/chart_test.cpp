// The log chart: the linear scale, the first pass's ranges, what counts as a sample in a
// damaged or hostile log, and the drawn chart against known values: layout, label texts,
// point positions, the flips while plotting and the readout.
#include <stdlib.h>

#include <random>

#include "chart.h"
#include "sampler.h"
#include "slots.h"
#include "support.h"

namespace {

using Chart = Voltrace;

// Draws the current slot's log on a black screen as the screen rebuild does, and returns
// what the caller's final flip would show.
Frame chartOf(const std::string &csv, const std::string &log)
{
    writeText(csv, log);
    ScreenHold hold = holdScreen();
    SDL_FillRect(screen, nullptr, 0);
    drawChart(0, nullptr);
    return grabScreen();
}

std::string evenLog(int lines)
{
    std::string log;
    for (int i = 0; i < lines; i++)
        log += std::to_string(i * 60) + "," + std::to_string(4200 - i) + "\n";
    return log;
}

TEST(ScaleToRange, MapsEndsToEndsAndKnownPointsBetween)
{
    EXPECT_EQ(scaleToRange(5, 7, 7, 34, 310), -1.0f);
    EXPECT_EQ(scaleToRange(60, 0, 120, 34, 310), 172.0f);
    EXPECT_EQ(scaleToRange(4100, 4200, 4000, 50, 180), 115.0f);  // the level axis turned over
    EXPECT_EQ(scaleToRange(3850, 3860, 3850, 50, 180), 180.0f);
    EXPECT_EQ(scaleToRange(0, 0, 10, 34, 310), 34.0f);
    // Differences beyond 31 bits stay exact instead of wrapping negative.
    EXPECT_EQ(scaleToRange(4294967295LL, 0, 4294967295LL, 34, 310), 310.0f);
    EXPECT_EQ(scaleToRange(2147483648LL, 0, 4294967296LL, 0, 300), 150.0f);
    EXPECT_EQ(scaleToRange(0, 4294967295LL, 0, 50, 180), 180.0f);

    // The rule every pair of ranges obeys: from lands on outFrom, to on outTo.
    const long long edges[] = {0, 1, 59, 60, 5000, 2147483647LL, 2147483648LL,
                               4294967285LL, 4294967295LL};
    const long long outs[][2] = {{34, 310}, {50, 180}, {180, 50}, {94, 310}};
    for (long long from : edges)
        for (long long to : edges) {
            if (from == to)
                continue;
            for (const auto &out : outs) {
                EXPECT_EQ(scaleToRange(from, from, to, out[0], out[1]), static_cast<float>(out[0]));
                EXPECT_NEAR(scaleToRange(to, from, to, out[0], out[1]), out[1], 1e-3)
                    << from << ".." << to;
            }
        }
}

TEST_F(Chart, OneSampleSpansTenSecondsAndTenMillivolts)
{
    writeText(csvPath, "0,3850\n");
    ChartRanges r = scanLog(csvPath);
    EXPECT_EQ(r.opened, 1);
    EXPECT_EQ(r.lineCount, 1u);
    EXPECT_EQ(r.timeMin, 0u);
    EXPECT_EQ(r.timeMax, 10u);
    EXPECT_EQ(r.levelMin, 3850u);
    EXPECT_EQ(r.levelMax, 3860u);

    writeText(csvPath, "0,4200\n60,4100\n120,4000\n");
    r = scanLog(csvPath);
    EXPECT_EQ(r.lineCount, 3u);
    EXPECT_EQ(r.timeMin, 0u);
    EXPECT_EQ(r.timeMax, 120u);
    EXPECT_EQ(r.levelMin, 4000u);
    EXPECT_EQ(r.levelMax, 4200u);

    // At the top of the 32 bits the widening goes downwards rather than wrap.
    writeText(csvPath, "4294967295,4294967290\n");
    r = scanLog(csvPath);
    EXPECT_EQ(r.timeMin, 4294967285u);
    EXPECT_EQ(r.timeMax, 4294967295u);
    EXPECT_EQ(r.levelMin, 4294967280u);
    EXPECT_EQ(r.levelMax, 4294967290u);

    r = scanLog((home + "/missing.csv").c_str());
    EXPECT_EQ(r.opened, 0);
    EXPECT_EQ(r.lineCount, 0u);
}

// Which lines of a damaged or hostile log are samples; a clean sample "60,4000" sits among
// them so the ranges show what was taken.
TEST_F(Chart, OnlyWholeLinesOfTwoNumbersAreSamples)
{
    struct Case {
        std::string line;  // with its line feed, if any
        bool sample;
    } cases[] = {
        {"0,4100\n", true},
        {"0,4100\r\n", true},
        {" 0 , 4100 \n", true},
        {"+0,+4100\n", true},
        {",,0,,4100,\n", true},  // runs of commas are one separator, as strtok reads them
        {"0,4100,extra,fields\n", true},
        {"0,4294967295\n", true},
        {"\n", false},
        {"\r\n", false},
        {"0\n", false},
        {"0,\n", false},
        {",4100\n", false},
        {"0;4100\n", false},
        {"0,41x00\n", false},
        {"0x10,4100\n", false},
        {"-60,4100\n", false},
        {"0,-4100\n", false},
        {"0,4294967296\n", false},
        {"99999999999999999999,4100\n", false},
        {std::string("0,41\0" "00\n", 8), false},
        {"\xff\xfe,\x80\n", false},
        {"\uFEFF0,4100\n", false},  // a UTF-8 byte-order mark is nothing at the start only
    };
    for (const Case &c : cases) {
        writeText(csvPath, "60,4000\n" + c.line);
        ChartRanges r = scanLog(csvPath);
        EXPECT_EQ(r.lineCount, c.sample ? 2u : 1u) << c.line;
        EXPECT_EQ(r.timeMin, c.sample ? 0u : 60u) << c.line;
    }
    // A last line without its line feed is a write cut short by a power cut.
    for (const char *cut : {"120,3", "120,", "120", "120,3900"}) {
        writeText(csvPath, std::string("0,4100\n60,4000\n") + cut);
        ChartRanges r = scanLog(csvPath);
        EXPECT_EQ(r.lineCount, 2u) << cut;
        EXPECT_EQ(r.timeMax, 60u) << cut;
        EXPECT_EQ(r.levelMin, 4000u) << cut;
    }
    // A megabyte-long line is read whole and skipped.
    writeText(csvPath, "0,4100\n" + std::string(1 << 20, '7') + ",1\n60,4000\n");
    ChartRanges r = scanLog(csvPath);
    EXPECT_EQ(r.lineCount, 2u);
    EXPECT_EQ(r.levelMin, 4000u);
}

// The device's mark for a battery it could not read counts for time, never as a level.
TEST_F(Chart, NoReadingSamplesCountForTimeOnly)
{
    writeText(csvPath, "0,5000\n60,4100\n120,5000\n180,4000\n240,5000\n");
    ChartRanges r = scanLog(csvPath);
    EXPECT_EQ(r.lineCount, 5u);
    EXPECT_EQ(r.timeMax, 240u);
    EXPECT_EQ(r.levelMax, 4100u);
    EXPECT_EQ(r.levelMin, 4000u);
}

// Both passes agree on every line: junk among the samples, CRLF endings, a cut last line and
// a byte-order mark before the first leave exactly the chart, and the flips, of the clean log.
TEST_F(Chart, SkippedLinesChangeNeitherThePictureNorTheFlips)
{
    Frame clean = chartOf(csvPath, "0,4200\n60,4100\n120,4000\n");
    ASSERT_EQ(takeFlips().size(), 3u);  // lineCount 3: a flip after every sample
    const char *variants[] = {
        "\n0,4200\nnoise\n60,4100\n\n-5,4000\n120,4000\n99999999999,1\n",
        "0,4200\r\n60,4100\r\n120,4000\r\n",
        "0,4200\n60,4100\n120,4000\n180,37",
        "\uFEFF0,4200\n60,4100\n120,4000\n",  // as a PC editor may save it
    };
    for (const char *log : variants) {
        clearFlips();
        Frame f = chartOf(csvPath, log);
        EXPECT_EQ(takeFlips().size(), 3u) << log;
        EXPECT_TRUE(f.px == clean.px) << log;
    }
}

// A small known log: three samples over two minutes from 4.2 V to 4.0 V.
TEST_F(Chart, LayoutLabelsPointsAndReadoutOfAKnownLog)
{
    Frame f = chartOf(csvPath, "0,4200\n60,4100\n120,4000\n");
    // The left margin is the width of "4.20" plus 10: in the embedded font three 6-pixel
    // digits and a 3-pixel point.
    EXPECT_EQ(chartRect.x, 31);
    EXPECT_EQ(chartRect.y, 50);
    EXPECT_EQ(chartRect.w, 279);
    EXPECT_EQ(chartRect.h, 130);

    // Axes: column 31 rows 50..179 and row 179 columns 31..309; nothing along the top or right.
    EXPECT_EQ(countWhite(f, 31, 50, 1, 130), 130);
    EXPECT_EQ(countWhite(f, 31, 179, 279, 1), 279);

    EXPECT_TRUE(showsText(f, "4.2", 27, 50, ANCHOR_RIGHT | ANCHOR_MIDDLE));
    EXPECT_TRUE(showsText(f, "4.0", 27, 180, ANCHOR_RIGHT | ANCHOR_BOTTOM));
    EXPECT_TRUE(showsText(f, "00:00:00", 31, 180, ANCHOR_LEFT | ANCHOR_TOP));
    EXPECT_TRUE(showsText(f, "00:02:00", 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
    EXPECT_TRUE(showsText(f, "Value: 4.0 V", 310, 206, ANCHOR_RIGHT | ANCHOR_MIDDLE));

    // Points: (31, 50) top left, (170, 115) in the middle (31 + 279 / 2, truncated), (310, 180)
    // at the right end; each the 2 x 2 square above and right of its point. Nothing else
    // inside the axes.
    struct Dot {
        int x, y;
    } dots[] = {{31, 50}, {170, 115}, {310, 180}};
    for (const Dot &d : dots)
        EXPECT_EQ(countWhite(f, d.x, d.y - 2, 2, 2), 4) << d.x << "," << d.y;
    int inside = countWhite(f, 32, 40, 285, 139);  // right of the axis, above the time axis
    EXPECT_EQ(inside, 2 + 4 + 2) << "the first dot half on the axis, the last half on the other";
}

// 3850 mV is 3.8499999 V in single precision and 4050 mV is 4.0500002 V; the margin is
// measured on "4.05".
TEST_F(Chart, LevelsAreRoundedInSinglePrecision)
{
    Frame f = chartOf(csvPath, "0,3850\n60,4050\n");
    EXPECT_EQ(chartRect.x, 31);
    EXPECT_TRUE(showsText(f, "4.1", 27, 50, ANCHOR_RIGHT | ANCHOR_MIDDLE));
    EXPECT_TRUE(showsText(f, "3.8", 27, 180, ANCHOR_RIGHT | ANCHOR_BOTTOM));
    EXPECT_TRUE(showsText(f, "Value: 4.1 V", 310, 206, ANCHOR_RIGHT | ANCHOR_MIDDLE));
}

TEST_F(Chart, AWiderTopLabelMovesOnlyTheLevelAxis)
{
    Frame f = chartOf(csvPath, "0,3000\n60,12000\n");
    EXPECT_EQ(chartRect.x, 37);  // "12.00": four digits and the point
    EXPECT_EQ(chartRect.x + chartRect.w, 310);
    EXPECT_EQ(countWhite(f, 37, 50, 1, 130), 130);
    EXPECT_TRUE(f.white(309, 179));
    EXPECT_FALSE(f.white(310, 179));
    EXPECT_EQ(countWhite(f, 310, 48, 2, 2), 4);  // the last sample at the top right
    EXPECT_TRUE(showsText(f, "12.0", 33, 50, ANCHOR_RIGHT | ANCHOR_MIDDLE));
}

TEST_F(Chart, OneSampleSitsAtTheLeftEndOfTheTimeAxis)
{
    Frame f = chartOf(csvPath, "0,3850\n");
    EXPECT_EQ(chartRect.x, 31);  // "3.86"
    EXPECT_TRUE(f.white(32, 178)) << "the point (31, 180)";
    EXPECT_EQ(countWhite(f, 32, 40, 285, 139), 1);
    EXPECT_TRUE(showsText(f, "3.9", 27, 50, ANCHOR_RIGHT | ANCHOR_MIDDLE));
    EXPECT_TRUE(showsText(f, "3.8", 27, 180, ANCHOR_RIGHT | ANCHOR_BOTTOM));
    EXPECT_TRUE(showsText(f, "00:00:00", 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
    EXPECT_TRUE(showsText(f, "Value: 3.8 V", 310, 206, ANCHOR_RIGHT | ANCHOR_MIDDLE));
}

// The plot is shown in at most five frames: a flip after every lineCount / 5 + 1 samples,
// the rest with the caller's flip. Each frame's readout names the last sample it shows.
TEST_F(Chart, ThePlotIsShownInBatches)
{
    chartOf(csvPath, evenLog(4));
    EXPECT_EQ(takeFlips().size(), 4u) << "b = 1";

    clearFlips();
    Frame last = chartOf(csvPath, evenLog(100));
    std::vector<Frame> frames = takeFlips();
    ASSERT_EQ(frames.size(), 4u) << "b = 21";
    const char *readouts[] = {"00:20:00", "00:41:00", "01:02:00", "01:23:00"};
    for (int k = 0; k < 4; k++) {
        EXPECT_TRUE(showsText(frames[k], readouts[k], 310, 180, ANCHOR_RIGHT | ANCHOR_TOP)) << k;
        // Points are two columns wide and at least two apart; the first is half on the axis.
        int columns = 0;
        for (int x = 32; x < 312; x++)
            columns += countWhite(frames[k], x, 40, 1, 139) > 0;
        EXPECT_EQ(columns, 2 * 21 * (k + 1) - 1) << k;
    }
    EXPECT_TRUE(showsText(last, "01:39:00", 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
    EXPECT_TRUE(showsText(last, "Value: 4.1 V", 310, 206, ANCHOR_RIGHT | ANCHOR_MIDDLE));
}

// No-reading samples draw no point and no level; when the last has none, the readout says so
// within the box the next readout erases. With no reading at all, the time axis and a notice.
TEST_F(Chart, NoReadingSamplesDrawNoPointAndTheReadoutSaysSo)
{
    Frame f = chartOf(csvPath, "0,4200\n60,5000\n120,4000\n180,5000\n");
    EXPECT_TRUE(showsText(f, "4.2", 27, 50, ANCHOR_RIGHT | ANCHOR_MIDDLE));
    EXPECT_TRUE(showsText(f, "4.0", 27, 180, ANCHOR_RIGHT | ANCHOR_BOTTOM));
    EXPECT_TRUE(showsText(f, "00:03:00", 310, 180, ANCHOR_RIGHT | ANCHOR_TOP));
    EXPECT_TRUE(showsText(f, "No reading", 310, 206, ANCHOR_RIGHT | ANCHOR_MIDDLE));
    int width = 0, height = 0;
    EXPECT_TRUE(TTF_SizeText(font, "No reading", &width, &height) == 0 && width <= 70);
    // The points at (31, 50) and (31 + 120 * 279 / 180, 180), above the time axis.
    EXPECT_EQ(countWhite(f, 217, 178, 2, 1), 2);
    EXPECT_EQ(countWhite(f, 32, 40, 285, 139), 2 + 2);

    f = chartOf(csvPath, "0,5000\n60,5000\n");
    EXPECT_TRUE(showsText(f, "00:00:00", chartRect.x, 180, ANCHOR_LEFT | ANCHOR_TOP));
    EXPECT_TRUE(showsText(f, "No reading", 310, 206, ANCHOR_RIGHT | ANCHOR_MIDDLE));
    EXPECT_TRUE(showsText(f, "No battery reading in this log", chartRect.x + chartRect.w / 2, 115,
                          ANCHOR_CENTER | ANCHOR_MIDDLE));
    int lit = 0;
    for (int y = 30; y < 200; y++)
        for (int x = 0; x < chartRect.x; x++)
            lit += f.at(x, y) != 0;
    EXPECT_EQ(lit, 0) << "no level labels";
}

TEST_F(Chart, KeysPressedWhileDrawingAreDropped)
{
    SDL_Event key = {};
    key.type = SDL_KEYDOWN;
    key.key.keysym.sym = SDLK_RETURN;
    SDL_PushEvent(&key);
    chartOf(csvPath, evenLog(10));
    SDL_Event event;
    EXPECT_EQ(SDL_PollEvent(&event), 0);
}

// A log with nothing to chart shows the axes and says so, with no labels made up from the
// ranges' start values.
TEST_F(Chart, ALogWithoutSamplesShowsTheAxesAndANotice)
{
    for (const std::string &log : {std::string(), std::string("\n\n"), std::string("garbage\n"),
                                   std::string("60,4000")}) {
        Frame f = chartOf(csvPath, log);
        EXPECT_EQ(countWhite(f, chartRect.x, 50, 1, 130), 130);
        EXPECT_TRUE(showsText(f, "No samples in this log", chartRect.x + chartRect.w / 2, 115,
                              ANCHOR_CENTER | ANCHOR_MIDDLE))
            << log;
        int lit = 0;
        for (int y = 0; y < 240; y++)
            for (int x = 0; x < 320; x++)
                lit += f.at(x, y) != 0;
        int axes = 130 + chartRect.w - 1;
        int notice = 0;
        for (int y = 100; y < 130; y++)
            for (int x = 0; x < 320; x++)
                notice += f.at(x, y) != 0 && !(x == chartRect.x);
        EXPECT_EQ(lit, axes + notice) << "nothing but the axes and the notice: " << log;
    }
}

// Hostile files: the chart is drawn, nothing lands outside the chart and its label places,
// and (in the sanitizer builds) nothing reads or computes out of bounds.
TEST_F(Chart, HostileLogsStillChart)
{
    std::mt19937 random(20240601);
    std::string bytes(256 * 1024, '\0');
    for (char &c : bytes)
        c = static_cast<char>(random());
    std::string digits;
    for (int i = 0; i < 20000; i++)
        digits += std::to_string(random()) + (i % 3 ? "," : "\n");
    const std::string logs[] = {
        bytes,
        digits,
        std::string(1 << 20, ',') + "\n0,4000\n",
        "0,4000\n" + std::string(1 << 20, 'x'),
        std::string(4096, '\0') + "\n60,3900\n",
        "4294967295,4294967295\n0,0\n",
        "4294967295,1\n",
    };
    for (const std::string &log : logs) {
        Frame f = chartOf(csvPath, log);
        EXPECT_EQ(chartRect.x + chartRect.w, 310);
        EXPECT_GE(countWhite(f, chartRect.x, 52, 1, 126), 126) << "the level axis";
        EXPECT_EQ(countWhite(f, 0, 0, 320, 40), 0) << "nothing above the chart";
        EXPECT_EQ(countWhite(f, 312, 0, 8, 240), 0) << "nothing right of it";
        EXPECT_EQ(countWhite(f, 0, 216, 320, 24), 0) << "nothing below the readout";
    }
}

TEST_F(Chart, ALogThatCannotBeReadSaysSoAndLeavesTheEvents)
{
    // The rebuild asks before it draws; should the log vanish in between, it still charts.
    remove(csvPath);
    SDL_Event key = {};
    key.type = SDL_KEYDOWN;
    SDL_PushEvent(&key);
    Frame f;
    {
        ScreenHold hold = holdScreen();
        SDL_FillRect(screen, nullptr, 0);
        drawChart(0, nullptr);
        f = grabScreen();
    }
    EXPECT_TRUE(showsText(f, "Cannot read this log", chartRect.x + chartRect.w / 2, 115,
                          ANCHOR_CENTER | ANCHOR_MIDDLE));
    SDL_Event event;
    EXPECT_EQ(SDL_PollEvent(&event), 1);
}

}  // namespace
