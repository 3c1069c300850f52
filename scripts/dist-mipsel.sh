#!/bin/sh
# Builds the three programs for the device, fully static (MIPS32 release 1, soft-float, with
# their own C library, SDL and font renderer), and collects them stripped in dist/mipsel/;
# and the report's page, dist/voltrace-report.html, which goes on the card beside the logs.
# The first run also builds the device runtime (scripts/device-runtime.sh, a few minutes).
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh dist
cmake --preset device >/dev/null
cmake --build --preset device --target dist
cmake --preset web >/dev/null
cmake --build --preset web --target voltrace-report-page
cp build/web/report/voltrace-report.html dist/
ls -l dist/mipsel/ dist/voltrace-report.html
file dist/mipsel/*
