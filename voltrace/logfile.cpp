// The discharge log's line rule (logfile.h). Start at parseSample; parseField reads one
// number field by the shared number rule.
#include "logfile.h"

#include <string.h>

/* log file state: none; every call works on the caller's line alone */

static int isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// One field: blanks, an optional '+', a number of at most 32 bits, blanks.
static int parseField(const char *field, uint32_t *value)
{
    const char *p = field;
    while (isBlank(*p))
        p++;
    if (*p == '+')
        p++;
    uint32_t v = 0;
    p = readDecimal(p, 0xFFFFFFFFu, &v);
    if (!p)
        return 0;
    while (isBlank(*p))
        p++;
    if (*p != '\0')
        return 0;
    *value = v;
    return 1;
}

int parseSample(char *line, size_t length, int firstLine, uint32_t *time, uint32_t *level)
{
    if (firstLine && length >= 3 && memcmp(line, "\xEF\xBB\xBF", 3) == 0) {
        line += 3;
        length -= 3;
    }
    if (length == 0 || line[length - 1] != '\n' || memchr(line, '\0', length))
        return 0;
    line[length - 1] = '\0';
    char *rest = nullptr;
    const char *first = strtok_r(line, ",", &rest);
    const char *second = first ? strtok_r(nullptr, ",", &rest) : nullptr;
    uint32_t t = 0, v = 0;
    if (!second || !parseField(first, &t) || !parseField(second, &v))
        return 0;
    *time = t;
    *level = v;
    return 1;
}
