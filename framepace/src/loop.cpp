// framepace's test pattern and the pieces of its frame loop: paint, the rate meter, the label
// and handleEvents. main (framepace.cpp) only starts up and turns runFrame; start reading
// there, then runFrame at the bottom of this file.
#include <stdint.h>
#include <string.h>

#include "framepace.h"

/* frame loop state, all written by the main thread only */
Uint32 animationStep = 0;          // paint calls so far; wraps without a break in the pattern
bool running = true;               // cleared by handleEvents on SELECT or SDL_QUIT
char buf[100];                     // the last rate text, "" until the first window closes
SDL_RWops *rw = nullptr;           // read stream over rwfont, owned by font
TTF_Font *font = nullptr;          // rwfont at point size 10
static SDL_Surface *label = nullptr;  // buf rendered black and blended; null while buf is ""
static SDL_Rect ink;                  // the part of label with any coverage (label = screen coords)
static SDL_Surface *labelled = nullptr;     // the screen's ink box as the label left it, one
                                            // slot per pattern phase stacked downwards
static const SDL_Surface *labelledFor = nullptr;  // the screen those slots were taken from
static Uint64 labelledReady = 0;            // bit p set: slot p holds phase p for this label

// paint builds the green part of a row's pixel pairs once per call for this many columns and
// then only ORs each row's constant in. The screen's 320 columns fit in one block; wider
// surfaces take several.
static const int BLOCK_COLUMNS = 1024;

// Rows are filled two at a time: each green pair is loaded once for both, so on the device a
// store costs its OR, itself and half a load. With more rows gcc addresses each further row
// with an add per store, which costs more than the loads it saves (counted on the device's
// core by bench/device).
static const int ROWS_AT_ONCE = 2;

// The word that puts left in the lower-addressed pixel and right in the next one. The device
// is little-endian: the left pixel is the low half.
static inline Uint32 pixelPair(Pixel left, Pixel right)
{
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
    return left | static_cast<Uint32>(right) << 16;
#else
    return static_cast<Uint32>(left) << 16 | right;
#endif
}

// Sixteen pixel pairs, for x86 hosts with vector stores: stored as one value they become one
// 64-byte store, two 32-byte or four 16-byte ones, whatever the processor has. The device's
// MIPS32 has no vector unit, and there the compiler would take such values through the
// stack, so it keeps to single words.
#if defined(__x86_64__)
typedef Uint32 SixteenPairs __attribute__((vector_size(64)));
#endif

// Stores pixel pairs: one word, or sixteen pairs on x86. memcpy keeps the store free of
// aliasing and alignment trouble, but MIPS32 turns it into a single word store only when the
// pointer is known to be 4-byte aligned (else swl + swr). SDL pads every pitch to 4 bytes, so
// the aligned version is the one that runs on the device; the other keeps surfaces with odd
// pitches from test code well defined.
template <bool WORD_ALIGNED, typename Word>
static inline __attribute__((always_inline)) void storePairs(Uint8 *at, const Word &words)
{
    if (WORD_ALIGNED)
        at = static_cast<Uint8 *>(__builtin_assume_aligned(at, 4));
    memcpy(at, &words, sizeof words);
}

// ROWS rows of a block, one pitch apart: each precomputed green pair with each row's
// constant (rowBits, one per row) in both halves.
template <int ROWS, bool WORD_ALIGNED>
static inline __attribute__((always_inline)) void fillRows(Uint8 *line, int pitch,
                                                           const Uint32 *green, int pairs,
                                                           const Uint32 *rowBits)
{
    int i = 0;
#if defined(__x86_64__)
    for (; i + 16 <= pairs; i += 16) {
        SixteenPairs greens;
        memcpy(&greens, green + i, sizeof greens);
        for (int k = 0; k < ROWS; k++)
            storePairs<WORD_ALIGNED>(line + k * pitch + 4 * i, greens | rowBits[k]);
    }
#else
    // Sixteen pairs per turn spread the loop's own counting and branching over 32 stores.
#pragma GCC unroll 16
#endif
    for (; i < pairs; i++) {
        const Uint32 g = green[i];
#pragma GCC unroll 2
        for (int k = 0; k < ROWS; k++)
            storePairs<WORD_ALIGNED>(line + k * pitch + 4 * i, g | rowBits[k]);
    }
}

