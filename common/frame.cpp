// The application frame: start-up, the exit routine and the screen lock (top half), then
// text drawing and the header (bottom half). Start reading at installSignalHandlers.
#include "frame.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>

#include "commands.h"
#include "console.h"

/* process-wide objects */
SDL_Surface *screen;                // the video surface, owned by SDL
SDL_RWops *rw;                      // stream over rwfont, freed by TTF_CloseFont
TTF_Font *font;                     // null before start-up and after quitApp
void (*stopDrawingThreads)(void);   // the program's hook to end its drawing threads

const SDL_Color HEADER_COLOR = {200, 200, 0, 0};
const SDL_Color BODY_COLOR = {200, 200, 220, 0};

/* frame state */
static pthread_mutex_t screenLock = PTHREAD_MUTEX_INITIALIZER;  // held by every draw-and-flip
static bool screenClosed;                 // under screenLock: set for good by closeApp
static std::atomic<bool> quitting{false}; // the first quitApp caller has begun
static std::atomic<int> pendingQuit{0};   // a signal waiting for the main thread to quit on
static const int QUIT_GRACE_SECONDS = 3;  // how long the main thread has to act on it (and
                                          // four times that to finish a quit it began)

// SIGINT and SIGTERM may arrive while any thread holds the screen lock, stdio's locks or
// malloc's: running quitApp in the handler could deadlock or corrupt memory. So they stay
// blocked everywhere (threads inherit the mask) and this thread takes them. It hands the
// quit to the main thread, which started SDL and is the one thread its X11 driver can be
// shut down from safely; waitEvent, which the main loop is never long away from, acts on it.
// Should the main thread not come back, the process still ends, synced, with the signal, and
// leaves nothing behind: the commands it started are killed and the console is given back.
static sigset_t quitSignals;  // SIGINT and SIGTERM, blocked in every thread

// The ways out that cannot run quitApp: nothing the program started is left, the console is
// the launcher's again, and what was written is pushed towards the card. Only calls that are
// safe in a signal handler.
[[noreturn]] static void endProcess(int status)
{
    endCommands();
    giveConsoleBack();
    sync();
    _exit(status);
}

static void *waitForSignals(void *)
{
    int sig = 0;
    while (sigwait(&quitSignals, &sig) != 0) {
    }
    int none = 0;
    pendingQuit.compare_exchange_strong(none, sig);
    sleep(QUIT_GRACE_SECONDS);
    // A quit under way is left to finish: its sync can take seconds on a slow card.
    for (int waited = 0; waited < QUIT_GRACE_SECONDS * 4 && quitting.load(); waited++)
        sleep(1);
    endProcess(pendingQuit.load());
}

// Only when the waiting thread could not be started: the signal is then handled wherever it
// lands, so it only asks the main thread to quit, as the waiting thread would. A second one
// while that quit has not begun ends the process the way that thread's fallback does.
static void askToQuit(int sig)
{
    int none = 0;
    if (!pendingQuit.compare_exchange_strong(none, sig) && !quitting.load())
        endProcess(pendingQuit.load());
}

// A segmentation fault leaves the process in an unknown state: only calls that are safe in
// a signal handler. sync() still pushes the log lines already written towards the card.
static void onSegfault(int sig)
{
    endProcess(sig);
}

void installSignalHandlers(void)
{
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);
    pthread_t waiter;
    if (pthread_create(&waiter, nullptr, waitForSignals, nullptr) == 0) {
        pthread_detach(waiter);
    } else {
        // Without it, blocked signals would leave only SIGKILL to end the program.
        struct sigaction ask = {};
        ask.sa_handler = askToQuit;
        sigemptyset(&ask.sa_mask);
        ask.sa_flags = SA_RESTART;
        sigaction(SIGINT, &ask, nullptr);
        sigaction(SIGTERM, &ask, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &quitSignals, nullptr);
    }

    struct sigaction segv = {};
    segv.sa_handler = onSegfault;
    sigemptyset(&segv.sa_mask);
    sigaction(SIGSEGV, &segv, nullptr);
}

