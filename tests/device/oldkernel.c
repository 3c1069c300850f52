/* Runs a program in the emulated handheld as the device's own kernel of the Linux 2.6 era
 * would: every system call added after Linux 2.6.24 fails with ENOSYS (89 on MIPS) in the
 * program's own process, and the clocks added after it (CLOCK_MONOTONIC_RAW in 2.6.28 on, up
 * to CLOCK_BOOTTIME in 2.6.39 and later) are refused with EINVAL by the calls that take a
 * clock, while the device's tools that it starts (sh, fbgrab, sync: built on the device for
 * its kernel) run unchanged. Start reading at main.
 *
 *   oldkernel [-c] [-p PROC] [-l LOG] PROGRAM [ARG...]
 *
 * PROC is where the real /proc is reachable (when /proc itself is hidden); LOG gets the
 * number of each system call refused, once per number. With -c the program is not told of
 * this kernel's vDSO, which answers clock_gettime from the processor's counter without a
 * system call, so the filter would never see it; the device's kernel has no clock there, and
 * every clock_gettime is a system call. A plain errno filter would be
 * inherited by the tools too, and the guest's busybox (which needs a new kernel) would fail
 * at once; so the filter only notifies a supervisor process, which refuses the call when the
 * caller runs the program's file and lets every other file's call through. */
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

/* launcher state: set once in main before the fork, read by the supervisor */
static const char *procDir = "/proc";  /* the real /proc */
static const char *logPath;            /* where refused numbers go; null: nowhere */
static dev_t programDev;               /* the program's file, as the kernel names it */
static ino_t programIno;
static int clockCalls;                 /* -c: the program is not told of the vDSO */

/* o32's 4321 is timerfd_create, the first call after Linux 2.6.24. The calls that take a
 * clock are older, but 2.6.24 knew clocks 0 to 3 only: 4 (CLOCK_MONOTONIC_RAW) came later. */
enum { LAST_OLD_CALL = 4320, FIRST_CALL = 4000, CALLS_SEEN = 1024 };
enum { TIMER_CREATE = 4257, CLOCK_GETTIME = 4263, CLOCK_NANOSLEEP = 4265, FIRST_NEW_CLOCK = 4 };

static _Noreturn void die(const char *what)
{
    fprintf(stderr, "oldkernel: %s: %s\n", what, strerror(errno));
    exit(127);
}

/* Whether task pid is running the program's file (a task that has gone counts as not). */
static int runsProgram(unsigned pid)
{
    char path[256];
    struct stat st;
    snprintf(path, sizeof path, "%s/%u/exe", procDir, pid);
    return stat(path, &st) == 0 && st.st_dev == programDev && st.st_ino == programIno;
}

static void noteRefused(int nr)
{
    static unsigned char seen[CALLS_SEEN];
    if (!logPath)
        return;
    if (nr >= FIRST_CALL && nr < FIRST_CALL + CALLS_SEEN) {
        if (seen[nr - FIRST_CALL])
            return;
        seen[nr - FIRST_CALL] = 1;
    }
    int fd = open(logPath, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd >= 0) {
        dprintf(fd, "%d\n", nr);
        close(fd);
    }
}

/* Answers every notification until no task uses the filter any more (the listener then
 * hangs up). The caller is blocked in its system call meanwhile, so its file cannot change
 * between the look and the answer. */
static void supervise(int listener)
{
    for (;;) {
        struct pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (!(p.revents & POLLIN))
            return;  /* hung up: the program and everything it started have ended */
        struct seccomp_notif req;
        memset(&req, 0, sizeof req);  /* the kernel refuses a buffer that is not zeroed */
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) < 0)
            continue;  /* the caller died meanwhile, or a signal came */
        struct seccomp_notif_resp resp;
        memset(&resp, 0, sizeof resp);
        resp.id = req.id;
        if (runsProgram(req.pid)) {
            /* a call the old kernel had, asked about a clock it had not */
            resp.error = req.data.nr <= LAST_OLD_CALL ? -EINVAL : -ENOSYS;
            noteRefused(req.data.nr);
        } else {
            resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        }
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);  /* fails only if the caller died */
    }
}

/* One byte carrying one file descriptor over the socketpair, as both ends spell it. */
struct fdMessage {
    char byte;
    struct iovec iov;
    char control[CMSG_SPACE(sizeof(int))];
};

static struct msghdr prepareMessage(struct fdMessage *m)
{
    memset(m, 0, sizeof *m);
    m->iov.iov_base = &m->byte;
    m->iov.iov_len = 1;
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = &m->iov;
    msg.msg_iovlen = 1;
    msg.msg_control = m->control;
    msg.msg_controllen = sizeof m->control;
    return msg;
}

/* Makes the auxiliary vector's entry that tells the program of the vDSO one it skips. The
 * program is stopped at its exec, its stack as the kernel laid it out from startstack (the
 * 28th field of its stat) on: argc, argv and envp (each ended by a null), then the vector's
 * pairs up to AT_NULL. */
