// Starting, waiting for and ending the shell commands: posix_spawn with a clean signal state
// and a process group each, a polled wait with a deadline, and the table that endCommands
// kills from. Start at startCommand.
#include "commands.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

extern char **environ;

/* commands state */
static const int MAX_COMMANDS = 4;  // commands running at once; the programs run one at a time
static std::atomic<pid_t> running[MAX_COMMANDS];  // pids (= process groups) of the commands
                                    // started and not yet reaped, 0 for a free place; written
                                    // by the thread that starts and waits, read by endCommands
static std::atomic<pid_t> stuck[MAX_COMMANDS];  // commands killed but still stuck in the
                                    // kernel when their wait ended, not yet reaped: no longer
                                    // killed by endCommands, reaped by a later sweep
static const int POLL_MS = 10;      // how often a wait looks at the command and at giveUp

static long long nowMs(void)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

static void forget(std::atomic<pid_t> (&table)[MAX_COMMANDS], pid_t pid)
{
    for (std::atomic<pid_t> &place : table) {
        pid_t mine = pid;
        if (place.compare_exchange_strong(mine, 0))
            return;
    }
}

static bool note(std::atomic<pid_t> (&table)[MAX_COMMANDS], pid_t pid)
{
    for (std::atomic<pid_t> &place : table) {
        pid_t free = 0;
        if (place.compare_exchange_strong(free, pid))
            return true;
    }
    return false;
}

// Whether the command has ended, looked at without reaping it: its pid, and so its process
// group's number, stay ours until it is reaped. A command that is no child of ours (reaped
// by someone else: ECHILD) has ended too; only an interrupted look says nothing.
static bool hasEnded(pid_t pid)
{
    for (;;) {
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
            return info.si_pid == pid;
        if (errno != EINTR)
            return true;
    }
}

// Reaps an ended command; its exit status, or -1 when it was no child of ours to reap.
static int reap(pid_t pid)
{
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return got == pid ? status : -1;
}

// Reaps the stuck commands whose kernel call has returned since, so none is left a zombie.
static void reapStuck(void)
{
    for (std::atomic<pid_t> &place : stuck) {
        pid_t pid = place.load();
        if (pid > 0 && hasEnded(pid)) {
            reap(pid);
            place = 0;
        }
    }
}

pid_t startCommand(const char *command)
{
    reapStuck();
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return -1;
    sigset_t none, defaults;
    sigemptyset(&none);
    // Every signal a handler or an ignore could reach; SIGKILL and SIGSTOP cannot be set.
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);
    const char *argv[] = {"sh", "-c", command, nullptr};
    pid_t pid = -1;
    int error = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char **>(argv), environ);
    posix_spawnattr_destroy(&attr);
    if (error != 0)
        return -1;
    note(running, pid);
    return pid;
}

// Kills the command's group and reaps it, forgetting it first (as a wait does), so that
// endCommands never kills by a number that has been handed to another process. A process
// stuck in the kernel (a sync on a stalled card) dies only when its call returns: it is then
// reaped by a later sweep.
static void endCommand(pid_t pid)
{
    kill(-pid, SIGKILL);
    for (int waited = 0; waited < 200; waited += POLL_MS) {
        if (hasEnded(pid)) {
            forget(running, pid);
            reap(pid);
            return;
        }
        usleep(POLL_MS * 1000);
    }
    forget(running, pid);
    note(stuck, pid);  // with no room left it stays a zombie until the program ends
}

CommandEnd waitCommand(pid_t pid, int deadlineMs, int (*giveUp)(void))
{
    if (pid <= 0)
        return COMMAND_FAILED;
    const long long deadline = nowMs() + deadlineMs;
    for (;;) {
        if (hasEnded(pid)) {
            forget(running, pid);
            int status = reap(pid);
            // A status nobody can tell (no child of ours any more) is no success.
            return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? COMMAND_DONE
                                                                                : COMMAND_FAILED;
        }
        if (giveUp && giveUp()) {
            endCommand(pid);
            return COMMAND_ABANDONED;
        }
        if (deadlineMs >= 0 && nowMs() >= deadline) {
            endCommand(pid);
            return COMMAND_TIMED_OUT;
        }
        usleep(POLL_MS * 1000);
    }
}

CommandEnd runCommand(const char *command, int deadlineMs)
{
    return waitCommand(startCommand(command), deadlineMs, nullptr);
}

void endCommands(void)
{
    for (std::atomic<pid_t> &place : running) {
        pid_t pid = place.load();
        if (pid > 0)
            kill(-pid, SIGKILL);
    }
}