// On an x86 host memset stores as wide as the processor allows; copies of paint built for
// AVX-512 and AVX2, picked at load time, let its row loop do the same, so the benchmark
// compares like with like. Other machines, and the sanitizer builds, get the one portable copy.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define WIDEST_STORES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define WIDEST_STORES
#endif

WIDEST_STORES
void paint(SDL_Surface *surface)
{
    const SDL_PixelFormat *format = surface->format;
    const Pixel red = static_cast<Pixel>(format->Rmask);
    const Uint8 greenShift = format->Gshift;
    const Pixel greenMask = static_cast<Pixel>(format->Gmask);
    const Uint8 blueShift = format->Bshift;
    const Pixel blueMask = static_cast<Pixel>(format->Bmask);
    const int width = surface->w;
    const int height = surface->h;
    const int pitch = surface->pitch;
    Uint8 *const pixels = static_cast<Uint8 *>(surface->pixels);
    const Uint32 s = animationStep;

    // A field shifted 16 or more bits up leaves the 16-bit pixel entirely: its part is 0.
    // Masking the shift count instead of shifting that far keeps the C++ defined.
    const Pixel greenKept = greenShift < 16 ? greenMask : 0;
    const Pixel blueKept = blueShift < 16 ? blueMask : 0;
    const int gs = greenShift & 15;
    const int bs = blueShift & 15;
    const bool aligned =
        ((reinterpret_cast<uintptr_t>(pixels) | static_cast<uintptr_t>(pitch)) & 3) == 0;

    for (int x0 = 0; x0 < width && height > 0; x0 += BLOCK_COLUMNS) {
        const int columns = width - x0 < BLOCK_COLUMNS ? width - x0 : BLOCK_COLUMNS;
        const int pairs = columns / 2;
        Uint32 green[BLOCK_COLUMNS / 2];
        Pixel greenOf[2];
        for (int i = 0; i < pairs; i++) {
            for (int k = 0; k < 2; k++) {
                Uint32 x = static_cast<Uint32>(x0 + 2 * i + k);
                greenOf[k] = static_cast<Pixel>((s + x) << gs) & greenKept;
            }
            green[i] = pixelPair(greenOf[0], greenOf[1]);
        }
        const Pixel lastGreen =
            static_cast<Pixel>((s + static_cast<Uint32>(x0 + columns - 1)) << gs) & greenKept;

        Uint8 *const column0 = pixels + 2 * static_cast<ptrdiff_t>(x0);
        int y = 0;
        while (y < height) {
            // An odd last row goes alone.
            const int rows = height - y >= ROWS_AT_ONCE ? ROWS_AT_ONCE : 1;
            Uint8 *const line = column0 + y * static_cast<ptrdiff_t>(pitch);
            Pixel c[ROWS_AT_ONCE];
            Uint32 rowBits[ROWS_AT_ONCE];
            for (int k = 0; k < rows; k++) {
                const Uint32 yk = static_cast<Uint32>(y + k);
                c[k] = red | (static_cast<Pixel>(yk << bs) & blueKept);
                rowBits[k] = c[k] | static_cast<Uint32>(c[k]) << 16;
            }
            if (rows == ROWS_AT_ONCE && aligned)
                fillRows<ROWS_AT_ONCE, true>(line, pitch, green, pairs, rowBits);
            else if (rows == ROWS_AT_ONCE)
                fillRows<ROWS_AT_ONCE, false>(line, pitch, green, pairs, rowBits);
            else if (aligned)
                fillRows<1, true>(line, pitch, green, pairs, rowBits);
            else
                fillRows<1, false>(line, pitch, green, pairs, rowBits);
            if (columns & 1) {
                // Writing a whole pair here would spill into the row's padding or the next row.
                for (int k = 0; k < rows; k++) {
                    Pixel last = c[k] | lastGreen;
                    memcpy(line + k * static_cast<ptrdiff_t>(pitch) + 4 * pairs, &last,
                           sizeof last);
                }
            }
            y += rows;
        }
    }
    animationStep = s + 1;
}

