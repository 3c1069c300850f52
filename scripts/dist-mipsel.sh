#!/bin/sh
# Cross-builds the three programs for the device and collects them, stripped, in dist/mipsel/.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset mipsel >/dev/null
cmake --build --preset mipsel --target voltrace strobel framepace
mkdir -p dist/mipsel
for program in voltrace strobel framepace; do
    mipsel-linux-gnu-strip -o "dist/mipsel/$program" "build/mipsel/$program/$program"
done
file dist/mipsel/*
