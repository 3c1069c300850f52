/* A card that stalls in every sync, as cheap cards do while they erase: loaded with LD_PRELOAD
 * into the real binary, fsync and fdatasync first sleep SLOW_SYNC_MS milliseconds, then sync. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

static void stall(void)
{
    const char *ms = getenv("SLOW_SYNC_MS");
    long n = ms ? strtol(ms, NULL, 10) : 0;
    struct timespec left = {n / 1000, (n % 1000) * 1000000L};
    while (n > 0 && nanosleep(&left, &left) != 0) {
    }
}

int fsync(int fd)
{
    stall();
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real(fd);
}

int fdatasync(int fd)
{
    stall();
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    return real(fd);
}
