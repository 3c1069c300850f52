// The discharge sampler: startLogging and stopLogging on the main thread, the card thread
// that alone reads the battery and writes and syncs the log, timerTick's clock on SDL's timer
// thread, and the load thread. Start reading at startLogging, then cardThread.
#include "sampler.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
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
#include "timeleft.h"

/* sampler state */
std::atomic<int> logging{0};         // 1 while logging; written by the main thread only
std::atomic<const char *> sampleProblem{nullptr};  // why the log's last sample could not be
                                     // written ("Card full", ...), null when it was; reset by
                                     // startLogging, then written by the card thread for the
                                     // log START last ordered only; the screens read it
const char *batteryPath = "/proc/jz/battery";  // device seam: the kernel's battery file;
                                     // tests point it at their own before logging starts
Uint64 (*logClockMs)(void) = logClockBootMs;  // device seam: the clock of the log's seconds;
                                     // tests set their own before logging starts
static Uint64 logStartMs;            // logClockMs() at START, for the clock on screen; under
                                     // the screen lock, which the clock draws under (a 64-bit
                                     // atomic would need a runtime library on the device)
static SDL_TimerID clockTimer;       // the running one-second clock; main thread only
static std::atomic<SDL_Thread *> loadThreadHandle{nullptr};  // the running load thread;
                                     // started by the main thread, joined by whichever
                                     // thread ends the log (main, or the quitting one)

static const Uint64 SAMPLE_EVERY_MS = 60000;  // between due moments, on the log's clock
static const Uint32 LOOK_EVERY_MS = 1000;     // the card thread's longest wait: it waits on
                                     // the monotonic clock, which stands still through a
                                     // suspend, and looks at the log's clock at least this often

/* the card thread's orders, all under cardLock. The main thread orders, the card thread
   follows: the screen never waits for the card, and the card never for the screen */
static pthread_mutex_t cardLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cardWake;      // an order came; waited on with the monotonic clock
static pthread_cond_t lineDone = PTHREAD_COND_INITIALIZER;  // a line's write is over
static bool cardRunning;             // the card thread has been started; it never ends
static unsigned orderedLog;          // counts STARTs: the log the card thread must write
static bool orderedOn;               // that log is still being logged
static char orderedCsv[sizeof csvPath];  // its paths and second 0, copied at START
static char orderedPng[sizeof pngPath];
static Uint64 orderedStartMs;
static bool cardClosed;              // the program is leaving: no line is begun, no event sent
static bool writingLine;             // a line is being written: from the log's opening to the
                                     // line's end, its cut should it not fit included
static bool sampling;                // a sample is being taken

/* the log being written: the card thread's own (and a test's, with no thread running). A
   START's log is made whole here, by the one thread that samples, before its first sample */
static unsigned logOrder;            // which START this log came from
static char logCsv[sizeof csvPath];  // its path; empty: no log
static char logPng[sizeof pngPath];  // the picture that cannot be its own, removed at creation
static Uint64 logBeginMs;            // its second 0 on the log's clock
static Uint64 nextSample;            // k of the next sample, due at logBeginMs + 60 k s
static bool logKnown;           // a sample has created the log; no later one may create it
static dev_t logDevice;         // the file system the log was created on
static ino_t logInode;          // the log there; FAT numbers its files anew at every mount
static off_t logLength;         // the log's length as last seen
static char logTail[32];        // its last bytes then, to know the log again after a remount
static size_t logTailLength;
static Uint32 lastLevel;        // the battery level the last sample read, written or not

Uint64 logClockBootMs(void)
{
    static std::atomic<clockid_t> clock{CLOCK_BOOTTIME};
    timespec now = {};
    if (clock_gettime(clock.load(), &now) != 0) {
        clock = CLOCK_MONOTONIC;
        clock_gettime(CLOCK_MONOTONIC, &now);
    }
    return static_cast<Uint64>(now.tv_sec) * 1000 + static_cast<Uint64>(now.tv_nsec) / 1000000;
}

// Milliseconds since then on the log's clock; 0 for a moment before it (a clock that went
// back, which the kernel's do not).
static Uint64 sinceMs(Uint64 then)
{
    const Uint64 now = logClockMs();
    return now > then ? now - then : 0;
}

