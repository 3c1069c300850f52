// Test support for voltrace: the fixture, the recorded frames and syncs, and text matching.
// The wrappers stand in for SDL_Flip, fsync, ftruncate and write in the code under test only
// (ld --wrap).
#include "support.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>

#include "chart.h"
#include "sampler.h"
#include "screens.h"
#include "slots.h"

/* test support state; the card's are atomic, since the card thread writes and syncs */
static std::mutex recordLock;            // guards the two records below (timer and main)
static std::vector<Frame> flips;         // frames shown, in order
static std::vector<SyncCall> syncs;      // fsync calls, in order
static std::string batteryFile, backlightCmd, toolPath;  // seams' targets, per test
static std::atomic<long long> writeRoom{-1};  // bytes the "card" still takes; -1: no limit
static std::atomic<Uint64> clockMs{0};   // the log's clock; read by the card thread
static std::atomic<bool> cardBroken{false};   // ftruncate and fsync fail with EIO

extern "C" int __real_SDL_Flip(SDL_Surface *surface);
extern "C" int __wrap_SDL_Flip(SDL_Surface *surface)
{
    if (surface == screen) {
        Frame f = grabScreen();
        std::lock_guard<std::mutex> hold(recordLock);
        flips.push_back(std::move(f));
    }
    return __real_SDL_Flip(surface);
}

extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd)
{
    char link[64], target[PATH_MAX + 1] = {0};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, PATH_MAX);
    struct stat st = {};
    fstat(fd, &st);
    {
        std::lock_guard<std::mutex> hold(recordLock);
        syncs.push_back({n > 0 ? std::string(target, static_cast<size_t>(n)) : "?",
                         static_cast<long long>(st.st_size)});
    }
    if (cardBroken) {
        errno = EIO;
        return -1;
    }
    return __real_fsync(fd);
}

extern "C" int __real_ftruncate(int fd, off_t length);
extern "C" int __wrap_ftruncate(int fd, off_t length)
{
    if (cardBroken) {
        errno = EIO;
        return -1;
    }
    return __real_ftruncate(fd, length);
}

void breakCard(bool broken)
{
    cardBroken = broken;
}

// A card that fills: a write takes what room is left and comes back short, or fails with
// ENOSPC once there is none.
extern "C" ssize_t __real_write(int fd, const void *data, size_t n);
extern "C" ssize_t __wrap_write(int fd, const void *data, size_t n)
{
    if (writeRoom < 0)
        return __real_write(fd, data, n);
    if (writeRoom == 0) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t written = __real_write(fd, data, std::min(n, static_cast<size_t>(writeRoom)));
    if (written > 0)
        writeRoom -= written;
    return written;
}

void limitWrites(long long bytes)
{
    writeRoom = bytes;
}

Frame grabScreen(void)
{
    Frame f;
    f.px.resize(320 * 240);
    for (int y = 0; y < 240; y++) {
        const Uint16 *row = reinterpret_cast<const Uint16 *>(static_cast<const Uint8 *>(screen->pixels) + y * screen->pitch);
        std::copy(row, row + 320, f.px.begin() + y * 320);
    }
    return f;
}

std::vector<Frame> takeFlips(void)
{
    std::lock_guard<std::mutex> hold(recordLock);
    return flips;
}

void clearFlips(void)
{
    std::lock_guard<std::mutex> hold(recordLock);
    flips.clear();
}

std::vector<SyncCall> takeSyncs(void)
{
    std::lock_guard<std::mutex> hold(recordLock);
    return syncs;
}

void clearSyncs(void)
{
    std::lock_guard<std::mutex> hold(recordLock);
    syncs.clear();
}

