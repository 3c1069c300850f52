// The shell commands the programs start (sync, the backlight, the screenshot tool): each begins
// as a fresh process would, is waited for against a deadline, and never outlives the program,
// whichever way it leaves. Start at runCommand.
#pragma once

#include <sys/types.h>

// How a command's wait ended.
enum CommandEnd {
    COMMAND_DONE,       // it ran and exited with status 0
    COMMAND_FAILED,     // it could not start, exited non-zero or was killed by a signal
    COMMAND_TIMED_OUT,  // the deadline passed: it was ended, with everything it started
    COMMAND_ABANDONED,  // the caller's giveUp said to stop: ended the same way
};

// Starts `sh -c command` with nothing blocked and every signal at its default action (the
// programs block SIGINT and SIGTERM in every thread, and some C libraries hand that mask on),
// in a process group of its own, so that it and whatever it starts can be ended together.
// Returns its pid, or -1 when it could not be started.
pid_t startCommand(const char *command);

// Waits for the command started as pid: until it exits, deadlineMs pass (a negative deadline
// never passes), or giveUp, polled about every 10 ms when not null, returns non-zero. A
// command that is timed out or abandoned is killed with its whole process group. One that is
// no child of ours any more (reaped by someone else) has ended and counts as failed.
CommandEnd waitCommand(pid_t pid, int deadlineMs, int (*giveUp)(void));

// startCommand, then waitCommand without giveUp.
CommandEnd runCommand(const char *command, int deadlineMs);

// Kills every command still running, with its process group. Only system calls: safe in a
// signal handler and from any thread, for the ways out that skip the normal exit.
void endCommands(void);
