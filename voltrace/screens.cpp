// voltrace's screens: redrawScreen builds help, chart or logging screen from the state,
// handleEvent maps keys to actions through one table. Start at redrawScreen.
#include "screens.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "chart.h"
#include "commands.h"
#include "frame.h"
#include "sampler.h"
#include "slots.h"

/* screen state: the screen follows from logging and the slot's files; only which keys are
   held (keyHeld, beside the key table) is kept here */
const char *screenshotTool = "fbgrab";                          // device seam
const char *backlightCommand = "echo 100 > /proc/jz/lcd_backlight";  // device seam

static const int SLOT_LINE_GAP = 8;  // pixels kept clear between the slot line and the footer
static int leaveStatus;              // the exit status a wait for a command was given up for
                                     // (0 for an exit key, else the signal); main thread only

// The device's screenshot tool reads the 150 KB frame buffer and writes a PNG of a few tens of
// KB to the page cache: well under a second on the device, a few on its emulation. Past ten
// seconds it is hung, and the chart says so instead of freezing. The sync that follows waits
// for the card, which may stall for many seconds: it has no deadline, but an exit key or a
// signal still ends it.
static const int SCREENSHOT_DEADLINE_MS = 10000;
static const int BACKLIGHT_DEADLINE_MS = 5000;  // a write to a kernel file: at once, or never

enum ScreenKind { HELP_SCREEN, NO_PATH_SCREEN, CHART_SCREEN, LOGGING_SCREEN };

struct ScreenLook {
    const char *footer;  // the bottom line's right part
    int redBand;         // 1: the footer sits on the dark red band that says "logging"
};

static const ScreenLook LOOKS[] = {
    /* HELP_SCREEN */ {"SELECT: Exit     START: Start", 0},
    /* NO_PATH_SCREEN */ {"SELECT: Exit", 0},  // help, but START cannot begin a log
    /* CHART_SCREEN */ {"SELECT: Exit", 0},
    /* LOGGING_SCREEN */ {"START: Stop", 1},
};

struct HelpLine {
    int y;
    const char *text;
};

static const HelpLine HELP_LINES[] = {
    {34, "LEFT/RIGHT: Select the log file"},
    {50, "START:  Start/stop logging"},
    {66, "SELECT: Exit"},
    {90, "With the battery fully charged start logging"},
    {106, "and let it discharge completely."},
};

// unsettled: a stopped log of this slot is still taking its last sample, which may be the
// one that creates its file: the slot is taken, and its chart is on its way.
static ScreenKind currentScreen(bool haveLog, bool unsettled)
{
    if (logging)
        return LOGGING_SCREEN;
    if (slotProblem)
        return NO_PATH_SCREEN;
    return haveLog || unsettled ? CHART_SCREEN : HELP_SCREEN;
}

// lastProblem: why the last sample of this slot's last log could not be written, when that
// log left no file here (a full card refused it, or the card was pulled): said, so that a
// log the user stopped never vanishes without a word.
static void drawHelp(const char *lastProblem)
{
    for (const HelpLine &line : HELP_LINES)
        drawText(10, line.y, line.text, BODY_COLOR, ANCHOR_LEFT | ANCHOR_MIDDLE);
    // Texts go through a 1024-byte buffer: SDL 1.2 cannot hold a rendered line much wider
    // (a surface's pitch is 16 bits), and a long HOME is only ever cut short on screen.
    char text[1024];
    if (slotProblem) {
        drawText(10, 122, "No log can be kept:", BODY_COLOR, ANCHOR_LEFT | ANCHOR_MIDDLE);
        snprintf(text, sizeof text, "%s", slotProblem);
    } else {
        drawText(10, 122, "The log will be saved in:", BODY_COLOR, ANCHOR_LEFT | ANCHOR_MIDDLE);
        snprintf(text, sizeof text, "%.1023s", csvPath);
    }
    drawText(10, 146, text, BODY_COLOR, ANCHOR_LEFT | ANCHOR_MIDDLE);
    if (lastProblem) {
        snprintf(text, sizeof text, "%s: the last sample could not be written", lastProblem);
        drawText(10, 170, text, BODY_COLOR, ANCHOR_LEFT | ANCHOR_MIDDLE);
    }
}

// The slot line: "< > " and the path, which a long home folder would push under the footer.
// Then the path loses its start to "...", just enough to fit maxWidth pixels, so the file
// name (the slot) stays in view; the help body shows the whole path.
static void fitSlotLine(char *text, size_t size, const char *path, int maxWidth)
{
    snprintf(text, size, "< > %.1019s", path);
    size_t length = strlen(path);
    if (length <= 1019 && textWidth(text) <= maxWidth)
        return;
    // Dropping more of the start never widens the line: the least cut that fits is found by
    // halving. At most the last 1000 bytes are kept, which the buffer always holds.
    size_t least = length > 1000 ? length - 1000 : 1;
    size_t most = length;
    while (least < most) {
        size_t cut = least + (most - least) / 2;
        snprintf(text, size, "< > ...%s", path + cut);
        if (textWidth(text) <= maxWidth)
            most = cut;
        else
            least = cut + 1;
    }
    snprintf(text, size, "< > ...%s", path + least);
}