int measureRate(Uint32 start, Uint32 now, int frames, float *fps, char *text, size_t size)
{
    const Uint32 elapsed = now - start;
    if (elapsed < 1000)
        return 0;
    // Multiplying by the single-precision 0.001 (not dividing by 1000) is what makes
    // 60 frames in 1001 ms read 59.94; the last digit is part of what the user compares.
    *fps = static_cast<float>(frames) / (static_cast<float>(elapsed) * 0.001f);
    snprintf(text, size, "%3.2ffps", static_cast<double>(*fps));
    return 1;
}

// The smallest box holding every pixel of the rendered text with any coverage. Blitting only
// that box leaves the screen exactly as blitting the whole text does: a pixel with no
// coverage changes nothing.
static SDL_Rect inkBox(const SDL_Surface *text)
{
    const SDL_PixelFormat *f = text->format;
    SDL_Rect whole = {0, 0, static_cast<Uint16>(text->w), static_cast<Uint16>(text->h)};
    if (f->BytesPerPixel != 4 || f->Amask == 0)
        return whole;
    int left = text->w, right = -1, top = text->h, bottom = -1;
    for (int y = 0; y < text->h; y++)
        for (int x = 0; x < text->w; x++) {
            Uint32 p;
            memcpy(&p, static_cast<const Uint8 *>(text->pixels) + y * text->pitch + 4 * x, 4);
            if (p & f->Amask) {
                left = x < left ? x : left;
                right = x > right ? x : right;
                top = y < top ? y : top;
                bottom = y > bottom ? y : bottom;
            }
        }
    if (right < 0)
        return SDL_Rect{0, 0, 0, 0};
    return SDL_Rect{static_cast<Sint16>(left), static_cast<Sint16>(top),
                    static_cast<Uint16>(right - left + 1), static_cast<Uint16>(bottom - top + 1)};
}

void setLabel(const char *text)
{
    if (strncmp(text, buf, sizeof buf - 1) == 0 && (label || buf[0] == '\0'))
        return;
    snprintf(buf, sizeof buf, "%s", text);
    if (label)
        SDL_FreeSurface(label);
    // Rendering the text costs about as much as painting the whole screen, and the text
    // changes once a second: keep the one rendering.
    const SDL_Color black = {0, 0, 0, 0};
    label = buf[0] != '\0' ? TTF_RenderText_Blended(font, buf, black) : nullptr;
    ink = label ? inkBox(label) : SDL_Rect{0, 0, 0, 0};
    labelledReady = 0;
}

// The number of paint steps after which the pattern under any fixed spot repeats: the green
// field takes only the bits of s + x that land under Gmask within 16 bits. 64 on the screen.
static Uint32 patternPeriod(const SDL_PixelFormat *f)
{
    Uint32 reaching = f->Gshift < 16 ? (f->Gmask & 0xFFFF) >> f->Gshift : 0;
    Uint32 period = 1;
    for (; reaching != 0; reaching >>= 1)
        period <<= 1;
    return period;
}

// Slots for more phases than this would cost more memory than the blend they save.
static const Uint32 MAX_LABEL_PHASES = 64;

