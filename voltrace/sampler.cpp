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
#include <time.h>
#include <unistd.h>

#include "chart.h"
#include "frame.h"
#include "logfile.h"
#include "slots.h"

/* sampler state */
std::atomic<int> logging{0};         // 1 while logging; written by the main thread only
std::atomic<Uint32> tickCount{0};    // seconds since logging started; reset by the main
                                     // thread before the timer runs, then advanced by
                                     // timerTick alone
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

void startLogging(void)
{
    logging = 1;
    tickCount = 0;
    sampleProblem = nullptr;
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
    drawClock(tick);
    SDL_Flip(screen);
    if (tick % SAMPLE_EVERY == 0) {
        appendSample();
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

void appendSample(void)
{
    int level = readBatteryLevel();
    if (!csvPath[0])
        return;
    char line[32];
    int length = snprintf(line, sizeof line, "%u,%d\n", static_cast<unsigned>(tickCount), level);
    bool creating = !isRegularFile(csvPath);
    int fd = open(csvPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        sampleProblem = problemOf(errno);
        return;
    }
    int error = appendLine(fd, line, static_cast<size_t>(length));
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
