// The shared frame in-process, on SDL's dummy video driver with the real SDL_ttf and the
// embedded font: start-up, text placement by anchor, crisp glyphs, the header, the exit
// routine and signals.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "commands.h"
#include "frame.h"

namespace {

struct Box {
    int left, top, right, bottom;  // inclusive; left > right when nothing is inked
};

Uint16 pixel(int x, int y)
{
    return static_cast<Uint16 *>(screen->pixels)[y * screen->pitch / 2 + x];
}

void clearScreen(void)
{
    SDL_FillRect(screen, nullptr, 0);
}

// The smallest box holding every non-black pixel of the screen.
Box inked(void)
{
    Box b = {screen->w, screen->h, -1, -1};
    for (int y = 0; y < screen->h; y++)
        for (int x = 0; x < screen->w; x++)
            if (pixel(x, y) != 0) {
                b.left = std::min(b.left, x);
                b.right = std::max(b.right, x);
                b.top = std::min(b.top, y);
                b.bottom = std::max(b.bottom, y);
            }
    return b;
}

class Frame : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        if (!font) {
            ASSERT_EQ(startVideo(500, 30), 0);
        }
        hold = holdScreen();
        ASSERT_TRUE(hold.ownsLock());
        clearScreen();
    }
    void TearDown() override
    {
        if (hold.ownsLock())
            hold.unlock();
    }
    ScreenHold hold;
};

TEST_F(Frame, StartUpGivesThe16BitScreenAndTheFontMetricsTheLayoutsAssume)
{
    EXPECT_EQ(screen->w, 320);
    EXPECT_EQ(screen->h, 240);
    EXPECT_EQ(screen->format->BitsPerPixel, 16);
    EXPECT_EQ(TTF_FontHeight(font), 14);
    EXPECT_EQ(TTF_FontAscent(font), 11);
    EXPECT_STREQ(getenv("SDL_NOMOUSE"), "1");
    // Capitals are 7 pixels high.
    drawText(0, 0, "E", BODY_COLOR, ANCHOR_TOP);
    Box b = inked();
    EXPECT_EQ(b.bottom - b.top + 1, 7);
}

// Every anchor the screens use, and the two combinations where one flag wins, moves the
// inked pixels of a text by exactly the offset its flags name, against the top-left box.
TEST_F(Frame, AnchorsShiftTheBoxByWidthAndHeight)
{
    const char *text = "Value: 3.8 V";
    int w = 0, h = 0;
    ASSERT_EQ(TTF_SizeText(font, text, &w, &h), 0);
    int drawn = drawText(100, 100, text, BODY_COLOR, ANCHOR_LEFT | ANCHOR_TOP);
    EXPECT_EQ(drawn, w);
    Box base = inked();
    ASSERT_LE(base.left, base.right);

    struct Case {
        TextAnchor anchor;
        int dx, dy;
    } cases[] = {
        {ANCHOR_BOTTOM, 0, -h},
        {ANCHOR_RIGHT | ANCHOR_BOTTOM, -w, -h},
        {ANCHOR_TOP, 0, 0},
        {ANCHOR_LEFT | ANCHOR_TOP, 0, 0},
        {ANCHOR_RIGHT | ANCHOR_TOP, -w, 0},
        {ANCHOR_LEFT | ANCHOR_MIDDLE, 0, -(h / 2)},
        {ANCHOR_RIGHT | ANCHOR_MIDDLE, -w, -(h / 2)},
        {ANCHOR_CENTER | ANCHOR_RIGHT, -(w / 2), 0},
        {ANCHOR_MIDDLE | ANCHOR_BOTTOM, 0, -(h / 2)},
        {ANCHOR_CENTER | ANCHOR_MIDDLE, -(w / 2), -(h / 2)},
    };
    for (const Case &c : cases) {
        clearScreen();
        EXPECT_EQ(drawText(100, 100, text, BODY_COLOR, c.anchor), w) << c.anchor;
        Box b = inked();
        EXPECT_EQ(b.left, base.left + c.dx) << "anchor " << c.anchor;
        EXPECT_EQ(b.right, base.right + c.dx) << "anchor " << c.anchor;
        EXPECT_EQ(b.top, base.top + c.dy) << "anchor " << c.anchor;
        EXPECT_EQ(b.bottom, base.bottom + c.dy) << "anchor " << c.anchor;
    }
}

TEST_F(Frame, ABoxWhollyOutsideDrawsNothingButReportsItsWidth)
{
    int w = 0, h = 0;
    TTF_SizeText(font, "4.20", &w, &h);
    EXPECT_EQ(drawText(320, 0, "4.20", BODY_COLOR, ANCHOR_BOTTOM), w);
    EXPECT_GT(w, 0);
    Box b = inked();
    EXPECT_GT(b.left, b.right) << "something was drawn";
}

TEST_F(Frame, AnEmptyTextDrawsNothingAndHasNoWidth)
{
    EXPECT_EQ(drawText(10, 10, "", BODY_COLOR, ANCHOR_TOP), 0);
    EXPECT_EQ(drawText(10, 10, nullptr, BODY_COLOR, ANCHOR_TOP), 0);
    Box b = inked();
    EXPECT_GT(b.left, b.right);
}

