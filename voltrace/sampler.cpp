// The discharge sampler: startLogging/stopLogging on the main thread, timerTick on SDL's
// timer thread, appendSample with its durable append, and the load thread. Start reading at
// startLogging, then timerTick.
#include "sampler.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "chart.h"
#include "frame.h"
#include "logfile.h"
#include "slots.h"

/* sampler state */
std::atomic<int> logging{0};         // 1 while logging; written by the main thread only
std::atomic<Uint32> tickCount{0};    // timer ticks since logging started, every 60th a
                                     // sample; reset by the main thread before the timer
                                     // runs, then advanced by timerTick alone
SDL_Rect chartRect;                  // the chart's area; drawChart writes it, the clock reads
                                     // it (clockBox), both under the screen lock
std::atomic<const char *> sampleProblem{nullptr};  // why the last sample could not be
                                     // written ("Card full", ...), null when it was; reset
                                     // by startLogging before the timer runs, then written by
                                     // appendSample under the screen lock; the chart reads it
const char *batteryPath = "/proc/jz/battery";  // device seam: the kernel's battery file;
                                     // tests point it at their own before logging starts
static SDL_TimerID timerId;          // the running one-second timer; main thread only
static std::atomic<SDL_Thread *> loadThreadHandle{nullptr};  // the running load thread;
                                     // started by the main thread, joined by whichever
                                     // thread ends the log (main, or the quitting one)

static const int SAMPLE_EVERY = 60;       // ticks (seconds) between samples

/* the log being written: its second 0, and which file it is, so that no sample goes
   anywhere else. beginLog sets both on the main thread before the timer is armed; after it
   only appendSample, under the screen lock, touches the file's part */
Uint32 (*monotonicMs)(void) = clockMonotonicMs;  // device seam: the clock of the log's
                                     // seconds; tests set their own before logging starts
static std::atomic<Uint32> logStartMs{0};  // monotonicMs() at START
static bool logKnown;           // a sample has created the log; no later one may create it
static dev_t logDevice;         // the file system the log was created on
static ino_t logInode;          // the log there; FAT numbers its files anew at every mount
static off_t logLength;         // the log's length after our last line
static char logTail[32];        // that last line, to know the log again after a remount

Uint32 clockMonotonicMs(void)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Uint32>(now.tv_sec * 1000LL + now.tv_nsec / 1000000);
}

void beginLog(void)
{
    logStartMs = monotonicMs();
    logKnown = false;
}

void startLogging(void)
{
    logging = 1;
    tickCount = 0;
    sampleProblem = nullptr;
    beginLog();
    timerTick(0, nullptr);
    timerId = SDL_AddTimer(1000, timerTick, nullptr);
    loadThreadHandle = SDL_CreateThread(loadThread, nullptr);
}

// The load thread leaves within one rand() call of logging dropping to 0. Joining it frees
// its stack, which a device that logs discharge after discharge would otherwise lose each
// time.
static void joinLoadThread(void)
{
    if (SDL_Thread *load = loadThreadHandle.exchange(nullptr))
        SDL_WaitThread(load, nullptr);
}

void stopLoggingForExit(void)
{
    {
        // A tick that has already begun finishes its sample first; any later tick sees the
        // flag and does nothing, so the log is final once this block is left.
        ScreenHold hold = holdScreen();
        logging = 0;
    }
    joinLoadThread();
}

// The exit's ending, then the timer goes too (at exit SDL_Quit removes it).
void stopLogging(void)
{
    stopLoggingForExit();
    SDL_RemoveTimer(timerId);
}

// The clock sits in the place of the chart's end-time label, in the box the chart gives it;
// before any chart that box lies left of the screen and the clock shows nothing.
static void drawClock(Uint32 seconds)
{
    SDL_Rect box = clockBox();
    const int right = box.x + box.w, top = box.y;  // SDL_FillRect clips box in place
    SDL_FillRect(screen, &box, SDL_MapRGB(screen->format, 0, 0, 0));
    drawText(right, top, formatClock(seconds, 1), BODY_COLOR, ANCHOR_RIGHT | ANCHOR_TOP);
}

Uint32 timerTick(Uint32 interval, void *param)
{
    (void)param;
    // The sample is written under the screen lock too: stopLogging and the exit take it to
    // know that no line is half written when they go on.
    ScreenHold hold = holdScreen();
    if (!hold.ownsLock() || !logging)
        return interval;  // 0 would make SDL drop the timer; stopLogging removes it
    Uint32 tick = tickCount;
    // The time shown and logged is the clock's, not the count of ticks: SDL's timer starts
    // each second when the last tick ran, so on a busy device the ticks fall behind. Rounded,
    // so a tick a few milliseconds early still shows its whole second.
    Uint32 seconds = (monotonicMs() - logStartMs + 500) / 1000;
    drawClock(seconds);
    SDL_Flip(screen);
    if (tick % SAMPLE_EVERY == 0) {
        appendSample(seconds);
        SDL_Event wake = {};
        wake.type = SDL_USEREVENT;
        SDL_PushEvent(&wake);
    }
    tickCount = tick + 1;
    return interval;
}

