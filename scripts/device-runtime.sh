#!/bin/sh
# Builds the device runtime: musl, the soft-float and 64-bit integer helpers, FreeType, SDL 1.2
# (fbcon and dummy video only) and SDL_ttf, all static, for any little-endian MIPS32 core of
# release 1 or later with or without an FPU, from Debian 12's source packages and Debian's
# mipsel-linux-gnu cross compiler. The result, with the compiler wrappers bin/device-cc and
# bin/device-c++, lands in .cache/device-runtime (or $1); it is rebuilt only when this script
# or its inputs in scripts/device-runtime/ change. Quiet; an interrupted run leaves nothing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:-$root/.cache/device-runtime}
out=$(mkdir -p "$(dirname "$out")" && cd "$(dirname "$out")" && pwd)/$(basename "$out")
sources=$root/.cache/device-sources
inputs=$here/device-runtime

stamp=$(cat "$0" "$inputs"/* | sha256sum | cut -d' ' -f1)
[ "$(cat "$out/.complete" 2>/dev/null)" = "$stamp" ] && exit 0

# One builder at a time (CMake may start this from two configures at once).
mkdir -p "$root/.cache"
exec 9>"$root/.cache/device-runtime.lock"
flock 9
[ "$(cat "$out/.complete" 2>/dev/null)" = "$stamp" ] && exit 0

echo "device-runtime: building musl, FreeType, SDL 1.2 and SDL_ttf into $out (about 2 minutes)"
started=$(date +%s)
new=$out.new
work=$(mktemp -d "$root/.cache/device-runtime-work.XXXXXX")
trap 'rm -rf "$work" "$new"' EXIT
trap 'exit 130' INT TERM
rm -rf "$new"
mkdir -p "$new/bin" "$new/lib" "$new/include"
log=$work/log
jobs=$(nproc)

# step NAME COMMAND...: runs quietly; on failure shows the end of what it printed.
step() {
    name=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        echo "device-runtime: $name failed; the end of its output:" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
}

# --- sources -----------------------------------------------------------------------------
# apt-get source needs a deb-src entry; setup.sh makes it, the one place that asks for sudo.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    echo "device-runtime: apt has no deb-src entry; scripts/setup.sh dist adds it" >&2
    exit 1
fi
mkdir -p "$sources"
fetch() {
    (cd "$sources" && ls "$1"_*.dsc >/dev/null 2>&1) ||
        step "downloading $1" sh -c "cd '$sources' && apt-get source -qq --download-only '$1'"
}
fetch musl
fetch freetype
fetch libsdl1.2
fetch libsdl2-ttf
(cd "$sources" && ls gcc-12-source_*.deb >/dev/null 2>&1) ||
    step "downloading gcc-12-source" sh -c "cd '$sources' && apt-get download -qq gcc-12-source"

unpack() {
    step "unpacking $1" dpkg-source --no-check -x "$(ls "$sources/$1"_*.dsc | tail -n 1)" "$work/$1"
}
unpack musl
unpack freetype
unpack libsdl1.2
unpack libsdl2-ttf
# Only libgcc's soft-float sources and the headers they need, out of gcc's 80 MB tarball.
gcc=$work/gcc
mkdir -p "$gcc"
step "unpacking gcc's soft-fp" sh -c "dpkg-deb --fsys-tarfile '$(ls "$sources"/gcc-12-source_*.deb | tail -n 1)' |
    tar -xO ./usr/src/gcc-12/gcc-12.2.0-dfsg.tar.xz |
    tar -xJ -C '$gcc' --strip-components=1 --wildcards 'gcc-12.2.0/libgcc/soft-fp/*' \
        gcc-12.2.0/libgcc/config/mips/sfp-machine.h gcc-12.2.0/include/longlong.h"

# --- the compiler wrappers ----------------------------------------------------------------
# Debian's cross gcc targets release 2 with hard float and links glibc, libgcc and crtbegin
# (all release 2). The wrappers keep its code generator and swap everything else: musl's
# headers and crt files, the kernel's headers, and the helpers built below. They find the
# runtime relative to themselves, so the tree can move.
gccinclude=$(mipsel-linux-gnu-gcc -print-file-name=include)
cxxinclude=/usr/mipsel-linux-gnu/include/c++/12
for lang in cc c++; do
    if [ $lang = cc ]; then driver=mipsel-linux-gnu-gcc; cxx=""; else driver=mipsel-linux-gnu-g++
        # Header-only C++: <atomic> and friends, no exceptions, RTTI or guarded statics,
        # which would need libstdc++. libstdc++'s config asks glibc's version macro.
        cxx="-isystem $cxxinclude -isystem $cxxinclude/mipsel-linux-gnu -fno-exceptions -fno-rtti -fno-threadsafe-statics '-D__GLIBC_PREREQ(a,b)=0'"
    fi
    cat >"$new/bin/device-$lang" <<EOF
#!/bin/sh
# $driver for the device: static, MIPS32 release 1, soft-float, musl. Made by
# scripts/device-runtime.sh.
rt=\$(cd "\$(dirname "\$0")/.." && pwd)
link=1
for arg; do
    case \$arg in -c|-S|-E|-M|-MM) link=0 ;; esac
done
set -- -march=mips32 -msoft-float -fno-pie -nostdinc $cxx -isystem "\$rt/include" -isystem $gccinclude "\$@"
if [ \$link = 1 ]; then
    set -- -static -no-pie -nostdlib "\$rt/lib/crt1.o" "\$rt/lib/crti.o" "\$@" -L"\$rt/lib" \\
        -Wl,--start-group -lc -ldevicert -Wl,--end-group "\$rt/lib/crtn.o"
fi
exec $driver "\$@"
EOF
    chmod +x "$new/bin/device-$lang"
done
cc=$new/bin/device-cc
cflags="-O2 -ffunction-sections -fdata-sections"

# --- musl ---------------------------------------------------------------------------------
# configure picks the el-sf (little-endian soft-float) subarch from -msoft-float.
cd "$work/musl"
step "musl configure" env CC=mipsel-linux-gnu-gcc CROSS_COMPILE=mipsel-linux-gnu- \
    CFLAGS="-march=mips32 -msoft-float $cflags" \
    ./configure --target=mipsel-linux-gnu --prefix="$new" --disable-shared --disable-wrapper
step "musl build" make -j"$jobs" install
# musl ships no kernel headers; SDL's fbcon driver needs linux/fb.h, kd.h, vt.h and theirs.
cp -r /usr/mipsel-linux-gnu/include/linux /usr/mipsel-linux-gnu/include/asm \
    /usr/mipsel-linux-gnu/include/asm-generic "$new/include/"

# --- the compiler helpers -----------------------------------------------------------------
# GCC calls these for float and double arithmetic under -msoft-float and for 64-bit
# division; Debian's libgcc.a has them only for release 2 with the hard-float convention.
cd "$work"
mkdir -p helpers
set --
for f in add sub mul div; do set -- "$@" ${f}sf3 ${f}df3; done
set -- "$@" negsf2 negdf2 eqsf2 eqdf2 gesf2 gedf2 lesf2 ledf2 unordsf2 unorddf2 \
    fixsfsi fixdfsi fixunssfsi fixunsdfsi fixsfdi fixdfdi fixunssfdi fixunsdfdi \
    floatsisf floatsidf floatunsisf floatunsidf floatdisf floatdidf floatundisf floatundidf \
    extendsfdf2 truncdfsf2
for routine; do
    step "soft-fp $routine" "$cc" $cflags -I"$gcc/libgcc/config/mips" -I"$gcc/libgcc/soft-fp" \
        -I"$gcc/include" -c "$gcc/libgcc/soft-fp/$routine.c" -o "helpers/$routine.o"
done
set --
step "helpers" "$cc" $cflags -c "$inputs/helpers.c" -o helpers/helpers.o
step "libdevicert.a" mipsel-linux-gnu-ar rcs "$new/lib/libdevicert.a" helpers/*.o

# --- FreeType -----------------------------------------------------------------------------
# Only what renders a TrueType font from memory: no compression or image libraries.
cd "$work/freetype"
step "FreeType configure" env CC="$cc" CFLAGS="$cflags" CC_BUILD=gcc ./configure \
    --host=mipsel-linux-gnu \
    --prefix="$new" \
    --disable-shared \
    --enable-static \
    --without-zlib \
    --without-bzip2 \
    --without-png \
    --without-harfbuzz \
    --without-brotli \
    --without-librsvg
step "FreeType build" make -j"$jobs"
step "FreeType install" make install

# --- SDL 1.2 ------------------------------------------------------------------------------
# The device draws on /dev/fb0 and reads the console keyboard: fbcon; dummy for headless runs.
# No audio, joystick, CD, shared objects or run-time loading.
cd "$work/libsdl1.2"
step "SDL configure" env CC="$cc" CFLAGS="$cflags" ./configure \
    --host=mipsel-linux-gnu \
    --prefix="$new" \
    --disable-shared \
    --enable-static \
    --disable-audio \
    --disable-joystick \
    --disable-cdrom \
    --disable-loadso \
    --disable-sdl-dlopen \
    --enable-threads \
    --enable-pthreads \
    --disable-pth \
    --enable-timers \
    --enable-clock_gettime \
    --enable-video-fbcon \
    --enable-video-dummy \
    --without-x \
    --disable-video-x11 \
    --disable-video-dga \
    --disable-video-directfb \
    --disable-video-svga \
    --disable-video-vgl \
    --disable-video-wscons \
    --disable-video-aalib \
    --disable-video-caca \
    --disable-video-qtopia \
    --disable-video-picogui \
    --disable-video-ggi \
    --disable-video-ps2gs \
    --disable-video-ps3 \
    --disable-video-opengl \
    --disable-input-tslib \
    --disable-nasm \
    --disable-altivec \
    --disable-esd \
    --disable-pulseaudio \
    --disable-arts \
    --disable-nas \
    --disable-alsa \
    --disable-oss \
    --disable-rpath
step "SDL build" make -j"$jobs"
step "SDL install" make install
grep -q '^#define SDL_VIDEO_DRIVER_FBCON 1' "$new/include/SDL/SDL_config.h" || {
    echo "device-runtime: SDL was configured without its fbcon driver" >&2
    exit 1
}

# --- SDL_ttf ------------------------------------------------------------------------------
# Debian 12 has no downloadable SDL_ttf 2.0 source; SDL_ttf 2.20's single file keeps the
# same API (a superset, same signatures) and builds on SDL 1.2 with our patch and header.
cd "$work/libsdl2-ttf"
step "SDL_ttf patch" patch -p1 -i "$inputs/sdl-ttf-on-sdl12.patch"
step "SDL_ttf build" "$cc" $cflags -include "$inputs/sdl2-on-sdl12.h" -I"$new/include/SDL" \
    -I"$new/include/freetype2" -c SDL_ttf.c -o SDL_ttf.o
step "libSDL_ttf.a" mipsel-linux-gnu-ar rcs "$new/lib/libSDL_ttf.a" SDL_ttf.o
cp SDL_ttf.h "$new/include/SDL/"

# --- done ---------------------------------------------------------------------------------
rm -rf "$new/share" "$new/lib/pkgconfig"
echo "$stamp" >"$new/.complete"
rm -rf "$out"
mv "$new" "$out"
echo "device-runtime: done in $(( $(date +%s) - started )) s"
