// The discharge sampler: the one-second clock, the battery sample every 60th second appended
// to the current slot's log, and the load thread that keeps the processor busy meanwhile.
// Start at startLogging.
#pragma once

#include <SDL.h>

#include <atomic>

// Log file format: one line per sample, "<seconds>,<millivolts>\n" in plain decimal, no
// header, no blanks, appended in time order. Seconds are the time since START on the
// monotonic clock, rounded, when the sample was taken: 0, 60, 120, ... while the ticks keep
// time, a later second for a late tick; the level is always 1 ... 5000.

/* sampler state shared with the chart, the screens and the tests; what each holds and who
   writes it is said beside its definition in sampler.cpp */
extern std::atomic<int> logging;
extern std::atomic<Uint32> tickCount;
extern SDL_Rect chartRect;
extern std::atomic<const char *> sampleProblem;
extern const char *batteryPath;      // device seam
extern Uint32 (*monotonicMs)(void);  // device seam

// Milliseconds of CLOCK_MONOTONIC, wrapping at 32 bits (after 49 days; the seconds since
// START are taken modulo that too): setting the wall clock does not move it.
Uint32 clockMonotonicMs(void);

// Main thread, while not logging (startLogging calls it): makes now second 0 of the log and
// forgets which file the last log was, so that the next sample may create a new one.
void beginLog(void);

// Main thread, not holding the screen lock, while not logging: starts the log in the current
// slot. Takes the sample for second 0 at once (which creates the log), then arms the
// one-second timer and starts the load thread.
void startLogging(void);

// Main thread, not holding the screen lock: ends the log. When it returns no sample is being
// written and none will be, and the load thread has ended.
void stopLogging(void);

// quitApp's hook (stopDrawingThreads): clears logging before SDL shuts down, waiting for a
// sample being written to be complete and for the load thread to end, so the log stays whole.
void stopLoggingForExit(void);

// SDL timer callback, once a second while logging (and once directly from startLogging):
// redraws the clock (the rounded seconds of monotonicMs since beginLog) in the chart's
// clockBox and flips; on every 60th tick, beginning with tick 0, appends a sample for those
// seconds and pushes an SDL_USEREVENT for the main loop. Takes the screen lock itself, so
// its caller must not hold it. Returns interval.
Uint32 timerTick(Uint32 interval, void *param);

// Reads the battery and appends one line for the given second to the log at csvPath. The
// line is written in one write and fsynced before the file is closed, and a newly created
// log's folder is fsynced too: the device usually dies mid-discharge, and on a FAT card
// whatever is still in the page cache then is lost. Only the first sample since beginLog
// (or a later one, when no sample has created the log yet) creates the file; every later one
// writes only while csvPath still leads to that file (after a remount: a file on the same
// file system whose length and last line are as this log's), else it writes nothing and
// sampleProblem says "Card removed". A sample that cannot be written (a full or read-only
// card) is lost, sampleProblem says why, and a line that did not fit whole is cut off again:
// the log keeps whole lines only. The next sample is tried as usual.
void appendSample(Uint32 seconds);

// The battery level in millivolts, 1 ... 5000: the leading decimal integer of the battery
// file's first line. A missing, unreadable or empty file, a line without a number, and any
// reading outside 1 ... 5000 (0, negative, beyond 32 bits) give 5000.
int readBatteryLevel(void);

// Formats count / unitsPerSecond seconds as "HH:MM:SS" with hours wrapping at 24. The text
// lives in a buffer of the calling thread, valid until that thread's next call. A zero
// unitsPerSecond counts as 1.
const char *formatClock(unsigned count, unsigned unitsPerSecond);

// Load thread body: calls rand() without pause while logging is 1, then returns 0.
int loadThread(void *param);
