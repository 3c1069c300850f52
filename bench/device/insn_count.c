/* insn_count: a qemu TCG plugin that counts the instructions a program executes, per function
 * and per thread, and the instructions and system calls inside a window between two code
 * addresses. Start at qemu_plugin_install, then onBlock (runs for every translated block
 * executed).
 *
 * qemu-mipsel -cpu 4Kc -plugin ./insn_count.so,syms=NM,out=FILE[,from=F,to=F,after=F,until=F,
 *     stop=K] PROG
 *   syms  `nm -S` of the unstripped program: function ranges (types t, T, w, W)
 *   out   the report, written when the program ends (by the process qemu started, not by
 *         a child it forks):
 *           function NAME ENTRIES INSTRUCTIONS   every function that ran (all threads)
 *           window INSTRUCTIONS TIMES            how often a window held that many
 *           call NUMBER TIMES                    system calls made inside the windows counted
 *           windows COUNT                        the windows counted
 *   from  where a window opens: a function's name or a hex address; its entry
 *   to    where it closes on the same thread (default: from again, so a window is one turn
 *         of a loop that enters from once a turn); the closing block is not counted
 *   after windows open only once this function (name or hex address) has run on any thread
 *   until windows end once this function (name or hex address) has run on any thread;
 *         a window open at that moment is dropped
 *   stop  after this many windows the program gets SIGTERM, as from a user's kill
 * A window counts only the instructions of the thread that opened it: the programs' other
 * threads (SDL's timer thread wakes every millisecond) run as often as wall time allows, so
 * a count that took them in would depend on how busy the machine is. qemu's inline counters
 * are shared by all threads, so every block calls back with its thread's number instead.
 */
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The few declarations of qemu's plugin interface (version 1, qemu 7.2) this plugin uses. */
typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t;
struct qemu_plugin_tb;
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_vcpu_udata_cb_t)(unsigned int vcpu_index, void *userdata);
typedef void (*qemu_plugin_vcpu_simple_cb_t)(qemu_plugin_id_t id, unsigned int vcpu_index);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb *tb, qemu_plugin_vcpu_udata_cb_t cb,
                                          enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_register_vcpu_init_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_simple_cb_t cb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
typedef void (*qemu_plugin_vcpu_syscall_cb_t)(qemu_plugin_id_t id, unsigned int vcpu_index,
                                              int64_t num, uint64_t a1, uint64_t a2, uint64_t a3,
                                              uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7,
                                              uint64_t a8);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_syscall_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb *tb);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

/* o32 numbers its system calls from 4000; the last is below 4000 + MAX_CALLS. */
enum { MAX_THREADS = 256, MAX_WINDOW_SIZES = 4096, FIRST_CALL = 4000, MAX_CALLS = 512 };

struct Function {
    uint64_t start, size;
    char name[128];
};

/* What a translated block does when it runs; made once per translation, never freed (qemu
 * may drop and translate a block again, which only adds another). */
struct Block {
    size_t function;  /* index into functions, or functionCount: outside every function */
    uint64_t insns;   /* instructions in the block */
    int entry;        /* 1: the block starts at its function's first instruction */
    int opens, closes;
    int begins;       /* 1: the block starts at after */
    int ends;         /* 1: the block starts at until */
};

/* One per qemu vcpu, which in user mode is one per guest thread; only that thread writes it. */
struct Thread {
    uint64_t *insns, *entries;  /* per function, functionCount + 1 slots */
    uint64_t total;             /* every instruction of the thread so far */
    int windowOpen;
    uint64_t windowStart;       /* total when the window opened */
    uint64_t windowCalls[MAX_CALLS];  /* system calls since then, by number - FIRST_CALL */
};

/* plugin state */
static struct Function *functions;  /* sorted by start; read-only once installed */
static size_t functionCount;
static uint64_t fromAddress, toAddress;  /* the window's ends; 0: no window */
static uint64_t afterAddress;            /* windows begin with this; 0: from the start */
static atomic_int begun;                 /* 1 once afterAddress has run (on any thread) */
static uint64_t untilAddress;            /* windows end with this; 0: they never do */
static atomic_int ended;                 /* 1 once untilAddress has run (on any thread) */
static unsigned long stopAfter;          /* windows before SIGTERM; 0: never */
static char outPath[4096];
static pid_t programPid;                 /* qemu's own process: children it forks stay quiet */
static struct Thread *threads[MAX_THREADS];  /* created by each thread on its first block */
static pthread_mutex_t windowLock = PTHREAD_MUTEX_INITIALIZER;  /* guards the four below */
static struct { uint64_t insns, times; } windowSizes[MAX_WINDOW_SIZES];
static size_t windowSizeCount;
static unsigned long windowCount;
static uint64_t calls[MAX_CALLS];  /* system calls of the windows counted, by number */

