// Log slots: the current slot number, its log and screenshot paths, isRegularFile, and the
// words for a card that refuses a file. Start reading at selectSlot.
#include "slots.h"

#include <errno.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

/* slot state: all written by selectSlot on the main thread, only while not logging */
int slotIndex;               // current slot number, 0 or more
char csvPath[4096];          // path of the current slot's log, "" when unusable
char pngPath[4096];          // path of the current slot's screenshot, "" when unusable
const char *slotProblem;     // screen text saying why the paths are unusable, or null

// The device's launcher may start programs without HOME; the password database still knows
// the user's home, and logs then land where they would in a login shell.
static const char *homeFolder(void)
{
    const char *home = getenv("HOME");
    if (home && home[0])
        return home;
    const struct passwd *user = getpwuid(getuid());
    if (user && user->pw_dir && user->pw_dir[0])
        return user->pw_dir;
    return nullptr;
}

// Formats one slot path; 0 when it would not fit, which must never become a shorter name.
static int formatSlotPath(char *path, const char *home, const char *extension)
{
    int n = snprintf(path, sizeof csvPath, "%s/battery%d.%s", home, slotIndex, extension);
    return n >= 0 && static_cast<size_t>(n) < sizeof csvPath;
}

int selectSlot(int delta)
{
    // No upper bound but the int itself: stepping past it would be signed overflow.
    if (delta > 0 && slotIndex > INT_MAX - delta)
        return 0;
    slotIndex += delta;
    if (slotIndex < 0) {
        slotIndex = 0;
        return 0;
    }

    const char *home = homeFolder();
    slotProblem = nullptr;
    if (!home)
        slotProblem = "No home folder: HOME is not set";
    else if (!formatSlotPath(csvPath, home, "csv") || !formatSlotPath(pngPath, home, "png"))
        slotProblem = "HOME is too long for a log path";
    if (slotProblem) {
        csvPath[0] = '\0';
        pngPath[0] = '\0';
    }
    return 1;
}

int isRegularFile(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return 0;
    return S_ISREG(st.st_mode) ? 1 : 0;
}

void folderOf(const char *path, char *folder, size_t size)
{
    snprintf(folder, size, "%s", path);
    char *slash = strrchr(folder, '/');
    if (!slash)
        snprintf(folder, size, ".");
    else if (slash == folder)
        slash[1] = '\0';
    else
        *slash = '\0';
}

const char *cardProblem(int error, const char *created)
{
    if (error == ENOSPC && created) {
        char folder[sizeof csvPath];
        folderOf(created, folder, sizeof folder);
        struct statvfs card;
        if (statvfs(folder, &card) == 0 && card.f_bavail > 0)
            return "Card folder full";
    }
    if (error == ENOSPC || error == EFBIG || error == EDQUOT)
        return "Card full";
    if (error == EROFS)
        return "Card read-only";
    return "Card error";
}
