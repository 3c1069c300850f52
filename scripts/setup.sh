#!/bin/sh
# Installs from Debian's packages what one use of the project needs; quiet and quick when all
# of it is already there.
#   setup.sh run    build and run the programs on this PC (run.sh)
#   setup.sh dist   build the device's programs, the report's page and the release (dist-mipsel.sh)
#   setup.sh bench  both, and the device's processor to count instructions on (bench.sh)
#   setup.sh test   all of that and every test suite (test.sh)
set -eu

# The default build (its configure wants GoogleTest's sources) and run.sh's virtual display
# and screenshot when there is no display.
run="cmake make g++ pkg-config libgtest-dev libsdl1.2-dev libsdl-ttf2.0-dev
xvfb x11-utils imagemagick"
# The device's runtime is built from Debian's source packages with the mipsel cross compiler;
# the report's page is compiled by emscripten; the release is listed with zipinfo, and its
# entries are dated by its commit (git).
dist="cmake make g++ python3 g++-mipsel-linux-gnu binutils-mipsel-linux-gnu dpkg-dev patch
xz-utils file emscripten unzip git"
# qemu-user runs the device build on a release-1 core with the counting plugin.
bench="$run $dist qemu-user"
# The rest of the tests: sanitizer and fuzz builds (clang), the font's generator, keys and SVG
# rendering in the program tests, the emulated handheld (its kernel fetched with debootstrap,
# under fakeroot for a normal user) and its FAT card (read and judged with mtools and
# fsck.fat), and the report's page in the three browser engines (WebKit's MiniBrowser comes
# with its driver and runs on run's Xvfb).
test="$bench clang libclang-rt-14-dev python3-fonttools xdotool librsvg2-bin strace
debootstrap fakeroot qemu-system-mips seabios ipxe-qemu mtools dosfstools chromium firefox-esr
webkit2gtk-driver"

case ${1:-} in
    run) packages=$run ;;
    dist) packages=$dist ;;
    bench) packages=$bench ;;
    test) packages=$test ;;
    *) echo "usage: $0 run|dist|bench|test" >&2; exit 2 ;;
esac

missing=""
for p in $packages; do
    case " $missing " in *" $p "*) continue ;; esac
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing="$missing $p"
done
# The device's runtime is built from Debian's source packages (scripts/device-runtime.sh), so
# apt needs a deb-src entry: it mirrors the machine's own configured sources, so no host is
# named here. It is made here, where sudo is asked for anyway, so the build never needs it.
sources=""
case $1 in dist|bench|test)
    grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ || grep -qs '^deb-src' /etc/apt/sources.list ||
        sources=/etc/apt/sources.list.d/device-runtime-src.sources ;;
esac
[ -z "$missing$sources" ] && exit 0

[ "$(id -u)" = 0 ] && sudo="" || sudo="sudo"
if [ -n "$sources" ]; then
    echo "setup: adding Debian's source packages to apt's sources ($sources)"
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        $sudo tee "$sources" >/dev/null
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
[ -z "$missing" ] && exit 0
echo "setup: installing$missing"
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
