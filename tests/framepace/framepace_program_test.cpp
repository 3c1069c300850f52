// The real framepace on the virtual display: the moving pattern on screen, one rate line per
// second and nothing else on standard output, SELECT ends it with status 0; a display that
// cannot be opened ends it with 255 and a line naming what failed.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "harness.h"

namespace {

// Below the label's rate and frames lines (17 px each at point size 10; a PC's window gives
// no frame buffer refresh, so no third line): red at its maximum everywhere, green rising
// one step per column with a wrap every 64 columns, blue rising one step per row with a wrap
// every 32 rows (565 display, channels read back widened to 8 bits).
bool patternShown(const Screen &s)
{
    for (int y = 34; y < 240; y++) {
        int rises = 0;
        for (int x = 0; x < 320; x++) {
            Rgb c = s.at(x, y);
            if (c.r < 240 || abs(c.b - (y % 32) * 255 / 31) > 6)
                return false;
            if (x + 1 < 320) {
                int step = s.at(x + 1, y).g - c.g;
                rises += step >= 2 && step <= 6;
            }
        }
        // 319 neighbours, of which at most 5 are a wrap from the top of the ramp to 0.
        if (rises < 314)
            return false;
    }
    return true;
}

TEST(FramepaceProgram, ShowsThePatternPrintsTheRateAndEndsOnSelect)
{
    ASSERT_GE(startDisplay(), 0);
    Program p = launch(FRAMEPACE_BIN, Launch());
    ASSERT_GT(p.pid, 0) << "no window";
    const std::regex twoLines("([0-9]+\\.[0-9]{2}fps\n){2,}");
    EXPECT_TRUE(waitFor([&] { return std::regex_match(readOutput(p), twoLines); }, 6000))
        << readOutput(p);
    EXPECT_TRUE(waitForScreen(patternShown, 3000));
    press("Escape");
    EXPECT_EQ(waitExit(p, 5000), 0);
    const std::string out = readOutput(p);
    EXPECT_TRUE(std::regex_match(out, twoLines)) << out;
}

TEST(FramepaceProgram, AFailedStartUpNamesWhatFailed)
{
    ASSERT_GE(startDisplay(), 0);
    Launch options;
    options.env = {"SDL_VIDEODRIVER=no-such-driver"};
    options.waitForWindow = false;
    Program p = launch(FRAMEPACE_BIN, options);
    EXPECT_EQ(waitExit(p, 5000), 255);
    const std::string out = readOutput(p);
    EXPECT_TRUE(std::regex_match(out, std::regex("failed to SDL_Init: [^\n]+\n"))) << out;
}

}  // namespace
