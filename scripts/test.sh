#!/usr/bin/env bash
# Sets the machine up and runs every test suite this project has: each preset's workflow
# (configure, build, test), judged by its own exit status; ctest's closing lines for each are
# in its output. Ends with the workflows passed and failed; exits non-zero when any failed.
set -u
cd "$(dirname "$0")/.."
./scripts/setup.sh test || exit 1

presets="default asan-ubsan tsan fuzz web device"
passed=""
failed=""
for preset in $presets; do
    echo "=== $preset"
    start=$(date +%s)
    if cmake --workflow --preset "$preset"; then
        echo "=== $preset passed in $(( $(date +%s) - start )) s"
        passed="$passed $preset"
    else
        echo "=== $preset FAILED after $(( $(date +%s) - start )) s"
        failed="$failed $preset"
    fi
done

echo "Workflows passed:${passed:- none}"
echo "Workflows failed:${failed:- none}"
echo "$(wc -w <<<"$passed") passed, $(wc -w <<<"$failed") failed"
[ -z "$failed" ]
