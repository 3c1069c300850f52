// Program-level test harness: Xvfb, launching with the device stand-ins, keys via xdotool,
// screen capture via ImageMagick's import (as binary PPM), exits with timeouts.
#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

const char *const TOOLS_DIR = TOOLS_DIR_PATH;

/* harness state */
static pid_t xvfbPid = -1;                // the private X server of this test process
static int displayNumber = -1;            // its number, :N
static std::vector<std::string> tempDirs; // removed at exit

static long long nowMs(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

void pauseMs(int ms)
{
    if (ms > 0)
        usleep(static_cast<useconds_t>(ms) * 1000);
}

static void cleanUp(void)
{
    if (xvfbPid > 0) {
        kill(xvfbPid, SIGTERM);
        waitpid(xvfbPid, nullptr, 0);
    }
    for (const std::string &dir : tempDirs) {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
}

static int quiet(const std::string &cmd)
{
    return system((cmd + " >/dev/null 2>&1").c_str());
}

// Display numbers from 100 up, spread by pid, so parallel test processes and anyone's
// hand-started Xvfb on the low numbers do not meet. A server that cannot take its number
// (another holds it) exits at once, and the next number is tried.
int startDisplay(void)
{
    if (displayNumber >= 0)
        return displayNumber;
    for (int attempt = 0; attempt < 40; attempt++) {
        int number = 100 + (getpid() * 7 + attempt) % 900;
        char display[32];
        snprintf(display, sizeof display, ":%d", number);
        pid_t pid = fork();
        if (pid == 0) {
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            execlp("Xvfb", "Xvfb", display, "-screen", "0", "320x240x16", "-nolisten", "tcp",
                   "-noreset", static_cast<char *>(nullptr));
            _exit(127);
        }
        std::string probe = std::string("xdpyinfo -display ") + display;
        bool up = waitFor([&] {
            return waitpid(pid, nullptr, WNOHANG) == 0 && quiet(probe) == 0;
        }, 10000);
        if (!up) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            continue;
        }
        xvfbPid = pid;
        displayNumber = number;
        setenv("DISPLAY", display, 1);
        atexit(cleanUp);
        return displayNumber;
    }
    return -1;
}

Program launch(const char *binary, const Launch &options)
{
    Program program;
    startDisplay();
    std::string dir = makeTempDir();
    program.output = dir + "/stdout";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fds[2];
        if (options.streams == STREAMS_CLOSED) {
            close(0);
            close(1);
            close(2);
        } else if (options.streams == STDOUT_BROKEN_PIPE && pipe(fds) == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
        } else {
            dup2(open(program.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        }
        setenv("SDL_VIDEODRIVER", "x11", 1);
        std::string path = std::string(TOOLS_DIR) + ":" + (getenv("PATH") ? getenv("PATH") : "");
        setenv("PATH", path.c_str(), 1);
        if (options.unsetHome)
            unsetenv("HOME");
        else if (!options.home.empty())
            setenv("HOME", options.home.c_str(), 1);
        if (!options.fbgrabLog.empty())
            setenv("FBGRAB_LOG", options.fbgrabLog.c_str(), 1);
        for (const std::string &e : options.env)
            putenv(strdup(e.c_str()));
        std::string withJz = std::string(TOOLS_DIR) + "/with-jz";
        std::string careless = std::string(TOOLS_DIR) + "/careless-launcher";
        std::vector<const char *> argv;
        if (!options.jz.empty())
            argv.insert(argv.end(), {withJz.c_str(), options.jz.c_str()});
        if (options.carelessSignals)
            argv.push_back(careless.c_str());
        argv.insert(argv.end(), {binary, nullptr});
        execv(argv[0], const_cast<char **>(argv.data()));
        _exit(127);
    }
    program.pid = pid;
    if (!options.waitForWindow)
        return program;

    // The window is ours once xdotool finds it; moving the pointer into it gives it the
    // keyboard, since no window manager runs.
    char cmd[128];
    snprintf(cmd, sizeof cmd, "xdotool search --onlyvisible --pid %d", static_cast<int>(pid));
    bool ended = false;
    bool shown = waitFor([&] {
        ended = waitpid(pid, nullptr, WNOHANG) == pid;
        return ended || quiet(cmd) == 0;
    }, 20000) && !ended;
    if (!shown) {
        fprintf(stderr, "launch: no window from %s on :%d (%s); its output: %s\n", binary,
                displayNumber, ended ? "it ended" : "still running",
                readFile(program.output).c_str());
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        program.pid = -1;
        return program;
    }
    quiet("xdotool mousemove 160 120");
    return program;
}

int waitExit(Program &program, int timeoutMs)
{
    if (program.pid <= 0)
        return -1;
    long long end = nowMs() + timeoutMs;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(program.pid, &status, WNOHANG);
        if (r == program.pid)
            break;
        if (nowMs() > end) {
            kill(program.pid, SIGKILL);
            waitpid(program.pid, nullptr, 0);
            program.pid = -1;
            return -1;
        }
        pauseMs(10);
    }
    program.pid = -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void sendSignal(const Program &program, int sig)
{
    if (program.pid > 0)
        kill(program.pid, sig);
}

std::string readOutput(const Program &program)
{
    return readFile(program.output);
}

void keyDown(const char *key)
{
    quiet(std::string("xdotool keydown ") + key);
}

void keyUp(const char *key)
{
    quiet(std::string("xdotool keyup ") + key);
}

// One xdotool process presses, waits and releases, so the hold the program sees is holdMs
// even on a busy machine; two processes would add a start-up in between, and past 200 ms
// strobel's key repeat steps the square twice.
void press(const char *key, int holdMs)
{
    char cmd[160];
    snprintf(cmd, sizeof cmd, "xdotool keydown %s sleep %.3f keyup %s", key, holdMs / 1000.0,
             key);
    quiet(cmd);
}

Rgb Screen::at(int x, int y) const
{
    if (x < 0 || y < 0 || x >= w || y >= h)
        return {-1, -1, -1};
    size_t i = (static_cast<size_t>(y) * w + x) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
}

Screen capture(void)
{
    Screen s;
    FILE *p = popen("import -window root -depth 8 ppm:- 2>/dev/null", "r");
    if (!p)
        return s;
    int maxval = 0;
    if (fscanf(p, "P6 %d %d %d", &s.w, &s.h, &maxval) == 3 && maxval == 255 && s.w > 0 &&
        s.h > 0 && fgetc(p) != EOF) {
        s.rgb.resize(static_cast<size_t>(s.w) * s.h * 3);
        if (fread(s.rgb.data(), 1, s.rgb.size(), p) != s.rgb.size())
            s = Screen();
    } else {
        s = Screen();
    }
    pclose(p);
    return s;
}

bool near(Rgb c, int r, int g, int b, int tolerance)
{
    return abs(c.r - r) <= tolerance && abs(c.g - g) <= tolerance && abs(c.b - b) <= tolerance;
}

int countNear(const Screen &s, int x, int y, int w, int h, int r, int g, int b, int tolerance)
{
    int n = 0;
    for (int j = y; j < y + h; j++)
        for (int i = x; i < x + w; i++)
            n += near(s.at(i, j), r, g, b, tolerance);
    return n;
}

bool sameArea(const Screen &a, const Screen &b, int x, int y, int w, int h)
{
    for (int j = y; j < y + h; j++)
        for (int i = x; i < x + w; i++) {
            Rgb p = a.at(i, j), q = b.at(i, j);
            if (p.r != q.r || p.g != q.g || p.b != q.b)
                return false;
        }
    return true;
}

bool waitForScreen(const std::function<bool(const Screen &)> &check, int timeoutMs)
{
    return waitFor([&] {
        Screen s = capture();
        return s.w > 0 && check(s);
    }, timeoutMs);
}

bool waitFor(const std::function<bool()> &check, int timeoutMs)
{
    long long end = nowMs() + timeoutMs;
    for (;;) {
        if (check())
            return true;
        if (nowMs() > end)
            return false;
        pauseMs(20);
    }
}

std::string makeTempDir(void)
{
    char templ[] = "/tmp/vantiro-test.XXXXXX";
    const char *dir = mkdtemp(templ);
    if (!dir)
        return "";
    tempDirs.push_back(dir);
    return dir;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::vector<std::string>> fbgrabCalls(const std::string &log)
{
    std::vector<std::string> fields;
    std::string text = readFile(log);
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\0') {
            fields.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    std::vector<std::vector<std::string>> calls;
    for (size_t i = 0; i < fields.size();) {
        size_t count = strtoul(fields[i].c_str(), nullptr, 10);
        std::vector<std::string> args(fields.begin() + static_cast<long>(i) + 1,
                                      fields.begin() + static_cast<long>(std::min(fields.size(), i + 1 + count)));
        calls.push_back(args);
        i += 1 + count;
    }
    return calls;
}

std::string byMinute(const std::string &log)
{
    std::string out;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        std::string line = log.substr(start, end == std::string::npos ? end : end - start + 1);
        size_t digits = line.find_first_not_of("0123456789");
        if (digits > 0 && digits != std::string::npos && digits <= 9)
            line = std::to_string(std::stol(line.substr(0, digits)) / 60 * 60) + line.substr(digits);
        out += line;
        start = end == std::string::npos ? log.size() : end + 1;
    }
    return out;
}
