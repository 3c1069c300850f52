// framepace's test pattern and the pieces of its frame loop: paint, the rate meter, the label
// of three lines, the frame times' clock and handleEvents. main (framepace.cpp) only starts
// up and turns runFrame; start reading there, then runFrame near the bottom of this file.
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "framepace.h"

// A stretch of one row of a label's box whose words (pixel pairs) hold ink, by where it
// lies in a slot of the kept blends and on the screen.
struct Run {
    Uint16 row, word;  // row of the box, and the first word counted from its left edge
    Uint16 words;      // words in the stretch
    Uint16 from;       // its bytes from a slot's start: row * the slots' pitch + 4 * word
    Uint32 to;         // its bytes from the box's top left on the screen, at the screen's pitch
};

// The most runs a line keeps; a line with more is blended on every frame. A line of the
// screen's width at point size 10 takes about 30.
const int MAX_RUNS = 512;

// One line of the label, drawn with its top at `top` on the screen.
struct Label {
    SDL_Surface *text;             // the line rendered black and blended; null while it is ""
    SDL_Rect box;                  // text's pixels with any coverage, widened to whole blocks
                                   // of four words from an even column and cut at the
                                   // screen's width, in text's coordinates
    int top;                       // screen row of text's first row
    SDL_Surface *blends;           // the box as blended on the screen, one slot per pattern
                                   // phase stacked downwards
    const SDL_Surface *blendsFor;  // the screen those slots were taken from
    int pitchFor;                  // its pitch
    bool placed;                   // the runs' from and to follow blends' and that pitch
    bool ready[64];                // slot p holds phase p for this text
    int runCount;                  // the box's words with ink, as runs; -1: more than MAX_RUNS
    Run runs[MAX_RUNS];
};

/* frame loop state, all written by the main thread only */
Uint32 animationStep = 0;          // paint calls so far; wraps without a break in the pattern
bool running = true;               // cleared by handleEvents on SELECT or SDL_QUIT
char buf[100];                     // the last rate text, "" until the first window closes
SDL_RWops *rw = nullptr;           // read stream over rwfont, owned by font
TTF_Font *font = nullptr;          // rwfont at point size 10
static char framesText[100];       // the last window's worst and late frames, or ""
static char pacingText[100];       // the last window's verdict against the refresh, or ""
static char *const lineText[LABEL_LINES] = {buf, framesText, pacingText};
static Label labels[LABEL_LINES];  // lineText rendered, one under the other

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

// The box's words that hold ink, as runs of whole blocks of four words, the copy's step;
// a gap of a few words joins two runs, as a word costs less to copy than a run to start
// (JOIN and BLOCK as counted on the device's core by bench/device). -1 when there are more
// than MAX_RUNS, or the box is narrower than a block or wider than the screen.
static int findRuns(const SDL_Surface *text, const SDL_Rect &box, Run *runs)
{
    const int BLOCK = 4, JOIN = 5;  // words
    const int words = box.w / 2;
    if (words < BLOCK || words > MAX_WIDTH / 2)
        return -1;
    const SDL_PixelFormat *f = text->format;
    int count = 0;
    for (int y = 0; y < box.h; y++) {
        bool inked[MAX_WIDTH / 2] = {};
        for (int x = box.x; x < box.x + box.w && x < text->w; x++) {
            Uint32 p;
            memcpy(&p, static_cast<const Uint8 *>(text->pixels) + (box.y + y) * text->pitch + 4 * x,
                   4);
            inked[(x - box.x) / 2] |= f->BytesPerPixel != 4 || (p & f->Amask) != 0;
        }
        for (int w = 0; w < words;) {
            if (!inked[w]) {
                w++;
                continue;
            }
            int end = w + BLOCK;  // past the run's last word
            for (int x = w; x < words && x < end + JOIN; x++)
                if (inked[x] && x >= end)
                    end = w + ((x - w) / BLOCK + 1) * BLOCK;
            // A run that would end past the box ends at its edge and starts earlier.
            const int start = end > words ? words - (end - w) : w;
            end = end > words ? words : end;
            if (count == MAX_RUNS)
                return -1;
            runs[count++] = Run{static_cast<Uint16>(y), static_cast<Uint16>(start),
                                static_cast<Uint16>(end - start), 0, 0};
            w = end;
        }
    }
    return count;
}

