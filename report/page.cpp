// The report's table and page. printTable writes the text table; writePage the HTML around
// it, with writeChart (the SVG of levels), writeGaugeSection, writeCrossings and writeGaps.
// Start at writePage.
#include "page.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <string>

/* page state: none; the chart's geometry is fixed below */

static const int CHART_WIDTH = 760;          // the SVG's size in pixels, legend not included
static const int CHART_HEIGHT = 420;
static const int PLOT_LEFT = 70;             // the plot area inside it; the margins hold the
static const int PLOT_TOP = 20;              // tick labels and the axis titles
static const int PLOT_RIGHT = 740;
static const int PLOT_BOTTOM = 360;
static const int GAUGE_WIDTH = 520;          // the charge-left chart, smaller, same margins
static const int GAUGE_HEIGHT = 320;
static const int GAUGE_RIGHT = 500;
static const int GAUGE_BOTTOM = 260;
static const int LEGEND_ROW = 22;            // height of one legend line below a chart
static const int MAX_TICKS = 10;             // most labelled steps along either axis
static const unsigned MAX_GAPS_LISTED = 20;  // holes listed per log; the count says the rest
static const double STRAIGHT_FULL = 4200.0;  // the straight line launchers draw, in millivolts,
static const double STRAIGHT_EMPTY = 3000.0; // shown on the charge-left chart for comparison

// The table's columns, the text table and the page's header row alike.
static const char *const COLUMNS[] = {"log",     "samples", "skipped",   "run time",
                                      "start V", "end V",   "fall mV/h", "gaps"};
static const int COLUMN_COUNT = 8;

// One log's row as texts, in the order of COLUMNS.
static std::vector<std::string> rowOf(const LogSummary &log)
{
    LogNumbers n = numbersOf(log);
    char fall[32] = "-";
    if (n.hasFall)
        snprintf(fall, sizeof fall, "%.1f", n.fallPerHour);
    return {log.name,
            std::to_string(n.samples),
            std::to_string(n.damaged),
            formatDuration(n.runTime),
            formatVolts(n.startLevel),
            formatVolts(n.endLevel),
            fall,
            std::to_string(n.gaps)};
}

void printTable(FILE *out, const std::vector<LogSummary> &logs)
{
    std::vector<std::vector<std::string>> rows(
        1, std::vector<std::string>(COLUMNS, COLUMNS + COLUMN_COUNT));
    for (const LogSummary &log : logs)
        rows.push_back(rowOf(log));
    size_t width[COLUMN_COUNT] = {};
    for (const auto &row : rows)
        for (int c = 0; c < COLUMN_COUNT; c++)
            width[c] = std::max(width[c], row[c].size());
    // The name is left-aligned, the numbers right-aligned so their digits line up.
    for (const auto &row : rows) {
        fprintf(out, "%-*s", static_cast<int>(width[0]), row[0].c_str());
        for (int c = 1; c < COLUMN_COUNT; c++)
            fprintf(out, "  %*s", static_cast<int>(width[c]), row[c].c_str());
        fputc('\n', out);
    }
}

// Text for HTML and SVG alike. File names may hold any byte: control bytes become '?', so
// the page stays well-formed XML where the SVG needs it.
static std::string escape(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
        }
    }
    return out;
}

static std::string colorOf(size_t index)
{
    const unsigned char *c = LOG_COLORS[index % (sizeof LOG_COLORS / sizeof LOG_COLORS[0])];
    char text[16];
    snprintf(text, sizeof text, "#%02x%02x%02x", c[0], c[1], c[2]);
    return text;
}

static void writeTable(FILE *out, const std::vector<LogSummary> &logs)
{
    fputs("<table>\n<tr>", out);
    for (int c = 0; c < COLUMN_COUNT; c++)
        fprintf(out, "<th>%s</th>", COLUMNS[c]);
    fputs("</tr>\n", out);
    for (const LogSummary &log : logs) {
        std::vector<std::string> row = rowOf(log);
        fputs("<tr>", out);
        for (int c = 0; c < COLUMN_COUNT; c++)
            fprintf(out, "<td>%s</td>", escape(row[c]).c_str());
        fputs("</tr>\n", out);
    }
    fputs("</table>\n", out);
}

