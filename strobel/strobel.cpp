// The pixel exerciser: the target square and its controls (handleEvent, moveTarget), the
// redraw, and the flashing thread with its start and stop. Start reading at handleEvent.
#include "strobel.h"

#include <pthread.h>

static void pauseOnePeriod(void);

/* strobel state */
SDL_Rect target;                 // pixels; written by the main thread under the screen lock
                                 // while not flashing, read by the flashing thread under it
std::atomic<int> flashing{0};    // 0 or 1; written by the main thread (and by the quitting
                                 // thread through endFlashThread), read by the flashing thread
const Uint8 *keys;               // SDL's own array, updated by SDL_PumpEvents on the main thread
static int downBefore;           // START_HELD_OVER, SELECT_HELD_OVER: those of the two whose
                                 // key-down has come and key-up not yet; main thread only
void (*flashPause)(void) = pauseOnePeriod;  // run by the flashing thread after each flip
static SDL_Thread *flashThreadHandle;  // the running or ended-but-not-waited-for thread, or
                                       // null; under threadLock, main or quitting thread
static pthread_mutex_t threadLock = PTHREAD_MUTEX_INITIALIZER;  // makes starting a thread
                                 // and waiting for it one step each, so a signal's quit
                                 // never misses a thread being started

const SDL_Color FLASH_COLORS[4] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}};
const SDL_Color TARGET_COLOR = {200, 200, 200, 0};

// The footer texts, each shown in one state of flashing.
struct FooterText {
    const char *text;
    int x, y;
    TextAnchor anchor;
    int whenFlashing;
};
static const FooterText FOOTER[] = {
    {"START: Stop", 310, 230, ANCHOR_RIGHT | ANCHOR_MIDDLE, 1},
    {"START: Start", 310, 230, ANCHOR_RIGHT | ANCHOR_MIDDLE, 0},
    {"<^v>: Move    L/R: Size    SELECT: Exit", 10, 230, ANCHOR_LEFT | ANCHOR_MIDDLE, 0},
};

// The move-and-resize steps in the order they apply; every held key acts.
struct KeyStep {
    SDLKey key;
    int dx, dy, dsize;
};
static const KeyStep KEY_STEPS[] = {
    {SDLK_LEFT, -1, 0, 0},      // D-pad left
    {SDLK_RIGHT, 1, 0, 0},      // D-pad right
    {SDLK_UP, 0, -1, 0},        // D-pad up
    {SDLK_DOWN, 0, 1, 0},       // D-pad down
    {SDLK_BACKSPACE, 0, 0, 1},  // one L/R button grows
    {SDLK_TAB, 0, 0, -1},       // the other shrinks
};

int handleEvent(const SDL_Event &event)
{
    if (event.type != SDL_KEYDOWN && event.type != SDL_KEYUP)
        return 0;  // SDL_QUIT included: only SELECT leaves
    // Key repeat brings key presses, and no releases, while a key is held: a START or SELECT
    // whose press came before and whose release has not is held over. Told by the order of
    // the events, not by the key-state array, which SDL has already moved on to keys pressed
    // after this event when the program is slow to take it.
    int heldOver = downBefore;
    int key = event.key.keysym.sym == SDLK_RETURN   ? START_HELD_OVER
              : event.key.keysym.sym == SDLK_ESCAPE ? SELECT_HELD_OVER
                                                    : 0;
    downBefore = event.type == SDL_KEYDOWN ? downBefore | key : downBefore & ~key;
    if (event.type == SDL_KEYUP) {
        // A stopped thread ends within one period of the START press; take it back here so
        // no ended thread lingers while the program sits idle.
        if (!flashing)
            endFlashThread();
        return 1;
    }

    switch (decideKeyPress(event.key.keysym.sym, flashing, heldOver)) {
    case TOGGLE_FLASHING:
        // No redraw: the release that follows brings the footer up to date.
        if (flashing)
            flashing = 0;
        else
            startFlashing();
        return 0;
    case IGNORE_KEY:
        return 0;
    case QUIT:
        quitApp(0);
    case MOVE_TARGET:
        break;
    }
    SDL_Rect moved = moveTarget(keys, target);
    ScreenHold hold = holdScreen();
    if (hold.ownsLock())
        target = moved;
    return 1;
}