static int byStart(const void *a, const void *b)
{
    const struct Function *x = a, *y = b;
    return x->start < y->start ? -1 : x->start > y->start;
}

static int readSymbols(const char *path)
{
    FILE *nm = fopen(path, "r");
    if (!nm)
        return -1;
    size_t room = 4096;
    functions = malloc(room * sizeof *functions);
    char line[512];
    while (functions && fgets(line, sizeof line, nm)) {
        unsigned long long start, size;
        char type, name[128];
        if (sscanf(line, "%llx %llx %c %127s", &start, &size, &type, name) != 4 || size == 0 ||
            !strchr("tTwW", type))
            continue;
        if (functionCount == room)
            functions = realloc(functions, (room *= 2) * sizeof *functions);
        if (!functions)
            break;
        struct Function *f = &functions[functionCount++];
        f->start = start;
        f->size = size;
        snprintf(f->name, sizeof f->name, "%s", name);
    }
    fclose(nm);
    if (!functions)
        return -1;
    qsort(functions, functionCount, sizeof *functions, byStart);
    return 0;
}

static size_t functionAt(uint64_t address)
{
    size_t low = 0, high = functionCount;  /* the last start <= address is below high */
    while (low < high) {
        size_t mid = low + (high - low) / 2;
        if (functions[mid].start <= address)
            low = mid + 1;
        else
            high = mid;
    }
    if (low > 0 && address - functions[low - 1].start < functions[low - 1].size)
        return low - 1;
    return functionCount;
}

/* A function's name, or a hex address (0x...); 0 when neither. */
static uint64_t addressOf(const char *where)
{
    if (strncmp(where, "0x", 2) == 0)
        return strtoull(where, NULL, 16);
    for (size_t i = 0; i < functionCount; i++)
        if (strcmp(functions[i].name, where) == 0)
            return functions[i].start;
    return 0;
}

static struct Thread *threadOf(unsigned int vcpu)
{
    if (vcpu >= MAX_THREADS)
        return NULL;
    if (!threads[vcpu]) {
        struct Thread *t = calloc(1, sizeof *t);
        if (t) {
            t->insns = calloc(functionCount + 1, sizeof *t->insns);
            t->entries = calloc(functionCount + 1, sizeof *t->entries);
        }
        if (!t || !t->insns || !t->entries) {
            fprintf(stderr, "insn_count: out of memory\n");
            abort();
        }
        threads[vcpu] = t;
    }
    return threads[vcpu];
}

static void closeWindow(struct Thread *t, uint64_t insns)
{
    pthread_mutex_lock(&windowLock);
    for (int c = 0; c < MAX_CALLS; c++)
        calls[c] += t->windowCalls[c];
    size_t i = 0;
    while (i < windowSizeCount && windowSizes[i].insns != insns)
        i++;
    if (i < MAX_WINDOW_SIZES) {
        windowSizes[i].insns = insns;
        windowSizes[i].times++;
        if (i == windowSizeCount)
            windowSizeCount++;
    }
    int stopNow = ++windowCount == stopAfter;
    pthread_mutex_unlock(&windowLock);
    if (stopNow)
        kill(programPid, SIGTERM);
}

static void onBlock(unsigned int vcpu, void *data)
{
    const struct Block *b = data;
    struct Thread *t = threadOf(vcpu);
    if (!t)
        return;
    if (b->begins)
        begun = 1;
    if (b->ends)
        ended = 1;
    if (b->closes && t->windowOpen) {
        t->windowOpen = 0;
        if (!ended)
            closeWindow(t, t->total - t->windowStart);
    }
    if (b->opens && !ended && (begun || !afterAddress)) {
        t->windowOpen = 1;
        t->windowStart = t->total;
        memset(t->windowCalls, 0, sizeof t->windowCalls);
    }
    t->total += b->insns;
    t->insns[b->function] += b->insns;
    t->entries[b->function] += (uint64_t)b->entry;
}

static void onTranslate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    (void)id;
    struct Block *b = malloc(sizeof *b);
    if (!b) {
        fprintf(stderr, "insn_count: out of memory\n");
        abort();
    }
    uint64_t address = qemu_plugin_tb_vaddr(tb);
    b->function = functionAt(address);
    b->insns = qemu_plugin_tb_n_insns(tb);
    b->entry = b->function < functionCount && functions[b->function].start == address;
    b->opens = fromAddress != 0 && address == fromAddress;
    b->closes = fromAddress != 0 && address == toAddress;
    b->begins = afterAddress != 0 && address == afterAddress;
    b->ends = untilAddress != 0 && address == untilAddress;
    qemu_plugin_register_vcpu_tb_exec_cb(tb, onBlock, QEMU_PLUGIN_CB_NO_REGS, b);
}

