#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehavior-
# Sanitizer and coverage on the whole tree) and runs each target for a number
# of seconds, starting from its seed corpus in fuzz/corpus/<target>.
#
# Usage: scripts/fuzz.sh [seconds per target]      (default 5)
# Exits non-zero when any target found a crash, a leak, a time-out or a
# sanitizer report; the input that did it is kept under <build>/fuzz-out/artifacts.
# New corpus entries collect in <build>/fuzz-out/corpus/<target> and are reused
# by the next run; fuzz/corpus itself is only read.
set -eu
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${1:-5}
BUILD_DIR=${DWNFRW_FUZZ_BUILD_DIR:-build-fuzz}
export CCACHE_BASEDIR="$ROOT"

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    -DDWNFRW_FUZZ=ON -DDWNFRW_SANITIZE=ON -DDWNFRW_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD_DIR" --target dwnfrw_fuzzers

case $BUILD_DIR in
    /*) OUT=$BUILD_DIR/fuzz-out ;;
    *) OUT=$ROOT/$BUILD_DIR/fuzz-out ;;
esac
BIN=$(dirname "$OUT")/bin
mkdir -p "$OUT/artifacts" "$OUT/logs"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# Target and the largest input it gets, sized to what the reader takes in:
# HEX images and packages of a few dozen records or members, one description
# file, one profile, one command line, one reply stream.
TARGETS="fuzz_hex:8192 fuzz_info:4096 fuzz_profile:2048 fuzz_command_line:512
fuzz_package:8192 fuzz_nxpic_reply:256 fuzz_ctrllink_answer:256"

failed=
printf '%-22s %10s %10s %8s  %s\n' target runs execs/s corpus result
for entry in $TARGETS; do
    target=${entry%%:*}
    max_len=${entry#*:}
    mkdir -p "$OUT/corpus/$target"
    log=$OUT/logs/$target.log
    if "$BIN/$target" -max_total_time="$SECONDS_EACH" -max_len="$max_len" -timeout=10 \
        -rss_limit_mb=2048 -detect_leaks=1 -print_final_stats=1 \
        -artifact_prefix="$OUT/artifacts/$target-" \
        "$OUT/corpus/$target" "$ROOT/fuzz/corpus/$target" >"$log" 2>&1; then
        result=ok
    else
        result="FAILED (see $log)"
        failed="$failed $target"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    corpus=$(ls "$OUT/corpus/$target" | wc -l)
    printf '%-22s %10s %10s %8s  %s\n' "$target" "${runs:--}" "${rate:--}" "$corpus" "$result"
done

if [ -n "$failed" ]; then
    echo "fuzzing found problems in:$failed" >&2
    for target in $failed; do
        echo "--- $target" >&2
        grep -A24 -m1 -E "ERROR: |runtime error|deadly signal" "$OUT/logs/$target.log" >&2 || true
    done
    exit 1
fi
