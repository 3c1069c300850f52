// Hostile HOME values for voltrace: shell syntax of every kind, a newline, a leading '-',
// empty, unset, a path that just fits the 4096-byte arrays, one byte more, and 5000 bytes.
// No command hidden in HOME may run, no buffer may overrun (the asan-ubsan build turns that
// into status 66), and the screenshot lands at the exact path or cleanly not at all; the
// program still shows a screen and leaves with status 0 on SELECT.
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "support.h"

namespace {

const int PATH_ARRAY = 4096;  // bytes of voltrace's path arrays, the terminating NUL included
const std::string LOG_NAME = "/battery0.csv";  // slot 0's log, relative to HOME

struct Hostile {
    std::string name;
    std::string home;      // the value of HOME, as set
    bool set = true;       // false: HOME unset
    std::string folder;    // where HOME leads from the test's folder; empty: nowhere
    bool withLog = false;  // slot 0 holds a log, so a screenshot is due at start
};

void makeFolders(const std::string &path)
{
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            ADD_FAILURE() << "mkdir " << prefix.size() << " bytes: " << strerror(errno);
        if (slash == std::string::npos)
            return;
    }
}

// A folder under base whose own path is exactly length bytes long, made of names short
// enough for the file system.
std::string folderOfLength(const std::string &base, size_t length)
{
    std::string path = base;
    while (path.size() < length) {
        size_t segment = std::min<size_t>(200, length - path.size() - 1);
        if (segment == 0) {  // one byte short: widen the last name instead of adding "/"
            path += "e";
            break;
        }
        path += "/" + std::string(segment, 'd');
    }
    return path;
}

size_t filesUnder(const std::string &folder)
{
    std::string cmd = "find '" + folder + "' -type f -printf x 2>/dev/null | wc -c";
    FILE *p = popen(cmd.c_str(), "r");
    unsigned long n = 0;
    if (p) {
        if (fscanf(p, "%lu", &n) != 1)
            n = 0;
        pclose(p);
    }
    return n;
}

TEST(HostileEnvironment, HomeNeverRunsOverrunsOrMisplacesTheScreenshot)
{
    ASSERT_GE(startDisplay(), 0);
    std::string base = makeTempDir();
    std::string marker = "/tmp/vantiro-pwned-" + std::to_string(getpid());
    const struct passwd *user = getpwuid(getuid());
    std::string passwdHome = user && user->pw_dir ? user->pw_dir : "";

    std::vector<Hostile> cases = {
        {"blanks", base + "/my logs/a  b c", true, "", true},
        {"quotes", base + "/it's \"quoted\" 'twice'", true, "", true},
        {"semicolon", base + "/x;touch " + marker + "-semicolon;y", true, "", true},
        {"command substitution", base + "/$(touch " + marker + "-dollar)", true, "", true},
        {"backquotes", base + "/`touch " + marker + "-backquote`", true, "", true},
        {"newline", base + "/first\nsecond;touch " + marker + "-newline", true, "", true},
        {"pipes and globs", base + "/a|touch " + marker + "-pipe&b*?[c]>d<e\\", true, "", true},
        {"leading dash", "-rf logs", true, base + "/-rf logs", true},
        {"log path of 4095 bytes", "", true, "", true},
        {"log path of 4096 bytes", "", true, "", false},
        {"5000 bytes", "/tmp/" + std::string(4995, 'h'), true, "", false},
        {"empty", "", true, "", false},
        {"unset", "", false, "", false},
    };
    cases[8].home = folderOfLength(base + "/fits", PATH_ARRAY - 1 - LOG_NAME.size());
    cases[9].home = folderOfLength(base + "/too-long", PATH_ARRAY - LOG_NAME.size());
    for (Hostile &c : cases) {
        if (c.folder.empty() && c.home.compare(0, base.size(), base) == 0)
            c.folder = c.home;
        if (c.name == "empty" || c.name == "unset")
            c.folder = passwdHome;
    }

    int tried = 0, exitedCleanly = 0, exactScreenshots = 0, noScreenshot = 0, commandsRun = 0;
    for (const Hostile &c : cases) {
        SCOPED_TRACE("HOME " + c.name + " (" + std::to_string(c.home.size()) + " bytes)");
        bool usable = !c.folder.empty() && c.folder.size() + LOG_NAME.size() < PATH_ARRAY;
        if (c.name.find("4096") != std::string::npos || c.withLog)
            makeFolders(c.folder);
        std::string csv = c.folder + LOG_NAME, png = c.folder + "/battery0.png";
        if (c.withLog)
            writeFile(csv, "0,4100\n60,4050\n120,3990\n");
        bool logThere = usable && fileExists(csv);
        bool pngThere = usable && fileExists(png);
        size_t filesBefore = filesUnder(base);

        Launch options;
        options.fbgrabLog = makeTempDir() + "/fbgrab.log";
        if (!c.set)
            options.unsetHome = true;
        else if (c.home.empty())
            options.env = {"HOME="};
        else
            options.home = c.home;
        char cwd[PATH_ARRAY];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        ASSERT_EQ(chdir(base.c_str()), 0);  // where a relative HOME or a stray command lands
        Program p = launch(VOLTRACE_BIN, options);
        ASSERT_EQ(chdir(cwd), 0);
        ASSERT_GT(p.pid, 0) << "no window";
        tried++;

        EXPECT_TRUE(waitForScreen([](const Screen &s) { return helpShown(s) || chartShown(s); }, 5000));
        if (logThere && !pngThere) {
            EXPECT_TRUE(waitFor([&] { return fileExists(png); }, 10000)) << "no screenshot";
        }
        if (!usable) {
            // A slot without a usable path must not log: START does nothing visible.
            press("Return");
            pauseMs(800);
            EXPECT_FALSE(redBand(capture())) << "logging without a log path";
        }
        pauseMs(300);
        auto calls = fbgrabCalls(options.fbgrabLog);
        if (logThere && !pngThere) {
            std::string draft = (c.name == "leading dash" ? c.home : c.folder) + "/battery0.tmp";
            EXPECT_EQ(calls, (std::vector<std::vector<std::string>>{{draft}}));
            exactScreenshots += calls.size() == 1 && fileExists(png);
        } else {
            EXPECT_TRUE(calls.empty()) << "a screenshot with no log: " << calls.size();
            noScreenshot += calls.empty();
        }
        press("Escape");
        int status = waitExit(p, 5000);
        EXPECT_EQ(status, 0) << readOutput(p);
        exitedCleanly += status == 0;

        for (const char *what : {"-semicolon", "-dollar", "-backquote", "-newline", "-pipe"}) {
            bool ran = fileExists(marker + what);
            EXPECT_FALSE(ran) << "a command from HOME ran: " << marker + what;
            commandsRun += ran;
            unlink((marker + what).c_str());
        }
        size_t expectedFiles = filesBefore + (logThere && !pngThere && c.folder.compare(0, base.size(), base) == 0);
        EXPECT_EQ(filesUnder(base), expectedFiles) << "files appeared beside the slot's";
    }
    char line[256];
    snprintf(line, sizeof line,
             "voltrace under %d hostile HOME values: %d exited 0 on SELECT, %d screenshots at "
             "the exact path, %d cleanly without one, %d commands from HOME ran",
             tried, exitedCleanly, exactScreenshots, noScreenshot, commandsRun);
    reportFigures(line);
}

}  // namespace
