/* The integer helpers GCC calls on a MIPS32 release-1 core, for which Debian's libgcc.a
   (release 2, hard-float) cannot be used: 64-bit division and byte swaps, and __dso_handle.
   Each is the plain textbook form; correctness is checked against the host by the dist checks. */
#include <stdint.h>

/* The C++ front end registers static destructors against this; one module, one handle. */
void *__dso_handle = &__dso_handle;

static int clz64(uint64_t x)
{
    uint32_t high = (uint32_t)(x >> 32);
    return high ? __builtin_clz(high) : 32 + __builtin_clz((uint32_t)x); /* clz is release 1 */
}

/* n / d and n % d by shift and subtract, at most 64 steps. Division by zero traps, as the
   inline 32-bit division does. */
static uint64_t udivmod(uint64_t n, uint64_t d, uint64_t *rem)
{
    uint64_t q = 0;
    int shift;

    if (d == 0)
        __builtin_trap();
    if (n < d) {
        *rem = n;
        return 0;
    }
    shift = clz64(d) - clz64(n);
    d <<= shift;
    for (; shift >= 0; shift--) {
        q <<= 1;
        if (n >= d) {
            n -= d;
            q |= 1;
        }
        d >>= 1;
    }
    *rem = n;
    return q;
}

uint64_t __udivdi3(uint64_t n, uint64_t d)
{
    uint64_t r;
    return udivmod(n, d, &r);
}

uint64_t __umoddi3(uint64_t n, uint64_t d)
{
    uint64_t r;
    udivmod(n, d, &r);
    return r;
}

/* Signed forms truncate towards zero; the remainder takes the dividend's sign. Magnitudes go
   through uint64_t so INT64_MIN needs no negation in signed arithmetic. */
static uint64_t magnitude(int64_t x)
{
    return x < 0 ? 0 - (uint64_t)x : (uint64_t)x;
}

int64_t __divdi3(int64_t n, int64_t d)
{
    uint64_t r, q = udivmod(magnitude(n), magnitude(d), &r);
    return (int64_t)(((n < 0) != (d < 0)) ? 0 - q : q);
}

int64_t __moddi3(int64_t n, int64_t d)
{
    uint64_t r;
    udivmod(magnitude(n), magnitude(d), &r);
    return (int64_t)(n < 0 ? 0 - r : r);
}

uint32_t __bswapsi2(uint32_t x)
{
    return (x >> 24) | ((x >> 8) & 0xFF00) | ((x << 8) & 0xFF0000) | (x << 24);
}

uint64_t __bswapdi2(uint64_t x)
{
    return ((uint64_t)__bswapsi2((uint32_t)x) << 32) | __bswapsi2((uint32_t)(x >> 32));
}