void setLabel(int line, const char *text)
{
    Label &l = labels[line];
    char *const shown = lineText[line];
    if (strncmp(text, shown, sizeof buf - 1) == 0 && (l.text || shown[0] == '\0'))
        return;
    snprintf(shown, sizeof buf, "%s", text);
    if (l.text)
        SDL_FreeSurface(l.text);
    // The text changes at most once a window: render it then, not on every frame.
    const SDL_Color black = {0, 0, 0, 0};
    l.text = shown[0] != '\0' ? TTF_RenderText_Blended(font, shown, black) : nullptr;
    const SDL_Rect ink = l.text ? inkBox(l.text) : SDL_Rect{0, 0, 0, 0};
    // Whole blocks of words from an even column, as far as the screen shows them.
    const int left = ink.x & ~1, blocks = left + ((ink.x + ink.w - left + 7) & ~7);
    const int right = blocks < MAX_WIDTH ? blocks : MAX_WIDTH;
    l.box = SDL_Rect{static_cast<Sint16>(left), ink.y, static_cast<Uint16>(right - left), ink.h};
    l.runCount = l.text ? findRuns(l.text, l.box, l.runs) : 0;
    l.top = line * TTF_FontLineSkip(font);
    l.placed = false;
    memset(l.ready, 0, sizeof l.ready);
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

// Makes l.blends hold one box-sized slot per phase in screen's format, emptied when it had
// to change. False when it cannot: more phases than l.ready has room for, no memory, too many
// runs, or a box that would not be whole words on the screen.
static bool keepBlends(Label &l, const SDL_Surface *screen, Uint32 phases)
{
    const SDL_PixelFormat *f = screen->format;
    const int h = l.box.h * static_cast<int>(phases);
    const bool words = f->BytesPerPixel == 2 && screen->pitch % 4 == 0 &&
                       reinterpret_cast<uintptr_t>(screen->pixels) % 4 == 0 &&
                       l.box.x + l.box.w <= screen->w && l.top + l.box.y + l.box.h <= screen->h;
    if (phases > sizeof l.ready || h > 32767 || l.runCount < 0 || !words)
        return false;
    if (!l.blends || l.blendsFor != screen || l.pitchFor != screen->pitch ||
        l.blends->format->Rmask != f->Rmask || l.blends->format->Gmask != f->Gmask ||
        l.blends->format->Bmask != f->Bmask || l.blends->w != l.box.w || l.blends->h != h) {
        if (l.blends)
            SDL_FreeSurface(l.blends);
        l.blends = SDL_CreateRGBSurface(SDL_SWSURFACE, l.box.w, h, 16, f->Rmask, f->Gmask,
                                        f->Bmask, 0);
        l.blendsFor = screen;
        l.pitchFor = screen->pitch;
        l.placed = false;
        memset(l.ready, 0, sizeof l.ready);
    }
    if (!l.blends || l.box.h * l.blends->pitch > 65535)
        return false;
    if (!l.placed) {
        for (int i = 0; i < l.runCount; i++) {
            Run &r = l.runs[i];
            r.from = static_cast<Uint16>(r.row * l.blends->pitch + 4 * r.word);
            r.to = static_cast<Uint32>(r.row * screen->pitch + 4 * r.word);
        }
        l.placed = true;
    }
    return true;
}

// Four words from from to to, both word-aligned. memcpy keeps the words free of aliasing
// trouble; told they are aligned, MIPS32 makes each a single lw or sw.
static inline void copyFourWords(Uint8 *to, const Uint8 *from)
{
    Uint32 w0, w1, w2, w3;
    memcpy(&w0, __builtin_assume_aligned(from, 4), 4);
    memcpy(&w1, __builtin_assume_aligned(from + 4, 4), 4);
    memcpy(&w2, __builtin_assume_aligned(from + 8, 4), 4);
    memcpy(&w3, __builtin_assume_aligned(from + 12, 4), 4);
    memcpy(__builtin_assume_aligned(to, 4), &w0, 4);
    memcpy(__builtin_assume_aligned(to + 4, 4), &w1, 4);
    memcpy(__builtin_assume_aligned(to + 8, 4), &w2, 4);
    memcpy(__builtin_assume_aligned(to + 12, 4), &w3, 4);
}

// Copies the runs of l's kept blend for phase onto the locked screen, a word at a time: each
// run starts on a word in both and is whole blocks of four, and the words between runs
// already hold what the blend would give them, the pattern.
static void copyRuns(const Label &l, SDL_Surface *screen, Uint32 phase)
{
    const Uint8 *const slot = static_cast<const Uint8 *>(l.blends->pixels) +
                              phase * l.box.h * l.blends->pitch;
    Uint8 *const at = static_cast<Uint8 *>(screen->pixels) +
                      (l.top + l.box.y) * screen->pitch + 2 * l.box.x;
    for (const Run *r = l.runs, *const end = l.runs + l.runCount; r != end; r++) {
        const Uint8 *from = slot + r->from;
        Uint8 *to = at + r->to;
        // Four words, if the run has an odd four, then eight a turn: that spreads the loop's
        // own counting and branching over them (counted on the device's core by
        // bench/device).
        if (r->words & 4) {
            copyFourWords(to, from);
            from += 16;
            to += 16;
        }
        for (const Uint8 *const last = from + 4 * (r->words & ~7); from != last;
             from += 32, to += 32) {
            copyFourWords(to, from);
            copyFourWords(to + 16, from + 16);
        }
    }
}

// Blending the text into the pattern on every frame would cost the device more than a tenth
// of a frame (counted by bench/device), yet the pattern under the text takes only
// patternPeriod different forms. So the first frame of each phase blends each line and keeps
// the blended box; later frames of that phase copy the kept box's inked words, which hold
// exactly the pixels the blend would give again.
void drawLabel(SDL_Surface *screen)
{
    const Uint32 phases = patternPeriod(screen->format);
    // The phase of the step this frame was painted with; phases divides 2^32, so the step
    // wrapping around changes nothing.
    const Uint32 phase = (animationStep - 1) % phases;
    bool copy[LABEL_LINES] = {}, copying = false;
    for (int i = 0; i < LABEL_LINES; i++) {
        Label &l = labels[i];
        if (!l.text || l.box.w == 0)
            continue;
        const bool keepable = keepBlends(l, screen, phases);
        if (keepable && l.ready[phase]) {
            copy[i] = copying = true;
            continue;
        }
        SDL_Rect from = l.box;
        SDL_Rect at = {l.box.x, static_cast<Sint16>(l.top + l.box.y), l.box.w, l.box.h};
        SDL_Rect onScreen = at;
        SDL_BlitSurface(l.text, &from, screen, &at);
        if (keepable) {
            SDL_Rect slot = {0, static_cast<Sint16>(phase * l.box.h), l.box.w, l.box.h};
            SDL_BlitSurface(screen, &onScreen, l.blends, &slot);
            l.ready[phase] = true;
        }
    }
    // The copies write the screen's pixels themselves, which SDL wants locked.
    if (copying && SDL_LockSurface(screen) == 0) {
        for (int i = 0; i < LABEL_LINES; i++)
            if (copy[i])
                copyRuns(labels[i], screen, phase);
        SDL_UnlockSurface(screen);
    }
}

// The monotonic clock in ns: the frame times' clock, which no setting of the time moves. On
// the device's old kernel each read is a system call (two with this C library: the 64-bit
// one first, refused there); bench/device counts them.
static Uint64 monotonicNow(void)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<Uint64>(t.tv_sec) * 1000000000u + static_cast<Uint64>(t.tv_nsec);
}