// One row per tenth of a volt, one column per log, so batteries compare side by side. A log
// that started below a tenth, or never fell below it, leaves its cell empty.
static void writeCrossings(FILE *out, const std::vector<LogSummary> &logs)
{
    std::vector<std::vector<Crossing>> all;
    uint32_t highest = 0, lowest = 0xFFFFFFFFu;
    for (const LogSummary &log : logs) {
        all.push_back(crossingsOf(log));
        for (const Crossing &c : all.back()) {
            highest = std::max(highest, c.tenth);
            lowest = std::min(lowest, c.tenth);
        }
    }
    fputs("<h2>First fall below each tenth of a volt</h2>\n", out);
    if (highest == 0) {
        fputs("<p>No log fell below a tenth of a volt under its start level.</p>\n", out);
        return;
    }
    fputs("<table>\n<tr><th>below</th>", out);
    for (const LogSummary &log : logs)
        fprintf(out, "<th>%s</th>", escape(log.name).c_str());
    fputs("</tr>\n", out);
    for (uint32_t tenth = highest; tenth >= lowest; tenth -= 100) {
        fprintf(out, "<tr><td>%u.%u V</td>", tenth / 1000, tenth / 100 % 10);
        for (const std::vector<Crossing> &crossings : all) {
            auto c = std::find_if(crossings.begin(), crossings.end(),
                                  [tenth](const Crossing &x) { return x.tenth == tenth; });
            fprintf(out, "<td>%s</td>", c == crossings.end() ? "" : formatDuration(c->at).c_str());
        }
        fputs("</tr>\n", out);
    }
    fputs("</table>\n", out);
}

static void writeGaps(FILE *out, const std::vector<LogSummary> &logs)
{
    fprintf(out, "<h2>Holes (samples more than %u s apart)</h2>\n<ul>\n", GAP_SECONDS);
    for (const LogSummary &log : logs) {
        std::vector<Gap> gaps = gapsOf(log);
        fprintf(out, "<li><span class=\"name\">%s</span>: ", escape(log.name).c_str());
        if (gaps.empty())
            fputs("none", out);
        for (size_t i = 0; i < gaps.size() && i < MAX_GAPS_LISTED; i++)
            fprintf(out, "%safter %s for %s", i ? "; " : "", formatDuration(gaps[i].at).c_str(),
                    formatDuration(gaps[i].length).c_str());
        if (gaps.size() > MAX_GAPS_LISTED)
            fprintf(out, "; and %lu more",
                    static_cast<unsigned long>(gaps.size() - MAX_GAPS_LISTED));
        fputs("</li>\n", out);
    }
    fputs("</ul>\n", out);
}

// A step of 1, 2 or 5 times a power of ten that cuts span into at most MAX_TICKS parts.
static double niceStep(double span)
{
    double raw = span / MAX_TICKS;
    double power = pow(10.0, floor(log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw * (1 - 1e-9))
            return m * power;
    return 10.0 * power;
}

// Decimals that a label of this step needs: 0.1 needs one, 0.05 two, 2 none.
static int decimalsOf(double step)
{
    int d = static_cast<int>(ceil(-log10(step) - 1e-9));
    return std::max(d, 0);
}

// One axis: the data range rounded out to whole steps.
struct Axis {
    double low, high, step;
};

// Where a chart draws: its plot area in pixels, and what each axis spans in its own unit.
struct Plot {
    int left, top, right, bottom;
    Axis x, y;
};

static Axis axisOver(double low, double high, double fallbackSpan)
{
    Axis a;
    a.step = niceStep(high > low ? high - low : fallbackSpan);
    a.low = floor(low / a.step + 1e-9) * a.step;
    a.high = ceil(high / a.step - 1e-9) * a.step;
    if (a.high <= a.low) {
        // A flat curve sits in the middle rather than on an edge.
        a.low -= a.step;
        a.high += a.step;
    }
    return a;
}

static double xOf(const Plot &p, double x)
{
    return p.left + (x - p.x.low) / (p.x.high - p.x.low) * (p.right - p.left);
}

static double yOf(const Plot &p, double y)
{
    return p.bottom - (y - p.y.low) / (p.y.high - p.y.low) * (p.bottom - p.top);
}

static void writeGrid(FILE *out, const Plot &p, const char *xTitle, const char *yTitle)
{
    fputs("<g class=\"grid\">\n", out);
    int xd = decimalsOf(p.x.step), yd = decimalsOf(p.y.step);
    long xTicks = lround((p.x.high - p.x.low) / p.x.step);
    for (long i = 0; i <= xTicks; i++) {
        double v = p.x.low + i * p.x.step, x = xOf(p, v);
        fprintf(out, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>", x, p.top, x,
                p.bottom);
        fprintf(out, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%.*f</text>\n", x,
                p.bottom + 18, xd, v);
    }
    long yTicks = lround((p.y.high - p.y.low) / p.y.step);
    for (long i = 0; i <= yTicks; i++) {
        double v = p.y.low + i * p.y.step, y = yOf(p, v);
        fprintf(out, "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\"/>", p.left, y, p.right,
                y);
        fprintf(out, "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n", p.left - 6,
                y + 4, yd, v);
    }
    fputs("</g>\n", out);
    fprintf(out, "<path class=\"axis\" d=\"M%d %dV%dH%d\"/>\n", p.left, p.top, p.bottom, p.right);
    fprintf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
            (p.left + p.right) / 2, p.bottom + 42, xTitle);
    fprintf(out,
            "<text transform=\"translate(18 %d) rotate(-90)\" text-anchor=\"middle\">%s</text>\n",
            (p.top + p.bottom) / 2, yTitle);
}

