#!/bin/sh
# Builds and runs every benchmark in the default (optimised) build. Each prints its figures
# beside a baseline measured in the same run; run it on a quiet machine. Last, the device's
# own cost: instructions counted on its processor, which no load on this machine can move.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh bench
cmake --preset default >/dev/null
cmake --build --preset default --target bench_voltrace bench_strobel bench_framepace insn_count
export SDL_VIDEODRIVER=dummy
for program in framepace strobel voltrace; do
    echo "=== $program"
    "build/default/bench/$program/bench_$program"
done

echo "=== the device's own cost"
cmake --preset device >/dev/null
cmake --build --preset device --target voltrace framepace strobel_flashes framepace_frames >/dev/null
python3 bench/device/device_cost.py build/default/bench/device/insn_count.so build/device
