// Shared by voltrace's in-process tests: a fixture with the screen on SDL's dummy driver and
// a fresh HOME, frames recorded at every SDL_Flip, fsync calls recorded with their files,
// writes that can find the card full and a card whose cuts and syncs fail (all through the
// linker's --wrap), and a check that a text is drawn at an anchor.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame.h"

// The screen's 320 x 240 pixels, row by row, as 16-bit values.
struct Frame {
    std::vector<Uint16> px;
    Uint16 at(int x, int y) const { return px[static_cast<size_t>(y) * 320 + x]; }
    bool white(int x, int y) const { return at(x, y) == 0xFFFF; }
};

Frame grabScreen(void);

// Frames shown by SDL_Flip since the last clearFlips (from any thread).
std::vector<Frame> takeFlips(void);
void clearFlips(void);

// fsync calls since the last clearSyncs: the file's path and its size at the moment.
struct SyncCall {
    std::string path;
    long long size;
};
std::vector<SyncCall> takeSyncs(void);
void clearSyncs(void);

// From now on (true) ftruncate and fsync fail with EIO, as on a card going bad; false lifts it,
// as does every new test.
void breakCard(bool broken);

// From now on writes find a card with only bytes of room left: they come back short, then
// fail with ENOSPC. -1 (and every new test) lifts the limit.
void limitWrites(long long bytes);

// Whether frame shows exactly text at (x, y) placed by anchor: every pixel of the text's box
// is what drawText would draw there over black, or over what paintBackground paints on a
// black screen.
bool showsText(const Frame &frame, const char *text, int x, int y, TextAnchor anchor,
               void (*paintBackground)(SDL_Surface *) = nullptr);

// The log's clock in these tests (the sampler's seam): it stands where setClock puts it.
void setClock(Uint64 ms);

// Waits up to 10 s for the card thread to leave exactly text in the log at csvPath.
bool waitForLog(const std::string &text);

// Waits up to 10 s for the card thread's wake-up after a sample (an SDL_USEREVENT), and takes it.
bool waitForWake(void);

// A log of one sample a minute, k = 0 ... minutes, at level(k) millivolts, as the report's
// tests write theirs.
std::string minuteLog(int minutes, int (*level)(int));

// Counts the white pixels of the rectangle.
int countWhite(const Frame &frame, int x, int y, int w, int h);

std::string readText(const std::string &path);
void writeText(const std::string &path, const std::string &text);

// The test's own HOME (an empty folder, removed afterwards) with slot 0 selected and its log
// begun at the clock's 0, the screen open and held by nobody, and the device seams pointed
// into the folder: the battery file `home + "/battery"`, the backlight command writing
// `home + "/backlight"`, and the screenshot tool `home + "/fbgrab"`, which records its
// arguments NUL-separated in `home + "/fbgrab.log"` and writes a file at its argument. A log
// still being written at the end is stopped and its last sample waited for.
class Voltrace : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void setBattery(const std::string &text) { writeText(home + "/battery", text); }
    std::vector<std::vector<std::string>> screenshots(void);
    std::string home;
    std::string backlight;
};
