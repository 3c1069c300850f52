#!/bin/sh
# Fetches what the emulated handheld boots: Debian 12's Malta kernel (as a plain ELF), the
# kernel modules a virtio 9p share and a FAT card on a virtio disk need, and busybox-static
# for the guest's shell.
#
#   tests/device/guest-kernel.sh [DIR]     DIR defaults to .cache/device-guest-HASH in the repo
#
# HASH is the start of this script's SHA-256: checkouts holding different versions of it
# (worktrees sharing one .cache) each find their own guest instead of rebuilding each other's.
# rig.py names the folder the same way.
#
# Quiet, and a quick no-op when DIR holds what this version of the script made. Builds beside
# DIR and renames at the end, so an interrupted run leaves nothing half-made behind.
set -eu

suite=bookworm
packages=linux-image-4kc-malta,busybox-static
# The 9p share over virtio-pci, then the card (a virtio disk with a FAT file system; Debian's
# kernel mounts vfat with the ascii character set, hence nls_ascii), in load order.
modules="virtio virtio_ring virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
9pnet 9pnet_virtio netfs fscache 9p virtio_blk fat vfat nls_cp437 nls_ascii"

root=$(cd "$(dirname "$0")/../.." && pwd -P)
self="$root/tests/device/guest-kernel.sh"
stamp=$(sha256sum "$self" | cut -d' ' -f1)
dir=${1:-"$root/.cache/device-guest-$(echo "$stamp" | cut -c1-12)"}
marker_name=.device-guest-complete

[ -f "$dir/$marker_name" ] && [ "$(cat "$dir/$marker_name")" = "$stamp" ] && exit 0

mkdir -p "$(dirname "$dir")"
exec 9>"$dir.lock"
flock 9
[ -f "$dir/$marker_name" ] && [ "$(cat "$dir/$marker_name")" = "$stamp" ] && exit 0

tmp="$dir.partial.$$"
log="$dir.log"
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM HUP
rm -rf "$dir".partial.*
: >"$log"

fail() {
    echo "guest-kernel: $*" >&2
    [ -s "$log" ] && tail -n 30 "$log" >&2
    exit 1
}

for tool in debootstrap dpkg-deb xz python3; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh test installs it)"
done
[ "$(id -u)" = 0 ] && as_root="" || as_root=fakeroot

# --foreign only downloads and unpacks; nothing mipsel runs here. Only the .debs are kept: the
# bootstrap tree's apt files are of no use to the rig.
$as_root debootstrap --foreign --arch=mipsel --variant=minbase --include="$packages" \
    "$suite" "$tmp/bootstrap" >>"$log" 2>&1 || fail "debootstrap failed"
mkdir -p "$tmp/debs" "$tmp/tree"
for name in linux-image-6 busybox-static; do
    for deb in "$tmp/bootstrap/var/cache/apt/archives/${name}"*_mipsel.deb; do
        [ -f "$deb" ] || fail "debootstrap fetched no $name package"
        mv "$deb" "$tmp/debs/"
    done
done
rm -rf "$tmp/bootstrap"
for deb in "$tmp"/debs/*.deb; do
    dpkg-deb -x "$deb" "$tmp/tree" >>"$log" 2>&1 || fail "could not unpack $deb"
done

release=$(ls "$tmp/tree/lib/modules")
[ -n "$release" ] || fail "no kernel modules in the package"
vmlinuz=$(ls "$tmp/tree/boot/vmlinuz-$release")

# The vmlinuz is a small decompressor around an XZ-packed kernel; loading the plain ELF skips
# about a second of decompression under emulation. Falls back to the vmlinuz as it is.
python3 - "$vmlinuz" "$tmp/vmlinux.xz" <<'EOF' >>"$log" 2>&1 || :
import sys
data = open(sys.argv[1], "rb").read()
start = data.find(b"\xfd7zXZ\x00")
if start < 0:
    sys.exit(1)
open(sys.argv[2], "wb").write(data[start:])
EOF
mkdir -p "$tmp/out/modules"
if [ -s "$tmp/vmlinux.xz" ] && xz -dc --single-stream "$tmp/vmlinux.xz" >"$tmp/out/vmlinux" 2>>"$log" &&
    [ "$(head -c 4 "$tmp/out/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
    :
else
    rm -f "$tmp/out/vmlinux"
    cp "$vmlinuz" "$tmp/out/vmlinux"
fi

# Only the share's modules go into the guest, loaded by insmod in the order above (each
# after the ones it needs), so no modules.dep is wanted.
for m in $modules; do
    file=$(find "$tmp/tree/lib/modules/$release" -name "$m.ko*" | head -n 1)
    [ -n "$file" ] || fail "no module $m in $release"
    case $file in
    *.xz) xz -dc "$file" >"$tmp/out/modules/$m.ko" ;;
    *) cp "$file" "$tmp/out/modules/$m.ko" ;;
    esac
    echo "$m" >>"$tmp/out/modules/order"
done
cp "$tmp/tree/bin/busybox" "$tmp/out/busybox"
echo "$release" >"$tmp/out/release"

echo "$stamp" >"$tmp/out/$marker_name"
rm -rf "$dir"
mv "$tmp/out" "$dir"
rm -f "$log"
