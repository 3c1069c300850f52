// Log slots: which discharge log is current, the two paths it yields under the user's home
// folder, and the existence test every other part of voltrace asks. Start at selectSlot.
#pragma once

#include <stddef.h>

// A slot is the pair <home>/battery<N>.csv and <home>/battery<N>.png. Written only by
// selectSlot, on the main thread, and only while not logging; read by every part.
extern int slotIndex;        // current slot, 0 or more
extern char csvPath[4096];   // the log; empty while slotProblem is set
extern char pngPath[4096];   // the chart's screenshot; empty while slotProblem is set
extern const char *slotProblem;  // why no log can be kept (a short screen text), or null

// Moves the current slot by delta and rebuilds both paths from the home folder as it is now.
// Returns 1 when the paths were rebuilt, 0 when the move was refused: below slot 0, or past
// the largest slot number an int holds (nothing changes then).
//
// The home folder is HOME, or when HOME is unset or empty the user's home from the password
// database. When there is none, or a path would not fit its array, both paths are left
// empty and slotProblem says why, so no file is ever written under a truncated name.
int selectSlot(int delta);

// 1 when path names an existing regular file, else 0: a missing file, a folder, a socket or
// any other kind of file, a failed stat (permissions, a path too long) all count as no file.
int isRegularFile(const char *path);

// The screen's words for why a file on the card could not be written (errno error): "Card
// full", "Card folder full", "Card read-only" or "Card error". created is the path of a file
// that was being created, or null: a folder that can take no new entry (a FAT16 root folder
// holds 512, and a lower-case name takes two) fails a creation with ENOSPC while the card
// still has room.
const char *cardProblem(int error, const char *created);

// The folder that holds path, into folder (size bytes): "." for a bare name, "/" for a file
// at the root.
void folderOf(const char *path, char *folder, size_t size);
