// The real strobel on a virtual display: the square at start, one-pixel moves and resizes,
// a held button against the edges, flashing with only START counting meanwhile and once per
// press however long it is held, and the exits.
// Keys are held for a moment, since strobel reads the key state, and shorter than the
// 200 ms key-repeat delay where a single step is meant.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

const int SINGLE = 100;  // ms: long enough to be seen down, short of the repeat delay

struct Box {
    int left, top, right, bottom, count;
};

// The bounding box and number of the pixels of one colour. The grey target (206, 202, 206
// on this display) stays apart from the footer text (about 206, 202, 222) at tolerance 8.
Box findColour(const Screen &s, int r, int g, int b)
{
    Box box = {s.w, s.h, -1, -1, 0};
    for (int y = 0; y < s.h; y++)
        for (int x = 0; x < s.w; x++)
            if (near(s.at(x, y), r, g, b, 8)) {
                box.left = std::min(box.left, x);
                box.top = std::min(box.top, y);
                box.right = std::max(box.right, x);
                box.bottom = std::max(box.bottom, y);
                box.count++;
            }
    return box;
}

// Exactly a solid size x size square of the colour at (x, y), and nothing else of it.
bool squareOf(const Screen &s, int r, int g, int b, int x, int y, int size)
{
    Box box = findColour(s, r, g, b);
    return box.left == x && box.top == y && box.right == x + size - 1 &&
           box.bottom == y + size - 1 && box.count == size * size;
}

std::function<bool(const Screen &)> greySquare(int x, int y, int size)
{
    return [=](const Screen &s) { return squareOf(s, 200, 200, 200, x, y, size); };
}

// The footer: the help line at the bottom left is shown only while not flashing; the START
// text at the bottom right always.
bool helpShown(const Screen &s)
{
    return countNear(s, 10, 222, 200, 16, 200, 200, 220, 12) > 100;
}

bool startTextShown(const Screen &s)
{
    return countNear(s, 250, 222, 60, 16, 200, 200, 220, 12) > 30;
}

