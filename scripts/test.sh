#!/bin/sh
# Sets the machine up and runs every test suite this project has: each preset's workflow
# (configure, build, test). Exits non-zero when any of them fails.
set -u
cd "$(dirname "$0")/.."
./scripts/setup.sh || exit 1

presets="default asan-ubsan tsan mipsel fuzz"
failed=""
for preset in $presets; do
    echo "=== $preset"
    start=$(date +%s)
    if cmake --workflow --preset "$preset"; then
        echo "=== $preset passed in $(( $(date +%s) - start )) s"
    else
        echo "=== $preset FAILED after $(( $(date +%s) - start )) s"
        failed="$failed $preset"
    fi
done

if [ -n "$failed" ]; then
    echo "Failed workflows:$failed"
    exit 1
fi
echo "All workflows passed: $presets"
