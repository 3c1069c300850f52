#!/bin/sh
# Runs the device build of arith_check.c on a release-1 core without FPU and the host build
# of the same file, and fails on the first line where the two disagree.
#   compare-arith.sh DEVICE_BINARY SOURCE
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No fused multiply-add and no excess precision on the host: each operation rounds once.
cc -O2 -ffp-contract=off -fexcess-precision=standard -o "$work/host" "$2"
"$work/host" >"$work/host.txt"
qemu-mipsel -cpu 4Kc "$1" >"$work/device.txt"
if ! cmp -s "$work/host.txt" "$work/device.txt"; then
    echo "soft-float or 64-bit integer results differ from the host's (host <, device >):"
    diff "$work/host.txt" "$work/device.txt" | head -n 20
    exit 1
fi
echo "$(wc -l <"$work/host.txt") results identical to the host's"