/* A system call of a thread inside its window: the window's, kept if the window is counted.
 * The kernel's own work for it is not an instruction of the program, and is not counted. */
static void onSyscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1,
                      uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6,
                      uint64_t a7, uint64_t a8)
{
    (void)id, (void)a1, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
    struct Thread *t = threadOf(vcpu);
    if (t && t->windowOpen && num >= FIRST_CALL && num < FIRST_CALL + MAX_CALLS)
        t->windowCalls[num - FIRST_CALL]++;
}

/* A thread that ended may leave its number to a new one: that one starts with no window. */
static void onThreadStart(qemu_plugin_id_t id, unsigned int vcpu)
{
    (void)id;
    if (vcpu < MAX_THREADS && threads[vcpu])
        threads[vcpu]->windowOpen = 0;
}

static void onExit(qemu_plugin_id_t id, void *data)
{
    (void)id;
    (void)data;
    if (getpid() != programPid)
        return;
    FILE *out = fopen(outPath, "w");
    if (!out) {
        perror(outPath);
        return;
    }
    for (size_t f = 0; f < functionCount; f++) {
        uint64_t insns = 0, entries = 0;
        for (int v = 0; v < MAX_THREADS; v++)
            if (threads[v]) {
                insns += threads[v]->insns[f];
                entries += threads[v]->entries[f];
            }
        if (insns)
            fprintf(out, "function %s %llu %llu\n", functions[f].name,
                    (unsigned long long)entries, (unsigned long long)insns);
    }
    pthread_mutex_lock(&windowLock);
    for (size_t i = 0; i < windowSizeCount; i++)
        fprintf(out, "window %llu %llu\n", (unsigned long long)windowSizes[i].insns,
                (unsigned long long)windowSizes[i].times);
    for (int c = 0; c < MAX_CALLS; c++)
        if (calls[c])
            fprintf(out, "call %d %llu\n", FIRST_CALL + c, (unsigned long long)calls[c]);
    fprintf(out, "windows %lu\n", windowCount);
    pthread_mutex_unlock(&windowLock);
    fclose(out);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t *info,
                                                               int argc, char **argv)
{
    (void)info;
    const char *syms = NULL, *from = NULL, *to = NULL, *after = NULL, *until = NULL;
    for (int i = 0; i < argc; i++) {
        const char *a = argv[i];
        if (strncmp(a, "syms=", 5) == 0)
            syms = a + 5;
        else if (strncmp(a, "out=", 4) == 0)
            snprintf(outPath, sizeof outPath, "%s", a + 4);
        else if (strncmp(a, "from=", 5) == 0)
            from = a + 5;
        else if (strncmp(a, "to=", 3) == 0)
            to = a + 3;
        else if (strncmp(a, "after=", 6) == 0)
            after = a + 6;
        else if (strncmp(a, "until=", 6) == 0)
            until = a + 6;
        else if (strncmp(a, "stop=", 5) == 0)
            stopAfter = strtoul(a + 5, NULL, 10);
        else {
            fprintf(stderr, "insn_count: unknown argument %s\n", a);
            return -1;
        }
    }
    if (!syms || !outPath[0] || readSymbols(syms) != 0) {
        fprintf(stderr, "insn_count: needs syms=FILE (nm -S output) and out=FILE\n");
        return -1;
    }
    if (from && !(fromAddress = addressOf(from))) {
        fprintf(stderr, "insn_count: no function %s\n", from);
        return -1;
    }
    toAddress = fromAddress;
    if (to && !(toAddress = addressOf(to))) {
        fprintf(stderr, "insn_count: no function %s\n", to);
        return -1;
    }
    if (after && !(afterAddress = addressOf(after))) {
        fprintf(stderr, "insn_count: no function %s\n", after);
        return -1;
    }
    if (until && !(untilAddress = addressOf(until))) {
        fprintf(stderr, "insn_count: no function %s\n", until);
        return -1;
    }
    programPid = getpid();
    qemu_plugin_register_vcpu_tb_trans_cb(id, onTranslate);
    qemu_plugin_register_vcpu_init_cb(id, onThreadStart);
    qemu_plugin_register_vcpu_syscall_cb(id, onSyscall);
    qemu_plugin_register_atexit_cb(id, onExit, NULL);
    return 0;
}
