/* The emulated handheld's screenshot tool: saves the frame shown on /dev/fb0 as an RGB PNG at
 * the path it is given (usage: fbgrab FILE.png). Reads the visible page at the panning
 * offset, so a double-buffered program's shown frame is what is saved; writes the image data
 * as stored deflate blocks, since size does not matter here and plain C has no zlib. Start
 * reading at main. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

/* The kernel's frame-buffer interface (linux/fb.h), spelled out because the device's C
 * library comes without the kernel headers. Only the fields used are named. */
#define FBIOGET_VSCREENINFO 0x4600
#define FBIOGET_FSCREENINFO 0x4602

struct fb_bitfield {
    uint32_t offset;     /* lowest bit of the field */
    uint32_t length;     /* its width in bits */
    uint32_t msb_right;
};

struct fb_var_screeninfo {
    uint32_t xres, yres;                  /* the visible page */
    uint32_t xres_virtual, yres_virtual;  /* all pages */
    uint32_t xoffset, yoffset;            /* where the visible page starts */
    uint32_t bits_per_pixel, grayscale;
    struct fb_bitfield red, green, blue, transp;
    uint32_t rest[20];
};

struct fb_fix_screeninfo {
    char id[16];
    unsigned long smem_start;
    uint32_t smem_len;  /* bytes to map */
    uint32_t type, type_aux, visual;
    uint16_t xpanstep, ypanstep, ywrapstep;
    uint32_t line_length;  /* bytes from one row to the next */
    unsigned long mmio_start;
    uint32_t mmio_len, accel;
    uint16_t capabilities, reserved[2];
};

static uint32_t crcTable[256];

static void makeCrcTable(void)
{
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crcTable[n] = c;
    }
}