// The opening of an SVG of the given size, white, with the style every chart shares.
static void writeSvgStart(FILE *out, int width, int height)
{
    fprintf(out,
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d "
            "%d\" font-family=\"sans-serif\" font-size=\"13\">\n",
            width, height, width, height);
    fputs(
        "<style>.grid line{stroke:#ddd;stroke-width:1}.axis{stroke:#000;stroke-width:1.5;fill:none}"
        "polyline{fill:none;stroke-width:2;stroke-linejoin:round}polyline.mean{stroke-width:3}"
        "polyline.column{stroke-width:1.5}polyline.straight{stroke-dasharray:6 4}</style>\n",
        out);
    fprintf(out, "<rect width=\"%d\" height=\"%d\" fill=\"#fff\"/>\n", width, height);
}

// One legend line below a chart: a stroke of the colour, then the text (already escaped).
static void writeLegend(FILE *out, int y, const std::string &color, const char *dash,
                        const std::string &text)
{
    fprintf(out,
            "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"%s\" stroke-width=\"3\"%s/>",
            PLOT_LEFT, y - 4, PLOT_LEFT + 30, y - 4, color.c_str(), dash);
    fprintf(out, "<text x=\"%d\" y=\"%d\">%s</text>\n", PLOT_LEFT + 40, y, text.c_str());
}

// One stretch of samples without a hole. A long log has many samples per pixel column: of
// each column's samples only the first, lowest, highest and last are drawn, which leaves the
// drawn line as it was and keeps the page small for a log of any length.
static double hoursOf(uint32_t seconds)
{
    return seconds / 3600.0;
}

static double voltsOf(double millivolts)
{
    return millivolts / 1000.0;
}

static void writeRun(FILE *out, const Plot &p, const Sample *s, size_t count,
                     const std::string &color)
{
    if (count == 1) {
        fprintf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2\" fill=\"%s\"/>\n",
                xOf(p, hoursOf(s[0].time)), yOf(p, voltsOf(s[0].level)), color.c_str());
        return;
    }
    fprintf(out, "<polyline stroke=\"%s\" points=\"", color.c_str());
    size_t i = 0;
    while (i < count) {
        long column = lround(floor(xOf(p, hoursOf(s[i].time))));
        size_t end = i, low = i, high = i;
        while (end < count && lround(floor(xOf(p, hoursOf(s[end].time)))) == column) {
            if (s[end].level < s[low].level)
                low = end;
            if (s[end].level > s[high].level)
                high = end;
            end++;
        }
        size_t picks[] = {i, std::min(low, high), std::max(low, high), end - 1};
        size_t previous = count;
        for (size_t pick : picks) {
            if (pick == previous)
                continue;
            fprintf(out, "%.1f,%.1f ", xOf(p, hoursOf(s[pick].time)),
                    yOf(p, voltsOf(s[pick].level)));
            previous = pick;
        }
        i = end;
    }
    fputs("\"/>\n", out);
}

