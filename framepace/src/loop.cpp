// framepace's test pattern and the pieces of its frame loop: paint, the rate meter, the label
// and handleEvents. main (framepace.cpp) only starts up and turns runFrame; start reading
// there, then runFrame at the bottom of this file.
#include <string.h>

#include "framepace.h"

/* frame loop state, all written by the main thread only */
Uint32 animationStep = 0;          // paint calls so far; wraps without a break in the pattern
bool running = true;               // cleared by handleEvents on SELECT or SDL_QUIT
char buf[100];                     // the last rate text, "" until the first window closes
SDL_RWops *rw = nullptr;           // read stream over rwfont, owned by font
TTF_Font *font = nullptr;          // rwfont at point size 10
static SDL_Surface *label = nullptr;  // buf rendered black and blended; null while buf is ""
static SDL_Rect ink;                  // label's pixels with any coverage (label = screen)
static SDL_Surface *labelled = nullptr;  // the ink box as blended on the screen, one slot per
                                         // pattern phase stacked downwards
static const SDL_Surface *labelledFor = nullptr;  // the screen those slots were taken from
static bool labelledReady[64];           // slot p holds phase p for this label

// The widest row paint fills: the screen's. Its green parts are worked out once per call.
static const int MAX_WIDTH = 320;

void paint(SDL_Surface *surface)
{
    const SDL_PixelFormat *format = surface->format;
    const Pixel red = static_cast<Pixel>(format->Rmask);
    const Uint8 greenShift = format->Gshift;
    const Pixel greenMask = static_cast<Pixel>(format->Gmask);
    const Uint8 blueShift = format->Bshift;
    const Pixel blueMask = static_cast<Pixel>(format->Bmask);
    const int width = surface->w < MAX_WIDTH ? surface->w : MAX_WIDTH;
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
    auto rowBits = [&](int y) {  // row y's red and blue part, in both halves of a word
        const Pixel c = red | (static_cast<Pixel>(static_cast<Uint32>(y) << bs) & blueKept);
        return c | static_cast<Uint32>(c) << 16;
    };

    // Column x's green part. Two columns are read as one word, so the pixels keep their order
    // in memory on any byte order.
    alignas(4) Pixel green[MAX_WIDTH];
    for (int x = 0; x < width; x++)
        green[x] = static_cast<Pixel>((s + static_cast<Uint32>(x)) << gs) & greenKept;
    const Pixel *const pairsEnd = green + (width & ~1);

    // Two rows at a time from the top, as a frame buffer without page flipping shows them:
    // the tear must look like one. Each pair of green parts is loaded once for both rows, so
    // on the device a store costs its OR, itself and half a load; with more rows gcc
    // addresses each further row with an add per store, which costs more than the loads it
    // saves (counted on the device's core by bench/device). An odd last row is both rows.
    for (int y = 0; y < height; y += 2) {
        const int below = y + 1 < height ? 1 : 0;
        const Uint32 bits0 = rowBits(y), bits1 = rowBits(y + below);
        Uint8 *row0 = pixels + y * static_cast<ptrdiff_t>(pitch);
        Uint8 *row1 = row0 + below * pitch;
        // Sixteen pairs per turn spread the loop's own counting and branching over 32 stores.
        // memcpy keeps the words free of aliasing trouble; told they are word-aligned (SDL
        // pads every pitch to 4 bytes), MIPS32 makes each a single lw or sw.
#pragma GCC unroll 16
        for (const Pixel *g = green; g != pairsEnd; g += 2, row0 += 4, row1 += 4) {
            Uint32 greens, word;
            memcpy(&greens, __builtin_assume_aligned(g, 4), sizeof greens);
            word = greens | bits0;
            memcpy(__builtin_assume_aligned(row0, 4), &word, sizeof word);
            word = greens | bits1;
            memcpy(__builtin_assume_aligned(row1, 4), &word, sizeof word);
        }
        if (width & 1) {
            // A whole pair here would spill into the row's padding or the next row.
            const Pixel last0 = static_cast<Pixel>(bits0 | green[width - 1]);
            const Pixel last1 = static_cast<Pixel>(bits1 | green[width - 1]);
            memcpy(row0, &last0, sizeof last0);
            memcpy(row1, &last1, sizeof last1);
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
    // The text changes at most once a window: render it then, not on every frame.
    const SDL_Color black = {0, 0, 0, 0};
    label = buf[0] != '\0' ? TTF_RenderText_Blended(font, buf, black) : nullptr;
    ink = label ? inkBox(label) : SDL_Rect{0, 0, 0, 0};
    memset(labelledReady, 0, sizeof labelledReady);
}

// The number of paint steps after which the pattern under any fixed spot repeats: the green
// field takes only the bits of s + x that land under Gmask within 16 bits. 64 on the screen.
static Uint32 patternPeriod(const SDL_PixelFormat *f)
{
    Uint32 period = 1;
    for (Uint32 reaching = f->Gshift < 16 ? (f->Gmask & 0xFFFF) >> f->Gshift : 0; reaching;
         reaching >>= 1)
        period <<= 1;
    return period;
}

// Makes labelled hold one ink-box-sized slot per phase in screen's format, emptied when it
// had to change. False when it cannot: more phases than labelledReady has room for, or no
// memory.
static bool keepLabelled(const SDL_Surface *screen, Uint32 phases)
{
    const SDL_PixelFormat *f = screen->format;
    const int h = ink.h * static_cast<int>(phases);
    if (phases > sizeof labelledReady || h > 32767)
        return false;
    if (labelled && labelledFor == screen && labelled->format->Rmask == f->Rmask &&
        labelled->format->Gmask == f->Gmask && labelled->format->Bmask == f->Bmask &&
        labelled->w == ink.w && labelled->h == h)
        return true;
    if (labelled)
        SDL_FreeSurface(labelled);
    labelled = SDL_CreateRGBSurface(SDL_SWSURFACE, ink.w, h, 16, f->Rmask, f->Gmask, f->Bmask, 0);
    labelledFor = screen;
    memset(labelledReady, 0, sizeof labelledReady);
    return labelled != nullptr;
}

// Blending the text into the pattern on every frame would cost the device more than a tenth
// of a frame (counted by bench/device), yet the pattern under the text takes only
// patternPeriod different forms. So the first frame of each phase blends the text and keeps
// the blended box; later frames of that phase copy the kept box, which holds exactly the
// pixels the blend would give again.
void drawLabel(SDL_Surface *screen)
{
    if (!label || ink.w == 0)
        return;
    const Uint32 phases = patternPeriod(screen->format);
    const bool keepable = keepLabelled(screen, phases);
    // The phase of the step this frame was painted with; phases divides 2^32, so the step
    // wrapping around changes nothing.
    const Uint32 phase = (animationStep - 1) % phases;
    SDL_Rect slot = {0, static_cast<Sint16>(phase * ink.h), ink.w, ink.h}, at = ink;
    if (keepable && labelledReady[phase]) {
        SDL_BlitSurface(labelled, &slot, screen, &at);
        return;
    }
    SDL_Rect from = ink;
    SDL_BlitSurface(label, &from, screen, &at);
    if (keepable) {
        from = ink;
        SDL_BlitSurface(screen, &from, labelled, &slot);
        labelledReady[phase] = true;
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
