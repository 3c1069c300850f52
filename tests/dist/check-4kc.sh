#!/bin/sh
# Runs the device binaries on a MIPS32 release-1 core without FPU (qemu-mipsel -cpu 4Kc):
# on the dummy video driver each starts and ends as it must; with no frame buffer to open
# (fbcon driver) each prints one line naming what failed and ends with 255.
#   check-4kc.sh DIST_DIR SYNC_STAND_IN_DIR
set -u
dist=$1
tools=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "$*"; failed=1; }
run() { qemu-mipsel -cpu 4Kc "$dist/$1"; }

# start PROGRAM: runs it in the background on the dummy driver, output in $work/PROGRAM.out.
start() {
    HOME=$work SYNC_TIMES=$work/$1.syncs PATH=$tools:$PATH SDL_VIDEODRIVER=dummy \
        qemu-mipsel -cpu 4Kc "$dist/$1" >"$work/$1.out" 2>&1 &
    pid=$!
}
# waitfor FILE PATTERN: up to 20 s for a line matching PATTERN.
waitfor() {
    for _ in $(seq 200); do
        grep -qE "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
# ends PROGRAM SIGNAL STATUS: sends the signal once the title is out; expects the status and
# one sync run on the way out.
ends() {
    start "$1"
    waitfor "$work/$1.out" "^$(echo "$1" | tr a-z A-Z)\$" || fail "$1: no title: $(cat "$work/$1.out")"
    sleep 1
    kill -"$2" "$pid"
    wait "$pid"
    status=$?
    [ "$status" = "$3" ] || fail "$1: status $status after SIG$2, expected $3"
    [ -s "$work/$1.syncs" ] || fail "$1: ended without running sync"
}

ends voltrace TERM 15
ends strobel INT 2

start framepace
waitfor "$work/framepace.out" '^[0-9]+\.[0-9][0-9]fps$' || fail "framepace: no rate line: $(head -c 300 "$work/framepace.out")"
kill "$pid"
wait "$pid"

for program in voltrace strobel framepace; do
    SDL_VIDEODRIVER=fbcon SDL_FBDEV=$work/no-fb0 HOME=$work run $program >"$work/out" 2>&1
    status=$?
    [ "$status" = 255 ] || fail "$program on fbcon without a frame buffer: status $status, expected 255"
    # The title, then exactly one line saying what failed.
    lines=$(grep -vcE '^(VOLTRACE|STROBEL)$' "$work/out")
    [ "$lines" = 1 ] || fail "$program on fbcon without a frame buffer printed: $(cat "$work/out")"
done
[ $failed = 0 ] && echo "all three run on a release-1 core without FPU"
exit $failed
