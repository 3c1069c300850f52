// framepace in-process: the pattern against the known 565 values and against its closed form
// on other formats, pitches and widths; the rate meter's texts; a window's frame figures, the
// frame buffer's refresh and the verdict; the label kept across frames; one frame of the
// loop; handleEvents. Runs on SDL's dummy video driver.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include <linux/fb.h>

#include "framepace.h"
#include "startup.h"

namespace {

struct Format {
    const char *name;
    Uint32 r, g, b;
};
const Format RGB565 = {"565", 0xF800, 0x07E0, 0x001F};
const Format RGB555 = {"555", 0x7C00, 0x03E0, 0x001F};
const Format BGR565 = {"blue high", 0x001F, 0x07E0, 0xF800};
const Format RGB444 = {"444, green at bit 4", 0x0F00, 0x00F0, 0x000F};

// A surface over memory the test owns, so the bytes around the pixels can be watched: rows of
// `pitch` bytes, with guard bytes after the last row.
struct Canvas {
    std::vector<Uint8> memory;
    SDL_Surface *surface = nullptr;
    Canvas(const Format &f, int w, int h, int pitch)
        : memory(static_cast<size_t>(pitch * (h > 0 ? h : 1) + 64), 0xA5)
    {
        surface = SDL_CreateRGBSurfaceFrom(memory.data(), w, h, 16, pitch, f.r, f.g, f.b, 0);
    }
    ~Canvas() { SDL_FreeSurface(surface); }
};

Pixel pixelAt(const SDL_Surface *s, int x, int y)
{
    Pixel p;
    memcpy(&p, static_cast<const Uint8 *>(s->pixels) + y * s->pitch + 2 * x, sizeof p);
    return p;
}

// The pattern's defining rule, taken modulo 2^16.
Pixel closedForm(const SDL_PixelFormat *f, int x, int y, Uint32 s)
{
    Uint64 blue = static_cast<Uint64>(y) << f->Bshift;
    Uint64 green = static_cast<Uint64>(s + static_cast<Uint32>(x)) << f->Gshift;
    return static_cast<Pixel>(f->Rmask | (f->Bmask & blue) | (f->Gmask & green));
}

// Paints with step s and checks every pixel against the closed form and every byte that is
// not a pixel (row padding, guard bytes) against the fill.
void expectPaintedExactly(Canvas &c, Uint32 s)
{
    animationStep = s;
    paint(c.surface);
    EXPECT_EQ(animationStep, s + 1);
    const SDL_Surface *surf = c.surface;
    const Uint8 *first = static_cast<const Uint8 *>(surf->pixels);
    for (size_t i = 0; i < c.memory.size(); i++) {
        ptrdiff_t at = &c.memory[i] - first;
        ptrdiff_t row = at >= 0 ? at / surf->pitch : -1;
        ptrdiff_t column = at >= 0 ? at % surf->pitch / 2 : -1;
        bool isPixel = row >= 0 && row < surf->h && column < surf->w;
        if (isPixel) {
            int x = static_cast<int>(column), y = static_cast<int>(row);
            ASSERT_EQ(pixelAt(surf, x, y), closedForm(surf->format, x, y, s))
                << "column " << column << " row " << row << " step " << s;
        } else {
            ASSERT_EQ(c.memory[i], 0xA5) << "byte " << at << " past the pixels was written";
        }
    }
}

TEST(Pattern, GivesTheKnown565ValuesAndMovesOneColumnLeftPerCall)
{
    Canvas c(RGB565, 320, 240, 640);
    animationStep = 0;
    paint(c.surface);
    const struct {
        int x, y;
        Pixel want;
    } firstCall[] = {{0, 0, 0xF800},  {1, 0, 0xF820},  {63, 0, 0xFFE0},    {64, 0, 0xF800},
                     {0, 31, 0xF81F}, {0, 32, 0xF800}, {319, 239, 0xFFEF}};
    for (const auto &t : firstCall)
        EXPECT_EQ(pixelAt(c.surface, t.x, t.y), t.want) << t.x << "," << t.y;

    std::vector<Pixel> before(320 * 240);
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++)
            before[y * 320 + x] = pixelAt(c.surface, x, y);
    paint(c.surface);
    EXPECT_EQ(animationStep, 2u);
    EXPECT_EQ(pixelAt(c.surface, 0, 0), 0xF820);
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 319; x++)
            ASSERT_EQ(pixelAt(c.surface, x, y), before[y * 320 + x + 1]) << x << "," << y;
}

