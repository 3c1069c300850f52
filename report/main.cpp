// voltrace-report: reads finished discharge logs (battery*.csv copied from the device),
// prints a table of their numbers and, with -o, writes an HTML page with a chart of them
// all; --gauge writes the battery gauge. main reads like the run: options, logs, table, gauge,
// page.
#include <errno.h>
#include <getopt.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "gauge.h"
#include "logfile.h"
#include "page.h"
#include "summary.h"

/* report state: none; main holds the logs it has read */

static const char USAGE[] =
    "usage: voltrace-report [-o FILE.html] [--gauge FILE.csv] [--empty MV] LOG.csv...\n"
    "\n"
    "Reads discharge logs written by voltrace (battery1.csv ... copied from the device)\n"
    "and prints one row per log: samples, damaged lines skipped, run time from the first\n"
    "sample to the last, start and end level in volts, the average fall in mV per hour,\n"
    "and the gaps (two samples more than 90 s apart: the device slept, or the program was\n"
    "stopped). Lines that are not samples (a last line cut short by a power cut, stray\n"
    "bytes) are skipped, as the device's chart skips them. A level of 5000 mV is the\n"
    "device's mark for \"no reading\": such a sample counts for time, never as a level.\n"
    "\n"
    "  -o FILE.html      also write a self-contained page: the same table, the charge\n"
    "                    left at each level, when each log first fell below each tenth\n"
    "                    of a volt, its holes, and a chart of all the logs overlaid,\n"
    "                    level over elapsed hours\n"
    "  --gauge FILE.csv  write the battery gauge: the line \"percent,millivolts\", then\n"
    "                    21 rows from 100 down to 0 % charge left in steps of 5\n"
    "  --empty MV        a log whose last level is above MV millivolts did not run down\n"
    "                    and is left out of the gauge (default 3600)\n"
    "  -h, --help        show this text\n"
    "\n"
    "The gauge says how much charge is left at each level, for a launcher's battery icon.\n"
    "p % is the level at the point where p % of the run time was still to come, read from\n"
    "the falling envelope (the lowest level so far), so a recovery never makes it climb;\n"
    "hours asleep in a hole count as no run time, as the device drew almost nothing then.\n"
    "With several logs each row is their mean. voltrace logs at full backlight with a busy\n"
    "processor, so the table errs on the safe side: lighter use leaves more than it says.\n"
    "Use it instead of a straight line from 4.2 V to 3.0 V: a lithium cell's level is\n"
    "flat through most of the run and falls steeply at the end, so a straight line shows\n"
    "plenty left when the device is about to die.\n"
    "\n"
    "A file that cannot be read or holds no samples is named on standard error and\n"
    "left out. Exit status: 0 when at least one log was reported, 1 when none could be\n"
    "read, the page or the gauge could not be written, or no log qualified for the\n"
    "gauge asked for, 2 for bad usage.\n";

static int usageError(const char *message)
{
    fprintf(stderr, "voltrace-report: %s\n%s", message, USAGE);
    return 2;
}

// A level in millivolts: decimal digits only, at most 32 bits.
static int parseMillivolts(const char *text, uint32_t *value)
{
    uint32_t v = 0;
    const char *end = readDecimal(text, 0xFFFFFFFFu, &v);
    if (!end || *end != '\0')
        return 0;
    *value = v;
    return 1;
}

// The long options' codes lie beyond every character, so that an error names the word the
// user typed (--help=x is "unknown option --help=x", not -h).
enum { OPTION_HELP = 256, OPTION_GAUGE, OPTION_EMPTY };

int main(int argc, char **argv)
{
    const char *pagePath = nullptr;
    const char *gaugePath = nullptr;
    uint32_t emptyLevel = EMPTY_DEFAULT;
    int emptyGiven = 0;
    static const struct option LONG_OPTIONS[] = {
        {"help", no_argument, nullptr, OPTION_HELP},
        {"gauge", required_argument, nullptr, OPTION_GAUGE},
        {"empty", required_argument, nullptr, OPTION_EMPTY},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the leading ':' and opterr 0: every message is the report's own
    int option;
    while ((option = getopt_long(argc, argv, ":ho:", LONG_OPTIONS, nullptr)) != -1) {
        switch (option) {
        case 'h':
        case OPTION_HELP:
            fputs(USAGE, stdout);
            return 0;
        case 'o':
            if (pagePath)
                return usageError("-o given twice");
            pagePath = optarg;
            break;
        case OPTION_GAUGE:
            if (gaugePath)
                return usageError("--gauge given twice");
            gaugePath = optarg;
            break;
        case OPTION_EMPTY:
            if (!parseMillivolts(optarg, &emptyLevel))
                return usageError("--empty needs a level in millivolts, such as 3600");
            if (emptyGiven)
                return usageError("--empty given twice");
            emptyGiven = 1;
            break;
        case ':':
            if (optopt == 'o')
                return usageError("-o needs the name of the page to write");
            if (optopt == OPTION_GAUGE)
                return usageError("--gauge needs the name of the table to write");
            return usageError("--empty needs a level in millivolts, such as 3600");
        default:
            // A short option is named by its letter; a long one by the word as typed.
            if (optopt != 0 && optopt < OPTION_HELP)
                return usageError((std::string("unknown option -") + static_cast<char>(optopt))
                                      .c_str());
            return usageError((std::string("unknown option ") + argv[optind - 1]).c_str());
        }
    }
    // getopt_long has moved the logs after the options, in the order given.
    std::vector<const char *> paths(argv + optind, argv + argc);
    if (paths.empty())
        return usageError("no log named");

    std::vector<LogSummary> logs;
    for (const char *path : paths) {
        LogSummary log;
        log.name = path;
        std::string problem;
        int reported = readLog(path, &log, &problem);
        if (!problem.empty())
            fprintf(stderr, "voltrace-report: %s: %s%s\n", path, problem.c_str(),
                    reported ? "" : "; left out");
        if (reported)
            logs.push_back(std::move(log));
    }
    if (logs.empty()) {
        fputs("voltrace-report: no log could be read\n", stderr);
        return 1;
    }

    printTable(stdout, logs);
    if (!gaugePath && !pagePath)
        return 0;

    int status = 0;
    Gauge gauge = gaugeOf(logs, emptyLevel);
    for (const LeftOut &l : gauge.leftOut)
        fprintf(stderr, "voltrace-report: %s: %s; left out of the gauge\n",
                logs[l.log].name.c_str(), l.reason.c_str());
    if (gaugePath && gauge.columns.empty()) {
        fprintf(stderr, "voltrace-report: %s: not written: no log ran down to %s V\n", gaugePath,
                formatVolts(emptyLevel).c_str());
        status = 1;
    } else if (gaugePath && !writeGaugeCsv(gaugePath, gauge)) {
        fprintf(stderr, "voltrace-report: %s: cannot write the gauge: %s\n", gaugePath,
                strerror(errno));
        status = 1;
    }
    if (pagePath && !writePage(pagePath, logs, gauge, emptyLevel)) {
        fprintf(stderr, "voltrace-report: %s: cannot write the page: %s\n", pagePath,
                strerror(errno));
        status = 1;
    }
    return status;
}