static void drawFooter(ScreenKind kind)
{
    const ScreenLook &look = LOOKS[kind];
    if (look.redBand) {
        // Its lower part lies beyond the screen: rows 225 to 239 show.
        SDL_Rect band = {0, 225, 320, 20};
        SDL_FillRect(screen, &band, SDL_MapRGB(screen->format, 150, 0, 0));
    }
    int footerWidth = drawText(310, 230, look.footer, BODY_COLOR, ANCHOR_RIGHT | ANCHOR_MIDDLE);
    char text[1024];
    // Without a usable path the help body says why; here a short mark keeps off the footer.
    fitSlotLine(text, sizeof text, slotProblem ? "(no log path)" : csvPath,
                310 - footerWidth - SLOT_LINE_GAP - 10);
    drawText(10, 230, text, BODY_COLOR, ANCHOR_LEFT | ANCHOR_MIDDLE);
}

int screenshotCommand(char *command, size_t size, const char *path)
{
    // Inside single quotes the shell takes every byte literally but the quote itself, which
    // is closed, escaped and reopened.
    size_t n = (size_t)snprintf(command, size, "%s '", screenshotTool);
    for (const char *p = path; *p && n < size; p++) {
        if (*p == '\'')
            n += (size_t)snprintf(command + n, size - n, "'\\''");
        else
            command[n++] = *p;
    }
    if (n < size)
        n += (size_t)snprintf(command + n, size - n, "'");
    if (n >= size) {
        command[0] = '\0';
        return 0;
    }
    return 1;
}

static int exitPressWaiting(void);

// A wait for a command gives way to an exit key or a signal: the user leaves at once, and
// the command is ended.
static int leaveRequested(void)
{
    if (int sig = quitRequested()) {
        leaveStatus = sig;
        return 1;
    }
    if (exitPressWaiting()) {
        leaveStatus = 0;
        return 1;
    }
    return 0;
}

// The draft the tool writes: the picture's own name only once the tool has finished with it
// while the chart was still shown, and the draft has reached the card. A tool that fails,
// hangs, is ended or outlives a power cut never leaves a broken picture under that name, which
// would count as taken for good. "batteryN.tmp": as long as the picture's path, so it fits
// wherever that does.
static void draftPathOf(const char *png, char *draft, size_t size)
{
    size_t n = strlen(png);
    const size_t ext = sizeof ".png" - 1;
    if (n >= ext && strcmp(png + n - ext, ".png") == 0)
        n -= ext;
    snprintf(draft, size, "%.*s.tmp", static_cast<int>(n), png);
}