// The device is little-endian and its display reads the lower address as the left pixel; a
// pair put the wrong way round swaps every two columns of the ramp.
TEST(Pattern, PutsTheLeftPixelInTheLowHalfOfEachWordOnLittleEndianMemory)
{
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
    Canvas c(RGB565, 4, 1, 8);
    animationStep = 0;
    paint(c.surface);
    const Uint8 *bytes = static_cast<const Uint8 *>(c.surface->pixels);
    const Uint8 want[] = {0x00, 0xF8, 0x20, 0xF8, 0x40, 0xF8, 0x60, 0xF8};
    EXPECT_EQ(0, memcmp(bytes, want, sizeof want));
    Uint32 word;
    memcpy(&word, bytes, sizeof word);
    EXPECT_EQ(word & 0xFFFF, 0xF800u);
    EXPECT_EQ(word >> 16, 0xF820u);
#else
    GTEST_SKIP() << "big-endian host";
#endif
}

TEST(Pattern, FollowsTheClosedFormForAny16BitFormat)
{
    for (const Format &f : {RGB565, RGB555, BGR565, RGB444}) {
        SCOPED_TRACE(f.name);
        Canvas c(f, 320, 69, 640);  // an odd last row goes alone
        // 0xFFFFFFFF: the step wraps to 0 after this call with no break in the pattern.
        for (Uint32 s : {0u, 1u, 63u, 1000u, 0x12345u, 0xFFFFFFFFu})
            expectPaintedExactly(c, s);
    }
    // What the closed form means for each field, checked once from the pixels themselves.
    Canvas c555(RGB555, 320, 40, 640);
    animationStep = 7;
    paint(c555.surface);
    EXPECT_EQ((pixelAt(c555.surface, 30, 3) >> 5) & 31, 37 % 32);
    EXPECT_EQ(pixelAt(c555.surface, 30, 3) >> 10, 31);
    Canvas bgr(BGR565, 320, 40, 640);
    animationStep = 0;
    paint(bgr.surface);
    EXPECT_EQ(pixelAt(bgr.surface, 5, 33) >> 11, 1);
    EXPECT_EQ(pixelAt(bgr.surface, 5, 33) & 31, 31);
}

TEST(Pattern, WritesEachRowAtItsPitchAndLeavesEveryOtherByteAlone)
{
    Canvas padded(RGB565, 320, 6, 648);
    expectPaintedExactly(padded, 5);
}

TEST(Pattern, PaintsAnOddLastColumnAloneAndNothingPastIt)
{
    for (int width : {1, 3, 7}) {
        SCOPED_TRACE(width);
        Canvas c(RGB565, width, 3, 2 * width + 2);
        expectPaintedExactly(c, 3);
    }
}

TEST(Pattern, AnEmptySurfaceIsLeftAloneButTheStepStillGrows)
{
    Canvas noRows(RGB565, 320, 0, 640);
    expectPaintedExactly(noRows, 41);
    Canvas noColumns(RGB565, 0, 4, 8);
    expectPaintedExactly(noColumns, 41);
}

TEST(RateMeter, ClosesAtOneSecondAndWritesTheRateWithTwoDecimals)
{
    const struct {
        Uint32 start, now;
        int frames;
        const char *text;  // null: the window stays open
    } cases[] = {
        {5000, 6000, 60, "60.00fps"},
        {0, 1001, 60, "59.94fps"},
        {0, 1200, 6, "5.00fps"},           // no leading blank below 10
        {300, 1299, 60, nullptr},          // 999 ms
        {0, 1000, 0, "0.00fps"},
        {0, 1000, 123456, "123456.00fps"},
        // The tick counter wraps inside the window: 500 ms before and 500 ms after.
        {0xFFFFFFFFu - 499, 500, 60, "60.00fps"},
        {0xFFFFFF00u, 0x100, 60, nullptr},  // 512 ms across the wrap
    };
    for (const auto &t : cases) {
        char text[100] = "unchanged";
        float fps = -1.0f;
        int closed = measureRate(t.start, t.now, t.frames, &fps, text, sizeof text);
        SCOPED_TRACE(std::to_string(t.start) + " to " + std::to_string(t.now));
        if (t.text) {
            EXPECT_EQ(closed, 1);
            EXPECT_STREQ(text, t.text);
            EXPECT_GE(fps, 0.0f);
        } else {
            EXPECT_EQ(closed, 0);
            EXPECT_STREQ(text, "unchanged");
            EXPECT_EQ(fps, -1.0f);
        }
    }
}

