// strobel in-process: the steps and clamps against known results and the square-on-screen
// rule, the key-press precedence, the footer and redraw on SDL's dummy driver, and the
// flashing thread watched through its pause seam (colour order, one thread, the quit hook).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <random>
#include <thread>
#include <vector>

#include "strobel.h"

// SDL_Rect lives in the global namespace, so its comparison and printing must too.
static bool operator==(const SDL_Rect &a, const SDL_Rect &b)
{
    return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}

static std::ostream &operator<<(std::ostream &out, const SDL_Rect &r)
{
    return out << "(" << r.x << ", " << r.y << ", " << r.w << " x " << r.h << ")";
}

namespace {

// A key-state array with exactly the given keys down.
struct Held {
    Uint8 state[SDLK_LAST] = {};
    Held(std::initializer_list<SDLKey> down)
    {
        for (SDLKey k : down)
            state[k] = 1;
    }
};

// The rule every key press must leave behind: a square of 1 to 240, wholly on screen.
::testing::AssertionResult squareOnScreen(const SDL_Rect &r)
{
    if (r.w == r.h && r.w >= 1 && r.w <= 240 && r.x >= 0 && r.x + r.w <= 320 && r.y >= 0 &&
        r.y + r.h <= 240)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << r << " is not a square on the screen";
}

// ---- steps and clamps ----

TEST(MoveTarget, EdgeCasesGiveTheirKnownResults)
{
    struct Case {
        const char *what;
        Held held;
        SDL_Rect from, to;
    } cases[] = {
        {"RIGHT from the start", {SDLK_RIGHT}, {156, 116, 8, 8}, {157, 116, 8, 8}},
        {"DOWN from the start", {SDLK_DOWN}, {156, 116, 8, 8}, {156, 117, 8, 8}},
        {"BACKSPACE grows right and down", {SDLK_BACKSPACE}, {156, 116, 8, 8}, {156, 116, 9, 9}},
        {"TAB shrinks toward the top left", {SDLK_TAB}, {156, 116, 8, 8}, {156, 116, 7, 7}},
        {"LEFT at x 0", {SDLK_LEFT}, {0, 50, 8, 8}, {0, 50, 8, 8}},
        {"RIGHT at the right edge", {SDLK_RIGHT}, {312, 50, 8, 8}, {312, 50, 8, 8}},
        {"UP at y 0", {SDLK_UP}, {50, 0, 8, 8}, {50, 0, 8, 8}},
        {"DOWN at the bottom edge", {SDLK_DOWN}, {50, 232, 8, 8}, {50, 232, 8, 8}},
        {"TAB at size 1", {SDLK_TAB}, {10, 10, 1, 1}, {10, 10, 1, 1}},
        {"growth at the right edge pushes left", {SDLK_BACKSPACE}, {316, 20, 4, 4}, {315, 20, 5, 5}},
        {"BACKSPACE at 240, x 80", {SDLK_BACKSPACE}, {80, 0, 240, 240}, {80, 0, 240, 240}},
        {"BACKSPACE at 240, x 0", {SDLK_BACKSPACE}, {0, 0, 240, 240}, {0, 0, 240, 240}},
        {"LEFT held with UP", {SDLK_LEFT, SDLK_UP}, {156, 116, 8, 8}, {155, 115, 8, 8}},
        {"all four directions cancel", {SDLK_LEFT, SDLK_RIGHT, SDLK_UP, SDLK_DOWN},
         {156, 116, 8, 8}, {156, 116, 8, 8}},
        {"both L/R buttons cancel", {SDLK_BACKSPACE, SDLK_TAB}, {156, 116, 8, 8}, {156, 116, 8, 8}},
        {"no key held", {}, {156, 116, 8, 8}, {156, 116, 8, 8}},
        {"a key without meaning", {SDLK_a}, {156, 116, 8, 8}, {156, 116, 8, 8}},
        {"START and SELECT do not move", {SDLK_RETURN, SDLK_ESCAPE}, {156, 116, 8, 8},
         {156, 116, 8, 8}},
        // The clamps bring back rectangles no key press could leave.
        {"empty and off the top left", {}, {-5, -5, 0, 0}, {0, 0, 1, 1}},
        {"larger than the screen", {}, {0, 0, 400, 300}, {0, 0, 240, 240}},
        {"taller than wide", {}, {300, 200, 10, 50}, {300, 200, 10, 10}},
        // w - 1 at 0 wraps to 65535 in the 16-bit width, which clamps to the largest square.
        {"TAB at size 0", {SDLK_TAB}, {10, 10, 0, 0}, {10, 0, 240, 240}},
        // x + 1 at 32767 wraps to -32768 in the 16-bit position, which clamps to 0.
        {"RIGHT at x 32767", {SDLK_RIGHT}, {32767, 0, 8, 8}, {0, 0, 8, 8}},
        {"LEFT at x -32768", {SDLK_LEFT}, {-32768, 0, 8, 8}, {312, 0, 8, 8}},
        // x + w is summed in 32 bits: 32767 + 8 is past the edge, not a negative number.
        {"x 32767", {}, {32767, 32767, 8, 8}, {312, 232, 8, 8}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(moveTarget(c.held.state, c.from), c.to) << c.what;
}

// Any rectangle with any keys held comes out a square on the screen; from a square already
// on screen, each button does exactly its one-pixel step unless an edge or size limit stops it.
TEST(MoveTarget, AlwaysLeavesASquareOnScreenAndStepsByOne)
{
    const SDLKey stepKeys[] = {SDLK_LEFT, SDLK_RIGHT, SDLK_UP, SDLK_DOWN, SDLK_BACKSPACE,
                               SDLK_TAB, SDLK_RETURN, SDLK_ESCAPE, SDLK_a};
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> any16(0, 65535);
    for (int n = 0; n < 200000; n++) {
        Held held({});
        for (SDLKey k : stepKeys)
            held.state[k] = random() & 1;
        SDL_Rect from = {static_cast<Sint16>(any16(random)), static_cast<Sint16>(any16(random)),
                         static_cast<Uint16>(any16(random)), static_cast<Uint16>(any16(random))};
        ASSERT_TRUE(squareOnScreen(moveTarget(held.state, from))) << "from " << from;
    }

    for (int n = 0; n < 20000; n++) {
        int size = 1 + static_cast<int>(random() % 240);
        SDL_Rect from = {static_cast<Sint16>(random() % (321 - size)),
                         static_cast<Sint16>(random() % (241 - size)), static_cast<Uint16>(size),
                         static_cast<Uint16>(size)};
        Held none({});
        ASSERT_EQ(moveTarget(none.state, from), from);

        SDL_Rect r = moveTarget(Held({SDLK_LEFT}).state, from);
        ASSERT_EQ(r, (SDL_Rect{static_cast<Sint16>(std::max(from.x - 1, 0)), from.y, from.w, from.h}));
        r = moveTarget(Held({SDLK_RIGHT}).state, from);
        ASSERT_EQ(r.x, std::min(from.x + 1, 320 - size)) << from;
        ASSERT_EQ(r.y, from.y);
        r = moveTarget(Held({SDLK_UP}).state, from);
        ASSERT_EQ(r.y, std::max(from.y - 1, 0)) << from;
        ASSERT_EQ(r.x, from.x);
        r = moveTarget(Held({SDLK_DOWN}).state, from);
        ASSERT_EQ(r.y, std::min(from.y + 1, 240 - size)) << from;
        ASSERT_EQ(r.w, from.w);

        // Growth keeps the top-left corner unless the square would leave the screen.
        r = moveTarget(Held({SDLK_BACKSPACE}).state, from);
        int grown = std::min(size + 1, 240);
        ASSERT_EQ(r.w, grown) << from;
        ASSERT_EQ(r.x, std::min<int>(from.x, 320 - grown)) << from;
        ASSERT_EQ(r.y, std::min<int>(from.y, 240 - grown)) << from;
        r = moveTarget(Held({SDLK_TAB}).state, from);
        ASSERT_EQ(r, (SDL_Rect{from.x, from.y, static_cast<Uint16>(std::max(size - 1, 1)),
                               static_cast<Uint16>(std::max(size - 1, 1))}));
    }
}

// ---- key-press precedence ----

TEST(DecideKeyPress, StartWinsThenFlashingIgnoresThenSelectLeaves)
{
    struct Case {
        SDLKey key;  // the key of the press handled
        int isFlashing;
        KeyAction action;
        int heldOver = 0;
    } cases[] = {
        {SDLK_RETURN, 0, TOGGLE_FLASHING},
        {SDLK_RETURN, 1, TOGGLE_FLASHING},
        {SDLK_ESCAPE, 1, IGNORE_KEY},
        {SDLK_LEFT, 1, IGNORE_KEY},
        {SDLK_ESCAPE, 0, QUIT},
        {SDLK_LEFT, 0, MOVE_TARGET},
        {SDLK_a, 0, MOVE_TARGET},
        // START and SELECT held since an earlier press (key repeat) act no more; START still wins.
        {SDLK_RETURN, 1, IGNORE_KEY, START_HELD_OVER},
        {SDLK_ESCAPE, 0, IGNORE_KEY, START_HELD_OVER},
        {SDLK_RETURN, 0, TOGGLE_FLASHING, SELECT_HELD_OVER},
        {SDLK_ESCAPE, 0, MOVE_TARGET, SELECT_HELD_OVER},
    };
    int n = 0;
    for (const Case &c : cases) {
        EXPECT_EQ(decideKeyPress(c.key, c.isFlashing, c.heldOver), c.action)
            << "case " << n;
        n++;  // not in the message, which is only formed on a failure
    }
}

TEST(FlashColours, RunRedGreenBlueFromIndexZero)
{
    const int expected[] = {1, 2, 3, 1, 2, 3, 1};
    int i = 0;
    for (int want : expected) {
        i = nextFlashIndex(i);
        EXPECT_EQ(i, want);
    }
    const int rgb[4][3] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    for (int k = 1; k < 4; k++) {
        EXPECT_EQ(FLASH_COLORS[k].r, rgb[k][0]) << k;
        EXPECT_EQ(FLASH_COLORS[k].g, rgb[k][1]) << k;
        EXPECT_EQ(FLASH_COLORS[k].b, rgb[k][2]) << k;
    }
}

// ---- on the dummy screen ----

// RGB 565 values of the colours on the device's 16-bit screen.
const Uint16 RED = 0xF800, GREEN = 0x07E0, BLUE = 0x001F, BLACK = 0x0000;

Uint16 pixel(int x, int y)
{
    return static_cast<Uint16 *>(screen->pixels)[y * screen->pitch / 2 + x];
}

/* what the pause seam saw; under the screen lock */
struct Flash {
    Uint16 topLeft, bottomRight, beyond;  // target corners and the pixel right of it
};
std::vector<Flash> flashes;        // one per period, in order
size_t stopAfter;                  // the pause hook clears flashing after this many
std::atomic<int> pausing{0};       // flashing threads inside their pause right now
std::atomic<int> mostPausing{0};   // the most seen at once
int pauseMs;                       // how long the hook pauses

void recordFlash(void)
{
    {
        ScreenHold hold = holdScreen();
        if (!hold.ownsLock())
            return;
        flashes.push_back({pixel(target.x, target.y),
                           pixel(target.x + target.w - 1, target.y + target.h - 1),
                           pixel(target.x + target.w, target.y)});
        if (stopAfter && flashes.size() >= stopAfter)
            flashing = 0;
    }
    int now = ++pausing;
    int most = mostPausing;
    while (now > most && !mostPausing.compare_exchange_weak(most, now)) {
    }
    SDL_Delay(static_cast<Uint32>(pauseMs));
    --pausing;
}

size_t flashCount(void)
{
    ScreenHold hold = holdScreen();
    return flashes.size();
}

bool waitUntil(const std::function<bool()> &done)
{
    for (int n = 0; n < 500; n++) {
        if (done())
            return true;
        SDL_Delay(10);
    }
    return done();
}

Held testKeys({});

class OnScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!font) {
            ASSERT_EQ(startVideo(200, 3), 0);
        }
        ASSERT_EQ(screen->format->Rmask, 0xF800u);
        stopDrawingThreads = endFlashThread;
        keys = testKeys.state;
        std::fill(std::begin(testKeys.state), std::end(testKeys.state), 0);
        flashPause = recordFlash;
        flashes.clear();
        stopAfter = 0;
        pauseMs = 2;
        mostPausing = 0;
        target = START_TARGET;
        redrawScreen("STROBEL");
    }
    void TearDown() override { endFlashThread(); }