// Takes the chart's picture at pngPath from the frame just shown. Returns null once it is
// there, else why not, for the chart to say. An exit key or a signal meanwhile ends the tool
// and the program.
static const char *savePicture(void)
{
    // Main thread only; room for a path of nothing but quotes, each taking four bytes.
    static char draft[sizeof pngPath];
    static char command[4 * sizeof draft + 256];
    draftPathOf(pngPath, draft, sizeof draft);
    // Made here first, so that a card or folder that takes no new file is named as such.
    int fd = open(draft, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return cardProblem(errno, draft);
    close(fd);
    CommandEnd end = COMMAND_FAILED;
    if (screenshotCommand(command, sizeof command, draft))
        end = waitCommand(startCommand(command), SCREENSHOT_DEADLINE_MS, leaveRequested);
    struct stat taken;
    if (end == COMMAND_DONE && (stat(draft, &taken) != 0 || taken.st_size == 0))
        end = COMMAND_FAILED;  // it said it saved, and saved nothing
    if (end == COMMAND_DONE)
        end = waitCommand(startCommand("sync"), -1, leaveRequested);
    if (end != COMMAND_DONE) {
        unlink(draft);
        if (end == COMMAND_ABANDONED)
            quitApp(leaveStatus);
        return end == COMMAND_TIMED_OUT ? "Screenshot tool hung" : "Screenshot tool failed";
    }
    if (rename(draft, pngPath) != 0) {
        const char *problem = cardProblem(errno, pngPath);
        unlink(draft);
        return problem;
    }
    return nullptr;
}

void redrawScreen(const char *title)
{
    // The log's existence is looked up once: it picks the screen, the body and whether a
    // screenshot is due. While not logging only a stopped log's last sample can create it,
    // so whether one is on its way is asked first: should it land in between, the chart
    // shows it and LOG_SETTLED brings the picture.
    const bool unsettled = !logging && logUnsettled(csvPath);
    const bool haveLog = isRegularFile(csvPath);
    const char *problem = logging ? sampleProblem.load() : lastLogProblem(csvPath);
    {
        ScreenHold hold = holdScreen();
        if (!hold.ownsLock())
            return;
        drawHeader(title);
        drawFooter(currentScreen(haveLog, unsettled));
        // While logging, or while a stopped log's first sample is still on its way, the chart
        // is shown even without a log: it is coming, or it could not be created and the chart
        // says why.
        if (haveLog || logging || unsettled)
            drawChart(logging || unsettled, problem, logging ? timeLeft.load() : 0);
        else
            drawHelp(problem);
        SDL_Flip(screen);
    }
    // The picture waits for a stopped log's last sample (LOG_SETTLED brings a rebuild). It is
    // taken outside the lock: the tool reads the frame just shown, and nothing draws
    // meanwhile, since the clock only runs while logging. A failure is said over the chart
    // after the picture was taken, so no picture ever shows it; the next return to the slot
    // tries again.
    if (!logging && haveLog && !isRegularFile(pngPath) && !unsettled) {
        if (const char *failed = savePicture()) {
            ScreenHold hold = holdScreen();
            if (!hold.ownsLock())
                return;
            drawTrouble(failed, "the chart's picture could not be saved");
            SDL_Flip(screen);
        }
    }
}

/* key actions: each returns 1 when the screen must be rebuilt */

// A log is started only in a free slot, and never under a path that could not be formed. A
// slot is taken from START until its log is settled: a stopped log whose first sample has
// not landed yet has no file, and a second log there would share it.
static int startLog(void)
{
    if (slotProblem || logUnsettled(csvPath) || isRegularFile(csvPath))
        return 0;
    // The backlight is a nicety for a comparable discharge; the log runs regardless.
    runCommand(backlightCommand, BACKLIGHT_DEADLINE_MS);
    startLogging();
    return 1;
}

static int stopLog(void)
{
    stopLogging();
    return 1;
}

static int leave(void)
{
    quitApp(0);
}

static int previousSlot(void)
{
    return selectSlot(-1);
}

static int nextSlot(void)
{
    return selectSlot(1);
}

struct KeyAction {
    SDLKey key;
    int (*whenIdle)(void);     // null: ignored while not logging
    int (*whenLogging)(void);  // null: ignored while logging
    bool oncePerPress;         // key repeat does nothing: a held START must not stop the log
                               // it just started, nor a held exit key act later
};

static const KeyAction KEYS[] = {
    {SDLK_RETURN, startLog, stopLog, true},       // START
    {SDLK_ESCAPE, leave, nullptr, true},          // SELECT
    {SDLK_END, leave, nullptr, true},
    {SDLK_LEFT, previousSlot, nullptr, false},
    {SDLK_RIGHT, nextSlot, nullptr, false},
};
static const int KEY_COUNT = sizeof KEYS / sizeof KEYS[0];

// SDL's key repeat sends further key-downs, and no key-up, while a key is held: each key of
// the table is held from its key-down to its key-up. Main thread only.
static bool keyHeld[KEY_COUNT];

// The key of the table a key event names (-1 for none), with held brought up to date; the
// key counts (*counts) when the event is its press, and not the repeat of a once-per-press key
// still held.
static int tableKey(const SDL_Event &event, bool held[KEY_COUNT], bool *counts)
{
    for (int i = 0; i < KEY_COUNT; i++) {
        if (KEYS[i].key != event.key.keysym.sym)
            continue;
        const bool down = event.type == SDL_KEYDOWN;
        *counts = down && !(KEYS[i].oncePerPress && held[i]);
        held[i] = down;
        return i;
    }
    return -1;
}

// Whether the events waiting hold a press of an exit key (SELECT or END) that counts, as
// handleEvent would see them in turn. They stay queued.
static int exitPressWaiting(void)
{
    SDL_Event events[128];
    int n;
    {
        ScreenHold hold = holdScreen();
        if (!hold.ownsLock())
            return 0;
        SDL_PumpEvents();
        n = SDL_PeepEvents(events, 128, SDL_PEEKEVENT,
                           SDL_EVENTMASK(SDL_KEYDOWN) | SDL_EVENTMASK(SDL_KEYUP));
    }
    bool held[KEY_COUNT];
    memcpy(held, keyHeld, sizeof held);
    for (int e = 0; e < n; e++) {
        bool counts = false;
        const int i = tableKey(events[e], held, &counts);
        if (i >= 0 && counts && KEYS[i].whenIdle == leave)
            return 1;
    }
    return 0;
}

int handleEvent(const SDL_Event *event)
{
    // The card thread's wake-ups: a sample was taken (the chart has a new point), or a
    // stopped log is final (its chart is due for its picture).
    if (event->type == SDL_USEREVENT)
        return event->user.code == LOG_SETTLED ? !logging : logging.load();
    if (event->type != SDL_KEYDOWN && event->type != SDL_KEYUP)
        return 0;
    bool counts = false;
    const int i = tableKey(*event, keyHeld, &counts);
    if (i < 0 || !counts)
        return 0;
    int (*act)(void) = logging ? KEYS[i].whenLogging : KEYS[i].whenIdle;
    return act ? act() : 0;
}