int readBatteryLevel(void)
{
    char line[1024];
    FILE *battery = fopen(batteryPath, "r");
    if (!battery)
        return static_cast<int>(NO_READING);
    bool gotLine = fgets(line, sizeof line, battery) != nullptr;
    fclose(battery);
    if (!gotLine)
        return static_cast<int>(NO_READING);
    // The leading integer as atoi reads it (blanks, a sign, digits), without atoi's undefined
    // result for a number that does not fit: a negative one, like 0, is no level at all.
    const char *p = line;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    if (*p == '+')
        p++;
    uint32_t reading = 0;
    if (!readDecimal(p, 5000, &reading) || reading < 1)
        return static_cast<int>(NO_READING);
    return static_cast<int>(reading);
}

// A new file's name lives in its folder's entry: until the folder is synced too, a power
// cut can lose the whole log, not just its last line.
static void syncFolderOf(const char *path)
{
    char folder[sizeof csvPath];
    snprintf(folder, sizeof folder, "%s", path);
    char *slash = strrchr(folder, '/');
    if (!slash)
        snprintf(folder, sizeof folder, ".");
    else if (slash == folder)
        slash[1] = '\0';
    else
        *slash = '\0';
    int fd = open(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// The screen's words for why a sample could not be written.
static const char *problemOf(int error)
{
    if (error == ENOSPC || error == EFBIG || error == EDQUOT)
        return "Card full";
    if (error == EROFS)
        return "Card read-only";
    return "Card error";
}

// The words for a log that the slot's path no longer leads to: its card was unmounted or
// pulled, or another card sits in its place.
static const char *const CARD_GONE = "Card removed";

// Appends line in a single write, so no other writer's bytes can come between its parts,
// and syncs it to the card. A card that fills within the line takes part of it: that part is
// cut off again, so the log still ends with its last whole line. 0, or the error.
static int appendLine(int fd, const char *line, size_t length)
{
    off_t end = lseek(fd, 0, SEEK_END);
    ssize_t written = write(fd, line, length);
    if (written == static_cast<ssize_t>(length))
        return fsync(fd) == 0 ? 0 : errno;
    int error = written < 0 ? errno : ENOSPC;
    if (written > 0 && end >= 0 && ftruncate(fd, end) == 0)
        fsync(fd);
    return error;
}

// Whether fd, opened at csvPath, is still the log. The same file system and file is; after
// a remount FAT has numbered the file anew, and the log is then known by its length and last
// line, both as we left them.
static bool isTheLog(int fd)
{
    struct stat now;
    if (fstat(fd, &now) != 0 || now.st_dev != logDevice)
        return false;
    if (now.st_ino != logInode) {
        size_t n = strlen(logTail);
        char tail[sizeof logTail];
        if (now.st_size != logLength ||
            pread(fd, tail, n, logLength - static_cast<off_t>(n)) != static_cast<ssize_t>(n) ||
            memcmp(tail, logTail, n) != 0)
            return false;
        logInode = now.st_ino;
    }
    return true;
}

void appendSample(Uint32 seconds)
{
    int level = readBatteryLevel();
    if (!csvPath[0])
        return;
    char line[sizeof logTail];
    int length = snprintf(line, sizeof line, "%u,%d\n", static_cast<unsigned>(seconds), level);
    // Only the log's first sample may create it. A card unmounted beneath us leaves its
    // path leading into the bare mount-point folder, or to another card's file: a later
    // sample must not start a stray log there.
    bool creating = !logKnown;
    int fd = open(csvPath, O_RDWR | O_APPEND | O_CLOEXEC | (creating ? O_CREAT : 0), 0666);
    if (fd < 0) {
        bool gone = !creating && (errno == ENOENT || errno == ENOTDIR);
        sampleProblem = gone ? CARD_GONE : problemOf(errno);
        return;
    }
    struct stat created;
    if (creating && fstat(fd, &created) == 0) {
        logKnown = true;
        logDevice = created.st_dev;
        logInode = created.st_ino;
        logLength = created.st_size;
        logTail[0] = '\0';
    } else if (!creating && !isTheLog(fd)) {
        close(fd);
        sampleProblem = CARD_GONE;
        return;
    }
    int error = appendLine(fd, line, static_cast<size_t>(length));
    if (!error) {
        logLength = lseek(fd, 0, SEEK_END);
        snprintf(logTail, sizeof logTail, "%s", line);
    }
    close(fd);
    if (creating)
        syncFolderOf(csvPath);
    sampleProblem = error ? problemOf(error) : nullptr;
}

const char *formatClock(unsigned count, unsigned unitsPerSecond)
{
    // One buffer per thread: the timer's clock and the chart's labels format at the same
    // time on different threads.
    static thread_local char text[16];
    unsigned q = count / (unitsPerSecond ? unitsPerSecond : 1);
    snprintf(text, sizeof text, "%02u:%02u:%02u", (q % 86400) / 3600, (q % 3600) / 60, q % 60);
    return text;
}

int loadThread(void *param)
{
    (void)param;
    srand(static_cast<unsigned>(time(nullptr)));
    while (logging)
        rand();
    return 0;
}
