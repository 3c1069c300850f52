// The frame in the real voltrace and strobel binaries on a virtual display: the title on
// standard output, the header on screen, and the exits after SIGTERM and SIGINT with sync;
// and all three programs as a careless launcher starts them: streams closed or broken,
// signals ignored and blocked.
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

struct Case {
    const char *binary;
    const char *title;
};

void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.title;
}

class FrameProgram : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { ASSERT_GE(startDisplay(), 0); }
};

// The header: yellow text in the title's place at the top left and the brand's place right-
// aligned at x 310, nothing else lit in the header band.
bool headerShown(const Screen &s)
{
    int title = countNear(s, 10, 4, 60, 14, 200, 200, 0, 12);
    int brand = countNear(s, 268, 4, 42, 14, 200, 200, 0, 12);
    int beyond = countNear(s, 310, 0, 10, 20, 200, 200, 0, 12);
    return title > 40 && brand > 30 && beyond == 0;
}

TEST_P(FrameProgram, ShowsTheHeaderAndEndsWithTheSignalNumberAfterSync)
{
    for (int sig : {SIGTERM, SIGINT}) {
        std::string dir = makeTempDir();
        Launch options;
        options.home = dir;
        options.env = {"SYNC_LOG=" + dir + "/sync.log"};
        Program p = launch(GetParam().binary, options);
        ASSERT_GT(p.pid, 0) << "no window";
        EXPECT_TRUE(waitForScreen(headerShown, 5000));
        Screen s = capture();
        // The title's capitals are crisp: every lit pixel of the band is the header colour.
        for (int y = 4; y < 18; y++)
            for (int x = 0; x < 320; x++) {
                Rgb c = s.at(x, y);
                ASSERT_TRUE(near(c, 0, 0, 0, 0) || near(c, 200, 200, 0, 12))
                    << x << "," << y << " is " << c.r << "," << c.g << "," << c.b;
            }
        sendSignal(p, sig);
        EXPECT_EQ(waitExit(p, 5000), sig);
        EXPECT_EQ(readOutput(p).rfind(std::string(GetParam().title) + "\n", 0), 0u)
            << readOutput(p);
        EXPECT_NE(readFile(dir + "/sync.log").find("sync"), std::string::npos) << "no sync";
    }
}

TEST_P(FrameProgram, AFailedStartUpNamesWhatFailedAfterTheTitle)
{
    Launch options;
    options.env = {"SDL_VIDEODRIVER=no-such-driver"};
    options.waitForWindow = false;
    Program p = launch(GetParam().binary, options);
    EXPECT_EQ(waitExit(p, 5000), 255);
    std::string out = readOutput(p);
    EXPECT_EQ(out.rfind(std::string(GetParam().title) + "\nCould not initialize SDL: ", 0), 0u)
        << out;
}

INSTANTIATE_TEST_SUITE_P(Programs, FrameProgram,
                         ::testing::Values(Case{VOLTRACE_BIN, "VOLTRACE"},
                                           Case{STROBEL_BIN, "STROBEL"}),
                         [](const ::testing::TestParamInfo<Case> &param) {
                             return std::string(param.param.title);
                         });

// Started with descriptors 0, 1 and 2 closed, or with standard output a pipe whose reader is
// gone, each program runs as usual: the closed ones are /dev/null (never a file, device or
// socket the program opened itself), the rate lines and the title are dropped, and it ends on
// SIGTERM or SELECT with its usual status (framepace's SDL turns SIGTERM into a quit event).
TEST(Launcher, ClosedStreamsOrABrokenPipeChangeNothing)
{
    ASSERT_GE(startDisplay(), 0);
    struct {
        const char *binary;
        int sigtermStatus;
    } programs[] = {{VOLTRACE_BIN, SIGTERM}, {STROBEL_BIN, SIGTERM}, {FRAMEPACE_BIN, 0}};
    for (const auto &program : programs)
        for (Streams streams : {STREAMS_CLOSED, STDOUT_BROKEN_PIPE}) {
            SCOPED_TRACE(std::string(program.binary) + (streams == STREAMS_CLOSED ? " closed"
                                                                                 : " pipe"));
            Launch options;
            options.home = makeTempDir();
            options.streams = streams;
            Program p = launch(program.binary, options);
            ASSERT_GT(p.pid, 0) << "no window";
            pauseMs(2500);  // two of framepace's rate lines
            if (streams == STREAMS_CLOSED) {
                for (int fd = 0; fd <= 2; fd++) {
                    std::string link = "/proc/" + std::to_string(p.pid) + "/fd/";
                    char target[PATH_MAX] = "";
                    EXPECT_GT(readlink((link + char('0' + fd)).c_str(), target, PATH_MAX - 1), 0);
                    EXPECT_STREQ(target, "/dev/null") << "descriptor " << fd;
                }
                sendSignal(p, SIGTERM);
                EXPECT_EQ(waitExit(p, 10000), program.sigtermStatus);
            } else {
                press("Escape");
                EXPECT_EQ(waitExit(p, 5000), 0);
            }
        }
}

// A launcher that leaves SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGPIPE and SIGALRM ignored and
// blocked: each program starts from its own settings. voltrace's commands are waited for
// truly (a finished log's picture is saved, the quit's sync ends), so SELECT leaves at once,
// as it does strobel; framepace still ends on SIGTERM, which SDL makes its quit event.
TEST(Launcher, SignalsLeftIgnoredAndBlockedChangeNothing)
{
    ASSERT_GE(startDisplay(), 0);
    for (const char *binary : {VOLTRACE_BIN, STROBEL_BIN, FRAMEPACE_BIN}) {
        SCOPED_TRACE(binary);
        Launch options;
        options.home = makeTempDir();
        options.carelessSignals = true;
        writeFile(options.home + "/battery0.csv", "0,4200\n60,4100\n");
        Program p = launch(binary, options);
        ASSERT_GT(p.pid, 0) << "no window";
        if (binary == std::string(FRAMEPACE_BIN)) {
            sendSignal(p, SIGTERM);
            EXPECT_EQ(waitExit(p, 5000), 0);
            continue;
        }
        if (binary == std::string(VOLTRACE_BIN)) {
            EXPECT_TRUE(waitFor([&] { return fileExists(options.home + "/battery0.png"); }, 8000))
                << "no picture of the finished log";
        }
        press("Escape");
        EXPECT_EQ(waitExit(p, 2000), 0);
    }
}

}  // namespace