bool showsText(const Frame &frame, const char *text, int x, int y, TextAnchor anchor,
               void (*paintBackground)(SDL_Surface *))
{
    // Draw the text alone on a black scratch screen and compare the box it covers.
    SDL_Surface *real = screen;
    SDL_Surface *scratch = SDL_CreateRGBSurface(SDL_SWSURFACE, 320, 240, 16, real->format->Rmask,
                                                real->format->Gmask, real->format->Bmask, 0);
    SDL_FillRect(scratch, nullptr, 0);
    if (paintBackground)
        paintBackground(scratch);
    Frame background;
    screen = scratch;
    background = grabScreen();
    int w = drawText(x, y, text, BODY_COLOR, anchor);
    Frame expected = grabScreen();
    screen = real;
    SDL_FreeSurface(scratch);
    int h = TTF_FontHeight(font);
    int left = anchor & ANCHOR_CENTER ? x - w / 2 : anchor & ANCHOR_RIGHT ? x - w : x;
    int top = anchor & ANCHOR_MIDDLE ? y - h / 2 : anchor & ANCHOR_BOTTOM ? y - h : y;
    if (w <= 0)
        return false;
    int inked = 0;
    for (int j = std::max(top, 0); j < std::min(top + h, 240); j++)
        for (int i = std::max(left, 0); i < std::min(left + w, 320); i++) {
            if (frame.at(i, j) != expected.at(i, j))
                return false;
            inked += expected.at(i, j) != background.at(i, j);
        }
    return inked > 0;
}

int countWhite(const Frame &frame, int x, int y, int w, int h)
{
    int n = 0;
    for (int j = y; j < y + h; j++)
        for (int i = x; i < x + w; i++)
            n += frame.white(i, j);
    return n;
}

std::string readText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void setClock(Uint64 ms)
{
    clockMs = ms;
}

bool waitForLog(const std::string &text)
{
    for (int waited = 0; waited < 10000; waited += 10) {
        if (readText(csvPath) == text)
            return true;
        SDL_Delay(10);
    }
    return false;
}

bool waitForWake(void)
{
    SDL_Event event;
    for (int waited = 0; waited < 10000; waited += 10) {
        SDL_PumpEvents();
        if (SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_EVENTMASK(SDL_USEREVENT)) > 0)
            return true;
        SDL_Delay(10);
    }
    return false;
}

std::string minuteLog(int minutes, int (*level)(int))
{
    std::string log;
    for (int k = 0; k <= minutes; k++)
        log += std::to_string(k * 60) + "," + std::to_string(level(k)) + "\n";
    return log;
}

void Voltrace::SetUp()
{
    // Short, so that the slot line stays clear of the footer on every screen.
    char templ[] = "/tmp/vtXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    home = templ;
    setenv("HOME", home.c_str(), 1);
    slotIndex = 0;
    logging = 0;
    chartRect = {0, 0, 0, 0};
    ASSERT_EQ(selectSlot(0), 1);
    setClock(0);
    logClockMs = [] { return clockMs.load(); };
    beginLog();

    batteryFile = home + "/battery";
    batteryPath = batteryFile.c_str();
    backlight = home + "/backlight";
    backlightCmd = "echo 100 > '" + backlight + "'";
    backlightCommand = backlightCmd.c_str();
    toolPath = home + "/fbgrab";
    writeText(toolPath, "#!/bin/sh\nprintf '%s\\0' \"$#\" \"$@\" >> '" + home +
                            "/fbgrab.log'\necho png > \"$1\"\n");
    chmod(toolPath.c_str(), 0755);
    screenshotTool = toolPath.c_str();

    setenv("SDL_VIDEODRIVER", "dummy", 1);
    if (!font) {
        ASSERT_EQ(startVideo(500, 30), 0);
    }
    clearFlips();
    clearSyncs();
}

void Voltrace::TearDown()
{
    writeRoom = -1;
    cardBroken = false;
    if (logging)
        stopLogging();
    while (logUnsettled(nullptr))
        SDL_Delay(10);
    std::string cmd = "rm -rf '" + home + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

std::vector<std::vector<std::string>> Voltrace::screenshots(void)
{
    std::string text = readText(home + "/fbgrab.log");
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++)
        if (text[i] == '\0') {
            fields.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    std::vector<std::vector<std::string>> calls;
    for (size_t i = 0; i < fields.size();) {
        size_t count = std::stoul(fields[i]);
        calls.emplace_back(fields.begin() + static_cast<long>(i + 1),
                           fields.begin() + static_cast<long>(std::min(fields.size(), i + 1 + count)));
        i += 1 + count;
    }
    return calls;
}