static uint32_t crc32Update(uint32_t crc, const unsigned char *p, size_t n)
{
    while (n--)
        crc = crcTable[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

static void put32(unsigned char *p, uint32_t v)
{
    p[0] = v >> 24;
    p[1] = v >> 16;
    p[2] = v >> 8;
    p[3] = v;
}

/* One PNG chunk: length, type, data, CRC over type and data. */
static int writeChunk(FILE *out, const char *type, const unsigned char *data, uint32_t n)
{
    unsigned char head[8], tail[4];
    put32(head, n);
    memcpy(head + 4, type, 4);
    uint32_t crc = crc32Update(0xFFFFFFFFu, head + 4, 4);
    crc = crc32Update(crc, data, n) ^ 0xFFFFFFFFu;
    put32(tail, crc);
    return fwrite(head, 1, 8, out) == 8 && fwrite(data, 1, n, out) == n &&
           fwrite(tail, 1, 4, out) == 4;
}

/* Widens a colour field of `length` bits to 8 by repeating its bits, so full scale stays
 * full scale (31 of 5 bits gives 255, not 248). */
static unsigned widen(uint32_t pixel, const struct fb_bitfield *f)
{
    if (f->length == 0)
        return 0;
    unsigned len = f->length > 8 ? 8 : f->length;
    unsigned v = (pixel >> (f->offset + f->length - len)) & ((1u << len) - 1);
    unsigned out = 0;
    for (int have = 0; have < 8; have += len)
        out = (out << len) | v;
    return (out >> ((8 + len - 1) / len * len - 8)) & 0xFF;
}

static int fail(const char *what)
{
    perror(what);
    return 1;
}

/* With FBGRAB_LOG set, each call appends its argument count and arguments there, each ended
 * by a NUL byte, so a test can count the calls and see the exact path. */
static void noteCall(int argc, char **argv)
{
    const char *log = getenv("FBGRAB_LOG");
    FILE *f = log && *log ? fopen(log, "a") : NULL;
    if (!f)
        return;
    fprintf(f, "%d%c", argc - 1, 0);
    for (int i = 1; i < argc; i++)
        fprintf(f, "%s%c", argv[i], 0);
    fclose(f);
}

int main(int argc, char **argv)
{
    noteCall(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: fbgrab FILE.png\n");
        return 2;
    }
    int fd = open("/dev/fb0", O_RDONLY);
    if (fd < 0)
        return fail("/dev/fb0");
    struct fb_var_screeninfo var;
    struct fb_fix_screeninfo fix;
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0 || ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0)
        return fail("frame buffer info");
    if (var.bits_per_pixel != 16 && var.bits_per_pixel != 32) {
        fprintf(stderr, "fbgrab: %u bits per pixel not handled\n", var.bits_per_pixel);
        return 1;
    }
    unsigned char *fb = mmap(NULL, fix.smem_len, PROT_READ, MAP_SHARED, fd, 0);
    if (fb == MAP_FAILED)
        return fail("mmap /dev/fb0");

    uint32_t w = var.xres, h = var.yres, bpp = var.bits_per_pixel / 8;
    /* Each row: filter byte 0, then RGB. */
    size_t rowBytes = 1 + 3 * (size_t)w, rawBytes = rowBytes * h;
    unsigned char *raw = malloc(rawBytes);
    if (!raw)
        return fail("malloc");
    for (uint32_t y = 0; y < h; y++) {
        const unsigned char *src =
            fb + (size_t)(y + var.yoffset) * fix.line_length + (size_t)var.xoffset * bpp;
        unsigned char *dst = raw + y * rowBytes;
        *dst++ = 0;
        for (uint32_t x = 0; x < w; x++, src += bpp) {
            uint32_t p = bpp == 2 ? (uint32_t)(src[0] | src[1] << 8)
                                  : (uint32_t)(src[0] | src[1] << 8 | src[2] << 16 |
                                               (uint32_t)src[3] << 24);
            *dst++ = widen(p, &var.red);
            *dst++ = widen(p, &var.green);
            *dst++ = widen(p, &var.blue);
        }
    }
    munmap(fb, fix.smem_len);
    close(fd);

    /* zlib stream: header, stored blocks of at most 65535 bytes, Adler-32 of the raw data. */
    size_t blocks = rawBytes / 65535 + 1;
    size_t zBytes = 2 + rawBytes + 5 * blocks + 4;
    unsigned char *z = malloc(zBytes), *q = z;
    if (!z)
        return fail("malloc");
    *q++ = 0x78;
    *q++ = 0x01;
    uint32_t a = 1, b = 0;
    for (size_t done = 0; done < rawBytes;) {
        size_t n = rawBytes - done > 65535 ? 65535 : rawBytes - done;
        *q++ = done + n == rawBytes;  /* BFINAL on the last block, BTYPE 00 */
        *q++ = n & 0xFF;
        *q++ = n >> 8;
        *q++ = ~n & 0xFF;
        *q++ = (~n >> 8) & 0xFF;
        memcpy(q, raw + done, n);
        for (size_t i = 0; i < n; i++) {
            a = (a + raw[done + i]) % 65521;
            b = (b + a) % 65521;
        }
        q += n;
        done += n;
    }
    put32(q, b << 16 | a);
    q += 4;

    makeCrcTable();
    unsigned char ihdr[13];
    put32(ihdr, w);
    put32(ihdr + 4, h);
    ihdr[8] = 8;   /* bits per channel */
    ihdr[9] = 2;   /* truecolour RGB */
    ihdr[10] = 0;  /* deflate */
    ihdr[11] = 0;  /* adaptive filtering (every row uses filter 0) */
    ihdr[12] = 0;  /* no interlace */
    /* Written beside the target and renamed into place: the file at the path is whole from
     * the moment it exists, and an interrupted run leaves no partial screenshot there. */
    size_t pathLen = strlen(argv[1]);
    char *partial = malloc(pathLen + sizeof ".partial");
    if (!partial)
        return fail("malloc");
    memcpy(partial, argv[1], pathLen);
    memcpy(partial + pathLen, ".partial", sizeof ".partial");
    FILE *out = fopen(partial, "wb");
    if (!out)
        return fail(partial);
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    int ok = fwrite(signature, 1, 8, out) == 8 && writeChunk(out, "IHDR", ihdr, 13) &&
             writeChunk(out, "IDAT", z, (uint32_t)(q - z)) && writeChunk(out, "IEND", NULL, 0);
    if (fclose(out) != 0 || !ok || rename(partial, argv[1]) != 0) {
        unlink(partial);
        return fail(argv[1]);
    }
    return 0;
}
