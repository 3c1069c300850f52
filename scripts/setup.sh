#!/bin/sh
# Installs from Debian's packages everything the build, the tests, the device build and the
# run command need. Quiet and quick when all of it is already there.
set -eu

packages="cmake g++ clang libclang-rt-14-dev libgtest-dev pkg-config
libsdl1.2-dev libsdl-ttf2.0-dev python3 python3-fonttools
xvfb xdotool imagemagick librsvg2-bin x11-utils strace
g++-mipsel-linux-gnu qemu-user debootstrap binutils-mipsel-linux-gnu file dpkg-dev patch
qemu-system-mips seabios ipxe-qemu xz-utils mtools dosfstools"

missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

[ "$(id -u)" = 0 ] && sudo="" || sudo="sudo"
echo "setup: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
