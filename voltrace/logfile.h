// The discharge log's line rule, shared by the chart on the device and by voltrace-report on
// the PC so both count the same samples. Plain C library only: it links without libstdc++.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

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
// as getline gives them; it is cut up in place. firstLine is 1 for the file's first line
// and 0 for every other: a UTF-8 byte-order mark (EF BB BF), which a PC editor may put at
// the very start of a file, is nothing there and damage anywhere else. time and level are
// written only for a sample. Returns 1 for a sample, 0 otherwise.
int parseSample(char *line, size_t length, int firstLine, uint32_t *time, uint32_t *level);

// The one way a decimal number is read: the log's fields, the battery file and the report's
// options all come here, and each caller says what may stand around the number and which
// values it takes. Reads the digits 0-9 at text, no blanks and no sign before them, and
// stores their value. Returns the byte after the last digit; null, storing nothing, when
// text does not begin with a digit or the number exceeds max, however many digits it has.
static inline const char *readDecimal(const char *text, uint32_t max, uint32_t *value)
{
    if (*text < '0' || *text > '9')
        return nullptr;
    char *end = nullptr;
    // Beyond 64 bits strtoull gives its largest value, which is beyond max too.
    unsigned long long v = strtoull(text, &end, 10);
    if (v > max)
        return nullptr;
    *value = static_cast<uint32_t>(v);
    return end;
}

// The level voltrace writes when it could not read the battery (the file missing,
// unreadable, empty or out of range). Such a sample counts for time, since the device was
// awake and logging, but a reader must never take it as a level.
static const uint32_t NO_READING = 5000;
