/* The few SDL 2 names SDL_ttf 2.20's SDL_ttf.c uses, said in SDL 1.2's terms. Force-included
   when the device runtime compiles SDL_ttf.c; the programs never see it. */
#ifndef SDL2_ON_SDL12_H
#define SDL2_ON_SDL12_H

#include <SDL.h>

#define SDL_FORCE_INLINE static __inline__ __attribute__((always_inline))
#define SDL_INLINE __inline__
#define SDL_DEPRECATED
#define SDL_MAX_SINT32 ((Sint32)0x7FFFFFFF)
#define SDL_max(x, y) (((x) > (y)) ? (x) : (y))
#define SDL_min(x, y) (((x) < (y)) ? (x) : (y))
#define SDL_Log(...) ((void)0) /* debug output only */

/* SDL_ttf makes only these two kinds of surface; AllocateAlignedPixels maps them. */
typedef enum { SDL_PIXELFORMAT_INDEX8 = 1, SDL_PIXELFORMAT_ARGB8888 = 2 } SDL_PixelFormatEnum;

/* SDL 1.2 blends a surface by its alpha flag, which SDL_CreateRGBSurface already sets for a
   format with an alpha mask. */
#define SDL_BLENDMODE_BLEND 1
#define SDL_SetSurfaceBlendMode(surface, mode) SDL_SetAlpha((surface), SDL_SRCALPHA, SDL_ALPHA_OPAQUE)

/* The stream's length, leaving its position where it was; -1 if it cannot seek. */
static __inline__ int SDL_RWsize(SDL_RWops *src)
{
    int here = SDL_RWtell(src);
    int end = SDL_RWseek(src, 0, RW_SEEK_END);
    SDL_RWseek(src, here, RW_SEEK_SET);
    return (here < 0) ? -1 : end;
}

/* Code points in a UTF-8 string: every byte that is not a continuation byte. */
static __inline__ size_t SDL_utf8strlen(const char *text)
{
    size_t count = 0;
    for (; *text; text++)
        count += ((unsigned char)*text & 0xC0) != 0x80;
    return count;
}

#endif