// Makes labelled fit screen, the ink box and phases, emptying its slots when it had to change.
static bool keepLabelled(const SDL_Surface *screen, Uint32 phases)
{
    const SDL_PixelFormat *f = screen->format;
    if (labelled && labelledFor == screen && labelled->format->Rmask == f->Rmask &&
        labelled->format->Gmask == f->Gmask && labelled->format->Bmask == f->Bmask &&
        labelled->w == ink.w && labelled->h == static_cast<int>(ink.h * phases))
        return true;
    if (labelled)
        SDL_FreeSurface(labelled);
    labelled = SDL_CreateRGBSurface(SDL_SWSURFACE, ink.w, static_cast<int>(ink.h * phases), 16,
                                    f->Rmask, f->Gmask, f->Bmask, 0);
    labelledFor = screen;
    labelledReady = 0;
    return labelled != nullptr;
}

// Copies a w x h box of 16-bit pixels between two surfaces whose pixels are reachable (locked
// where SDL needs it). Not SDL's copy blit: on x86 hosts that one writes with non-temporal
// stores, which push the box out of the cache and make the next paint fetch it again.
static void copyBox(SDL_Surface *to, int toX, int toY, const SDL_Surface *from, int fromX,
                    int fromY, int w, int h)
{
    for (int y = 0; y < h; y++)
        memcpy(static_cast<Uint8 *>(to->pixels) + (toY + y) * to->pitch + 2 * toX,
               static_cast<const Uint8 *>(from->pixels) + (fromY + y) * from->pitch + 2 * fromX,
               2 * static_cast<size_t>(w));
}

// Blending the text into the pattern costs about half as much as painting the whole screen,
// yet the pattern under the text takes only patternPeriod different forms. So the first frame
// of each phase blends the text as every frame would and keeps the blended box; later frames
// of that phase copy the kept box, which holds exactly the pixels the blend would give again.
void drawLabel(SDL_Surface *screen)
{
    if (!label || ink.w == 0)
        return;
    const Uint32 phases = patternPeriod(screen->format);
    const bool keepable = phases <= MAX_LABEL_PHASES && screen->format->BitsPerPixel == 16 &&
                          ink.x + ink.w <= screen->w && ink.y + ink.h <= screen->h &&
                          ink.h * phases <= 32767 && keepLabelled(screen, phases);
    // The phase of the step this frame was painted with; phases divides 2^32, so the step
    // wrapping around changes nothing.
    const Uint32 phase = keepable ? (animationStep - 1) % phases : 0;
    const int slotY = static_cast<int>(phase * ink.h);
    if (keepable && (labelledReady >> phase & 1) && SDL_LockSurface(screen) == 0) {
        copyBox(screen, ink.x, ink.y, labelled, 0, slotY, ink.w, ink.h);
        SDL_UnlockSurface(screen);
        return;
    }
    SDL_Rect from = ink, at = ink;
    SDL_BlitSurface(label, &from, screen, &at);
    if (keepable && SDL_LockSurface(screen) == 0) {
        copyBox(labelled, 0, slotY, screen, ink.x, ink.y, ink.w, ink.h);
        SDL_UnlockSurface(screen);
        labelledReady |= Uint64(1) << phase;
    }
}

int runFrame(SDL_Surface *screen, RateMeter *meter, FILE *rateLines)
{
    if (SDL_LockSurface(screen) != 0)
        return -1;
    paint(screen);
    SDL_UnlockSurface(screen);
    meter->frameCount++;

    const Uint32 now = SDL_GetTicks();
    float fps;
    char text[sizeof buf];
    if (measureRate(meter->start, now, meter->frameCount, &fps, text, sizeof text)) {
        meter->start = now;
        meter->frameCount = 0;
        // Flushed so a reader at the other end of a pipe sees each window as it closes.
        fprintf(rateLines, "%s\n", text);
        fflush(rateLines);
        setLabel(text);
    }

    drawLabel(screen);
    SDL_Flip(screen);
    return 0;
}

void handleEvents(void)
{
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        const bool select = event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE;
        if (select || event.type == SDL_QUIT)
            running = false;
    }
}