// Whole seconds, rounded, of a log's milliseconds: beyond 2^32 ms (49.7 days) too.
static Uint32 roundedSeconds(Uint64 ms)
{
    return static_cast<Uint32>((ms + 500) / 1000);
}

// The clock on screen counts from here; under the screen lock, as it reads it.
static void setClockStart(Uint64 ms)
{
    ScreenHold hold = holdScreen();
    logStartMs = ms;
}

static void adoptLog(const char *csv, const char *png, Uint64 beginMs)
{
    snprintf(logCsv, sizeof logCsv, "%s", csv);
    snprintf(logPng, sizeof logPng, "%s", png);
    logBeginMs = beginMs;
    nextSample = 0;
    logKnown = false;
    logTailLength = 0;
}

void beginLog(void)
{
    const Uint64 now = logClockMs();
    setClockStart(now);
    pthread_mutex_lock(&cardLock);
    adoptLog(csvPath, pngPath, now);
    pthread_mutex_unlock(&cardLock);
}

int sampleWhenDue(void)
{
    const Uint64 elapsed = sinceMs(logBeginMs);
    if (elapsed < nextSample * SAMPLE_EVERY_MS)
        return 0;
    appendSample(roundedSeconds(elapsed));
    nextSample = elapsed / SAMPLE_EVERY_MS + 1;
    return 1;
}

// Milliseconds until the log's next sample is due, at most LOOK_EVERY_MS; 0 when it is due.
static Uint32 untilDue(void)
{
    const Uint64 due = nextSample * SAMPLE_EVERY_MS;
    const Uint64 elapsed = sinceMs(logBeginMs);
    if (elapsed >= due)
        return 0;
    return due - elapsed < LOOK_EVERY_MS ? static_cast<Uint32>(due - elapsed) : LOOK_EVERY_MS;
}

// Under cardLock: waits for an order, or ms at most (0: for an order however long).
static void waitForOrders(Uint32 ms)
{
    if (ms == 0) {
        pthread_cond_wait(&cardWake, &cardLock);
        return;
    }
    timespec until = {};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&cardWake, &cardLock, &until);
}

// Under cardLock: wakes the main loop, which rebuilds the screen with the new sample, or once
// a stopped log is final, photographs its chart. Never once the program is leaving: SDL may
// be shut down by then.
static void announce(int what)
{
    if (cardClosed)
        return;
    SDL_Event wake = {};
    wake.type = SDL_USEREVENT;
    wake.user.code = what;
    SDL_PushEvent(&wake);
}

// Every sample the battery read, the line and its syncs are taken here, away from the screen:
// a card that stalls for seconds in a sync (cheap cards do when they erase) then stops
// neither the clock nor a key.
static void *cardThread(void *)
{
    pthread_mutex_lock(&cardLock);
    while (!cardClosed) {
        if (logOrder != orderedLog) {
            logOrder = orderedLog;
            adoptLog(orderedCsv, orderedPng, orderedStartMs);
        }
        if (!orderedOn) {
            waitForOrders(0);
            continue;
        }
        if (Uint32 wait = untilDue()) {
            waitForOrders(wait);
            continue;
        }
        sampling = true;
        const unsigned order = logOrder;
        pthread_mutex_unlock(&cardLock);
        sampleWhenDue();
        // The first sample's estimate reads the earlier logs from the card: no lock held.
        const TimeLeft left = estimateTimeLeft(order, logCsv, lastLevel);
        pthread_mutex_lock(&cardLock);
        sampling = false;
        if (order == orderedLog)
            timeLeft = left;
        announce(order == orderedLog && orderedOn ? SAMPLE_TAKEN : LOG_SETTLED);
    }
    pthread_mutex_unlock(&cardLock);
    return nullptr;
}

// Under cardLock: the card thread's first order starts it. Whether it runs.
static bool startCardThread(void)
{
    if (cardRunning)
        return true;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cardWake, &attr);
    pthread_condattr_destroy(&attr);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, cardThread, nullptr) == 0) {
        pthread_detach(thread);
        cardRunning = true;
    }
    return cardRunning;
}

// What the logging screen says when no sample can be taken at all: the thread that takes
// them could not be started (the next START tries again).
static const char *const NO_CARD_THREAD = "Out of memory";

