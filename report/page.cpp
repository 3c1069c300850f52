// The report's table and page. printTable writes the text table; writePage the HTML around
// it, with writeCrossings, writeGaps and writeChart (the SVG). Start at writePage.
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
static const int LEGEND_ROW = 22;            // height of one legend line below the chart
static const int MAX_TICKS = 10;             // most labelled steps along either axis
static const unsigned MAX_GAPS_LISTED = 20;  // holes listed per log; the count says the rest

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

static double xOf(const Axis &hours, double seconds)
{
    return PLOT_LEFT +
           (seconds / 3600.0 - hours.low) / (hours.high - hours.low) * (PLOT_RIGHT - PLOT_LEFT);
}

static double yOf(const Axis &volts, double millivolts)
{
    return PLOT_BOTTOM -
           (millivolts / 1000.0 - volts.low) / (volts.high - volts.low) * (PLOT_BOTTOM - PLOT_TOP);
}

static void writeGrid(FILE *out, const Axis &hours, const Axis &volts)
{
    fputs("<g class=\"grid\">\n", out);
    int xd = decimalsOf(hours.step), yd = decimalsOf(volts.step);
    long xTicks = lround((hours.high - hours.low) / hours.step);
    for (long i = 0; i <= xTicks; i++) {
        double h = hours.low + i * hours.step, x = xOf(hours, h * 3600.0);
        fprintf(out, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>", x, PLOT_TOP, x,
                PLOT_BOTTOM);
        fprintf(out, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%.*f</text>\n", x,
                PLOT_BOTTOM + 18, xd, h);
    }
    long yTicks = lround((volts.high - volts.low) / volts.step);
    for (long i = 0; i <= yTicks; i++) {
        double v = volts.low + i * volts.step, y = yOf(volts, v * 1000.0);
        fprintf(out, "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\"/>", PLOT_LEFT, y,
                PLOT_RIGHT, y);
        fprintf(out, "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n", PLOT_LEFT - 6,
                y + 4, yd, v);
    }
    fputs("</g>\n", out);
    fprintf(out, "<path class=\"axis\" d=\"M%d %dV%dH%d\"/>\n", PLOT_LEFT, PLOT_TOP, PLOT_BOTTOM,
            PLOT_RIGHT);
    fprintf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">Elapsed time (hours)</text>\n",
            (PLOT_LEFT + PLOT_RIGHT) / 2, PLOT_BOTTOM + 42);
    fprintf(out,
            "<text transform=\"translate(18 %d) rotate(-90)\" text-anchor=\"middle\">Battery level "
            "(V)</text>\n",
            (PLOT_TOP + PLOT_BOTTOM) / 2);
}

// One stretch of samples without a hole. A long log has many samples per pixel column: of
// each column's samples only the first, lowest, highest and last are drawn, which leaves the
// drawn line as it was and keeps the page small for a log of any length.
static void writeRun(FILE *out, const Axis &hours, const Axis &volts, const Sample *s, size_t count,
                     const std::string &color)
{
    if (count == 1) {
        fprintf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2\" fill=\"%s\"/>\n",
                xOf(hours, s[0].time), yOf(volts, s[0].level), color.c_str());
        return;
    }
    fprintf(out, "<polyline stroke=\"%s\" points=\"", color.c_str());
    size_t i = 0;
    while (i < count) {
        long column = lround(floor(xOf(hours, s[i].time)));
        size_t end = i, low = i, high = i;
        while (end < count && lround(floor(xOf(hours, s[end].time))) == column) {
            if (s[end].level < s[low].level)
                low = end;
            if (s[end].level > s[high].level)
                high = end;
            end++;
        }
        size_t picks[] = {i, std::min(low, high), std::max(low, high), end - 1};
        size_t previous = count;
        for (size_t p : picks) {
            if (p == previous)
                continue;
            fprintf(out, "%.1f,%.1f ", xOf(hours, s[p].time), yOf(volts, s[p].level));
            previous = p;
        }
        i = end;
    }
    fputs("\"/>\n", out);
}

static void writeChart(FILE *out, const std::vector<LogSummary> &logs)
{
    uint32_t longest = 0, lowest = 0xFFFFFFFFu, highest = 0;
    for (const LogSummary &log : logs) {
        longest = std::max(longest, log.samples.back().time - log.samples.front().time);
        for (const Sample &s : log.samples) {
            lowest = std::min(lowest, s.level);
            highest = std::max(highest, s.level);
        }
    }
    Axis hours = axisOver(0.0, longest / 3600.0, 1.0);
    Axis volts = axisOver(lowest / 1000.0, highest / 1000.0, 1.0);
    hours.low = 0.0; // every log starts at its first sample; a flat axis only widens upwards
    int height = CHART_HEIGHT + LEGEND_ROW * static_cast<int>(logs.size());
    fprintf(out,
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d "
            "%d\" font-family=\"sans-serif\" font-size=\"13\">\n",
            CHART_WIDTH, height, CHART_WIDTH, height);
    fputs(
        "<style>.grid line{stroke:#ddd;stroke-width:1}.axis{stroke:#000;stroke-width:1.5;fill:none}"
        "polyline{fill:none;stroke-width:2;stroke-linejoin:round}</style>\n",
        out);
    fprintf(out, "<rect width=\"%d\" height=\"%d\" fill=\"#fff\"/>\n", CHART_WIDTH, height);
    writeGrid(out, hours, volts);
    for (size_t n = 0; n < logs.size(); n++) {
        const std::vector<Sample> &s = logs[n].samples;
        std::string color = colorOf(n);
        // Times from the log's own first sample, so every curve starts at hour 0.
        std::vector<Sample> shifted(s);
        for (Sample &x : shifted)
            x.time -= s[0].time;
        size_t start = 0;
        for (size_t i = 1; i <= shifted.size(); i++)
            if (i == shifted.size() || shifted[i].time - shifted[i - 1].time > GAP_SECONDS) {
                writeRun(out, hours, volts, &shifted[start], i - start, color);
                start = i;
            }
        int y = CHART_HEIGHT + LEGEND_ROW * static_cast<int>(n);
        fprintf(out,
                "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"%s\" stroke-width=\"3\"/>",
                PLOT_LEFT, y - 4, PLOT_LEFT + 30, y - 4, color.c_str());
        fprintf(out, "<text x=\"%d\" y=\"%d\">%s</text>\n", PLOT_LEFT + 40, y,
                escape(logs[n].name).c_str());
    }
    fputs("</svg>\n", out);
}

int writePage(const char *path, const std::vector<LogSummary> &logs)
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
    writeCrossings(out, logs);
    writeGaps(out, logs);
    fputs("</body>\n</html>\n", out);
    int failed = ferror(out);
    return fclose(out) == 0 && !failed;
}
