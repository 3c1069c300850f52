// strobel's pieces, apart from main: the target square and its key steps and clamps, the
// key-press decision, the flashing thread and the redraw. Start reading at handleEvent in
// strobel.cpp; moveTarget and decideKeyPress are pure, so tests call them directly.
#pragma once

#include <SDL.h>

#include <atomic>

#include "frame.h"

// The target at start: 8 x 8, centred on the 320 x 240 screen.
const SDL_Rect START_TARGET = {156, 116, 8, 8};

// Flash colours by index 1, 2, 3 (index 0 is unused: the thread's index starts there).
extern const SDL_Color FLASH_COLORS[4];
extern const SDL_Color TARGET_COLOR;  // (200, 200, 200): the square at rest

extern SDL_Rect target;            // the square drawn and flashed; see strobel.cpp
extern std::atomic<int> flashing;  // 1 while the flashing thread is to run
extern const Uint8 *keys;          // SDL's key-state array, kept from start-up; the moves
                                   // come from it
extern void (*flashPause)(void);   // the pause after each flash; SDL_Delay(30) by default

// The move-and-resize steps for every key down in held (one byte per SDL key symbol,
// non-zero while down), then the ten clamps. The result is always a square, 1 to 240 pixels
// on a side, wholly on the 320 x 240 screen, whatever rectangle comes in.
SDL_Rect moveTarget(const Uint8 *held, SDL_Rect from);

// What a press of key does: START toggles flashing; while a START is held from an earlier
// press, every other press does nothing, and so does START's own repeat; while flashing nothing
// but START counts; SELECT leaves; any other press moves and resizes by whatever is held
// (possibly nothing). heldOverKeys names those of START and SELECT whose press came before this
// event and whose release has not, so each acts once per press; a SELECT repeat moves like any
// other key. Decided from the event's own key, never from the key-state array: SDL has moved
// that on to the events queued behind this one, where a quick tap already reads as released
// and a START pressed during a D-pad repeat as held.
enum KeyAction { TOGGLE_FLASHING, IGNORE_KEY, QUIT, MOVE_TARGET };
enum { START_HELD_OVER = 1, SELECT_HELD_OVER = 2 };
KeyAction decideKeyPress(SDLKey key, int isFlashing, int heldOverKeys);

// The colour index after i: 1, 2, 3, 1, ...; from 0 it gives 1, red.
int nextFlashIndex(int i);

// Acts on one event: a key press per decideKeyPress, a key release redraws. Returns 1 when
// the screen is to be redrawn, 0 when the loop just waits again. Main thread only.
int handleEvent(const SDL_Event &event);

// Header, footer, target, flip, all under the screen lock; draws nothing once SDL is shut
// down. title is the 64-byte title buffer of main.
void redrawScreen(const char *title);

// The footer texts for the current state of flashing, and the grey target. The caller holds
// the screen lock; neither flips.
void drawFooter(void);
void drawTarget(void);

// Flashing on: waits for a previous thread that has not noticed its stop yet, so two never
// flash at once, then starts a new one. Main thread only.
void startFlashing(void);

// Clears flashing and waits for the flashing thread to end (at most one period). Safe from
// any thread; it is the frame's stopDrawingThreads hook, so nothing flashes after SDL_Quit.
void endFlashThread(void);

// The flashing thread's body: fills the target red, green, blue, ... from red on, one colour
// per period, until flashing is cleared or the screen is closed. Returns 1.
int flashThread(void *data);