// Every log's real readings over the hours since its own first sample. A hole breaks a curve;
// a NO_READING sample does not, since the device was awake, but it draws no point either.
static void writeChart(FILE *out, const std::vector<LogSummary> &logs)
{
    uint32_t longest = 0, lowest = 0xFFFFFFFFu, highest = 0;
    for (const LogSummary &log : logs) {
        longest = std::max(longest, log.samples.back().time - log.samples.front().time);
        for (const Sample &s : log.samples) {
            if (!isReading(s))
                continue;
            lowest = std::min(lowest, s.level);
            highest = std::max(highest, s.level);
        }
    }
    Plot p = {PLOT_LEFT, PLOT_TOP, PLOT_RIGHT, PLOT_BOTTOM, axisOver(0.0, hoursOf(longest), 1.0),
              axisOver(voltsOf(lowest), voltsOf(highest), 1.0)};
    p.x.low = 0.0; // every log starts at its first sample; a flat axis only widens upwards
    int height = CHART_HEIGHT + LEGEND_ROW * static_cast<int>(logs.size());
    writeSvgStart(out, CHART_WIDTH, height);
    writeGrid(out, p, "Elapsed time (hours)", "Battery level (V)");
    for (size_t n = 0; n < logs.size(); n++) {
        const std::vector<Sample> &s = logs[n].samples;
        std::string color = colorOf(n);
        std::vector<Sample> run;  // real readings since the last hole, times from hour 0
        for (size_t i = 0; i <= s.size(); i++) {
            if (i == s.size() || (i > 0 && s[i].time - s[i - 1].time > GAP_SECONDS)) {
                if (!run.empty())
                    writeRun(out, p, run.data(), run.size(), color);
                run.clear();
            }
            if (i < s.size() && isReading(s[i]))
                run.push_back({s[i].time - s[0].time, s[i].level});
        }
        writeLegend(out, CHART_HEIGHT + LEGEND_ROW * static_cast<int>(n), color, "",
                    escape(logs[n].name));
    }
    fputs("</svg>\n", out);
}

// Charge left (%) over level (V): each log's column thin in its colour, the mean thick in
// black, and the straight line from 4.2 V to 3.0 V dashed, to show what it gets wrong.
static void writeGaugeChart(FILE *out, const std::vector<LogSummary> &logs, const Gauge &gauge)
{
    double lowest = STRAIGHT_EMPTY, highest = STRAIGHT_FULL;
    for (const GaugeColumn &c : gauge.columns) {
        lowest = std::min(lowest, c.levels[GAUGE_ROWS - 1]);
        highest = std::max(highest, c.levels[0]);
    }
    Plot p = {PLOT_LEFT, PLOT_TOP, GAUGE_RIGHT, GAUGE_BOTTOM,
              axisOver(voltsOf(lowest), voltsOf(highest), 1.0), axisOver(0.0, 100.0, 100.0)};
    int legendLines = static_cast<int>(gauge.columns.size()) + 2;
    int height = GAUGE_HEIGHT + LEGEND_ROW * legendLines;
    writeSvgStart(out, GAUGE_WIDTH, height);
    writeGrid(out, p, "Battery level (V)", "Charge left (%)");
    auto curve = [&](const char *kind, const std::string &color, const double *levels) {
        fprintf(out, "<polyline class=\"%s\" stroke=\"%s\" points=\"", kind, color.c_str());
        for (int row = 0; row < GAUGE_ROWS; row++)
            fprintf(out, "%.1f,%.1f ", xOf(p, voltsOf(levels[row])),
                    yOf(p, 100.0 - row * GAUGE_STEP));
        fputs("\"/>\n", out);
    };
    const double straight[2] = {STRAIGHT_FULL, STRAIGHT_EMPTY};
    fprintf(out, "<polyline class=\"straight\" stroke=\"#888\" points=\"%.1f,%.1f %.1f,%.1f\"/>\n",
            xOf(p, voltsOf(straight[0])), yOf(p, 100.0), xOf(p, voltsOf(straight[1])), yOf(p, 0.0));
    double mean[GAUGE_ROWS];
    for (int row = 0; row < GAUGE_ROWS; row++)
        mean[row] = gauge.mean[row];
    // The mean goes under the columns, so each column stays visible along it.
    curve("mean", "#000", mean);
    for (const GaugeColumn &c : gauge.columns)
        curve("column", colorOf(c.log), c.levels);
    int y = GAUGE_HEIGHT;
    writeLegend(out, y, "#000", "", "mean");
    for (const GaugeColumn &c : gauge.columns)
        writeLegend(out, y += LEGEND_ROW, colorOf(c.log), "", escape(logs[c.log].name));
    writeLegend(out, y += LEGEND_ROW, "#888", " stroke-dasharray=\"6 4\"",
                "a straight line from 4.2 V to 3.0 V");
    fputs("</svg>\n", out);
}

