#!/bin/sh
# The sample update against a noisy board, ten seeds per fault, with the
# program's shipped time-outs: one line per run with its outcome, time and the
# board's fault counters. Usage: sh bench/noise.sh [BUILD_DIR] [--paced]
set -u
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
pacing=--unpaced
[ "${2:-}" = "--paced" ] && pacing=
failed=0
for fault in "--corrupt 0.02" "--drop 0.2"; do
    for seed in 1 2 3 4 5 6 7 8 9 10; do
        # shellcheck disable=SC2086 # the fault is two words on purpose
        out=$("$BUILD_DIR/bin/bench_run" $pacing --hex "$BUILD_DIR/sample/sample.hex" \
            $fault --seed "$seed" 2>&1)
        status=$?
        [ "$status" -eq 0 ] || failed=$((failed + 1))
        total=$(echo "$out" | sed -n 's/^| total run time[^|]*| \(.*\) |$/\1/p')
        counters=$(echo "$out" | grep -E '^(corrupted bytes|dropped|bad frames)' | tr '\n' ' ')
        echo "$fault seed $seed: $([ "$status" -eq 0 ] && echo success || echo FAILED)," \
            "$total; $counters"
    done
done
echo "failed runs: $failed"
[ "$failed" -eq 0 ]