int startVideo(int repeatDelay, int repeatInterval)
{
    StartUp how = FRAME_START;
    how.repeatDelay = repeatDelay;
    how.repeatInterval = repeatInterval;
    if (startUp(how, &screen, &rw, &font) != 0)
        return -1;

    pthread_mutex_lock(&screenLock);
    screenClosed = false;
    pthread_mutex_unlock(&screenLock);
    return 0;
}

void closeApp(void)
{
    // A drawing thread may be waiting for the screen lock: end it before taking the lock. It
    // also finishes the line being written, so the sync after it takes that line to the card.
    if (stopDrawingThreads)
        stopDrawingThreads();
    runCommand("sync", -1);
    pthread_mutex_lock(&screenLock);
    screenClosed = true;
    if (font)
        TTF_CloseFont(font);
    font = nullptr;
    pthread_mutex_unlock(&screenLock);
    // Not under the lock: SDL_Quit waits for SDL's timer thread, whose callback may be
    // waiting for the lock. Once screenClosed is set no thread touches the screen again.
    SDL_Quit();
    TTF_Quit();
}

void quitApp(int code)
{
    if (quitting.exchange(true)) {
        // Another thread is already quitting and will end the process for both of us.
        for (;;)
            pause();
    }
    closeApp();
    endCommands();
    exit(code);
}

int quitRequested(void)
{
    return pendingQuit.load();
}

ScreenHold holdScreen(void)
{
    pthread_mutex_lock(&screenLock);
    if (screenClosed) {
        pthread_mutex_unlock(&screenLock);
        return ScreenHold(0);
    }
    return ScreenHold(1);
}

void ScreenHold::unlock()
{
    if (held) {
        held = 0;
        pthread_mutex_unlock(&screenLock);
    }
}

int waitEvent(SDL_Event *event)
{
    for (;;) {
        if (int sig = pendingQuit.load())
            quitApp(sig);
        int taken;
        {
            ScreenHold hold = holdScreen();
            if (!hold.ownsLock()) {
                for (;;)
                    pause();
            }
            SDL_PumpEvents();
            taken = SDL_PeepEvents(event, 1, SDL_GETEVENT, SDL_ALLEVENTS);
        }
        if (taken != 0)
            return taken > 0;
        SDL_Delay(10);
    }
}

int drawText(int x, int y, const char *text, SDL_Color colour, TextAnchor anchor)
{
    // SDL_ttf yields no surface for an empty text; nothing to draw then, and no width.
    if (!font || !text || !text[0])
        return 0;
    SDL_Surface *rendered = TTF_RenderText_Blended(font, text, colour);
    if (!rendered)
        return 0;
    int w = rendered->w;
    int h = rendered->h;

    if (anchor & ANCHOR_CENTER)
        x -= w / 2;
    else if (anchor & ANCHOR_RIGHT)
        x -= w;
    if (anchor & ANCHOR_MIDDLE)
        y -= h / 2;
    else if (anchor & ANCHOR_BOTTOM)
        y -= h;

    // SDL clips the box to the screen; one wholly outside draws nothing.
    SDL_Rect box = {static_cast<Sint16>(x), static_cast<Sint16>(y), static_cast<Uint16>(w),
                    static_cast<Uint16>(h)};
    SDL_BlitSurface(rendered, nullptr, screen, &box);
    SDL_FreeSurface(rendered);
    return w;
}

int textWidth(const char *text)
{
    int w = 0, h = 0;
    if (!font || !text || !text[0] || TTF_SizeText(font, text, &w, &h) != 0)
        return 0;
    return w;
}

void drawHeader(const char *title)
{
    SDL_Rect whole = {0, 0, 320, 240};
    SDL_FillRect(screen, &whole, SDL_MapRGB(screen->format, 0, 0, 0));
    drawText(310, 4, "Vantiro", HEADER_COLOR, ANCHOR_RIGHT | ANCHOR_TOP);
    drawText(10, 4, title, HEADER_COLOR, ANCHOR_TOP);
}
