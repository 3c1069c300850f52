// Program-level test harness: runs the real binaries on a virtual X display (Xvfb at
// 320 x 240 x 16), presses buttons as key events, captures the screen and waits for exits.
// Start with startDisplay(); then launch() a program and drive it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Paths filled in by the build.
extern const char *const TOOLS_DIR;  // tests/tools: the device stand-ins (fbgrab, with-jz)

// Starts a private Xvfb for this test process (once) and points DISPLAY at it. Returns the
// display number; stops the server when the process ends.
int startDisplay(void);

// How the launcher hands over descriptors 0, 1 and 2: as a shell does, standard output to
// the program's output file; all three closed; or standard output a pipe whose reader is gone.
enum Streams { STREAMS_OPEN, STREAMS_CLOSED, STDOUT_BROKEN_PIPE };

struct Launch {
    std::string home;              // HOME for the program; unset when null below
    bool unsetHome = false;        // run without HOME at all
    std::string jz;                // folder shown as /proc/jz (by with-jz); empty: none
    std::string fbgrabLog;         // where the fbgrab stand-in records its calls; empty: none
    std::vector<std::string> env;  // further NAME=VALUE settings
    bool waitForWindow = true;     // false: the program is expected to fail before its window
    Streams streams = STREAMS_OPEN;
    bool carelessSignals = false;  // started through tools/careless-launcher: the launcher's
                                   // signals ignored and blocked
};

struct Program {
    pid_t pid = -1;
    std::string output;  // file that receives the program's standard output
};

// Starts binary on the display with the stand-ins first on PATH, in a process group of its
// own as a launcher starts it (so kill(-pid, ...) reaches its whole group), and waits until
// its window is mapped and has the keyboard. pid -1 when the window never appears.
Program launch(const char *binary, const Launch &options);

// Waits for the program to end: its exit status, 128 + N when killed by signal N, or -1
// when it is still running after timeoutMs (it is then killed).
int waitExit(Program &program, int timeoutMs);

// Sends a signal to the program.
void sendSignal(const Program &program, int sig);

// The program's standard output so far.
std::string readOutput(const Program &program);

// Buttons as X key names (Return, Escape, Left, Right, Up, Down, Tab, BackSpace, End).
void keyDown(const char *key);
void keyUp(const char *key);
// Holds a key down for holdMs (the programs that read the key state need it held), then
// releases it.
void press(const char *key, int holdMs = 150);

struct Rgb {
    int r, g, b;
};

struct Screen {
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;  // w * h * 3 bytes, row by row
    Rgb at(int x, int y) const;
};

// The whole display as it is now (empty on failure).
Screen capture(void);

// True when c is within tolerance of (r, g, b) on every channel: the 16-bit display
// quantises colours, so (200, 200, 200) reads back as about (206, 202, 206).
bool near(Rgb c, int r, int g, int b, int tolerance = 10);

// Counts the pixels of rectangle (x, y, w, h) within tolerance of (r, g, b).
int countNear(const Screen &s, int x, int y, int w, int h, int r, int g, int b,
              int tolerance = 10);

// Captures the screen until check holds or timeoutMs pass; returns whether it held.
bool waitForScreen(const std::function<bool(const Screen &)> &check, int timeoutMs);

// True when the rectangle (x, y, w, h) is identical in both captures.
bool sameArea(const Screen &a, const Screen &b, int x, int y, int w, int h);

// Sleeps ms milliseconds (nothing for 0 or less).
void pauseMs(int ms);

// Polls a condition every 20 ms until it holds or timeoutMs pass.
bool waitFor(const std::function<bool()> &check, int timeoutMs);

// A fresh empty folder under /tmp, removed when the process ends.
std::string makeTempDir(void);

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &text);
bool fileExists(const std::string &path);

// The fbgrab stand-in's records: one entry per call, the arguments it received. With
// FBGRAB_HANG=S in the program's environment it sleeps S seconds before it saves, and with
// FBGRAB_SEEN=FILE each call first appends to FILE a line "PGID SIGBLK": its process group
// and the blocked-signal mask it started with (hexadecimal, as /proc shows it).
std::vector<std::vector<std::string>> fbgrabCalls(const std::string &log);

// A log's text with each sample's seconds cut to its whole minute: a sample is due at its
// minute and carries the second it was taken, which a busy machine makes a little later.
std::string byMinute(const std::string &log);
