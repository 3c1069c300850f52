#!/bin/sh
# Builds and runs every benchmark in the default (optimised) build. Each prints its figures
# beside a baseline measured in the same run; run it on a quiet machine.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh run
cmake --preset default >/dev/null
cmake --build --preset default --target bench_voltrace bench_strobel bench_framepace
export SDL_VIDEODRIVER=dummy
for program in framepace strobel voltrace; do
    echo "=== $program"
    "build/default/bench/$program/bench_$program"
done