// One hitch among even frames gives its worst, median, 1 % low (the slowest, of fewer than a
// hundred) and one late; a busy machine's spread of 2/5 none. Of a thousand, the 1 % low is
// the tenth slowest.
TEST(Pacing, AWindowGivesItsWorstFrameMedianLateFramesAndOnePercentLow)
{
    static FrameTimes t;
    const Uint64 ms = 1000000, frame = 16683333;  // 59.94 Hz
    auto figures = [&](std::vector<std::pair<int, Uint64>> frames) {
        clearFrames(&t);
        for (auto [times, ns] : frames)
            for (int i = 0; i < times; i++)
                addFrame(&t, ns);
        return frameFigures(&t);
    };
    FrameFigures f = figures({{30, frame}, {1, 50 * ms}, {29, frame}});
    EXPECT_EQ(f.worst, 50 * ms);
    EXPECT_EQ(f.median, frame);
    EXPECT_EQ(f.onePercentLow, 50 * ms);
    EXPECT_EQ(f.late, 1u);
    f = figures({{30, 14 * ms}, {30, 20 * ms}});
    EXPECT_EQ(f.median, 14 * ms);
    EXPECT_EQ(f.late, 0u);
    f = figures({{990, frame}, {9, 40 * ms}, {1, 30 * ms}});
    EXPECT_EQ(f.onePercentLow, 30 * ms);
    EXPECT_EQ(f.late, 10u);
}

fb_var_screeninfo mode;  // what the stand-in frame buffer gives
std::string asked;       // the device it was asked for

// The emulated handheld's modes: 59.47 Hz before SDL, 75.14 Hz double-scanned once SDL has
// set its own; the same timing double-scanned is half, interlaced twice; no pixel clock, no
// frame buffer (a PC's window) or one that cannot be read give nothing. Then the verdicts.
TEST(Pacing, TheFrameBuffersTimingGivesItsRefreshAndTheVerdict)
{
    readScreenInfo = [](const char *path, fb_var_screeninfo *info) {
        asked = path;
        *info = mode;
        return 0;
    };
    auto refresh = [](Uint32 pixclock, std::vector<Uint32> margins, Uint32 vmode) {
        mode.xres = 320, mode.yres = 240, mode.pixclock = pixclock, mode.vmode = vmode;
        mode.left_margin = margins[0], mode.right_margin = margins[1];
        mode.upper_margin = margins[2], mode.lower_margin = margins[3];
        mode.hsync_len = margins[4], mode.vsync_len = margins[5];
        return frameBufferRefresh("fbcon");
    };
    unsetenv("SDL_FBDEV");
    EXPECT_NEAR(refresh(153846, {56, 24, 6, 3, 32, 4}, 0), 59.47, 0.01);
    EXPECT_EQ(asked, "/dev/fb0");
    EXPECT_NEAR(refresh(153846, {56, 24, 6, 3, 32, 4}, FB_VMODE_DOUBLE), 59.47 / 2, 0.01);
    EXPECT_NEAR(refresh(153846, {56, 24, 6, 3, 32, 4}, FB_VMODE_INTERLACED), 59.47 * 2, 0.02);
    setenv("SDL_FBDEV", "/dev/fb1", 1);
    EXPECT_NEAR(refresh(63492, {16, 16, 16, 4, 48, 2}, FB_VMODE_DOUBLE), 75.14, 0.01);
    EXPECT_EQ(asked, "/dev/fb1");
    EXPECT_EQ(frameBufferRefresh("x11"), 0.0f);
    EXPECT_EQ(refresh(0, {16, 16, 16, 4, 48, 2}, FB_VMODE_DOUBLE), 0.0f);
    readScreenInfo = [](const char *, fb_var_screeninfo *) { return -1; };
    EXPECT_EQ(frameBufferRefresh("fbcon"), 0.0f);
    unsetenv("SDL_FBDEV");

    const struct { float refresh; Uint64 median; const char *text; } verdicts[] = {
        {60, 16666667, "fb 60.0 Hz: paced"},
        {60, 16400000, "fb 60.0 Hz: paced"},  // 1.6 % fast: still the refresh's
        {60, 33333333, "fb 60.0 Hz: paced, a frame every 2 refreshes"},
        {60, 16200000, "fb 60.0 Hz: not paced, ~1.0 frames a refresh"},  // 2.9 % fast
        {60, 25000000, "fb 60.0 Hz: not paced, ~0.7 frames a refresh"},
        {75.14f, 61000, "fb 75.1 Hz: not paced, ~218 frames a refresh"},
        {0, 16666667, ""},
    };
    for (const auto &v : verdicts) {
        char text[100] = "unchanged";
        describePacing(v.refresh, v.median, text, sizeof text);
        EXPECT_STREQ(text, v.text) << v.median << " ns at " << v.refresh << " Hz";
    }
}

