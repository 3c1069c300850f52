#!/usr/bin/env bash
# Sets the machine up and runs every test suite this project has: each preset's workflow
# (configure, build, test). Ends with the total over all of them; exits non-zero when any
# workflow fails.
set -u -o pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh test || exit 1

presets="default asan-ubsan tsan fuzz web device"
failed=""
passed_tests=0
failed_tests=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in $presets; do
    echo "=== $preset"
    start=$(date +%s)
    if cmake --workflow --preset "$preset" 2>&1 | tee "$log"; then
        echo "=== $preset passed in $(( $(date +%s) - start )) s"
    else
        echo "=== $preset FAILED after $(( $(date +%s) - start )) s"
        failed="$failed $preset"
    fi
    # ctest's summary: "NN% tests passed, F tests failed out of T"
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$summary" ]; then
        f=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
        t=$(echo "$summary" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
        failed_tests=$(( failed_tests + f ))
        passed_tests=$(( passed_tests + t - f ))
    elif [[ "$failed" == *" $preset" ]]; then
        failed_tests=$(( failed_tests + 1 ))  # it failed before its tests could run
    fi
done

if [ -n "$failed" ]; then
    echo "Failed workflows:$failed"
fi
echo "All workflows ($presets):"
echo "$passed_tests passed, $failed_tests failed"
[ -z "$failed" ]
