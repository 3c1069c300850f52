#!/bin/sh
# Builds the little-endian MIPS32 sysroot the device build compiles, links and runs its tests
# against: Debian 12's mipsel SDL 1.2, SDL_ttf 2.0 and GoogleTest with all they depend on.
#
#   scripts/mipsel-sysroot.sh [DIR]      DIR defaults to .cache/mipsel-sysroot in the repo
#
# Quiet, and a quick no-op when DIR already holds a complete sysroot. cmake/mipsel-toolchain.cmake
# runs it during configure when the sysroot is missing or older than this script, so it must
# stay safe to run from there.
set -eu

suite=bookworm
# Changing this list changes the marker, so existing sysroots are rebuilt rather than trusted.
# libc6-dev and libstdc++6 come in anyway, but the link depends on them, so say so.
packages="libsdl1.2-dev,libsdl-ttf2.0-dev,libgtest-dev,libc6-dev,libstdc++6"
marker_name=.mipsel-sysroot-complete
marker_text="debian $suite mipsel: $packages"

root=$(cd "$(dirname "$0")/.." && pwd -P)
dir=${1:-"$root/.cache/mipsel-sysroot"}

is_complete() { [ -f "$1/$marker_name" ] && [ "$(cat "$1/$marker_name")" = "$marker_text" ]; }
# The toolchain file reruns this script whenever it is newer than the marker; touching the
# marker after a check that found nothing to do keeps that to one run per edit.
up_to_date() { touch "$1/$marker_name" 2>/dev/null || :; exit 0; }
is_complete "$dir" && up_to_date "$dir"

mkdir -p "$(dirname "$dir")"
parent=$(cd "$(dirname "$dir")" && pwd -P)
dir="$parent/$(basename "$dir")"

# Two configures racing (say, two build trees) must not both bootstrap into the same place.
exec 9>"$dir.lock"
flock 9
is_complete "$dir" && up_to_date "$dir"

# Building next to DIR keeps the final rename on one file system, so it is atomic, and a run
# that is interrupted leaves DIR as it was instead of half-written.
tmp="$dir.partial.$$"
log="$dir.log"
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM HUP
rm -rf "$dir".partial.*

fail() {
    echo "mipsel-sysroot: $*" >&2
    if [ -s "$log" ]; then
        echo "mipsel-sysroot: last lines of $log:" >&2
        tail -n 30 "$log" >&2
    fi
    exit 1
}

# Only ever replace what this script (or debootstrap) made: DIR may be a path someone typed.
if [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ] && [ ! -e "$dir/$marker_name" ] && [ ! -d "$dir/debootstrap" ]; then
    echo "mipsel-sysroot: $dir exists and is not a sysroot this script built; remove it or pick another DIR" >&2
    exit 1
fi

: >"$log"
for tool in debootstrap dpkg-deb tar; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh test installs it)"
done

# debootstrap wants root to create device nodes and set owners; none of that matters for a
# sysroot, so fakeroot is enough when we are not root.
as_root=""
if [ "$(id -u)" != 0 ]; then
    command -v fakeroot >/dev/null 2>&1 || fail "needs root or fakeroot to run debootstrap"
    as_root=fakeroot
fi

# --foreign stops before anything would have to run mipsel code; it still downloads every
# package the --include list pulls in, which is all we want. No mirror argument on purpose:
# debootstrap's default is the one to use.
$as_root debootstrap --foreign --arch=mipsel --variant=minbase --include="$packages" \
    "$suite" "$tmp" >>"$log" 2>&1 || fail "debootstrap failed"

archives="$tmp/var/cache/apt/archives"
ls "$archives"/*.deb >/dev/null 2>&1 || fail "debootstrap left no packages in $archives"

# The first stage only unpacked the essential packages; unpack the rest the same way, keeping
# the merged-/usr symlinks (lib -> usr/lib) that plain dpkg -x would replace with directories.
manifest="$tmp/packages.txt"
: >"$manifest"
for deb in "$archives"/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink --no-same-owner -C "$tmp" \
        >>"$log" 2>&1 || fail "could not unpack $deb"
    dpkg-deb -f "$deb" Package Version | paste -sd' ' | sed 's/^Package: \(.*\) Version: /\1 /' \
        >>"$manifest"
done
sort -o "$manifest" "$manifest"
rm -f "$archives"/*.deb

# Absolute symlinks (libfoo.so -> /lib/mipsel-linux-gnu/libfoo.so.1) would send the linker to
# the host's files, or nowhere. find does not descend through symlinked directories, so every
# path it reports is physical and a purely lexical relative path is right. Links into /proc
# and /dev (debootstrap's proc, dev/fd) are about the running system, not the sysroot: leave them.
find "$tmp" -path "$tmp/dev" -prune -o -type l -print | while IFS= read -r link; do
    target=$(readlink "$link")
    case $target in
    /proc | /proc/* | /dev | /dev/*) ;;
    /*)
        rel=$(realpath -s -m --relative-to="$(dirname "$link")" "$tmp$target")
        ln -sfn "$rel" "$link"
        ;;
    esac
done

# qemu-mipsel -L DIR looks for the program interpreter at DIR/lib/ld.so.1.
[ -e "$tmp/lib/ld.so.1" ] || fail "no dynamic loader at lib/ld.so.1"
for f in usr/include/SDL/SDL.h usr/include/SDL/SDL_ttf.h usr/include/gtest/gtest.h \
    usr/lib/mipsel-linux-gnu/libSDL.so usr/lib/mipsel-linux-gnu/libSDL_ttf.so \
    usr/lib/mipsel-linux-gnu/libgtest.a usr/lib/mipsel-linux-gnu/libgtest_main.a \
    usr/lib/mipsel-linux-gnu/pkgconfig/sdl.pc usr/lib/mipsel-linux-gnu/pkgconfig/SDL_ttf.pc \
    usr/lib/mipsel-linux-gnu/cmake/GTest/GTestConfig.cmake; do
    [ -e "$tmp/$f" ] || fail "sysroot is missing $f"
done

echo "$marker_text" >"$tmp/$marker_name"
rm -rf "$dir"
mv "$tmp" "$dir"
rm -f "$log"