// The video, font and event queue the program uses, on the dummy driver.
class Loop : public ::testing::Test {
protected:
    static SDL_Surface *screen;
    static void SetUpTestSuite()
    {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(startUp(FRAMEPACE_START, &screen, &rw, &font), 0);
    }
    static void TearDownTestSuite()
    {
        for (int i = 0; i < LABEL_LINES; i++)
            setLabel(i, "");
        TTF_CloseFont(font);
        font = nullptr;
        SDL_Quit();
        TTF_Quit();
    }
    void SetUp() override
    {
        for (int i = 0; i < LABEL_LINES; i++)
            setLabel(i, "");
        running = true;
        SDL_Event e;
        while (SDL_PollEvent(&e)) {
        }
    }
    // A copy of the screen's pixels, row by row.
    static std::vector<Pixel> pixels(SDL_Surface *s)
    {
        std::vector<Pixel> out;
        for (int y = 0; y < s->h; y++)
            for (int x = 0; x < s->w; x++)
                out.push_back(pixelAt(s, x, y));
        return out;
    }
    // The surface as it would look with the lines rendered afresh and blitted one under the
    // other, as on every frame of a loop that renders each frame.
    static std::vector<Pixel> withFreshText(SDL_Surface *onto, const char *const *lines)
    {
        SDL_Surface *copy = SDL_ConvertSurface(onto, onto->format, SDL_SWSURFACE);
        for (int i = 0; i < LABEL_LINES; i++) {
            SDL_Surface *msg = TTF_RenderText_Blended(font, lines[i], SDL_Color{0, 0, 0, 0});
            EXPECT_NE(msg, nullptr);
            SDL_Rect at = {0, static_cast<Sint16>(i * TTF_FontLineSkip(font)), 0, 0};
            SDL_BlitSurface(msg, nullptr, copy, &at);
            SDL_FreeSurface(msg);
        }
        std::vector<Pixel> out = pixels(copy);
        SDL_FreeSurface(copy);
        return out;
    }
};
SDL_Surface *Loop::screen = nullptr;

// The label is blended once per phase of the pattern and copied on later frames of that
// phase; every frame must still look as if the text had been rendered and blitted afresh.
// Formats whose green ramp repeats every 64 and 32 steps, one that repeats only every 256
// (blended every frame), the step wrapping around, and the lines changing on the way, one
// as wide as the screen.
TEST_F(Loop, EveryFrameShowsWhatRenderingTheLabelAfreshWouldShow)
{
    const Format longRamp = {"green ramp of 256", 0xF000, 0x0FF0, 0x000F};
    for (const Format &f : {RGB565, RGB555, longRamp}) {
        SCOPED_TRACE(f.name);
        SDL_Surface *target = SDL_CreateRGBSurface(SDL_SWSURFACE, 320, 60, 16, f.r, f.g, f.b, 0);
        ASSERT_NE(target, nullptr);
        paint(target);
        std::vector<Pixel> bare = pixels(target);
        drawLabel(target);
        EXPECT_EQ(pixels(target), bare) << "a label before the first window closed";

        animationStep = 0xFFFFFFFFu - 70;
        const char *text[LABEL_LINES] = {"59.94fps", "worst 50.0 ms, 1 late",
                                         "fb 75.1 Hz: not paced, ~218 frames a refresh"};
        for (int i = 0; i < LABEL_LINES; i++)
            setLabel(i, text[i]);
        EXPECT_STREQ(buf, text[0]);
        for (int frame = 0; frame < 300; frame++) {
            if (frame == 150) {
                setLabel(0, "59.94fps");  // unchanged: kept
                text[0] = "59.49fps";     // the same box, other glyphs
                setLabel(0, text[0]);
                text[1] = "worst 9.9 ms, 12 late";
                setLabel(1, text[1]);
            }
            if (frame == 250) {
                text[0] = "1234.50fps";
                setLabel(0, text[0]);
                text[2] = "fb 60.0 Hz: paced";
                setLabel(2, text[2]);
            }
            paint(target);
            std::vector<Pixel> want = withFreshText(target, text);
            ASSERT_NE(want, pixels(target));
            drawLabel(target);
            ASSERT_EQ(pixels(target), want) << "frame " << frame;
        }
        for (int i = 0; i < LABEL_LINES; i++)
            setLabel(i, "");
        SDL_FreeSurface(target);
    }
}