// Crisp: at point size 8 every glyph pixel is fully on or off, so a text drawn on black holds
// only black and the exact text colour, for every printable character.
TEST_F(Frame, EveryPrintableGlyphIsCrisp)
{
    Uint16 colour = static_cast<Uint16>(
        SDL_MapRGB(screen->format, BODY_COLOR.r, BODY_COLOR.g, BODY_COLOR.b));
    char line[33];
    int y = 0;
    for (int first = 0x20; first < 0x7f; first += 32) {
        int n = 0;
        for (int c = first; c < first + 32 && c < 0x7f; c++)
            line[n++] = static_cast<char>(c);
        line[n] = '\0';
        drawText(0, y, line, BODY_COLOR, ANCHOR_TOP);
        y += 16;
    }
    int lit = 0;
    for (int j = 0; j < y; j++)
        for (int i = 0; i < 320; i++) {
            Uint16 p = pixel(i, j);
            ASSERT_TRUE(p == 0 || p == colour) << "grey pixel at " << i << "," << j;
            lit += p == colour;
        }
    EXPECT_GT(lit, 500);
}

TEST_F(Frame, HeaderClearsTheScreenAndPlacesTitleAndBrand)
{
    SDL_FillRect(screen, nullptr, 0xFFFF);
    drawHeader("VOLTRACE");
    Uint16 yellow = static_cast<Uint16>(
        SDL_MapRGB(screen->format, HEADER_COLOR.r, HEADER_COLOR.g, HEADER_COLOR.b));
    int titleW = 0, brandW = 0, h = 0;
    TTF_SizeText(font, "VOLTRACE", &titleW, &h);
    TTF_SizeText(font, "Vantiro", &brandW, &h);
    for (int j = 0; j < 240; j++)
        for (int i = 0; i < 320; i++) {
            Uint16 p = pixel(i, j);
            bool inTitle = i >= 10 && i < 10 + titleW && j >= 4 && j < 4 + h;
            bool inBrand = i >= 310 - brandW && i < 310 && j >= 4 && j < 4 + h;
            if (inTitle || inBrand)
                ASSERT_TRUE(p == 0 || p == yellow) << i << "," << j;
            else
                ASSERT_EQ(p, 0) << "not black at " << i << "," << j;
        }
    // Capitals stand 7 pixels tall on the baseline, 11 pixels below the box's top.
    Box title = {320, 240, -1, -1};
    for (int j = 0; j < 240; j++)
        for (int i = 0; i < 160; i++)
            if (pixel(i, j)) {
                title.left = std::min(title.left, i);
                title.top = std::min(title.top, j);
                title.bottom = std::max(title.bottom, j);
            }
    EXPECT_EQ(title.left, 10);
    EXPECT_EQ(title.top, 4 + 11 - 7);
    EXPECT_EQ(title.bottom, 4 + 11 - 1);
}

TEST_F(Frame, WaitEventReturnsQueuedEventsInOrder)
{
    hold.unlock();
    SDL_Event e = {};
    e.type = SDL_USEREVENT;
    SDL_PushEvent(&e);
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = SDLK_RETURN;
    SDL_PushEvent(&e);
    SDL_Event got;
    ASSERT_EQ(waitEvent(&got), 1);
    EXPECT_EQ(got.type, SDL_USEREVENT);
    ASSERT_EQ(waitEvent(&got), 1);
    EXPECT_EQ(got.type, SDL_KEYDOWN);
    EXPECT_EQ(got.key.keysym.sym, SDLK_RETURN);
}

// The release steps run twice without closing the font twice (AddressSanitizer would catch
// the double free), and once they ran the screen is no longer granted to any drawing thread.
TEST_F(Frame, ClosingTwiceClosesTheFontOnceAndRefusesTheScreen)
{
    hold.unlock();
    closeApp();
    EXPECT_EQ(font, nullptr);
    closeApp();
    EXPECT_EQ(font, nullptr);
    std::thread drawer([] { EXPECT_FALSE(holdScreen().ownsLock()); });
    drawer.join();
    ASSERT_EQ(startVideo(500, 30), 0);
    EXPECT_TRUE(holdScreen().ownsLock());
}

// A command the kernel reaped itself (SIGCHLD ignored, as a launcher may leave it) has ended:
// its wait says so at once, and never waits out its deadline as if it still ran.
TEST_F(Frame, ACommandNoLongerOurChildHasEnded)
{
    signal(SIGCHLD, SIG_IGN);
    EXPECT_EQ(runCommand("true", 60000), COMMAND_FAILED);
    signal(SIGCHLD, SIG_DFL);
}

// Death tests re-execute the test binary, so the dying child has none of the threads SDL left in
// the parent, and start SDL inside that child.
class FrameDeathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(FrameDeathTest, QuitAppExitsWithItsCode)
{
    EXPECT_EXIT({ startVideo(500, 30); quitApp(0); }, ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT({ startVideo(500, 30); quitApp(3); }, ::testing::ExitedWithCode(3), "");
}

// SIGINT and SIGTERM become quitApp(signal) at the main thread's next wait for an event; a
// second signal does not change the status; SIGSEGV ends at once with 11.
TEST_F(FrameDeathTest, SignalsEndWithTheirNumber)
{
    for (int sig : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                installSignalHandlers();
                startVideo(500, 30);
                kill(getpid(), sig);
                kill(getpid(), SIGTERM);
                SDL_Event event;
                for (;;)
                    waitEvent(&event);
            },
            ::testing::ExitedWithCode(sig), "")
            << sig;
    }
    EXPECT_EXIT(
        {
            installSignalHandlers();
            raise(SIGSEGV);
            for (;;)
                pause();
        },
        ::testing::ExitedWithCode(SIGSEGV), "");
}

// A main thread that never waits for events again still ends, synced, with the signal.
TEST_F(FrameDeathTest, ASignalEndsTheProcessEvenWhenTheMainThreadIsStuck)
{
    EXPECT_EXIT(
        {
            installSignalHandlers();
            startVideo(500, 30);
            kill(getpid(), SIGTERM);
            for (;;)
                pause();
        },
        ::testing::ExitedWithCode(SIGTERM), "");
}

}  // namespace