// Samples the screen until each of red, green and blue has been seen filling exactly the
// target square; returns which were seen (1 red, 2 green, 4 blue).
int flashColoursSeen(int x, int y, int size)
{
    const int colours[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    int seen = 0;
    for (int n = 0; n < 150 && seen != 7; n++) {
        Screen s = capture();
        for (int c = 0; c < 3; c++)
            if (squareOf(s, colours[c][0], colours[c][1], colours[c][2], x, y, size))
                seen |= 1 << c;
    }
    return seen;
}

// Running and not yet a zombie; the harness reaps it in waitExit.
bool alive(const Program &p)
{
    std::string stat = readFile("/proc/" + std::to_string(p.pid) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

// The screen stays idle for a while: the grey square where it was, no flash colour.
bool staysGrey(int x, int y, int size)
{
    for (int n = 0; n < 6; n++) {
        if (!squareOf(capture(), 200, 200, 200, x, y, size))
            return false;
        usleep(25000);
    }
    return true;
}

class Strobel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_GE(startDisplay(), 0); }
    void TearDown() override
    {
        if (program.pid > 0)
            waitExit(program, 0);  // kills what a failed test left running
    }
    Program program;
};

TEST_F(Strobel, StartsWithTheGreySquareAndMovesAndResizesOnePixelPerPress)
{
    program = launch(STROBEL_BIN, Launch());
    ASSERT_GT(program.pid, 0) << "no window";
    ASSERT_TRUE(waitForScreen(greySquare(156, 116, 8), 5000)) << "no 8 x 8 square at 156,116";
    Screen s = capture();
    EXPECT_TRUE(helpShown(s));
    EXPECT_TRUE(startTextShown(s));

    struct Step {
        const char *key;
        int x, y, size;
    } steps[] = {
        {"Right", 157, 116, 8}, {"Down", 157, 117, 8},    {"Left", 156, 117, 8},
        {"Up", 156, 116, 8},    {"BackSpace", 156, 116, 9}, {"Tab", 156, 116, 8},
        {"Tab", 156, 116, 7},
    };
    for (const Step &step : steps) {
        press(step.key, SINGLE);
        EXPECT_TRUE(waitForScreen(greySquare(step.x, step.y, step.size), 3000))
            << step.key << " should give " << step.size << " at " << step.x << "," << step.y;
    }
    press("Escape", SINGLE);
    EXPECT_EQ(waitExit(program, 5000), 0);
}

// Held together, two D-pad buttons repeat diagonally into a corner and stop there.
TEST_F(Strobel, AHeldButtonStopsAtTheScreenEdge)
{
    program = launch(STROBEL_BIN, Launch());
    ASSERT_GT(program.pid, 0) << "no window";
    ASSERT_TRUE(waitForScreen(greySquare(156, 116, 8), 5000));

    struct Corner {
        const char *horizontal, *vertical;
        int x, y;
    } corners[] = {{"Left", "Up", 0, 0}, {"Right", "Down", 312, 232}};
    for (const Corner &c : corners) {
        keyDown(c.horizontal);
        keyDown(c.vertical);
        bool reached = waitForScreen(greySquare(c.x, c.y, 8), 20000);
        usleep(400000);  // dozens more repeats against the edge
        keyUp(c.vertical);
        keyUp(c.horizontal);
        EXPECT_TRUE(reached) << c.horizontal << "+" << c.vertical;
        EXPECT_TRUE(waitForScreen(greySquare(c.x, c.y, 8), 2000))
            << "left the screen past " << c.x << "," << c.y;
    }
    press("Escape", SINGLE);
    EXPECT_EQ(waitExit(program, 5000), 0);
}

TEST_F(Strobel, StartFlashesRedGreenBlueAndOnlyStartCountsWhileFlashing)
{
    program = launch(STROBEL_BIN, Launch());
    ASSERT_GT(program.pid, 0) << "no window";
    ASSERT_TRUE(waitForScreen(greySquare(156, 116, 8), 5000));

    press("Return", SINGLE);
    EXPECT_EQ(flashColoursSeen(156, 116, 8), 7) << "not all of red, green, blue (1, 2, 4)";
    EXPECT_TRUE(waitForScreen([](const Screen &s) { return !helpShown(s) && startTextShown(s); },
                              2000))
        << "the footer does not show the flashing state";

    // SELECT and the D-pad are ignored; their releases redraw and flashing goes on.
    press("Escape", SINGLE);
    press("Left", SINGLE);
    usleep(300000);
    ASSERT_TRUE(alive(program)) << "SELECT while flashing ended the program";
    EXPECT_EQ(flashColoursSeen(156, 116, 8), 7) << "flashing stopped after the releases";

    press("Return", SINGLE);
    EXPECT_TRUE(waitForScreen([](const Screen &s) {
        return helpShown(s) && squareOf(s, 200, 200, 200, 156, 116, 8);
    }, 3000)) << "no idle screen after START stopped flashing";
    EXPECT_TRUE(staysGrey(156, 116, 8)) << "still flashing, or the square moved";

    // START held for a second, past the key-repeat delay, with SELECT pressed meanwhile:
    // START acts once, at its own press, every time, and wins over SELECT.
    for (int hold = 1; hold <= 3; hold++) {
        keyDown("Return");
        usleep(1000000);
        press("Escape", 60);
        keyUp("Return");
        EXPECT_EQ(flashColoursSeen(156, 116, 8), 7) << "not flashing after hold " << hold;
        ASSERT_TRUE(alive(program)) << "START with SELECT ended the program";
        press("Return", SINGLE);
        EXPECT_TRUE(waitForScreen(greySquare(156, 116, 8), 3000) && staysGrey(156, 116, 8));
    }

    press("Escape", SINGLE);
    EXPECT_EQ(waitExit(program, 5000), 0);
}

// SIGINT while the thread flashes, and right after START stopped it (the thread then in its
// last period): status 2 after sync. Under the sanitizer builds a report turns the status
// into 66, so this also shows the shutdown is clean with the thread around.
TEST_F(Strobel, SigintWhileFlashingEndsWithStatusTwo)
{
    for (bool stopFirst : {false, true}) {
        std::string dir = makeTempDir();
        Launch options;
        options.env = {"SYNC_LOG=" + dir + "/sync.log"};
        program = launch(STROBEL_BIN, options);
        ASSERT_GT(program.pid, 0) << "no window";
        ASSERT_TRUE(waitForScreen(greySquare(156, 116, 8), 5000));
        press("Return", SINGLE);
        ASSERT_TRUE(waitForScreen([](const Screen &s) {
            return squareOf(s, 255, 0, 0, 156, 116, 8) || squareOf(s, 0, 255, 0, 156, 116, 8) ||
                   squareOf(s, 0, 0, 255, 156, 116, 8);
        }, 3000)) << "not flashing";
        if (stopFirst) {
            keyDown("Return");
            usleep(15000);
        }
        sendSignal(program, SIGINT);
        if (stopFirst)
            keyUp("Return");
        EXPECT_EQ(waitExit(program, 5000), 2) << (stopFirst ? "after the stop" : "flashing");
        EXPECT_NE(readFile(dir + "/sync.log").find("sync"), std::string::npos) << "no sync";
    }
}

}  // namespace
