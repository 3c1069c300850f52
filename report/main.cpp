// voltrace-report: reads finished discharge logs (battery*.csv copied from the device),
// prints a table of their numbers and, with -o, writes an HTML page with a chart of them
// all. main reads like the run: options, logs, table, page.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "page.h"
#include "summary.h"

/* report state: none; main holds the logs it has read */

static const char USAGE[] =
    "usage: voltrace-report [-o FILE.html] LOG.csv...\n"
    "\n"
    "Reads discharge logs written by voltrace (battery1.csv ... copied from the device)\n"
    "and prints one row per log: samples, damaged lines skipped, run time from the first\n"
    "sample to the last, start and end level in volts, the average fall in mV per hour,\n"
    "and the gaps (two samples more than 90 s apart: the device slept, or the program was\n"
    "stopped). Lines that are not samples (a last line cut short by a power cut, stray\n"
    "bytes) are skipped, as the device's chart skips them.\n"
    "\n"
    "  -o FILE.html  also write a self-contained page: the same table, when each log\n"
    "                first fell below each tenth of a volt, its holes, and a chart of\n"
    "                all the logs overlaid, level over elapsed hours\n"
    "  -h, --help    show this text\n"
    "\n"
    "A file that cannot be read or holds no samples is named on standard error and\n"
    "left out. Exit status: 0 when at least one log was reported, 1 when none could be\n"
    "read or the page could not be written, 2 for bad usage.\n";

static int usageError(const char *message)
{
    fprintf(stderr, "voltrace-report: %s\n%s", message, USAGE);
    return 2;
}

int main(int argc, char **argv)
{
    const char *pagePath = nullptr;
    std::vector<const char *> paths;
    int optionsEnd = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (optionsEnd || arg[0] != '-' || arg[1] == '\0') {
            paths.push_back(arg);
        } else if (strcmp(arg, "--") == 0) {
            optionsEnd = 1;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(USAGE, stdout);
            return 0;
        } else if (strcmp(arg, "-o") == 0) {
            if (i + 1 >= argc)
                return usageError("-o needs the name of the page to write");
            if (pagePath)
                return usageError("-o given twice");
            pagePath = argv[++i];
        } else {
            return usageError((std::string("unknown option ") + arg).c_str());
        }
    }
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
    if (pagePath && !writePage(pagePath, logs)) {
        fprintf(stderr, "voltrace-report: %s: cannot write the page: %s\n", pagePath,
                strerror(errno));
        return 1;
    }
    return 0;
}
