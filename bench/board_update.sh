#!/bin/sh
# Whole updates through dwnfrw-batch, side by side on the virtual board and on
# the simulated chip running our firmware (board.hex): the sample package and
# the full 32 KiB package, paced at 9600 baud and unpaced. One table row per
# run: board, package, pacing, outcome, wall time of dwnfrw-batch (identification,
# loader entry and the one-second pauses included).
#
#   sh bench/board_update.sh [BUILD_DIR] [--quick]
# --quick leaves out the paced full 32 KiB runs (about two minutes each).
set -u
cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
quick=
[ "${2:-}" = "--quick" ] && quick=1
bin=$BUILD_DIR/bin
sample=$BUILD_DIR/sample

scratch=$(mktemp -d)
board_pid=
cleanup() {
    if [ -n "$board_pid" ]; then kill "$board_pid" 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM
export DWNFRW_PORTS="$scratch/ports"
export HOME="$scratch/home"
export XDG_DATA_HOME="$scratch/data"
mkdir -p "$DWNFRW_PORTS" "$HOME"

failed=0
echo "| Board | Package | Line | Outcome | Wall time |"
echo "|---|---|---|---|---|"
for package in sample full32k; do
    for pacing in unpaced paced; do
        if [ -n "$quick" ] && [ "$package" = full32k ] && [ "$pacing" = paced ]; then continue; fi
        flag=
        [ "$pacing" = paced ] && flag=--paced
        for board in vboard chipboard; do
            rm -f "$DWNFRW_PORTS/COM3"
            if [ "$board" = vboard ]; then
                "$bin/vboard" --link "$DWNFRW_PORTS/COM3" $flag --app-version 4 --app-build 3 \
                    --expect "$sample/$package.hex" >"$scratch/board.out" 2>&1 &
            else
                "$bin/chipboard" --link "$DWNFRW_PORTS/COM3" $flag \
                    --firmware "$BUILD_DIR/firmware/board.hex" >"$scratch/board.out" 2>&1 &
            fi
            board_pid=$!
            while [ ! -e "$DWNFRW_PORTS/COM3" ]; do sleep 0.05; done
            start=$(date +%s.%N)
            status=0
            "$bin/dwnfrw-batch" update --port 3 --package "$sample/$package.fwz" --yes \
                >"$scratch/batch.out" 2>&1 || status=$?
            end=$(date +%s.%N)
            kill -INT "$board_pid"
            wait "$board_pid" || status=$((status + 100))
            board_pid=
            outcome=success
            if [ "$status" -ne 0 ]; then
                outcome="FAILED ($status)"
                failed=$((failed + 1))
            fi
            echo "| $board | $package | $pacing | $outcome | $(awk "BEGIN { printf \"%.1f\", $end - $start }") s |"
        done
    done
done
[ "$failed" -eq 0 ]
