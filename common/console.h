// The device's text console, as the launcher left it: noted before SDL's frame-buffer driver
// takes a virtual terminal of its own, and given back by the ways out that skip SDL_Quit.
// Start at noteConsole.
#pragma once

// Before SDL starts: which virtual terminal is active, its display and keyboard modes, and
// those of the free terminal SDL will take. Where there is no console to reach (a PC's X11
// display, no /dev/tty0, no permission) it notes nothing, and giveConsoleBack does nothing.
void noteConsole(void);

// After the video mode is set: which terminal SDL switched to, so that it can be put back.
void noteConsoleTaken(void);

// Puts the console back as noteConsole found it: SDL's terminal to text mode with its
// keyboard and line settings as they were, switching unlocked, the launcher's terminal
// active again. SDL_Quit does all this on a normal exit; this is for an exit that cannot run
// it (a crash, a main thread that does not come back). Only ioctl calls on descriptors opened
// beforehand: safe in a signal handler and from any thread.
void giveConsoleBack(void);