    // A key-down of the first key given, with all of them held; release lets go of every
    // key pressed since the last release, one key-up each.
    std::vector<SDLKey> pressed;
    int press(std::initializer_list<SDLKey> down) { return pressWith(*down.begin(), down); }
    // A key-down of key while the array holds just held: SDL updates the array as it takes
    // events in, so it can already be ahead of the event handled.
    int pressWith(SDLKey key, std::initializer_list<SDLKey> held)
    {
        std::fill(std::begin(testKeys.state), std::end(testKeys.state), 0);
        for (SDLKey k : held)
            testKeys.state[k] = 1;
        SDL_Event e = {};
        e.type = SDL_KEYDOWN;
        e.key.keysym.sym = key;
        pressed.push_back(e.key.keysym.sym);
        return handleEvent(e);
    }
    int release(void)
    {
        std::fill(std::begin(testKeys.state), std::end(testKeys.state), 0);
        int redraw = 0;
        for (SDLKey k : pressed) {
            SDL_Event e = {};
            e.type = SDL_KEYUP;
            e.key.keysym.sym = k;
            redraw = handleEvent(e);
        }
        pressed.clear();
        return redraw;
    }
};

// Every run of flashing, however it was stopped, paints red, green, blue, red, ... over
// exactly the target square.
TEST_F(OnScreen, EveryFlashingRunStartsRedThenGreenThenBlue)
{
    for (size_t runLength : {7u, 2u, 4u}) {
        flashes.clear();
        stopAfter = runLength;
        startFlashing();
        ASSERT_TRUE(waitUntil([] { return flashing == 0; })) << "the run never ended";
        endFlashThread();
        const Uint16 order[] = {RED, GREEN, BLUE};
        ASSERT_EQ(flashes.size(), runLength);
        for (size_t n = 0; n < runLength; n++) {
            EXPECT_EQ(flashes[n].topLeft, order[n % 3]) << "run of " << runLength << ", flash " << n;
            EXPECT_EQ(flashes[n].bottomRight, order[n % 3]) << "flash " << n;
            EXPECT_EQ(flashes[n].beyond, BLACK) << "flash " << n;
        }
    }
}

