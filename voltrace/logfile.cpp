// The discharge log's line rule (logfile.h) and the reader that feeds it. Start at
// parseSample; parseField reads one number field by the shared number rule.
#include "logfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* log file state: none; every call works on the caller's line or reader alone */

static const size_t READ_BLOCK = 1024;  // a reader's first buffer: some ninety lines of a log

// Not the line feed, which ends the line.
static int isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// One field at p: blanks, an optional '+', a number of at most 32 bits, blanks. Returns the
// byte after it, or null when the field holds anything else. Every scan stops at the line's
// last byte, its line feed, which is none of the bytes a field may hold.
static const char *parseField(const char *p, uint32_t *value)
{
    while (isBlank(*p))
        p++;
    if (*p == '+')
        p++;
    p = readDecimal(p, 0xFFFFFFFFu, value);
    if (!p)
        return nullptr;
    while (isBlank(*p))
        p++;
    return p;
}

// One pass over the line: the two fields are found as strtok finds its tokens at commas (a
// run of commas is one, commas before the first field are none) and read where they stand;
// only the bytes past the second field, which no scan reads, are searched for a NUL.
int parseSample(const char *line, size_t length, int firstLine, uint32_t *time, uint32_t *level)
{
    if (firstLine && length >= 3 && memcmp(line, "\xEF\xBB\xBF", 3) == 0) {
        line += 3;
        length -= 3;
    }
    if (length == 0 || line[length - 1] != '\n')
        return 0;
    const char *end = line + length - 1, *p = line;
    while (*p == ',')
        p++;
    uint32_t t = 0, v = 0;
    if (!(p = parseField(p, &t)) || *p != ',')
        return 0;  // no first field, a damaged one, or nothing after it
    while (*p == ',')
        p++;
    if (!(p = parseField(p, &v)) || (p != end && *p != ','))
        return 0;
    if (memchr(p, '\0', static_cast<size_t>(end - p)))
        return 0;
    *time = t;
    *level = v;
    return 1;
}

int openLog(LogReader *in, const char *path)
{
    in->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (in->fd < 0)
        return 0;
    in->buffer = static_cast<char *>(malloc(READ_BLOCK + 1));
    if (!in->buffer) {
        close(in->fd);
        in->fd = -1;
        errno = ENOMEM;
        return 0;
    }
    in->size = READ_BLOCK;
    in->start = in->filled = 0;
    in->buffer[0] = '\n';
    in->firstLine = 1;
    in->atEnd = in->failed = 0;
    return 1;
}

// Makes room behind the bytes not yet handed out and reads more. Returns 0 when nothing more
// came: the end of the file, a read error, or no bigger buffer for a line that fills this one.
static int readMore(LogReader *in)
{
    if (in->atEnd)
        return 0;
    if (in->start > 0) {
        memmove(in->buffer, in->buffer + in->start, in->filled - in->start);
        in->filled -= in->start;
        in->start = 0;
    }
    if (in->filled == in->size) {
        char *bigger = in->size < SIZE_MAX / 2
                           ? static_cast<char *>(realloc(in->buffer, in->size * 2 + 1))
                           : nullptr;
        if (!bigger) {
            in->atEnd = in->failed = 1;
            return 0;
        }
        in->buffer = bigger;
        in->size *= 2;
    }
    ssize_t n;
    do
        n = read(in->fd, in->buffer + in->filled, in->size - in->filled);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
        in->atEnd = 1;
        in->failed = n < 0;
        return 0;
    }
    in->filled += static_cast<size_t>(n);
    in->buffer[in->filled] = '\n';
    return 1;
}

int readSample(LogReader *in, uint32_t *time, uint32_t *level)
{
    size_t scanned = 0;  // bytes of the line at start known to hold no line feed
    for (;;) {
        const char *line = in->buffer + in->start, *feed = line + scanned;
        while (*feed != '\n')
            feed++;
        const size_t have = in->filled - in->start;
        size_t length = static_cast<size_t>(feed - line) + 1;
        if (length > have) {  // the reader's own line feed: no whole line is left
            if (readMore(in)) {
                scanned = have;
                continue;
            }
            if (have == 0)
                return 0;
            // The last line, cut short: never a sample, but a line. readMore may have moved it.
            line = in->buffer + in->start;
            length = have;
        }
        const int first = in->firstLine;
        in->firstLine = 0;
        in->start += length;
        scanned = 0;
        if (parseSample(line, length, first, time, level))
            return 1;
    }
}

void closeLog(LogReader *in)
{
    if (in->fd >= 0)
        close(in->fd);
    free(in->buffer);
    in->fd = -1;
    in->buffer = nullptr;
}
