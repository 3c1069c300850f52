// The reliability tests' shared pieces: seed, log rule, screen checks, memory, figures.
// Start with checkLog, the rule every test holds the logs to.
#include "support.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

/* support state */
static unsigned seed;            // this process's seed; set once by reliabilitySeed
static bool seedChosen;          // whether seed holds it
static std::mt19937 generator;   // random moments, seeded from seed; test thread only

unsigned reliabilitySeed(void)
{
    if (!seedChosen) {
        const char *fixed = getenv("RELIABILITY_SEED");
        seed = fixed && *fixed ? static_cast<unsigned>(strtoul(fixed, nullptr, 10))
                               : static_cast<unsigned>(time(nullptr)) ^ (static_cast<unsigned>(getpid()) << 16);
        seedChosen = true;
        generator.seed(seed);
        printf("reliability: seed %u (RELIABILITY_SEED=%u replays these moments)\n", seed, seed);
        fflush(stdout);
    }
    return seed;
}

std::mt19937 &randomMoments(void)
{
    reliabilitySeed();
    return generator;
}

int randomBetween(int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(randomMoments());
}

// A decimal number of at most nine digits (no sign, no blanks); -1 otherwise.
static long parseField(const std::string &text)
{
    if (text.empty() || text.size() > 9)
        return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

LogCheck checkLog(const std::string &text)
{
    LogCheck check;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            check.cut = true;
            break;
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t comma = line.find(',');
        long seconds = comma == std::string::npos ? -1 : parseField(line.substr(0, comma));
        long level = comma == std::string::npos ? -1 : parseField(line.substr(comma + 1));
        if (seconds < 0 || level < 1 || level > 5000) {
            if (check.malformed++ == 0)
                check.firstBad = line;
            continue;
        }
        if (seconds / 60 != check.whole)
            check.stepped = false;
        check.whole++;
    }
    return check;
}

bool helpShown(const Screen &s)
{
    return countNear(s, 10, 27, 186, 14, 200, 200, 220, 12) > 100;
}

bool chartShown(const Screen &s)
{
    // Wherever the label width puts it, the level axis is one white column from row 50 to
    // row 179; nothing else on these screens is that tall and white.
    for (int x = 10; x < 200; x++)
        if (countNear(s, x, 50, 1, 130, 255, 255, 255, 12) == 130)
            return true;
    return false;
}

bool redBand(const Screen &s)
{
    return countNear(s, 0, 226, 320, 13, 150, 0, 0, 12) > 3000;
}

bool greySquareShown(const Screen &s)
{
    return countNear(s, 150, 110, 20, 20, 200, 200, 200, 8) >= 64;
}

long residentKb(pid_t pid)
{
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    if (at == std::string::npos)
        return -1;
    return strtol(status.c_str() + at + 6, nullptr, 10);
}

long long nowMs(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

void reportFigures(const std::string &line)
{
    printf("reliability: %s\n", line.c_str());
    fflush(stdout);
    ::testing::Test::RecordProperty("figures", line);
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif

const char *sanitizerBuild(void)
{
#if __has_feature(thread_sanitizer) || defined(__SANITIZE_THREAD__)
    return "tsan";
#elif __has_feature(address_sanitizer) || defined(__SANITIZE_ADDRESS__)
    return "asan-ubsan";
#else
    return "none";
#endif
}