// START held: key repeat's presses, every few milliseconds with no release between them,
// start flashing once. Stopped and started again far quicker than the stopped thread
// notices its flag (it pauses 30 ms), flashing never has two threads at once.
TEST_F(OnScreen, HeldStartTogglesOnceAndTwoThreadsNeverFlash)
{
    pauseMs = 30;
    for (int n = 0; n < 20; n++) {
        EXPECT_EQ(press({SDLK_RETURN}), 0) << "START redrew";
        EXPECT_EQ(flashing.load(), 1) << "repeat " << n << " toggled";
        SDL_Delay(3);
    }
    release();
    for (int n = 0; n < 20; n++) {
        size_t before = flashCount();
        flashing = 0;
        startFlashing();
        ASSERT_TRUE(waitUntil([&] { return flashCount() > before; }));
        SDL_Delay(3);
    }
    endFlashThread();
    EXPECT_EQ(mostPausing.load(), 1);
}

// The quit hook runs before SDL shuts down: when closeApp returns, the thread has ended
// (not merely been told to), and nothing is filled afterwards.
TEST_F(OnScreen, QuittingEndsTheFlashingThreadBeforeSdlShutsDown)
{
    pauseMs = 30;
    startFlashing();
    ASSERT_TRUE(waitUntil([] { return flashCount() >= 3; }));
    closeApp();
    EXPECT_EQ(pausing.load(), 0) << "the flashing thread outlived the quit";
    EXPECT_EQ(flashing.load(), 0);
    size_t flashed = flashes.size();
    SDL_Delay(100);
    EXPECT_EQ(flashes.size(), flashed);
    ASSERT_EQ(startVideo(200, 3), 0);
}

