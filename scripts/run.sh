#!/bin/sh
# Sets up, builds and runs one of the programs (voltrace by default; or strobel, framepace).
# With a display it opens in a 320 x 240 window until you leave it (SELECT is Escape). With
# none, it runs on a virtual display, saves a screenshot of its first screen, and ends it.
set -eu
cd "$(dirname "$0")/.."
program=${1:-voltrace}
case $program in
    voltrace | strobel | framepace) ;;
    *) echo "usage: $0 [voltrace|strobel|framepace]" >&2; exit 2 ;;
esac

./scripts/setup.sh run
cmake --preset default >/dev/null
cmake --build --preset default --target "$program"
binary=$PWD/build/default/$program/$program

# The device's screenshot tool is not on this machine: the project's stand-in saves the X
# display instead. The battery and backlight files are absent, which the programs survive.
PATH=$PWD/tests/tools:$PATH
export PATH SDL_VIDEODRIVER=x11

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    exec "$binary"
fi

display=:$(( 200 + $$ % 700 ))
Xvfb "$display" -screen 0 320x240x16 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null' EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

"$binary" &
pid=$!
sleep 3
shot=$PWD/build/default/$program-first-screen.png
import -window root "png:$shot"
kill -TERM "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
echo "$program ran on the virtual display $display and ended with status $status."
echo "Screenshot of its first screen: $shot"