static int hideVdso(pid_t pid)
{
    char path[256], line[1024];
    snprintf(path, sizeof path, "%s/%d/stat", procDir, (int)pid);
    FILE *f = fopen(path, "r");
    char *p = f && fgets(line, sizeof line, f) ? strrchr(line, ')') : NULL;  /* field 2's end */
    for (int field = 2; p && field < 28; field++)
        p = strchr(p + 1, ' ');
    if (f)
        fclose(f);
    snprintf(path, sizeof path, "%s/%d/mem", procDir, (int)pid);
    int fd = p ? open(path, O_RDWR) : -1;
    off_t start = p ? (off_t)strtoul(p + 1, NULL, 10) : 0;
    uint32_t w[1024], ignore = AT_IGNORE;
    ssize_t got = fd >= 0 ? pread(fd, w, sizeof w, start) : -1;
    size_t words = got > 0 ? (size_t)got / 4 : 0, i = words ? w[0] + 2 : 0;  /* past argv */
    while (i < words && w[i])
        i++;  /* envp */
    int hidden = 0;
    for (i++; i + 1 < words && w[i] != AT_NULL; i += 2)
        if (w[i] == AT_SYSINFO_EHDR)
            hidden = pwrite(fd, &ignore, 4, start + (off_t)(i * 4)) == 4;
    if (fd >= 0)
        close(fd);
    return hidden;
}

/* Follows the launcher through its exec of the program (the launcher waits for the byte
 * that says it is followed), hides the vDSO there and lets it go. A signal that comes
 * meanwhile is passed on. Should the vDSO stay in view the program never runs. */
static void followExec(pid_t launcher, int sock)
{
    char followed = 1;
    int status;
    if (ptrace(PTRACE_SEIZE, launcher, 0, PTRACE_O_TRACEEXEC) != 0 ||
        write(sock, &followed, 1) != 1)
        _exit(1);
    while (waitpid(launcher, &status, 0) == launcher && WIFSTOPPED(status)) {
        if (status >> 8 != (SIGTRAP | PTRACE_EVENT_EXEC << 8)) {
            ptrace(PTRACE_CONT, launcher, 0, WSTOPSIG(status));
            continue;
        }
        if (!hideVdso(launcher)) {
            fprintf(stderr, "oldkernel: the vDSO could not be hidden from the program\n");
            kill(launcher, SIGKILL);
        }
        ptrace(PTRACE_DETACH, launcher, 0, 0);
        return;
    }
    _exit(1);  /* the launcher ended before its exec */
}

/* The supervisor's life: take the listener from the launcher, answer until the end. Signals
 * meant for the program (a Ctrl-C at a terminal reaches the whole group) must not end it: a
 * filter without its supervisor fails every newer call, the tools' calls too. */
static void supervisor(int sock)
{
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        /* Holds no one's output open: a reader of the program's output sees its end. */
        dup2(null, 0);
        dup2(null, 1);
        close(null);
    }
    struct fdMessage m;
    struct msghdr msg = prepareMessage(&m);
    if (recvmsg(sock, &msg, 0) <= 0)
        _exit(0);  /* the launcher failed before the filter was in place */
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    if (!c || c->cmsg_type != SCM_RIGHTS)
        _exit(1);
    int listener;
    memcpy(&listener, CMSG_DATA(c), sizeof listener);
    if (clockCalls)
        followExec(getppid(), sock);
    close(sock);
    supervise(listener);
    _exit(0);
}

static void sendListener(int sock, int listener)
{
    struct fdMessage m;
    struct msghdr msg = prepareMessage(&m);
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &listener, sizeof listener);
    if (sendmsg(sock, &msg, 0) < 0)
        die("sending the listener");
}

/* Every o32 call numbered above LAST_OLD_CALL, and timer_create and clock_gettime to
 * clock_nanosleep on a clock numbered from FIRST_NEW_CLOCK on, go to the supervisor;
 * everything else, and any other ABI, is allowed. Negative clocks are a process's or a
 * thread's CPU clock, which the old kernel had. Jumps count the instructions skipped. */
static int installFilter(void)
{
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_MIPSEL, 0, 9),     /* else allow */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, LAST_OLD_CALL, 6, 0),         /* notify */
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIMER_CREATE, 2, 0),          /* its clock */
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, CLOCK_GETTIME, 0, 5),         /* else allow */
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, CLOCK_NANOSLEEP, 4, 0),       /* allow */
        /* the first argument's low word (little-endian): the clock */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, FIRST_NEW_CLOCK, 0, 2),       /* else allow */
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x80000000u, 1, 0),           /* allow */
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {sizeof code / sizeof code[0], code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0)
        die("no_new_privs");
    long fd = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER,
                      &prog);
    if (fd < 0)
        die("installing the filter");
    return (int)fd;
}

int main(int argc, char **argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "+cp:l:")) != -1) {
        if (opt == 'c')
            clockCalls = 1;
        else if (opt == 'p')
            procDir = optarg;
        else if (opt == 'l')
            logPath = optarg;
        else
            return 127;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: oldkernel [-c] [-p PROC] [-l LOG] PROGRAM [ARG...]\n");
        return 127;
    }
    const char *program = argv[optind];
    struct stat st;
    if (stat(program, &st) < 0)
        die(program);
    programDev = st.st_dev;
    programIno = st.st_ino;

    /* The supervisor is forked before the filter exists, so its own calls are never held. */
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) < 0)
        die("socketpair");
    pid_t child = fork();
    if (child < 0)
        die("fork");
    if (child == 0) {
        close(sv[0]);
        supervisor(sv[1]);
    }
    close(sv[1]);
    int listener = installFilter();
    sendListener(sv[0], listener);
    close(listener);
    char followed;
    if (clockCalls && read(sv[0], &followed, 1) != 1)
        die("the supervisor could not follow the program");
    close(sv[0]);
    /* The program keeps this pid, so signals sent to it reach the program. */
    execv(program, argv + optind);
    die(program);
}