// The decisions reach the screen: moves redraw, START and ignored presses do not, releases
// always do, and while flashing nothing but START changes anything.
TEST_F(OnScreen, KeyPressesActOnTheTargetOnlyWhileIdle)
{
    EXPECT_EQ(press({SDLK_LEFT, SDLK_UP}), 1);
    EXPECT_EQ(target, (SDL_Rect{155, 115, 8, 8}));
    EXPECT_EQ(press({SDLK_a}), 1) << "a meaningless key still redraws";
    EXPECT_EQ(release(), 1);

    EXPECT_EQ(press({SDLK_RETURN, SDLK_RIGHT}), 0);
    EXPECT_EQ(flashing.load(), 1);
    EXPECT_EQ(target, (SDL_Rect{155, 115, 8, 8})) << "START moved the square";
    EXPECT_EQ(press({SDLK_RIGHT}), 0);
    EXPECT_EQ(press({SDLK_ESCAPE}), 0) << "SELECT while flashing";
    EXPECT_EQ(release(), 1);
    EXPECT_EQ(target, (SDL_Rect{155, 115, 8, 8}));
    EXPECT_EQ(flashing.load(), 1);

    EXPECT_EQ(press({SDLK_RETURN, SDLK_ESCAPE}), 0);
    EXPECT_EQ(flashing.load(), 0);
    EXPECT_EQ(release(), 1);

    SDL_Event quit = {};
    quit.type = SDL_QUIT;
    EXPECT_EQ(handleEvent(quit), 0);
}