void startLogging(void)
{
    const Uint64 now = logClockMs();
    setClockStart(now);
    pthread_mutex_lock(&cardLock);
    orderedLog++;
    orderedOn = true;
    snprintf(orderedCsv, sizeof orderedCsv, "%s", csvPath);
    snprintf(orderedPng, sizeof orderedPng, "%s", pngPath);
    orderedStartMs = now;
    sampleProblem = startCardThread() ? nullptr : NO_CARD_THREAD;
    timeLeft = 0;
    pthread_cond_signal(&cardWake);
    pthread_mutex_unlock(&cardLock);
    logging = 1;
    clockTimer = SDL_AddTimer(1000, timerTick, nullptr);
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

// The clock being drawn finishes first: once logging is 0 under the screen lock, no tick
// draws again.
static void clearLogging(void)
{
    ScreenHold hold = holdScreen();
    logging = 0;
}

void stopLogging(void)
{
    clearLogging();
    SDL_RemoveTimer(clockTimer);
    pthread_mutex_lock(&cardLock);
    orderedOn = false;
    pthread_cond_signal(&cardWake);
    pthread_mutex_unlock(&cardLock);
    joinLoadThread();
}

int logUnsettled(const char *csv)
{
    pthread_mutex_lock(&cardLock);
    const bool unsettled = sampling && (!csv || strcmp(logCsv, csv) == 0);
    pthread_mutex_unlock(&cardLock);
    return unsettled;
}

const char *lastLogProblem(const char *csv)
{
    pthread_mutex_lock(&cardLock);
    const char *problem = orderedCsv[0] && strcmp(orderedCsv, csv) == 0 ? sampleProblem.load() : nullptr;
    pthread_mutex_unlock(&cardLock);
    return problem;
}

// At exit SDL_Quit removes the timer.
void stopLoggingForExit(void)
{
    clearLogging();
    pthread_mutex_lock(&cardLock);
    orderedOn = false;
    cardClosed = true;
    pthread_cond_signal(&cardWake);
    while (writingLine)
        pthread_cond_wait(&lineDone, &cardLock);
    pthread_mutex_unlock(&cardLock);
    joinLoadThread();
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
    ScreenHold hold = holdScreen();
    if (!hold.ownsLock() || !logging)
        return interval;  // 0 would make SDL drop the timer; stopLogging removes it
    // SDL's timer starts each second when the last tick has run, so its ticks fall behind on
    // a busy device: the time shown is the clock's, rounded, and the next tick is aimed at
    // the clock's next whole second.
    const Uint64 elapsed = sinceMs(logStartMs);
    drawClock(roundedSeconds(elapsed));
    SDL_Flip(screen);
    return 1000 - static_cast<Uint32>(elapsed % 1000);
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
    folderOf(path, folder, sizeof folder);
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

// The words for a log that the slot's path no longer leads to: its card was unmounted or
// pulled, or another card sits in its place.
static const char *const CARD_GONE = "Card removed";

// What the screen says about the last sample: set only while this log is still the one
// START last ordered, so a late sample of an earlier log never speaks for a new one.
static void tellProblem(const char *problem)
{
    pthread_mutex_lock(&cardLock);
    if (logOrder == orderedLog)
        sampleProblem = problem;
    pthread_mutex_unlock(&cardLock);
}

// A line's write (from the log's opening, which may create it, to the line's end) is begun
// only while the program is not leaving, and the exit waits for it to be over: STOP, SELECT
// and a signal never cut a line, nor leave a new log without its line.
static bool beginLine(void)
{
    pthread_mutex_lock(&cardLock);
    const bool allowed = !cardClosed;
    writingLine = allowed;
    pthread_mutex_unlock(&cardLock);
    return allowed;
}

static void endLine(void)
{
    pthread_mutex_lock(&cardLock);
    writingLine = false;
    pthread_cond_broadcast(&lineDone);
    pthread_mutex_unlock(&cardLock);
}

// What ends a broken line before the next sample: it then reads as damage, never as a sample
// of the number that happened to fit ("120,38" is no level of 38 mV).
static const char CUT_MARK[] = " (cut)\n";

// Appends line in a single write, so no other writer's bytes can come between its parts. A
// card that fills within the line takes part of it: that part is cut off again, so the log
// still ends with its last whole line. 0, or the error.
static int writeLine(int fd, const char *line, size_t length)
{
    off_t end = lseek(fd, 0, SEEK_END);
    ssize_t written = write(fd, line, length);
    if (written == static_cast<ssize_t>(length))
        return 0;
    int error = written < 0 ? errno : ENOSPC;
    if (written > 0 && end >= 0)
        ftruncate(fd, end);
    return error;
}

// Notes the log's length and last bytes as the file has them now, whatever the last write
// did, so that the log is known again after a remount.
static void noteEnd(int fd)
{
    struct stat now;
    if (fstat(fd, &now) != 0)
        return;
    logLength = now.st_size;
    logInode = now.st_ino;
    size_t n = logLength < static_cast<off_t>(sizeof logTail) ? static_cast<size_t>(logLength)
                                                              : sizeof logTail;
    ssize_t got = pread(fd, logTail, n, logLength - static_cast<off_t>(n));
    logTailLength = got > 0 ? static_cast<size_t>(got) : 0;
}

// Whether fd, opened at the log's path, is still the log. The same file system and file is;
// after a remount FAT has numbered the file anew, and the log is then known by its length and
// last bytes, both as we left them.
static bool isTheLog(int fd)
{
    struct stat now;
    if (fstat(fd, &now) != 0 || now.st_dev != logDevice)
        return false;
    if (now.st_ino != logInode) {
        char tail[sizeof logTail];
        const off_t n = static_cast<off_t>(logTailLength);
        if (now.st_size != logLength ||
            pread(fd, tail, logTailLength, logLength - n) != static_cast<ssize_t>(n) ||
            memcmp(tail, logTail, logTailLength) != 0)
            return false;
        logInode = now.st_ino;
    }
    return true;
}

void appendSample(Uint32 seconds)
{
    int level = readBatteryLevel();
    lastLevel = static_cast<Uint32>(level);
    if (!logCsv[0])
        return;
    // Room for the cut mark and the longest line.
    char line[sizeof CUT_MARK + 24];
    int length = snprintf(line, sizeof line, "%u,%d\n", static_cast<unsigned>(seconds), level);
    // From the file's opening to the line's end the exit waits: a quit never cuts a line, nor
    // leaves a log it created without its line (an empty log would take up the slot for good).
    if (!beginLine())
        return;  // the program is leaving: this sample is not begun
    // Only the log's first sample may create it. A card unmounted beneath us leaves its
    // path leading into the bare mount-point folder, or to another card's file: a later
    // sample must not start a stray log there.
    bool creating = !logKnown;
    if (creating && logPng[0])
        unlink(logPng);  // a picture left beside a log of the same name is not this log's
    int fd = open(logCsv, O_RDWR | O_APPEND | O_CLOEXEC | (creating ? O_CREAT : 0), 0666);
    if (fd < 0) {
        bool gone = !creating && (errno == ENOENT || errno == ENOTDIR);
        const char *problem = gone ? CARD_GONE : cardProblem(errno, creating ? logCsv : nullptr);
        endLine();
        tellProblem(problem);
        return;
    }
    struct stat created;
    if (creating && fstat(fd, &created) == 0) {
        logKnown = true;
        logDevice = created.st_dev;
        logInode = created.st_ino;
    } else if (!creating && !isTheLog(fd)) {
        close(fd);
        endLine();
        tellProblem(CARD_GONE);
        return;
    }
    // A line cut short whose cut could not be undone is ended first, so this one begins a
    // line of its own.
    noteEnd(fd);
    if (logTailLength > 0 && logTail[logTailLength - 1] != '\n') {
        memmove(line + sizeof CUT_MARK - 1, line, static_cast<size_t>(length) + 1);
        memcpy(line, CUT_MARK, sizeof CUT_MARK - 1);
        length += static_cast<int>(sizeof CUT_MARK - 1);
    }
    int error = writeLine(fd, line, static_cast<size_t>(length));
    endLine();
    // The line (or its cut) reaches the card before the file is closed. The exit does not
    // wait for this: its own sync takes it there.
    if (fsync(fd) != 0 && !error)
        error = errno;
    noteEnd(fd);
    close(fd);
    if (creating)
        syncFolderOf(logCsv);
    tellProblem(error ? cardProblem(error, nullptr) : nullptr);
}

int loadThread(void *param)
{
    (void)param;
    srand(static_cast<unsigned>(time(nullptr)));
    while (logging)
        rand();
    return 0;
}
