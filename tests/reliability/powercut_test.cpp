// Power cuts: kill -9 at random moments (seeded, replayable) while voltrace logs, then what
// a cut can leave on the card laid over some of the logs; the next start must chart every
// such log and take its screenshot once. And under strace: every sample line written to the
// log is fsynced before the file is closed, and the folder is fsynced when the log is made.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <thread>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "harness.h"
#include "support.h"

namespace {

const int RUNS = 15;  // per build

// What the card is left holding: the log as the killed process left it; or that log plus
// the start of the next line, as a cut in the middle of the next sample's write leaves it;
// or the first line itself cut short (down to an empty file), as a cut while the log was
// being made leaves it.
enum Residue { AS_KILLED, NEXT_LINE_CUT, FIRST_LINE_CUT };
const char *const RESIDUE_NAMES[] = {"as killed", "next line cut", "first line cut"};

TEST(PowerCut, KillNineWhileLoggingThenTheNextStartChartsIt)
{
    ASSERT_GE(startDisplay(), 0);
    int runs = 0, kills = 0, logsLeft = 0, cutInjected = 0, charted = 0, screenshotsOnce = 0,
        helpOnly = 0, cutByKill = 0;
    for (int run = 0; run < RUNS; run++) {
        Residue residue = static_cast<Residue>(run % 3);
        bool early = run % 2 == 0;  // around the first write, or somewhere after it
        SCOPED_TRACE("run " + std::to_string(run) + ", seed " +
                     std::to_string(reliabilitySeed()) + ", " + RESIDUE_NAMES[residue] +
                     (early ? ", kill around the first write" : ", kill while ticking"));
        std::string home = makeTempDir(), jz = makeTempDir(), records = makeTempDir();
        std::string csv = home + "/battery0.csv", png = home + "/battery0.png";
        int level = randomBetween(3300, 4200);
        writeFile(jz + "/battery", std::to_string(level) + "\n");
        writeFile(jz + "/lcd_backlight", "0\n");
        Launch options;
        options.home = home;
        options.jz = jz;
        options.fbgrabLog = records + "/fbgrab-logging.log";
        Program p = launch(VOLTRACE_BIN, options);
        ASSERT_GT(p.pid, 0) << "no window";
        ASSERT_TRUE(waitForScreen(helpShown, 10000));
        runs++;

        if (early) {
            // xdotool takes about 20 ms to deliver the key, and the log is made a few ms
            // later: the cut is timed from xdotool's start, on a thread of its own, to fall
            // before, during or just after the making of the log and its first line.
            int delay = randomBetween(0, 30);
            std::thread cut([&] {
                pauseMs(delay);
                sendSignal(p, SIGKILL);
            });
            keyDown("Return");
            cut.join();
            keyUp("Return");
        } else {
            keyDown("Return");
            ASSERT_TRUE(waitFor([&] { return fileExists(csv); }, 5000));
            keyUp("Return");
            pauseMs(randomBetween(0, 3000));
            sendSignal(p, SIGKILL);
        }
        kills++;
        ASSERT_EQ(waitExit(p, 5000), 128 + SIGKILL);

        std::string log = readFile(csv);
        LogCheck killed = checkLog(log);
        EXPECT_EQ(killed.malformed, 0) << killed.firstBad;
        EXPECT_TRUE(killed.stepped) << log;
        EXPECT_LE(killed.whole, 1) << "a second sample within seconds: " << log;
        cutByKill += killed.cut;
        bool exists = fileExists(csv);
        logsLeft += exists;
        if (exists && residue == NEXT_LINE_CUT) {
            std::string next = "60," + std::to_string(level) + "\n";
            writeFile(csv, log + next.substr(0, randomBetween(1, static_cast<int>(next.size()) - 1)));
            cutInjected++;
        } else if (exists && residue == FIRST_LINE_CUT && killed.whole == 1 && !killed.cut) {
            writeFile(csv, log.substr(0, randomBetween(0, static_cast<int>(log.size()) - 1)));
            cutInjected++;
        }
        std::string left = readFile(csv);
        LogCheck check = checkLog(left);
        EXPECT_EQ(check.malformed, 0) << check.firstBad;
        EXPECT_LE(check.whole, 1);

        // The next start, the same HOME, no logging: slot 0 shows that log.
        Launch next;
        next.home = home;
        next.fbgrabLog = records + "/fbgrab-next.log";
        Program q = launch(VOLTRACE_BIN, next);
        ASSERT_GT(q.pid, 0) << "no window on the next start";
        if (exists) {
            EXPECT_TRUE(waitFor([&] {
                return !fbgrabCalls(next.fbgrabLog).empty() && fileExists(png);
            }, 10000));
            bool shown = waitForScreen(chartShown, 5000);
            EXPECT_TRUE(shown) << "no chart of: " << left;
            pauseMs(300);
            auto calls = fbgrabCalls(next.fbgrabLog);
            EXPECT_EQ(calls, (std::vector<std::vector<std::string>>{{home + "/battery0.tmp"}}));
            charted += shown;
            screenshotsOnce += calls.size() == 1 && fileExists(png);
        } else {
            // Killed before START took effect: a free slot, and no screenshot of nothing.
            EXPECT_TRUE(waitForScreen(helpShown, 5000));
            EXPECT_TRUE(fbgrabCalls(next.fbgrabLog).empty());
            helpOnly++;
        }
        EXPECT_TRUE(fbgrabCalls(options.fbgrabLog).empty()) << "screenshot while logging";
        press("Escape");
        EXPECT_EQ(waitExit(q, 5000), 0) << readOutput(q);
        EXPECT_EQ(readFile(csv), left) << "the next start changed the log";
    }
    char line[320];
    snprintf(line, sizeof line,
             "voltrace kill -9 while logging: %d runs, %d kills, %d logs left (%d with a line "
             "cut by the kill), %d power-cut residues laid over them, %d charted on the next "
             "start, %d screenshot exactly once, %d killed before the log existed (help "
             "screen, no screenshot)",
             runs, kills, logsLeft, cutByKill, cutInjected, charted, screenshotsOnce, helpOnly);
    reportFigures(line);
}

/* strace reading */

struct Call {
    int tid;
    std::string name, args;
    long result;
};

// strace -f splits a call that another thread interrupts into "<unfinished ...>" and
// "<... name resumed>" lines; they are joined back here.
std::vector<Call> readTrace(const std::string &path)
{
    std::vector<Call> calls;
    std::map<int, std::string> unfinished;
    std::string text = readFile(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t blank = line.find(' ');
        if (blank == std::string::npos)
            continue;
        int tid = atoi(line.substr(0, blank).c_str());
        // strace pads the thread id to a common width.
        size_t named = line.find_first_not_of(' ', blank);
        if (named == std::string::npos)
            continue;
        std::string rest = line.substr(named);
        const std::string suspended = " <unfinished ...>";
        if (rest.size() > suspended.size() &&
            rest.compare(rest.size() - suspended.size(), suspended.size(), suspended) == 0) {
            unfinished[tid] = rest.substr(0, rest.size() - suspended.size());
            continue;
        }
        if (rest.compare(0, 5, "<... ") == 0) {
            size_t resumed = rest.find("resumed>");
            if (resumed == std::string::npos)
                continue;
            rest = unfinished[tid] + rest.substr(resumed + 8);
            unfinished.erase(tid);
        }
        if (rest.compare(0, 4, "+++ ") == 0) {  // the thread or process ended
            calls.push_back(Call{tid, rest, "", 0});
            continue;
        }
        size_t open = rest.find('('), equals = rest.rfind(" = ");
        if (open == std::string::npos || equals == std::string::npos || equals < open)
            continue;
        size_t close = rest.rfind(')', equals);
        Call call;
        call.tid = tid;
        call.name = rest.substr(0, open);
        call.args = rest.substr(open + 1, close == std::string::npos ? 0 : close - open - 1);
        call.result = strtol(rest.c_str() + equals + 3, nullptr, 10);
        calls.push_back(call);
    }
    return calls;
}

// The first quoted argument, with strace's escapes for line feeds, quotes and backslashes
// undone (the test's paths and the log's lines use no others).
std::string quoted(const std::string &args)
{
    size_t q = args.find('"');
    std::string out;
    if (q == std::string::npos)
        return out;
    for (size_t i = q + 1; i < args.size() && args[i] != '"'; i++) {
        if (args[i] == '\\' && i + 1 < args.size()) {
            char e = args[++i];
            out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        } else {
            out += args[i];
        }
    }
    return out;
}

int firstNumber(const std::string &args)
{
    return atoi(args.c_str());
}

bool opensForWriting(const std::string &args)
{
    return args.find("O_WRONLY") != std::string::npos || args.find("O_RDWR") != std::string::npos;
}

// One minute of logging under strace: the card thread's first sample, which makes the log,
// and its second, a minute later.
TEST(PowerCut, EverySampleLineIsSyncedBeforeItsFileIsClosed)
{
    ASSERT_GE(startDisplay(), 0);
    std::string home = makeTempDir(), jz = makeTempDir(), records = makeTempDir();
    std::string csv = home + "/battery0.csv", trace = records + "/trace";
    writeFile(jz + "/battery", "4012\n");
    writeFile(jz + "/lcd_backlight", "0\n");
    Launch options;
    options.home = home;
    options.jz = jz;
    options.fbgrabLog = records + "/fbgrab.log";
    options.env.push_back("TRACE_OUT=" + trace);
    // LeakSanitizer cannot run in a traced process; the other runs keep it on.
    const char *asan = getenv("ASAN_OPTIONS");
    options.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
    options.env.push_back(std::string("TRACED_PROGRAM=") + VOLTRACE_BIN);
    Program p = launch(STRACE_RUN, options);
    ASSERT_GT(p.pid, 0) << "no window";
    ASSERT_TRUE(waitForScreen(helpShown, 10000));
    press("Return");
    ASSERT_TRUE(waitFor([&] { return checkLog(readFile(csv)).whole == 1; }, 5000));
    writeFile(jz + "/battery", "3987\n");
    ASSERT_TRUE(waitFor([&] { return checkLog(readFile(csv)).whole == 2; }, 75000)) << readFile(csv);
    pauseMs(500);
    press("Return");
    EXPECT_TRUE(waitFor([&] { return fbgrabCalls(options.fbgrabLog).size() == 1; }, 10000));
    pauseMs(500);
    press("Escape");
    pid_t traced = p.pid;
    ASSERT_EQ(waitExit(p, 10000), 0);
    ASSERT_TRUE(waitFor([&] {
        for (const Call &c : readTrace(trace))
            if (c.tid == traced && c.name == "+++ exited with 0 +++")
                return true;
        return false;
    }, 10000))
        << "strace did not finish its trace; it ends: "
        << readFile(trace).substr(readFile(trace).size() > 600 ? readFile(trace).size() - 600 : 0);
    std::string log = readFile(csv);
    ASSERT_EQ(byMinute(log), "0,4012\n60,3987\n");

    struct Handle {
        int writes = 0;
        bool unsynced = false;
    };
    std::map<std::pair<int, int>, Handle> open;  // (thread, fd) of the log, open for writing
    std::map<std::pair<int, int>, bool> folders; // (thread, fd) of HOME, opened after the log was made
    bool created = false, folderSynced = false, folderSyncedBeforeSecond = false;
    int sampleWrites = 0, syncedBeforeClose = 0, closes = 0, syncs = 0;
    std::string written;
    for (const Call &c : readTrace(trace)) {
        if ((c.name == "openat" || c.name == "open") && c.result >= 0) {
            std::string path = quoted(c.args);
            std::pair<int, int> key{c.tid, static_cast<int>(c.result)};
            open.erase(key);
            folders.erase(key);
            if (path == csv && opensForWriting(c.args)) {
                open[key] = Handle();
                if (!created) {
                    EXPECT_NE(c.args.find("O_CREAT"), std::string::npos) << c.args;
                }
                created = true;
            } else if (created && (path == home || path == home + "/")) {
                folders[key] = true;
            }
            continue;
        }
        if (c.name == "creat")
            ADD_FAILURE() << "creat truncates: " << c.args;
        std::pair<int, int> key{c.tid, firstNumber(c.args)};
        auto h = open.find(key);
        if (c.name == "write" || c.name == "pwrite64" || c.name == "writev") {
            if (h == open.end())
                continue;
            std::string data = quoted(c.args);
            LogCheck line = checkLog(data);
            EXPECT_TRUE(line.whole == 1 && !line.cut && line.malformed == 0)
                << "not one whole line in one write: " << c.args;
            EXPECT_EQ(c.result, static_cast<long>(data.size()));
            written += data;
            h->second.writes++;
            h->second.unsynced = true;
            sampleWrites++;
        } else if (c.name == "fsync" || c.name == "fdatasync") {
            if (h != open.end()) {
                h->second.unsynced = false;
                syncs++;
            } else if (folders.count(key)) {
                folderSynced = true;
                folderSyncedBeforeSecond |= sampleWrites == 1;
            }
        } else if (c.name == "close") {
            if (h != open.end()) {
                EXPECT_FALSE(h->second.unsynced) << "log closed with an unsynced line";
                syncedBeforeClose += h->second.writes > 0 && !h->second.unsynced;
                closes++;
                open.erase(h);
            }
            folders.erase(key);
        }
    }
    EXPECT_TRUE(open.empty()) << "the log was left open";
    EXPECT_EQ(written, log) << "the traced writes are not exactly the log";
    EXPECT_EQ(sampleWrites, 2);
    EXPECT_EQ(syncedBeforeClose, 2);
    EXPECT_TRUE(folderSynced) << "the folder was never synced after the log was made";
    EXPECT_TRUE(folderSyncedBeforeSecond) << "the folder was synced only after a later sample";
    char line[256];
    snprintf(line, sizeof line,
             "voltrace under strace for a minute of logging: %d sample writes, %d fsyncs of "
             "the log, %d closes, %d closed only after the fsync of their line, folder fsynced "
             "after the log was made: %s",
             sampleWrites, syncs, closes, syncedBeforeClose, folderSyncedBeforeSecond ? "yes" : "no");
    reportFigures(line);
}

}  // namespace