// A START tapped while strobel was busy: SDL took the release in with the press, so the
// array says released by the time the press is handled. The press still starts flashing.
TEST_F(OnScreen, AStartTakenInWithItsReleaseStartsFlashing)
{
    EXPECT_EQ(pressWith(SDLK_RETURN, {}), 0);
    EXPECT_EQ(flashing.load(), 1) << "the tap was lost";
    EXPECT_EQ(release(), 1);
}

// LEFT repeating as START goes down: a repeat queued before START's press, handled once the
// array says START is down, moves the square and toggles nothing; START's own press does.
TEST_F(OnScreen, ARepeatHandledAfterStartWentDownDoesNotToggle)
{
    EXPECT_EQ(press({SDLK_LEFT}), 1);
    EXPECT_EQ(pressWith(SDLK_LEFT, {SDLK_LEFT, SDLK_RETURN}), 1);
    EXPECT_EQ(flashing.load(), 0) << "the LEFT repeat toggled flashing";
    EXPECT_EQ(target, (SDL_Rect{154, 116, 8, 8}));
    EXPECT_EQ(pressWith(SDLK_RETURN, {SDLK_LEFT, SDLK_RETURN}), 0);
    EXPECT_EQ(flashing.load(), 1);
}

// SDL starts inside the dying child, which re-executes the test binary.
TEST(Exit, SelectWhileIdleQuitsWithStatusZero)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    EXPECT_EXIT(
        {
            startVideo(200, 3);
            SDL_Event e = {};
            e.type = SDL_KEYDOWN;
            e.key.keysym.sym = SDLK_ESCAPE;
            handleEvent(e);
        },
        ::testing::ExitedWithCode(0), "");
}

// The footer band as drawn by drawFooter matches the texts of each state drawn on their own
// at their places, and nothing else.
TEST_F(OnScreen, FooterShowsTheTextsOfItsState)
{
    auto band = [] {
        std::vector<Uint16> pixels;
        for (int y = 200; y < 240; y++)
            for (int x = 0; x < 320; x++)
                pixels.push_back(pixel(x, y));
        return pixels;
    };
    ScreenHold hold = holdScreen();
    ASSERT_TRUE(hold.ownsLock());
    SDL_Rect whole = {0, 0, 320, 240};

    for (int state : {0, 1}) {
        SDL_FillRect(screen, &whole, 0);
        if (state) {
            drawText(310, 230, "START: Stop", BODY_COLOR, ANCHOR_RIGHT | ANCHOR_MIDDLE);
        } else {
            drawText(310, 230, "START: Start", BODY_COLOR, ANCHOR_RIGHT | ANCHOR_MIDDLE);
            drawText(10, 230, "<^v>: Move    L/R: Size    SELECT: Exit", BODY_COLOR,
                     ANCHOR_LEFT | ANCHOR_MIDDLE);
        }
        std::vector<Uint16> expected = band();
        ASSERT_NE(std::count(expected.begin(), expected.end(), BLACK),
                  static_cast<long>(expected.size()));

        SDL_FillRect(screen, &whole, 0);
        flashing = state;
        drawFooter();
        flashing = 0;
        EXPECT_TRUE(band() == expected) << "footer while flashing is " << state;
    }
}

// A redraw is the black screen with the header, the footer and the grey target; nothing of an
// earlier target or flash colour stays.
TEST_F(OnScreen, RedrawShowsOnlyTheGreyTargetOutsideTheTexts)
{
    {
        ScreenHold hold = holdScreen();
        SDL_Rect old = {10, 30, 50, 50};
        SDL_FillRect(screen, &old, RED);
    }
    target = {100, 40, 20, 20};
    redrawScreen("STROBEL");
    ScreenHold hold = holdScreen();
    Uint16 grey = static_cast<Uint16>(SDL_MapRGB(screen->format, 200, 200, 200));
    for (int y = 20; y < 220; y++)
        for (int x = 0; x < 320; x++) {
            bool inside = x >= 100 && x < 120 && y >= 40 && y < 60;
            ASSERT_EQ(pixel(x, y), inside ? grey : BLACK) << x << "," << y;
        }
}

}  // namespace