TEST_F(Loop, AFrameShowsThePatternAndClosesItsWindowAfterOneSecond)
{
    FILE *lines = tmpfile();
    ASSERT_NE(lines, nullptr);
    static RateMeter meter;
    startMeter(&meter, 0);
    animationStep = 0;
    ASSERT_EQ(runFrame(screen, &meter, lines), 0);
    EXPECT_EQ(meter.frameCount, 1);
    EXPECT_EQ(animationStep, 1u);
    EXPECT_EQ(pixelAt(screen, 319, 239), 0xFFEF);
    EXPECT_EQ(pixelAt(screen, 0, 0), 0xF800) << "no label before the first window closes";
    EXPECT_EQ(ftell(lines), 0);

    // 300 frames over five seconds and however long this frame takes (a sanitizer build on a
    // busy machine takes tens of milliseconds); the start lies before the tick counter's zero
    // when the process is younger than that, which the unsigned difference covers.
    Uint32 before = SDL_GetTicks();
    meter.start = before - 5000;
    meter.frameCount = 299;
    ASSERT_EQ(runFrame(screen, &meter, lines), 0);
    Uint32 after = SDL_GetTicks();
    EXPECT_EQ(meter.frameCount, 0);
    EXPECT_GE(meter.start, before);
    rewind(lines);
    char line[100] = "";
    ASSERT_NE(fgets(line, sizeof line, lines), nullptr);
    EXPECT_TRUE(std::regex_match(line, std::regex("[0-9]+\\.[0-9][0-9]fps\n"))) << line;
    float shown = strtof(line, nullptr);
    EXPECT_LE(shown, 60.0f) << line;
    EXPECT_GE(shown, 300.0f / ((after - before + 5000) * 0.001f) - 0.01f) << line;
    EXPECT_EQ(std::string(buf) + "\n", line);
    // Step 1: one column left of where the first frame had it.
    EXPECT_EQ(pixelAt(screen, 318, 239), 0xFFEF);
    fclose(lines);
}

TEST_F(Loop, HandleEventsTakesEveryEventAndStopsOnlyOnSelectOrQuit)
{
    auto push = [](Uint8 type, SDLKey sym) {
        SDL_Event e;
        memset(&e, 0, sizeof e);
        e.type = type;
        e.key.keysym.sym = sym;
        ASSERT_EQ(SDL_PushEvent(&e), 0);
    };
    auto queueEmpty = [] {
        SDL_Event e;
        return SDL_PollEvent(&e) == 0;
    };
    // START, the d-pad, L/R and the release of SELECT are not SELECT.
    for (SDLKey sym : {SDLK_RETURN, SDLK_LEFT, SDLK_UP, SDLK_TAB, SDLK_BACKSPACE})
        push(SDL_KEYDOWN, sym);
    push(SDL_KEYUP, SDLK_ESCAPE);
    push(SDL_USEREVENT, SDLK_UNKNOWN);
    handleEvents();
    EXPECT_TRUE(running);
    EXPECT_TRUE(queueEmpty());

    // SELECT in the middle of a burst: the rest is still taken in the same call.
    push(SDL_KEYDOWN, SDLK_RETURN);
    push(SDL_KEYDOWN, SDLK_ESCAPE);
    push(SDL_KEYDOWN, SDLK_LEFT);
    handleEvents();
    EXPECT_FALSE(running);
    EXPECT_TRUE(queueEmpty());

    running = true;
    push(SDL_QUIT, SDLK_UNKNOWN);
    handleEvents();
    EXPECT_FALSE(running);
}

}  // namespace
