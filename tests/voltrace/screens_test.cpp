// voltrace's screens and controls in-process: the help, chart and logging screens against
// the texts and colours they must show, the key table in both states, the refusal to log
// without a usable path, and the screenshot: when it runs, and that its path reaches the tool
// unchanged whatever characters HOME holds.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sampler.h"
#include "screens.h"
#include "slots.h"
#include "support.h"

namespace {

using Screens = Voltrace;

SDL_Event keyDown(SDLKey key)
{
    SDL_Event e = {};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = key;
    return e;
}

// A key-down and its key-up; what the key-down returned.
int press(SDLKey key)
{
    SDL_Event e = keyDown(key);
    int rebuild = handleEvent(&e);
    e.type = SDL_KEYUP;
    handleEvent(&e);
    return rebuild;
}

int wake(void)
{
    SDL_Event e = {};
    e.type = SDL_USEREVENT;
    return handleEvent(&e);
}

Frame rebuild(void)
{
    clearFlips();
    redrawScreen("VOLTRACE");
    std::vector<Frame> frames = takeFlips();
    return frames.empty() ? Frame() : frames.back();
}

const int LEFT_MIDDLE = ANCHOR_LEFT | ANCHOR_MIDDLE;

// The logging screen's band: rows 225 to 239 in dark red.
void redBand(SDL_Surface *surface)
{
    SDL_Rect band = {0, 225, 320, 20};
    SDL_FillRect(surface, &band, SDL_MapRGB(surface->format, 150, 0, 0));
}
const int RIGHT_MIDDLE = ANCHOR_RIGHT | ANCHOR_MIDDLE;

TEST_F(Screens, TheHelpScreenNamesTheButtonsAndWhereTheLogGoes)
{
    setenv("HOME", "/h", 1);
    selectSlot(0);
    Frame f = rebuild();
    ASSERT_FALSE(f.px.empty());
    struct Line {
        int y;
        const char *text;
    } lines[] = {
        {34, "LEFT/RIGHT: Select the log file"},
        {50, "START:  Start/stop logging"},
        {66, "SELECT: Exit"},
        {90, "With the battery fully charged start logging"},
        {106, "and let it discharge completely."},
        {122, "The log will be saved in:"},
        {146, "/h/battery0.csv"},
    };
    for (const Line &line : lines)
        EXPECT_TRUE(showsText(f, line.text, 10, line.y, LEFT_MIDDLE)) << line.text;
    EXPECT_TRUE(showsText(f, "SELECT: Exit     START: Start", 310, 230, RIGHT_MIDDLE));
    // The slot line's padding blanks paint nothing, so its visible part is the path.
    EXPECT_TRUE(showsText(f, "< > /h/battery0.csv", 10, 230, LEFT_MIDDLE));
    EXPECT_TRUE(screenshots().empty());
}

// A long home folder would push the slot line under the footer: it loses the path's start
// instead, keeping the file name, and the footer stays whole.
TEST_F(Screens, ALongHomeKeepsTheSlotLineClearOfTheFooterAndShowsTheFileName)
{
    std::string folder = home + "/a-rather-long-folder/for-the-discharge-logs";
    setenv("HOME", folder.c_str(), 1);
    selectSlot(0);
    Frame f = rebuild();
    EXPECT_TRUE(showsText(f, "SELECT: Exit     START: Start", 310, 230, RIGHT_MIDDLE));
    std::string path = csvPath;
    ASSERT_EQ(path, folder + "/battery0.csv");
    size_t shown = std::string::npos;
    for (size_t cut = 1; cut + strlen("battery0.csv") <= path.size() && shown == std::string::npos; cut++)
        if (showsText(f, ("< > ..." + path.substr(cut)).c_str(), 10, 230, LEFT_MIDDLE))
            shown = cut;
    EXPECT_NE(shown, std::string::npos) << "the slot line ends with the file name";
}

// After a log is stopped, the chart screen shows and the screenshot is taken once with the
// slot's PNG path; stepping away and back finds it and takes none.
TEST_F(Screens, TheChartScreenIsPhotographedOncePerLog)
{
    writeText(csvPath, "0,4200\n60,4100\n");
    Frame f = rebuild();
    EXPECT_TRUE(showsText(f, "SELECT: Exit", 310, 230, RIGHT_MIDDLE));
    EXPECT_TRUE(showsText(f, "Value: 4.1 V", 310, 206, RIGHT_MIDDLE));
    ASSERT_EQ(screenshots().size(), 1u);
    EXPECT_EQ(screenshots()[0], std::vector<std::string>{home + "/battery0.tmp"});
    EXPECT_EQ(readText(pngPath), "png\n") << "the draft, under the picture's name";

    rebuild();
    EXPECT_EQ(press(SDLK_RIGHT), 1);
    rebuild();
    EXPECT_EQ(press(SDLK_LEFT), 1);
    rebuild();
    EXPECT_EQ(screenshots().size(), 1u);
}

// A tool that fails leaves no picture and no draft; the chart says so once the frame it was
// to save is past, and the next rebuild tries again.
TEST_F(Screens, AFailedScreenshotIsSaidAndTriedAgainAtTheNextRebuild)
{
    writeText(home + "/fbgrab", "#!/bin/sh\nprintf '%s\\0' \"$#\" \"$@\" >> '" + home +
                                    "/fbgrab.log'\necho half > \"$1\"; exit 1\n");
    writeText(csvPath, "0,4200\n");
    rebuild();
    std::vector<Frame> frames = takeFlips();  // ..., the frame the tool saved, what follows
    ASSERT_GE(frames.size(), 2u);
    const Frame &saved = frames[frames.size() - 2], &after = frames.back();
    const int CENTRE = ANCHOR_CENTER | ANCHOR_MIDDLE;
    EXPECT_FALSE(showsText(saved, "Screenshot tool failed:", 170, 107, CENTRE));
    EXPECT_TRUE(showsText(after, "Screenshot tool failed:", 170, 107, CENTRE));
    EXPECT_TRUE(showsText(after, "the chart's picture could not be saved", 170, 123, CENTRE));
    rebuild();
    EXPECT_EQ(screenshots().size(), 2u);
    EXPECT_FALSE(isRegularFile(pngPath));
    EXPECT_FALSE(isRegularFile((home + "/battery0.tmp").c_str()));
}

TEST_F(Screens, TheLoggingScreenSitsOnARedBand)
{
    setBattery("3900\n");
    ASSERT_EQ(press(SDLK_RETURN), 1);
    ASSERT_TRUE(waitForLog("0,3900\n"));
    Frame f = rebuild();
    stopLogging();
    Uint16 red = static_cast<Uint16>(SDL_MapRGB(screen->format, 150, 0, 0));
    int band = 0;
    for (int y = 225; y < 240; y++)
        for (int x = 0; x < 320; x++)
            band += f.at(x, y) == red;
    EXPECT_GT(band, 320 * 15 - 800) << "all but the texts";
    for (int x = 0; x < 320; x++)
        EXPECT_NE(f.at(x, 224), red) << "the band starts at row 225";
    EXPECT_TRUE(showsText(f, "START: Stop", 310, 230, RIGHT_MIDDLE, redBand));
    EXPECT_TRUE(showsText(f, ("< > " + std::string(csvPath)).c_str(), 10, 230, LEFT_MIDDLE, redBand));
    EXPECT_TRUE(showsText(f, "Value: 3.9 V", 310, 206, RIGHT_MIDDLE)) << "the log's chart";
    EXPECT_TRUE(screenshots().empty()) << "no screenshot while logging";

    // Stopped, the band is gone and the chart screen is photographed.
    f = rebuild();
    EXPECT_EQ(f.at(5, 238), 0);
    EXPECT_TRUE(showsText(f, "SELECT: Exit", 310, 230, RIGHT_MIDDLE));
    EXPECT_EQ(screenshots().size(), 1u);
}

// With no earlier discharge beside the log, the space between the header and the chart stays
// black; with two full ones (their gauge is the sampler test's), the first sample at 3.740 V
// brings the time left there.
TEST_F(Screens, TheLoggingScreenSaysTheTimeLeftFromEarlierDischarges)
{
    setBattery("3740\n");
    ASSERT_EQ(press(SDLK_RETURN), 1);
    ASSERT_TRUE(waitForWake());
    Frame f = rebuild();
    int lit = 0;
    for (int y = 18; y < 43; y++)
        for (int x = 0; x < 320; x++)
            lit += f.at(x, y) != 0;
    EXPECT_EQ(lit, 0);
    press(SDLK_RETURN);

    writeText(home + "/battery1.csv", minuteLog(600, [](int k) { return 4200 - k; }));
    writeText(home + "/battery2.csv", minuteLog(300, [](int k) { return 4000 - 2 * k; }));
    for (int slot = 1; slot <= 3; slot++)
        press(SDLK_RIGHT);
    SDL_Event stale;
    while (SDL_PollEvent(&stale)) {
    }
    ASSERT_EQ(press(SDLK_RETURN), 1);
    ASSERT_TRUE(waitForWake());
    f = rebuild();
    EXPECT_TRUE(showsText(f, "About 3:00:00 left (2 earlier logs)", 10, 30, LEFT_MIDDLE));
}

// The key table in both states. While logging only START acts; SELECT and END would end the
// program (their exit is checked on the real binary).
TEST_F(Screens, KeysActByStateAndTheRestAreIgnored)
{
    setBattery("4000\n");
    EXPECT_EQ(press(SDLK_LEFT), 0) << "no slot below 0";
    EXPECT_EQ(wake(), 0) << "a wake-up while not logging";
    EXPECT_EQ(press(SDLK_a), 0);
    EXPECT_EQ(press(SDLK_UP), 0);

    EXPECT_EQ(press(SDLK_RETURN), 1);
    EXPECT_EQ(logging.load(), 1);
    EXPECT_EQ(readText(backlight), "100\n");
    EXPECT_TRUE(waitForLog("0,4000\n"));
    for (SDLKey key : {SDLK_ESCAPE, SDLK_END, SDLK_LEFT, SDLK_RIGHT, SDLK_TAB, SDLK_BACKSPACE})
        EXPECT_EQ(press(key), 0) << key;
    EXPECT_EQ(slotIndex, 0);
    EXPECT_EQ(logging.load(), 1);
    EXPECT_EQ(wake(), 1) << "a new sample while logging";
    SDL_Event up = keyDown(SDLK_RETURN);
    up.type = SDL_KEYUP;
    EXPECT_EQ(handleEvent(&up), 0);
    EXPECT_EQ(logging.load(), 1);

    EXPECT_EQ(press(SDLK_RETURN), 1);
    EXPECT_EQ(logging.load(), 0);

    // START on a slot whose log exists neither starts a log nor touches the backlight.
    remove(backlight.c_str());
    EXPECT_EQ(press(SDLK_RETURN), 0);
    EXPECT_EQ(logging.load(), 0);
    EXPECT_FALSE(isRegularFile(backlight.c_str()));
    EXPECT_EQ(readText(csvPath), "0,4000\n");

    EXPECT_EQ(press(SDLK_RIGHT), 1);
    EXPECT_EQ(slotIndex, 1);
    EXPECT_EQ(press(SDLK_LEFT), 1);
    EXPECT_EQ(slotIndex, 0);
}

// Without a usable log path nothing is started, and the help screen says why.
TEST_F(Screens, NoLogIsStartedWithoutAUsablePath)
{
    setenv("HOME", ("/" + std::string(4090, 'h')).c_str(), 1);
    selectSlot(0);
    EXPECT_EQ(press(SDLK_RETURN), 0);
    EXPECT_EQ(logging.load(), 0);
    EXPECT_FALSE(isRegularFile(backlight.c_str()));
    Frame f = rebuild();
    EXPECT_TRUE(showsText(f, "No log can be kept:", 10, 122, LEFT_MIDDLE));
    EXPECT_TRUE(showsText(f, "HOME is too long for a log path", 10, 146, LEFT_MIDDLE));
    EXPECT_TRUE(showsText(f, "SELECT: Exit", 310, 230, RIGHT_MIDDLE)) << "START not offered";
    EXPECT_EQ(countWhite(f, 136, 223, 100, 14), 0);
    EXPECT_TRUE(showsText(f, "< > (no log path)", 10, 230, LEFT_MIDDLE));
    EXPECT_TRUE(screenshots().empty());
}

// A long HOME that still fits is shown cut at the screen's edge, not rendered whole: SDL 1.2
// cannot make a surface that wide.
TEST_F(Screens, ALongHomeIsDrawnCutShort)
{
    std::string deep = home;
    while (deep.size() < 3000) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    setenv("HOME", deep.c_str(), 1);
    selectSlot(0);
    Frame f = rebuild();
    std::string shown = deep.substr(0, 52);
    EXPECT_TRUE(showsText(f, shown.c_str(), 10, 146, LEFT_MIDDLE));

    writeText(csvPath, "0,4000\n");
    rebuild();
    ASSERT_EQ(screenshots().size(), 1u);
    EXPECT_EQ(screenshots()[0][0], deep + "/battery0.tmp");
}

// Each hostile name reaches the tool as its one argument, byte for byte, and runs nothing.
TEST_F(Screens, TheScreenshotPathIsNeverShellText)
{
    ASSERT_EQ(chdir(home.c_str()), 0);  // where an injected "touch pwned" would leave its mark
    const char *names[] = {
        "a b",          "it's",         "x;touch pwned", "$(touch pwned)", "`touch pwned`",
        "\"quoted\"",   "new\nline",    "*",             "back\\slash",    "'; touch pwned; '",
        "$HOME",        "a&&touch pwned|", "100%",       "-dash",          "~",
    };
    size_t expected = 0;
    for (const char *name : names) {
        std::string folder = home + "/" + name;
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << name;
        setenv("HOME", folder.c_str(), 1);
        selectSlot(0);
        writeText(csvPath, "0,4000\n");
        rebuild();
        expected++;
        auto calls = screenshots();
        ASSERT_EQ(calls.size(), expected) << name;
        EXPECT_EQ(calls.back(), std::vector<std::string>{folder + "/battery0.tmp"}) << name;
        EXPECT_EQ(isRegularFile(pngPath), 1) << name;
    }
    struct stat st;
    EXPECT_NE(stat((home + "/pwned").c_str(), &st), 0) << "a name ran as a command";
}

TEST(ScreenshotCommand, QuotesThePathAndRefusesToCut)
{
    screenshotTool = "fbgrab";
    char command[64];
    ASSERT_EQ(screenshotCommand(command, sizeof command, "/home/u/battery3.png"), 1);
    EXPECT_STREQ(command, "fbgrab '/home/u/battery3.png'");
    ASSERT_EQ(screenshotCommand(command, sizeof command, "/h/it's/b.png"), 1);
    EXPECT_STREQ(command, "fbgrab '/h/it'\\''s/b.png'");
    // One byte short of the whole command: nothing, rather than a command cut mid-quote.
    const char *fits = "fbgrab '/h/it'\\''s/b.png'";
    EXPECT_EQ(screenshotCommand(command, strlen(fits), "/h/it's/b.png"), 0);
    EXPECT_STREQ(command, "");
}

}  // namespace
