#!/bin/sh
# Builds the three programs for the device, fully static (MIPS32 release 1, soft-float, with
# their own C library, SDL and font renderer), collects them stripped in dist/mipsel/, builds
# the report's page dist/voltrace-report.html that goes on the card beside the logs, and packs
# them all with the card's README.txt, CHANGES.txt and SHA256SUMS in
# dist/vantiro-tools-VERSION-mipsel.zip, the same bytes wherever and whenever it is built from
# the same commit (its SHA-256 is printed last, to compare).
# The first run also builds the device runtime (scripts/device-runtime.sh, a few minutes).
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh dist
cmake --preset device >/dev/null
cmake --build --preset device --target dist
ls -l dist/mipsel/ dist/voltrace-report.html
file dist/mipsel/*
zipinfo dist/vantiro-tools-*-mipsel.zip
sha256sum dist/vantiro-tools-*-mipsel.zip
