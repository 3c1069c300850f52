// The discharge log's line rule, shared by the chart and the time-left gauge on the device and
// by voltrace-report on the PC so all count the same samples, and the reader that hands a
// log's samples to the device's readers. Plain C library only: it links without libstdc++.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Which lines are samples. Every reader of a log asks this one function, so the chart's
// ranges, batch size and points, and the report's numbers, always agree. A sample line:
//   - ends with a line feed (a last line without one was cut short by a power cut mid-write
//     and is not a sample yet), and holds no NUL byte (what a FAT card shows after a cut);
//   - splits at commas as strtok does (runs of commas count as one), into at least two
//     fields; fields past the second are ignored;
//   - has as its first two fields a decimal integer 0 ... 4294967295 each, with optional
//     blanks around it (so CRLF endings and "60, 4100" read as meant) and an optional '+'.
// Anything else (empty lines, a lone number, words, negative numbers, numbers beyond 32
// bits, binary bytes) is not a sample and every reader skips it. line holds length bytes
// as getline gives them; it is only read. firstLine is 1 for the file's first line
// and 0 for every other: a UTF-8 byte-order mark (EF BB BF), which a PC editor may put at
// the very start of a file, is nothing there and damage anywhere else. time and level are
// written only for a sample. Returns 1 for a sample, 0 otherwise.
int parseSample(const char *line, size_t length, int firstLine, uint32_t *time, uint32_t *level);

// The one way a decimal number is read: the log's fields, the battery file and the report's
// options all come here, and each caller says what may stand around the number and which
// values it takes. Reads the digits 0-9 at text, no blanks and no sign before them, and
// stores their value. Returns the byte after the last digit; null, storing nothing, when
// text does not begin with a digit or the number exceeds max, however many digits it has.
static inline const char *readDecimal(const char *text, uint32_t max, uint32_t *value)
{
    // 32-bit steps: the device's core has no 64-bit arithmetic, and strtoull's 64-bit scan
    // cost it about 220 instructions a field, twice for every line of every chart. Nine
    // digits always fit in 32 bits; only the digits past them are checked for overflow.
    unsigned digit = static_cast<unsigned char>(*text) - '0';
    if (digit > 9)
        return nullptr;
    uint32_t v = 0;
    int unchecked = 9;
    do {
        v = v * 10 + digit;
        digit = static_cast<unsigned char>(*++text) - '0';
    } while (digit <= 9 && --unchecked > 0);
    for (; digit <= 9; digit = static_cast<unsigned char>(*++text) - '0') {
        // Past 4294967295 the number exceeds every max, whatever digits follow.
        if (v > 429496729u || (v == 429496729u && digit > 5))
            return nullptr;
        v = v * 10 + digit;
    }
    if (v > max)
        return nullptr;
    *value = v;
    return text;
}

// The level voltrace writes when it could not read the battery (the file missing,
// unreadable, empty or out of range). Such a sample counts for time, since the device was
// awake and logging, but a reader must never take it as a level.
static const uint32_t NO_READING = 5000;

// Hands out the samples of a log file one by one, by parseSample, for the device's readers
// (the chart's two passes, the time-left gauge). It reads the file in blocks and finds the
// lines in them itself: getline's locking and copying cost the device's core more than the
// line rule. Lines are as getline would give them, of any length (the buffer grows to hold
// the longest), the last one without its line feed included, so both agree on every file.
struct LogReader {
    int fd;            // the log, open for reading; -1 once closed
    char *buffer;      // bytes read and not yet handed out, from start to filled, then a
                       // line feed of the reader's own that ends every search for one
    size_t size;       // the buffer's capacity, that line feed's byte not counted
    size_t start, filled;
    int firstLine;     // 1 until the file's first line has been handed out
    int atEnd;         // the file has given its last byte, or a read failed
    int failed;        // a read failed, or no buffer could hold a line: the samples before
                       // it were handed out, the rest of the file was not read
};

// Opens the log at path. Returns 1, or 0 (errno set, nothing to close) when it cannot be
// opened or no buffer can be had.
int openLog(LogReader *in, const char *path);

// The next sample line's time and level; lines that are not samples are skipped. Returns 1
// for a sample, 0 at the end of the file, at a read error (the samples before it stay
// good) and once no buffer can hold a line.
int readSample(LogReader *in, uint32_t *time, uint32_t *level);

void closeLog(LogReader *in);
