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

// paint builds the green part of a row's pixel pairs once per call for this many columns and
// then only ORs each row's constant in, so the row loop is a load, an OR and a store per two
// pixels. The screen's 320 columns fit in one block; wider surfaces take several.
static const int BLOCK_COLUMNS = 1024;

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

// One row of a block: each precomputed green pair with the row's constant in both halves.
// memcpy keeps the word stores free of aliasing trouble and compiles to one store, but on
// MIPS32 only when the pointer is known to be 4-byte aligned (else it is swl + swr). SDL pads
// every pitch to 4 bytes, so the aligned version is the one that runs on the device; the
// other keeps surfaces with odd pitches from test code well defined.
template <bool WORD_ALIGNED>
static void fillRow(Uint8 *row, const Uint32 *green, int pairs, Uint32 rowBits)
{
    if (WORD_ALIGNED)
        row = static_cast<Uint8 *>(__builtin_assume_aligned(row, 4));
    for (int i = 0; i < pairs; i++) {
        Uint32 word = green[i] | rowBits;
        memcpy(row + 4 * i, &word, sizeof word);
    }
}

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
    const bool aligned = ((reinterpret_cast<uintptr_t>(pixels) | static_cast<uintptr_t>(pitch)) & 3) == 0;

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

        Uint8 *line = pixels + 2 * static_cast<ptrdiff_t>(x0);
        for (int y = 0; y < height; y++, line += pitch) {
            const Pixel c = red | (static_cast<Pixel>(static_cast<Uint32>(y) << bs) & blueKept);
            const Uint32 rowBits = c | static_cast<Uint32>(c) << 16;
            if (aligned)
                fillRow<true>(line, green, pairs, rowBits);
            else
                fillRow<false>(line, green, pairs, rowBits);
            if (columns & 1) {
                // Writing a whole pair here would spill into the row's padding or the next row.
                Pixel last = c | lastGreen;
                memcpy(line + 4 * pairs, &last, sizeof last);
            }
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

void setLabel(const char *text)
{
    if (strncmp(text, buf, sizeof buf - 1) == 0 && (label || buf[0] == '\0'))
        return;
    snprintf(buf, sizeof buf, "%s", text);
    if (label)
        SDL_FreeSurface(label);
    // Rendering the text costs about as much as painting the whole screen, and the text
    // changes once a second: keep the one rendering and blit it every frame.
    const SDL_Color black = {0, 0, 0, 0};
    label = buf[0] != '\0' ? TTF_RenderText_Blended(font, buf, black) : nullptr;
}

void drawLabel(SDL_Surface *screen)
{
    if (label)
        SDL_BlitSurface(label, nullptr, screen, nullptr);
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