void startMeter(RateMeter *meter, float refresh)
{
    clearFrames(&meter->window);
    clearFrames(&meter->run);
    meter->refresh = refresh;
    meter->lateBefore = 0;
    meter->frameCount = 0;
    meter->start = SDL_GetTicks();
    meter->lastFlip = monotonicNow();
}

// The window's frame times become lines 1 and 2 of the label, and start afresh. They are
// the frames whose flips came back while the window was open: the frame that closes it is
// still being drawn, and counts in the next.
static void closeWindow(RateMeter *meter)
{
    const FrameFigures f = frameFigures(&meter->window);
    char text[sizeof buf] = "";
    if (f.frames != 0)
        snprintf(text, sizeof text, "worst %.1f ms, %u late", static_cast<double>(f.worst) / 1e6,
                 f.late);
    setLabel(1, text);
    describePacing(meter->refresh, f.median, text, sizeof text);
    setLabel(2, text);
    meter->lateBefore += f.late;
    addFrames(&meter->run, &meter->window);
    clearFrames(&meter->window);
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
        setLabel(0, text);
        closeWindow(meter);
    }

    drawLabel(screen);
    SDL_Flip(screen);
    // From one flip's return to the next: a display that waits for its refresh holds the
    // flip, so these times are what it shows.
    const Uint64 flipped = monotonicNow();
    addFrame(&meter->window, flipped - meter->lastFlip);
    meter->lastFlip = flipped;
    return 0;
}

void printSummary(RateMeter *meter, FILE *to)
{
    const Uint32 late = meter->lateBefore + frameFigures(&meter->window).late;
    addFrames(&meter->run, &meter->window);
    clearFrames(&meter->window);
    const FrameFigures run = frameFigures(&meter->run);
    const double seconds = static_cast<double>(meter->run.total) / 1e9;
    const double nsPerMs = 1e6;
    char pacing[sizeof buf];
    describePacing(meter->refresh, run.median, pacing, sizeof pacing);
    fprintf(to,
            "framepace: %u frames in %.2f s, %.2f fps on average, worst frame %.1f ms, 1 %% low "
            "%.2f fps (MangoHud's: the frame at the 99th percentile), %u late (over 3/2 of "
            "their window's median frame), %s\n",
            run.frames, seconds, seconds > 0 ? run.frames / seconds : 0.0,
            static_cast<double>(run.worst) / nsPerMs,
            run.onePercentLow ? 1e9 / static_cast<double>(run.onePercentLow) : 0.0, late,
            pacing[0] ? pacing : "refresh not known (no frame buffer timing)");
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