// The gauge as a table (the mean beside each log's column, so a worn battery stands out),
// its chart, and the logs left out with the reason.
static void writeGaugeSection(FILE *out, const std::vector<LogSummary> &logs, const Gauge &gauge,
                              uint32_t emptyLevel)
{
    fputs("<h2>Charge left</h2>\n", out);
    fprintf(out,
            "<p>The level at each twentieth of the run, for a launcher's battery icon: p %% is "
            "where p %% of the run time was still to come. Levels follow each log's falling "
            "envelope (the lowest level so far), hours asleep in a hole count as no run time, "
            "and only logs that ran down to %s V are taken. voltrace logs at full backlight with "
            "a busy processor, so the table errs on the safe side. A straight line from 4.2 V to "
            "3.0 V shows far more left than there is once the level starts to fall "
            "steeply.</p>\n",
            formatVolts(emptyLevel).c_str());
    if (gauge.columns.empty()) {
        fprintf(out, "<p>No log ran down to %s V, so there is no gauge.</p>\n",
                formatVolts(emptyLevel).c_str());
    } else {
        fputs("<table>\n<tr><th>charge left</th><th>mean V</th>", out);
        for (const GaugeColumn &c : gauge.columns)
            fprintf(out, "<th>%s</th>", escape(logs[c.log].name).c_str());
        fputs("</tr>\n", out);
        for (int row = 0; row < GAUGE_ROWS; row++) {
            fprintf(out, "<tr><td>%d %%</td><td>%s</td>", 100 - row * GAUGE_STEP,
                    formatVolts(gauge.mean[row]).c_str());
            for (const GaugeColumn &c : gauge.columns)
                fprintf(out, "<td>%s</td>", formatVolts(wholeMillivolts(c.levels[row])).c_str());
            fputs("</tr>\n", out);
        }
        fputs("</table>\n", out);
        writeGaugeChart(out, logs, gauge);
    }
    if (gauge.leftOut.empty())
        return;
    fputs("<p>Left out of the gauge:</p>\n<ul>\n", out);
    for (const LeftOut &l : gauge.leftOut)
        fprintf(out, "<li><span class=\"name\">%s</span>: %s</li>\n",
                escape(logs[l.log].name).c_str(), escape(l.reason).c_str());
    fputs("</ul>\n", out);
}

int writePage(const char *path, const std::vector<LogSummary> &logs, const Gauge &gauge,
              uint32_t emptyLevel)
{
    FILE *out = fopen(path, "w");
    if (!out)
        return 0;
    fputs("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
          "<title>Discharge report</title>\n<style>\n"
          "body{font-family:sans-serif;margin:2em;color:#222}\n"
          "table{border-collapse:collapse;margin-bottom:1.5em}\n"
          "th,td{border:1px solid #ccc;padding:0.25em 0.6em;text-align:right}\n"
          "td:first-child,.name{text-align:left}\n"
          "th{background:#f2f2f2}\n"
          "</style>\n</head>\n<body>\n<h1>Discharge report</h1>\n",
          out);
    writeTable(out, logs);
    fputs("<h2>Level over time</h2>\n", out);
    writeChart(out, logs);
    writeGaugeSection(out, logs, gauge, emptyLevel);
    writeCrossings(out, logs);
    writeGaps(out, logs);
    fputs("</body>\n</html>\n", out);
    int failed = ferror(out);
    return fclose(out) == 0 && !failed;
}
