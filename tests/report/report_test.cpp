// voltrace-report as the user runs it: the table for logs whose answers are known, the
// page's crossings and holes, its chart rendered by rsvg-convert with each curve found by its
// colour, the battery gauge, the device's no-reading mark, and missing, empty, hostile and
// non-log files and bad usage.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "page.h"

namespace
{

struct Result {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out, err;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void spit(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string tempDir()
{
    char folder[] = "/tmp/voltrace-report-test.XXXXXX";
    EXPECT_NE(mkdtemp(folder), nullptr);
    return folder;
}

// Runs a program with its output in files, so any byte the program writes comes back as is.
Result run(const std::string &dir, std::vector<std::string> args)
{
    Result r;
    std::string out = dir + "/.stdout", err = dir + "/.stderr";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    r.out = slurp(out);
    r.err = slurp(err);
    // A sanitizer's report also ends in status 1, which is a valid answer here.
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    return r;
}

Result report(const std::string &dir, std::vector<std::string> args)
{
    args.insert(args.begin(), REPORT_BIN);
    return run(dir, args);
}

std::vector<std::vector<std::string>> words(const std::string &text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        rows.emplace_back();
        for (std::string w; in >> w;)
            rows.back().push_back(w);
    }
    return rows;
}

// A sample a minute for hours, the level given by the sample's index.
template <typename Level>
std::string minuteLog(int minutes, Level level)
{
    std::string log;
    for (int k = 0; k <= minutes; k++)
        log += std::to_string(k * 60) + "," + std::to_string(level(k)) + "\n";
    return log;
}

// Ten hours falling 1 mV a minute, 4200 to 3600, then a last line cut short by a power cut.
std::string tenHours()
{
    return minuteLog(600, [](int k) { return 4200 - k; }) + "36060,35";
}

// Samples 90 s apart (no hole), 91 s and an hour (two holes), with CRLF endings.
const char GAPPY[] = "0,4000\r\n90,3990\r\n181,3980\r\n3781,3700\r\n";

TEST(ReportTable, KnownLogsGiveKnownNumbers)
{
    std::string dir = tempDir();
    spit(dir + "/ten.csv", tenHours());
    spit(dir + "/gappy.csv", GAPPY);
    spit(dir + "/one.csv", "0,3850\n");
    spit(dir + "/swapped.csv", "60,4000\n0,4100\n"); // taken in time order, and said so
    spit(dir + "/bom.csv", "\uFEFF0,4100\n60,4000\n"); // as a PC editor may save it
    Result r = report(dir, {"ten.csv", "gappy.csv", "one.csv", "swapped.csv", "bom.csv"});
    EXPECT_EQ(r.status, 0);
    using Row = std::vector<std::string>;
    std::vector<Row> expected = {
        {"log", "samples", "skipped", "run", "time", "start", "V", "end", "V", "fall", "mV/h",
         "gaps"},
        {"ten.csv", "601", "1", "10:00:00", "4.200", "3.600", "60.0", "0"},
        // 300 mV over 3781 s.
        {"gappy.csv", "4", "0", "1:03:01", "4.000", "3.700", "285.6", "2"},
        {"one.csv", "1", "0", "0:00:00", "3.850", "3.850", "-", "0"},
        {"swapped.csv", "2", "0", "0:01:00", "4.100", "4.000", "6000.0", "0"},
        {"bom.csv", "2", "0", "0:01:00", "4.100", "4.000", "6000.0", "0"},
    };
    EXPECT_EQ(words(r.out), expected);
    EXPECT_NE(r.err.find("ten.csv: skipped 1 damaged line, the first at line 602"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("swapped.csv: 1 sample out of time order"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("gappy.csv"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("bom.csv"), std::string::npos) << r.err;
}

// The cells of each row of the first table after marker, tags stripped.
std::vector<std::vector<std::string>> tableAfter(const std::string &page, const std::string &marker)
{
    std::vector<std::vector<std::string>> rows;
    size_t at = page.find(marker);
    size_t end = page.find("</table>", at);
    if (at == std::string::npos || end == std::string::npos)
        return rows;
    for (size_t tr = page.find("<tr>", at); tr < end; tr = page.find("<tr>", tr + 1)) {
        rows.emplace_back();
        size_t rowEnd = page.find("</tr>", tr);
        for (size_t td = page.find("<td>", tr); td < rowEnd; td = page.find("<td>", td + 1))
            rows.back().push_back(page.substr(td + 4, page.find("</td>", td) - td - 4));
    }
    return rows;
}

TEST(ReportPage, CrossingsHolesAndNamesOfKnownLogs)
{
    std::string dir = tempDir();
    spit(dir + "/ten.csv", tenHours());
    spit(dir + "/gap <&>.csv", GAPPY);
    Result r = report(dir, {"-o", "page.html", "ten.csv", "gap <&>.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string page = slurp(dir + "/page.html");

    // The first sample below each tenth: ten.csv is 4200 - k mV at minute k, so it is below
    // 4.2 V at minute 1, below 4.1 V at minute 101, ... and never below its end, 3.6 V.
    // gappy.csv starts at 4.0 V and never goes below 3.7 V.
    using Row = std::vector<std::string>;
    std::vector<Row> expected = {
        {}, // the header row
        {"4.2 V", "0:01:00", ""},
        {"4.1 V", "1:41:00", ""},
        {"4.0 V", "3:21:00", "0:01:30"},
        {"3.9 V", "5:01:00", "1:03:01"},
        {"3.8 V", "6:41:00", "1:03:01"},
        {"3.7 V", "8:21:00", ""},
    };
    EXPECT_EQ(tableAfter(page, "First fall below"), expected);
    EXPECT_NE(page.find("after 0:01:30 for 0:01:31; after 0:03:01 for 1:00:00"), std::string::npos);

    // The same rows as the text table, the name escaped wherever it appears.
    std::vector<Row> table = tableAfter(page, "<h1>");
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[1], (Row{"ten.csv", "601", "1", "10:00:00", "4.200", "3.600", "60.0", "0"}));
    EXPECT_EQ(table[2][0], "gap &lt;&amp;&gt;.csv");
    EXPECT_EQ(page.find("gap <&>"), std::string::npos);

    // Self-contained: nothing to run, nothing to fetch.
    for (const char *outside : {"<script", "src=", "href", "url(", "@import", "<link"})
        EXPECT_EQ(page.find(outside), std::string::npos) << outside;
}

struct Image {
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
    bool near(int x, int y, const unsigned char c[3], int tolerance) const
    {
        const unsigned char *p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
        for (int i = 0; i < 3; i++)
            if (abs(p[i] - c[i]) > tolerance)
                return false;
        return true;
    }
};

// The page's SVG rendered by rsvg-convert, read back through a binary PPM.
Image renderChart(const std::string &dir, const std::string &page)
{
    Image image;
    size_t from = page.find("<svg"), to = page.find("</svg>");
    if (from == std::string::npos || to == std::string::npos) {
        ADD_FAILURE() << "no SVG in the page";
        return image;
    }
    spit(dir + "/chart.svg", page.substr(from, to + 6 - from));
    if (!*RSVG_CONVERT || !*IMAGE_CONVERT) {
        ADD_FAILURE() << "rsvg-convert or convert missing: run scripts/setup.sh test";
        return image;
    }
    EXPECT_EQ(run(dir, {RSVG_CONVERT, "-o", "chart.png", "chart.svg"}).status, 0);
    EXPECT_EQ(run(dir, {IMAGE_CONVERT, "chart.png", "-depth", "8", "chart.ppm"}).status, 0);
    std::istringstream in(slurp(dir + "/chart.ppm"));
    std::string magic;
    int depth = 0;
    in >> magic >> image.w >> image.h >> depth;
    in.get();
    if (magic != "P6" || depth != 255 || image.w <= 0 || image.h <= 0) {
        ADD_FAILURE() << "chart.ppm is not an 8-bit PPM";
        return image;
    }
    image.rgb.resize(static_cast<size_t>(image.w) * image.h * 3);
    in.read(reinterpret_cast<char *>(image.rgb.data()),
            static_cast<std::streamsize>(image.rgb.size()));
    return image;
}

// Where one colour's pixels lie above a row: the columns it covers and its mean row in each.
struct Curve {
    int left = 1 << 30, right = -1;
    std::vector<double> rowSum, count;
    double yAt(int x) const { return count[x] ? rowSum[x] / count[x] : -1.0; }
};

Curve curveOf(const Image &image, const unsigned char color[3], int aboveRow)
{
    Curve c;
    c.rowSum.assign(image.w, 0.0);
    c.count.assign(image.w, 0.0);
    for (int y = 0; y < aboveRow; y++)
        for (int x = 0; x < image.w; x++)
            if (image.near(x, y, color, 40)) {
                c.left = std::min(c.left, x);
                c.right = std::max(c.right, x);
                c.rowSum[x] += y;
                c.count[x]++;
            }
    return c;
}

TEST(ReportChart, RenderedCurvesSitWhereTheirNumbersPutThem)
{
    std::string dir = tempDir();
    // falling: 4200 to 3200 mV over ten hours, so 3.7 V at hour 5 and 4.0 V at hour 2.
    // flat: 3.7 V for five hours. holed: 4.0 V in hour 1 and hour 4, nothing between.
    spit(dir + "/falling.csv", minuteLog(600, [](int k) { return 4200 - k * 1000 / 600; }));
    spit(dir + "/flat.csv", minuteLog(300, [](int) { return 3700; }));
    std::string holedLog = minuteLog(60, [](int) { return 4000; });
    for (int k = 180; k <= 240; k++)
        holedLog += std::to_string(k * 60) + ",4000\n";
    spit(dir + "/holed.csv", holedLog);
    ASSERT_EQ(report(dir, {"-o", "page.html", "falling.csv", "flat.csv", "holed.csv"}).status, 0);
    Image image = renderChart(dir, slurp(dir + "/page.html"));
    ASSERT_GT(image.w, 0);

    // The axes are the black row and column with the most pixels; the legend's colour
    // samples lie below the time axis and are left out.
    const unsigned char black[3] = {0, 0, 0};
    int axisRow = 0, axisColumn = 0, best = 0;
    for (int y = 0; y < image.h; y++) {
        int n = 0;
        for (int x = 0; x < image.w; x++)
            n += image.near(x, y, black, 60);
        if (n > best)
            best = n, axisRow = y;
    }
    best = 0;
    for (int x = 0; x < image.w; x++) {
        int n = 0;
        for (int y = 0; y < image.h; y++)
            n += image.near(x, y, black, 60);
        if (n > best)
            best = n, axisColumn = x;
    }
    Curve falling = curveOf(image, LOG_COLORS[0], axisRow);
    Curve flat = curveOf(image, LOG_COLORS[1], axisRow);
    Curve holed = curveOf(image, LOG_COLORS[2], axisRow);
    ASSERT_GE(falling.right, 0);
    ASSERT_GE(flat.right, 0);
    ASSERT_GE(holed.right, 0);

    // Every curve starts at hour 0, on the level axis; flat ends halfway along falling.
    EXPECT_NEAR(falling.left, axisColumn, 3);
    EXPECT_NEAR(flat.left, axisColumn, 3);
    EXPECT_NEAR(holed.left, axisColumn, 3);
    const double hour = (falling.right - falling.left) / 10.0;
    EXPECT_NEAR(flat.right, falling.left + 5 * hour, 3);

    // Higher levels are higher up; flat lies level, and falling crosses it at hour 5 and is
    // as far above it at hour 0 as below it at hour 10.
    double flatY = flat.yAt((flat.left + flat.right) / 2);
    EXPECT_NEAR(flat.yAt(flat.left + 5), flatY, 1.5);
    EXPECT_NEAR(flat.yAt(flat.right - 5), flatY, 1.5);
    double startY = falling.yAt(falling.left + 2), endY = falling.yAt(falling.right - 2);
    EXPECT_LT(startY, flatY);
    // flat is drawn over falling where they cross: read falling on either side.
    int crossing = static_cast<int>(falling.left + 5 * hour);
    EXPECT_NEAR((falling.yAt(crossing - 10) + falling.yAt(crossing + 10)) / 2, flatY, 3);
    EXPECT_NEAR(endY - flatY, flatY - startY, 3);

    // holed sits at 4.0 V, where falling is at hour 2, and leaves hours 1 to 3 empty.
    EXPECT_NEAR(holed.yAt(holed.left + 5), falling.yAt(static_cast<int>(falling.left + 2 * hour)),
                3);
    EXPECT_NEAR(holed.right, falling.left + 4 * hour, 3);
    int inHole = 0;
    for (int x = static_cast<int>(falling.left + 1 * hour) + 4; x < falling.left + 3 * hour - 4;
         x++)
        inHole += holed.count[x] > 0;
    EXPECT_EQ(inHole, 0);
    EXPECT_GT(holed.count[static_cast<int>(falling.left + 0.5 * hour)], 0);
    EXPECT_GT(holed.count[static_cast<int>(falling.left + 3.5 * hour)], 0);
}

TEST(ReportInput, BadFilesAreNamedLeftOutAndNeverCrashIt)
{
    std::string dir = tempDir();
    mkdir((dir + "/folder.csv").c_str(), 0700);
    spit(dir + "/empty.csv", "");
    spit(dir + "/words.txt", "hello\nworld\n");
    spit(dir + "/picture.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x01@", 20));
    spit(dir + "/unreadable.csv", "0,4000\n");
    chmod((dir + "/unreadable.csv").c_str(), 0);
    std::vector<std::string> bad = {"missing.csv", "folder.csv", "empty.csv", "words.txt",
                                    "picture.png"};
    // root reads any file: the unreadable one only counts when the test is not run as root.
    bool asRoot = geteuid() == 0;
    if (!asRoot)
        bad.push_back("unreadable.csv");

    Result none = report(dir, bad);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    for (const char *message :
         {"missing.csv: cannot open: No such file", "folder.csv: cannot read: Is a directory",
          "empty.csv: empty file", "words.txt: not a discharge log: none of its 2 lines",
          "picture.png: not a discharge log", "no log could be read"})
        EXPECT_NE(none.err.find(message), std::string::npos) << message << "\n" << none.err;
    if (!asRoot) {
        EXPECT_NE(none.err.find("unreadable.csv: cannot open: Permission denied"),
                  std::string::npos);
    }

    // Hostile logs that still hold samples are reported; their damage is named.
    std::string hostile = "0,4000\n" + std::string(1 << 20, '7') + "\n,,,\n60,-5\n" +
                          "120,99999999999\n180,40" + std::string("\0", 1) + "00\n240,3990\n";
    spit(dir + "/hostile.csv", hostile);
    spit(dir + "/extreme.csv", "0,4294967295\n4294967295,0\n4294967295,1\n");
    std::vector<std::string> args = {"-o", "page.html", "hostile.csv", "extreme.csv"};
    args.insert(args.end(), bad.begin(), bad.end());
    Result some = report(dir, args);
    EXPECT_EQ(some.status, 0);
    using Row = std::vector<std::string>;
    std::vector<Row> rows = words(some.out);
    ASSERT_EQ(rows.size(), 3u) << some.out;
    EXPECT_EQ(rows[1], (Row{"hostile.csv", "2", "5", "0:04:00", "4.000", "3.990", "150.0", "1"}));
    EXPECT_EQ(rows[2], (Row{"extreme.csv", "3", "0", "1193046:28:15", "4294967.295", "0.001",
                            "3600.0", "1"}));
    EXPECT_NE(some.err.find("hostile.csv: skipped 5 damaged lines, the first at line 2"),
              std::string::npos)
        << some.err;
    EXPECT_NE(some.err.find("words.txt: not a discharge log"), std::string::npos);
    // The extreme ranges still give a small page that renders.
    std::string page = slurp(dir + "/page.html");
    EXPECT_LT(page.size(), 100000u);
    EXPECT_GT(renderChart(dir, page).w, 0);
}

TEST(ReportUsage, HelpAndBadUsage)
{
    std::string dir = tempDir();
    spit(dir + "/log.csv", "0,4000\n60,3990\n");
    Result help = report(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: voltrace-report [-o FILE.html] [--gauge FILE.csv] "
                             "[--empty MV] LOG.csv...",
                             0),
              0u);

    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{},
                                               {"-o", "page.html"},
                                               {"log.csv", "-o"},
                                               {"-x", "log.csv"},
                                               {"-o", "a.html", "-o", "b.html", "log.csv"}}) {
        Result r = report(dir, args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
    EXPECT_FALSE(std::ifstream(dir + "/page.html").good());

    // A log named like an option after "--" is a log.
    spit(dir + "/-o", "0,4000\n");
    EXPECT_EQ(report(dir, {"--", "-o"}).status, 0);

    Result unwritable = report(dir, {"-o", "no/such/folder/page.html", "log.csv"});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("no/such/folder/page.html: cannot write the page"),
              std::string::npos)
        << unwritable.err;
}

// The gauge's CSV as it must be: the header, then level(p) for p = 100, 95, ... 0.
template <typename Level>
std::string gaugeCsv(Level level)
{
    std::string csv = "percent,millivolts\n";
    for (int p = 100; p >= 0; p -= 5)
        csv += std::to_string(p) + "," + std::to_string(level(p)) + "\n";
    return csv;
}

// The millivolts of a gauge CSV's rows, checking that the percentages are 100, 95, ... 0.
std::vector<long> gaugeLevels(const std::string &csv)
{
    std::vector<long> levels;
    std::istringstream lines(csv);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "percent,millivolts");
    for (int p = 100; std::getline(lines, line); p -= 5) {
        EXPECT_EQ(line.substr(0, line.find(',')), std::to_string(p));
        levels.push_back(atol(line.c_str() + line.find(',') + 1));
    }
    EXPECT_EQ(levels.size(), 21u);
    return levels;
}

TEST(ReportGauge, KnownCurveGivesTheExactTable)
{
    // 4100 - t/5 mV at t seconds awake, sampled every 85 s (so most rows fall between
    // samples), 5000 s awake in all: p % is at 50 * (100 - p) s, so 4100 - 10 * (100 - p) mV.
    // Halfway the device sleeps two hours and wakes at the level it slept at: a hole counts
    // as no run time, so the table stays the same.
    std::string log;
    uint32_t slept = 0;
    for (uint32_t t = 0; t <= 5000; t = t == 4930 ? 5000 : t + 85) {
        log += std::to_string(t + slept) + "," + std::to_string(4100 - t / 5) + "\n";
        if (t == 2465) {
            slept = 7200;
            log += std::to_string(t + slept) + "," + std::to_string(4100 - t / 5) + "\n";
        }
    }
    std::string dir = tempDir();
    spit(dir + "/linear.csv", log);
    Result r = report(dir, {"--gauge", "gauge.csv", "linear.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir + "/gauge.csv"), gaugeCsv([](int p) { return 4100 - 10 * (100 - p); }));
}

TEST(ReportGauge, NoisyRecoveryAfterAHoleNeverClimbs)
{
    // Falling 1 mV a minute with up to 12 mV of reading noise, and after a two-hour sleep
    // 80 mV higher than before it, as a rested cell reads.
    std::string log;
    long first = 0, lowest = 1L << 30;
    for (int k = 0; k <= 700; k++) {
        long level = 4150 - k + k * 7919 % 25 - 12 + (k > 350 ? 80 : 0);
        log += std::to_string(k * 60 + (k > 350 ? 7200 : 0)) + "," + std::to_string(level) + "\n";
        first = k == 0 ? level : first;
        lowest = std::min(lowest, level);
    }
    std::string dir = tempDir();
    spit(dir + "/noisy.csv", log);
    Result r = report(dir, {"--gauge", "gauge.csv", "noisy.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<long> levels = gaugeLevels(slurp(dir + "/gauge.csv"));
    ASSERT_EQ(levels.size(), 21u);
    EXPECT_EQ(levels.front(), first);
    EXPECT_EQ(levels.back(), lowest);
    for (size_t i = 1; i < levels.size(); i++)
        EXPECT_LE(levels[i], levels[i - 1]) << "row " << i;
}

TEST(ReportGauge, MeanOfLogsThatRanDownAndTheOthersNamed)
{
    // long: 4200 - 6 * (100 - p) mV at p %; short: 4000 - 6 * (100 - p); stopped ends at
    // 3.940 V, so it did not run down.
    std::string dir = tempDir();
    spit(dir + "/long.csv", minuteLog(600, [](int k) { return 4200 - k; }));
    spit(dir + "/short.csv", minuteLog(300, [](int k) { return 4000 - 2 * k; }));
    spit(dir + "/stopped.csv", minuteLog(60, [](int k) { return 4000 - k; }));
    Result r = report(dir, {"-o", "page.html", "--gauge", "gauge.csv", "long.csv", "stopped.csv",
                            "short.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(words(r.out).size(), 4u) << r.out;
    EXPECT_EQ(slurp(dir + "/gauge.csv"), gaugeCsv([](int p) { return 4100 - 6 * (100 - p); }));
    const char named[] = "stopped.csv: did not run down: its last level 3.940 V is above 3.600 V";
    EXPECT_NE(r.err.find(std::string(named) + "; left out of the gauge"), std::string::npos)
        << r.err;

    // The page gives each log's column beside the mean, and names the one left out.
    std::string page = slurp(dir + "/page.html");
    std::string section = page.substr(page.find("<h2>Charge left"));
    EXPECT_NE(section.find("<th>mean V</th><th>long.csv</th><th>short.csv</th></tr>"),
              std::string::npos);
    using Row = std::vector<std::string>;
    std::vector<Row> rows = tableAfter(page, "<h2>Charge left");
    ASSERT_EQ(rows.size(), 22u);
    EXPECT_EQ(rows[1], (Row{"100 %", "4.100", "4.200", "4.000"}));
    EXPECT_EQ(rows[11], (Row{"50 %", "3.800", "3.900", "3.700"}));
    EXPECT_EQ(rows[21], (Row{"0 %", "3.500", "3.600", "3.400"}));
    EXPECT_NE(section.find("stopped.csv</span>: did not run down"), std::string::npos);

    // A higher empty level takes it in: (4200 + 4000 + 4000) / 3 and (3600 + 3400 + 3940) / 3.
    r = report(dir, {"--empty", "3940", "--gauge", "gauge.csv", "long.csv", "stopped.csv",
                     "short.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<long> levels = gaugeLevels(slurp(dir + "/gauge.csv"));
    ASSERT_EQ(levels.size(), 21u);
    EXPECT_EQ(levels.front(), 4067);
    EXPECT_EQ(levels.back(), 3647);

    // Alone it gives no gauge: nothing written, the reason said, the table still printed.
    r = report(dir, {"--gauge", "none.csv", "stopped.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::ifstream(dir + "/none.csv").good());
    EXPECT_EQ(words(r.out).size(), 2u) << r.out;
    EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("none.csv: not written: no log ran down to 3.600 V"), std::string::npos)
        << r.err;
}

// The levels, in volts, of every point the first chart on the page draws, read back through
// its level axis: each horizontal grid line and the label that goes with it.
std::vector<double> chartVolts(const std::string &page)
{
    std::string svg = page.substr(0, page.find("</svg>"));
    std::regex line("<line x1=\"\\d+\" y1=\"([-\\d.]+)\" x2=\"\\d+\" y2=\"\\1\"/>");
    std::regex label("text-anchor=\"end\">([-\\d.]+)</text>");
    std::vector<double> lineY, labelVolts;
    for (std::sregex_iterator m(svg.begin(), svg.end(), line), end; m != end; ++m)
        lineY.push_back(std::stod((*m)[1]));
    for (std::sregex_iterator m(svg.begin(), svg.end(), label), end; m != end; ++m)
        labelVolts.push_back(std::stod((*m)[1]));
    std::vector<double> volts;
    if (lineY.size() < 2 || lineY.size() != labelVolts.size()) {
        ADD_FAILURE() << "no level axis";
        return volts;
    }
    double perPixel = (labelVolts.back() - labelVolts.front()) / (lineY.front() - lineY.back());
    std::regex points("points=\"([^\"]*)\"");
    for (std::sregex_iterator m(svg.begin(), svg.end(), points), end; m != end; ++m) {
        std::istringstream in((*m)[1]);
        double x, y;
        char comma;
        while (in >> x >> comma >> y)
            volts.push_back(labelVolts.front() + (lineY.front() - y) * perPixel);
    }
    return volts;
}

TEST(ReportNoReading, MarksCountForTimeAndNeverAsLevels)
{
    // 4100 - 5k mV at minute k, but the device wrote its no-reading mark (5000) at minutes 0
    // and 1, every tenth minute from 5, and once more after the last reading.
    std::string log =
        minuteLog(120, [](int k) { return k < 2 || k % 10 == 5 ? 5000 : 4100 - 5 * k; });
    log += "7260,5000\n";
    std::string dir = tempDir();
    spit(dir + "/marks.csv", log);
    spit(dir + "/nothing.csv", "0,5000\n60,5000\n");
    Result r =
        report(dir, {"-o", "page.html", "--gauge", "gauge.csv", "marks.csv", "nothing.csv"});
    EXPECT_EQ(r.status, 0) << r.err;

    // Every line is a sample for the run time, and no hole; the levels are the real readings
    // of minutes 2 and 120: 590 mV over 118 minutes.
    using Row = std::vector<std::string>;
    std::vector<Row> rows = words(r.out);
    ASSERT_EQ(rows.size(), 2u) << r.out;
    EXPECT_EQ(rows[1], (Row{"marks.csv", "122", "0", "2:01:00", "4.090", "3.500", "300.0", "0"}));
    EXPECT_NE(r.err.find("marks.csv: 15 samples without a battery reading"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("nothing.csv: no battery reading in it: the device could not read its "
                         "battery file; left out"),
              std::string::npos)
        << r.err;

    // The crossings start at the first real reading's tenth.
    std::string page = slurp(dir + "/page.html");
    std::vector<Row> crossings = tableAfter(page, "First fall below");
    ASSERT_GE(crossings.size(), 2u);
    EXPECT_EQ(crossings[1], (Row{"4.0 V", "0:21:00"}));

    // The chart's curve runs from the first real reading to the last.
    std::vector<double> volts = chartVolts(page);
    ASSERT_FALSE(volts.empty());
    EXPECT_NEAR(*std::max_element(volts.begin(), volts.end()), 4.090, 0.002);
    EXPECT_NEAR(*std::min_element(volts.begin(), volts.end()), 3.500, 0.002);

    std::vector<long> levels = gaugeLevels(slurp(dir + "/gauge.csv"));
    ASSERT_EQ(levels.size(), 21u);
    EXPECT_EQ(levels.front(), 4090);
    EXPECT_EQ(levels.back(), 3500);
}

} // namespace
