/* Prints the results of float, double and 64-bit integer arithmetic over edge values, one
   line each, with results as bit patterns: run on the device runtime (soft-float routines and
   64-bit division of our own) and on the host (hardware), the two outputs must be identical.
   NaNs print as "nan" because MIPS's legacy NaN encoding differs from the host's by design. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static void bitsd(const char *what, double x)
{
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    if (x != x)
        printf("%s nan\n", what);
    else
        printf("%s %016llx %.17g\n", what, (unsigned long long)b, x);
}

static void bitsf(const char *what, float x)
{
    uint32_t b;
    memcpy(&b, &x, sizeof b);
    if (x != x)
        printf("%s nan\n", what);
    else
        printf("%s %08lx %.9g\n", what, (unsigned long)b, (double)x);
}

int main(void)
{
    /* volatile keeps the compiler from folding the arithmetic at build time */
    static volatile double d[] = {0.0, -0.0, 1.0, -1.5, 0.1, 3.0, 4.2, 1e-310, 2.2250738585072014e-308,
                                  1.7976931348623157e308, 1e300, -7e-5, 123456789.987654321,
                                  9007199254740993.0, 1.0 / 0.0, -1.0 / 0.0, 0.0 / 0.0};
    static volatile int64_t n[] = {0, 1, -1, 7, -7, 3, 1000000007, -4294967296LL, 4294967295LL,
                                   INT64_MAX, INT64_MIN + 1, 0x123456789abcdefLL, -987654321012LL};
    const int nd = sizeof d / sizeof d[0], nn = sizeof n / sizeof n[0];
    char what[64];

    for (int i = 0; i < nd; i++) {
        for (int j = 0; j < nd; j++) {
            double a = d[i], b = d[j];
            snprintf(what, sizeof what, "d%d,%d", i, j);
            bitsd(what, a + b), bitsd(what, a - b), bitsd(what, a * b), bitsd(what, a / b);
            printf("%s cmp %d%d%d%d%d%d\n", what, a == b, a != b, a < b, a <= b, a > b, a >= b);
            float fa = (float)a, fb = (float)b;
            bitsf(what, fa + fb), bitsf(what, fa - fb), bitsf(what, fa * fb), bitsf(what, fa / fb);
            printf("%s fcmp %d%d%d%d%d%d\n", what, fa == fb, fa != fb, fa < fb, fa <= fb, fa > fb, fa >= fb);
        }
        double a = d[i];
        snprintf(what, sizeof what, "d%d", i);
        bitsd(what, -a), bitsd(what, (double)(float)a), bitsf(what, -(float)a);
        if (a > -2147483648.0 && a < 2147483648.0)
            printf("%s int %ld %ld\n", what, (long)(int32_t)a, (long)(int32_t)(float)a);
        if (a >= 0 && a < 4294967296.0)
            printf("%s uint %lu\n", what, (unsigned long)(uint32_t)a);
        if (a > -9.2e18 && a < 9.2e18)
            printf("%s int64 %lld\n", what, (long long)(int64_t)a);
        if (a >= 0 && a < 1.8e19)
            printf("%s uint64 %llu\n", what, (unsigned long long)(uint64_t)a);
    }
    for (int i = 0; i < nn; i++) {
        int64_t a = n[i];
        snprintf(what, sizeof what, "n%d", i);
        bitsd(what, (double)a), bitsf(what, (float)a), bitsd(what, (double)(uint64_t)a);
        bitsf(what, (float)(uint64_t)a), bitsd(what, (double)(int32_t)a), bitsd(what, (double)(uint32_t)a);
        printf("%s bswap %08lx %016llx\n", what, (unsigned long)__builtin_bswap32((uint32_t)a),
               (unsigned long long)__builtin_bswap64((uint64_t)a));
        for (int j = 0; j < nn; j++) {
            int64_t b = n[j];
            if (b == 0)
                continue;
            printf("n%d,%d %lld %lld %llu %llu\n", i, j, (long long)(a / b), (long long)(a % b),
                   (unsigned long long)((uint64_t)a / (uint64_t)b),
                   (unsigned long long)((uint64_t)a % (uint64_t)b));
        }
    }
    return 0;
}
