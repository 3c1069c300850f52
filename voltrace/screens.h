// voltrace's screens and controls: which of the three screens (help, chart, logging) to
// build, the footer and slot lines, the keys, the backlight at the start of a log and the
// chart's automatic screenshot. Start at redrawScreen, then handleEvent.
#pragma once

#include <SDL.h>

#include <stddef.h>

// Device seams; tests point them at their own commands. Both run through the shell.
extern const char *screenshotTool;    // saves the frame buffer as a PNG: "fbgrab"
extern const char *backlightCommand;  // "echo 100 > /proc/jz/lcd_backlight"

// Main thread, not holding the screen lock: rebuilds and shows the whole screen for the
// current state under the title, then takes the chart's screenshot when one is due (not
// logging, the slot's log exists and is final, its PNG does not): the tool saves a draft
// beside it, which a sync takes to the card and a rename makes the picture. The wait gives
// way to an exit key or a signal, which end the tool and the program with their usual
// status; other events stay queued. A tool that fails or passes its deadline leaves no
// picture, and the chart then says so until the next rebuild tries again.
void redrawScreen(const char *title);

// Main thread: acts on one event. Returns 1 when the screen must be rebuilt. SELECT and END
// while not logging end the program through quitApp(0) and do not return. START, SELECT and
// END act once per press: their key repeat, while they are held, does nothing. The card
// thread's SDL_USEREVENT rebuilds while logging (SAMPLE_TAKEN) or, once a stopped log is
// final, while not (LOG_SETTLED).
int handleEvent(const SDL_Event *event);

// The shell command that saves the screenshot at path: the tool, then the path quoted so the
// shell hands it over unchanged whatever it holds (blanks, quotes, ';', "$( )", backquotes);
// written into command (size bytes). Returns 1, or 0 with an empty command when it does not
// fit, since a cut command could run something else.
int screenshotCommand(char *command, size_t size, const char *path);
