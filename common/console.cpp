// Noting the console before SDL's frame-buffer driver takes it, and giving it back without SDL.
// That driver switches to the first free virtual terminal, puts it in graphics mode with a
// medium-raw keyboard and raw line settings, and locks switching; only SDL_Quit undoes this.
// A program that ends without it leaves the launcher a terminal it cannot type on, and the
// next SDL program waits for that terminal for ever. Start at noteConsole.
#include "console.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <linux/kd.h>
#include <linux/vt.h>

// One virtual terminal as it was: its display mode, keyboard mode and line settings.
struct Terminal {
    int fd = -1;  // open for giving it back; -1: not noted
    int mode = KD_TEXT;
    int keyboard = K_UNICODE;
    termios settings = {};
    bool haveSettings = false;
};

/* console state: written on the main thread by noteConsole and noteConsoleTaken before any
   other thread exists or draws, then only read (giveConsoleBack, from any thread) */
static int consoleFd = -1;     // /dev/tty0, which asks about and switches terminals
static int foundVt;            // the terminal active at start, the launcher's
static Terminal found;         // that terminal as it was
static int freeVt;             // the first free terminal at start, which SDL is about to take
static Terminal fresh;         // that terminal as it was (its fd is not kept)
static Terminal taken;         // the terminal SDL switched to, when not the launcher's

static int openTerminal(int vt, int flags)
{
    char path[32];
    snprintf(path, sizeof path, "/dev/tty%d", vt);
    return open(path, flags | O_NOCTTY | O_CLOEXEC);
}

static Terminal readTerminal(int fd)
{
    Terminal t;
    t.fd = fd;
    if (ioctl(fd, KDGETMODE, &t.mode) != 0)
        t.mode = KD_TEXT;
    if (ioctl(fd, KDGKBMODE, &t.keyboard) != 0)
        t.keyboard = K_UNICODE;
    t.haveSettings = tcgetattr(fd, &t.settings) == 0;
    return t;
}

void noteConsole(void)
{
    consoleFd = open("/dev/tty0", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    vt_stat state = {};
    if (consoleFd < 0 || ioctl(consoleFd, VT_GETSTATE, &state) != 0) {
        if (consoleFd >= 0)
            close(consoleFd);
        consoleFd = -1;
        return;
    }
    foundVt = state.v_active;
    int fd = openTerminal(foundVt, O_RDWR);
    if (fd >= 0)
        found = readTerminal(fd);
    // Opened and closed again, so it stays free for SDL.
    if (ioctl(consoleFd, VT_OPENQRY, &freeVt) == 0 && freeVt > 0) {
        fd = openTerminal(freeVt, O_RDONLY);
        if (fd >= 0) {
            fresh = readTerminal(fd);
            close(fd);
            fresh.fd = -1;
        }
    }
}

void noteConsoleTaken(void)
{
    vt_stat state = {};
    if (consoleFd < 0 || ioctl(consoleFd, VT_GETSTATE, &state) != 0 || state.v_active == foundVt)
        return;
    int fd = openTerminal(state.v_active, O_RDWR);
    if (fd < 0)
        return;
    // SDL saved what it found there: the free terminal as noted, or else a console's usual.
    taken = state.v_active == freeVt ? fresh : found;
    taken.mode = KD_TEXT;
    taken.fd = fd;
}

static void restore(const Terminal &t)
{
    if (t.fd < 0)
        return;
    ioctl(t.fd, KDSETMODE, t.mode);
    ioctl(t.fd, KDSKBMODE, t.keyboard);
    if (t.haveSettings)
        tcsetattr(t.fd, TCSANOW, &t.settings);
}

void giveConsoleBack(void)
{
    if (consoleFd < 0)
        return;
    if (taken.fd >= 0)
        restore(taken);
    else
        restore(found);  // SDL drew on the launcher's own terminal
    ioctl(consoleFd, VT_UNLOCKSWITCH, 1);
    ioctl(consoleFd, VT_ACTIVATE, foundVt);
}