KeyAction decideKeyPress(SDLKey key, int isFlashing, int heldOverKeys)
{
    if (key == SDLK_RETURN)
        return heldOverKeys & START_HELD_OVER ? IGNORE_KEY : TOGGLE_FLASHING;
    if (heldOverKeys & START_HELD_OVER)
        return IGNORE_KEY;
    if (isFlashing)
        return IGNORE_KEY;
    if (key == SDLK_ESCAPE && !(heldOverKeys & SELECT_HELD_OVER))
        return QUIT;
    return MOVE_TARGET;
}

// Each step keeps to the field's own 16-bit type, so x - 1 at 0 is -1 and w - 1 at 0 wraps
// to 65535; the clamps then bring every such value back.
SDL_Rect moveTarget(const Uint8 *held, SDL_Rect r)
{
    for (const KeyStep &step : KEY_STEPS) {
        if (!held[step.key])
            continue;
        r.x = static_cast<Sint16>(r.x + step.dx);
        r.y = static_cast<Sint16>(r.y + step.dy);
        r.w = static_cast<Uint16>(r.w + step.dsize);
        r.h = static_cast<Uint16>(r.h + step.dsize);
    }

    if (r.w == 0)
        r.w = 1;
    if (r.h == 0)
        r.h = 1;
    if (r.w > 320)
        r.w = 320;
    if (r.h > 240)
        r.h = 240;
    if (r.h < r.w)
        r.w = r.h;
    if (r.w < r.h)
        r.h = r.w;
    // Growing pushes the square back from the right and bottom edges rather than past them.
    if (r.x < 0)
        r.x = 0;
    if (static_cast<Sint32>(r.x) + static_cast<Sint32>(r.w) > 320)
        r.x = static_cast<Sint16>(320 - r.w);
    if (r.y < 0)
        r.y = 0;
    if (static_cast<Sint32>(r.y) + static_cast<Sint32>(r.h) > 240)
        r.y = static_cast<Sint16>(240 - r.h);
    return r;
}

int nextFlashIndex(int i)
{
    i = i + 1;
    return i >= 4 ? 1 : i;
}

void redrawScreen(const char *title)
{
    ScreenHold hold = holdScreen();
    if (!hold.ownsLock())
        return;
    drawHeader(title);
    drawFooter();
    drawTarget();
    SDL_Flip(screen);
}

void drawFooter(void)
{
    int state = flashing ? 1 : 0;
    for (const FooterText &line : FOOTER)
        if (line.whenFlashing == state)
            drawText(line.x, line.y, line.text, BODY_COLOR, line.anchor);
}

// SDL_FillRect clips the rectangle it is given in place; a copy keeps target untouched.
static void fillTarget(SDL_Color colour)
{
    SDL_Rect r = target;
    SDL_FillRect(screen, &r, SDL_MapRGB(screen->format, colour.r, colour.g, colour.b));
}

void drawTarget(void)
{
    fillTarget(TARGET_COLOR);
}

void startFlashing(void)
{
    pthread_mutex_lock(&threadLock);
    // A second START can come quicker than a stopped thread notices its flag: wait for it,
    // so two threads never flash at once.
    if (flashThreadHandle)
        SDL_WaitThread(flashThreadHandle, nullptr);
    flashing = 1;
    flashThreadHandle = SDL_CreateThread(flashThread, nullptr);
    pthread_mutex_unlock(&threadLock);
}

void endFlashThread(void)
{
    pthread_mutex_lock(&threadLock);
    flashing = 0;
    if (flashThreadHandle)
        SDL_WaitThread(flashThreadHandle, nullptr);
    flashThreadHandle = nullptr;
    pthread_mutex_unlock(&threadLock);
}

static void pauseOnePeriod(void)
{
    SDL_Delay(30);
}

int flashThread(void *)
{
    int i = 0;  // local, so every run of flashing begins with red
    for (;;) {
        {
            ScreenHold hold = holdScreen();
            // The flag is read under the lock: once a stop is followed by a redraw, no fill
            // from this run can land on top of the grey square.
            if (!hold.ownsLock() || !flashing)
                return 1;
            i = nextFlashIndex(i);
            fillTarget(FLASH_COLORS[i]);
            SDL_Flip(screen);
        }
        flashPause();
    }
}
