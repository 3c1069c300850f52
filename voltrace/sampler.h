// The discharge sampler: the log's clock, the card thread that takes a sample at START and
// every minute after it, the one-second clock on the screen and the load thread that keeps
// the processor busy meanwhile. Start at startLogging.
#pragma once

#include <SDL.h>

#include <atomic>

// Log file format: one line per sample, "<seconds>,<millivolts>\n" in plain decimal, no
// header, no blanks, appended in time order. Seconds are the time since START on the log's
// clock, rounded, when the sample was taken. Sample k is due at START + 60 k s and taken at
// the first chance from then on, so a late sample carries its true second (0, 60, 121, 180,
// ...) and lateness never adds up. The level is always 1 ... 5000.

/* sampler state shared with the screens and the tests; what each holds and who writes it is
   said beside its definition in sampler.cpp */
extern std::atomic<int> logging;
extern std::atomic<const char *> sampleProblem;
extern const char *batteryPath;     // device seam
extern Uint64 (*logClockMs)(void);  // device seam

// What the card thread's SDL_USEREVENT says (its user.code).
enum { SAMPLE_TAKEN = 0, LOG_SETTLED = 1 };

// Milliseconds of CLOCK_BOOTTIME, which goes on counting while the device is suspended, so a
// sleep mid-log leaves its gap; a kernel older than 2.6.39 has only CLOCK_MONOTONIC, which
// stops then. Neither moves when the date is set. 64 bits: a log on a charger goes on past
// 2^32 ms (49.7 days), its seconds with it.
Uint64 logClockBootMs(void);

// Main thread, not holding the screen lock, while not logging: starts the log in the current
// slot. Returns at once: the card thread takes the first sample (which creates the log, and
// first removes a picture left at the slot's PNG path, since it cannot be this log's), and
// then one a minute; the one-second clock is armed and the load thread started.
void startLogging(void);

// Main thread, not holding the screen lock: ends the log. Returns at once; a sample already
// under way is still completed whole, after which the card thread pushes LOG_SETTLED. No
// sample is begun after it, and the load thread has ended when it returns.
void stopLogging(void);

// 1 while a sample of the log at csv (of any log, for null) is on its way to the card. While
// not logging that is a stopped log's last sample: the log is not final yet, the chart's
// picture must wait for LOG_SETTLED, and its slot is not free, even when that sample is its
// first and has not created the file yet.
int logUnsettled(const char *csv);

// sampleProblem when the log START last ordered was the one at csv, else null: why a
// stopped log's last sample could not be written, for the slot it belongs to.
const char *lastLogProblem(const char *csv);

// quitApp's hook (stopDrawingThreads): clears logging before SDL shuts down, waits for a line
// being written to be complete and for the load thread to end; no line is begun and no event
// pushed afterwards. The sync that may follow a line is not waited for: quitApp's own sync
// covers it.
void stopLoggingForExit(void);

// SDL timer callback while logging: redraws the clock (the rounded seconds of logClockMs
// since START) in the chart's clockBox and flips, under the screen lock, which its caller
// must not hold. No file is touched. Returns the time to the next whole second of the log's
// clock, so the clock keeps its second however late SDL's timer runs.
Uint32 timerTick(Uint32 interval, void *param);

// The card thread's step, also the tests': when the log's next sample is due on the log's
// clock, takes it for the rounded seconds since beginLog and schedules the one after at the
// next due moment still ahead (a wake-up after several of them takes one sample, not a
// burst). Returns 1 when it took a sample.
int sampleWhenDue(void);

// Makes the current slot's log (csvPath, pngPath) the one samples go into, with now on the
// log's clock as its second 0 (the clock on screen's too) and its first sample due at once; forgets which file the last
// log was, so that the first sample may create a new one. The card thread's own step when a
// START reaches it; the tests' before appendSample.
void beginLog(void);

// Reads the battery and appends one line for the given second to the log. The line is written
// in one write and fsynced before the file is closed, and a newly created log's folder is
// fsynced too: the device usually dies mid-discharge, and on a FAT card whatever is still in
// the page cache then is lost. Only the first sample since beginLog (or a later one, when no
// sample has created the log yet) creates the file; every later one writes only while the
// log's path still leads to that file (after a remount: a file on the same file system whose
// length and last bytes are as this log's), else it writes nothing and sampleProblem says
// "Card removed". A sample that cannot be written (a full card or folder, a read-only card)
// is lost, sampleProblem says why, and a line that did not fit whole is cut off again. Should
// that fail, the next line begins with the cut one's end, " (cut)" and a line feed, so that
// no sample is ever glued to a broken line and the broken one reads as damage. The length and
// last bytes kept to know the log again are the file's as it is, whatever failed.
void appendSample(Uint32 seconds);

// The battery level in millivolts, 1 ... 5000: the leading decimal integer of the battery
// file's first line. A missing, unreadable or empty file, a line without a number, and any
// reading outside 1 ... 5000 (0, negative, beyond 32 bits) give 5000.
int readBatteryLevel(void);

// Load thread body: calls rand() without pause while logging is 1, then returns 0.
int loadThread(void *param);
