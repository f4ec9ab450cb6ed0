#!/bin/sh
# The main job: starts a board on a pseudo-terminal, updates it with the sample
# package through dwnfrw-batch, prints the progress and the outcome, and
# confirms that the board's memory now equals the image.
#
# The board is by default the simulated chip (chipboard: a PIC18F452 in gpsim)
# running our own firmware, build/firmware/board.hex, the bootloader and the
# demo application that a new board is programmed with; the virtual board
# (vboard, with its fault injection and counters) is the other choice.
#
#   sh scripts/demo.sh                    batch front end, simulated chip, real 9600-baud timing
#   sh scripts/demo.sh --vboard           the same on the virtual board
#   sh scripts/demo.sh --window           the window on the same board (needs a display)
#   sh scripts/demo.sh --vboard --window  both
#   DWNFRW_DEMO_FAST=1                    board not paced (the update takes a few seconds)
#
# Everything runs in a scratch folder (ports, data, documents); nothing of the
# user's own data is touched.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${DWNFRW_BUILD_DIR:-build}
bin=$BUILD_DIR/bin
sample=$BUILD_DIR/sample
firmware=$BUILD_DIR/firmware

board=chipboard
window=
for argument in "$@"; do
    case "$argument" in
        --vboard) board=vboard ;;
        --chipboard) board=chipboard ;;
        --window) window=1 ;;
        *)
            echo "usage: sh scripts/demo.sh [--vboard] [--window]" >&2
            exit 2
            ;;
    esac
done

needed="$bin/dwnfrw-batch $sample/sample.fwz $sample/sample.hex"
if [ "$board" = chipboard ]; then
    needed="$needed $bin/chipboard $firmware/board.hex"
else
    needed="$needed $bin/vboard"
fi
for file in $needed; do
    if [ ! -e "$file" ]; then
        echo "demo: $file is missing; run sh scripts/build.sh first" >&2
        exit 1
    fi
done
if [ "$board" = chipboard ] && ! command -v srec_cmp >/dev/null; then
    echo "demo: srec_cmp is missing; install the Debian package srecord (sh scripts/install-deps.sh)" >&2
    exit 1
fi

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
export DWNFRW_INSTANCE_LOCK="$scratch/dwnfrw.lock"
mkdir -p "$DWNFRW_PORTS" "$HOME"

pacing=--paced
if [ -n "${DWNFRW_DEMO_FAST:-}" ]; then pacing=; fi

if [ "$board" = chipboard ]; then
    # The chip starts from board.hex: its application reports version 4, build 3;
    # the sample package holds 4.1.7.
    "$bin/chipboard" --link "$DWNFRW_PORTS/COM3" $pacing --firmware "$firmware/board.hex" \
        --dump "$scratch/memory.hex" >"$scratch/board.out" 2>&1 &
    board_pid=$!
    name="Simulated PIC18F452 running $firmware/board.hex"
else
    # The board runs application firmware 4 (build 3); the sample package holds 4.1.7.
    "$bin/vboard" --link "$DWNFRW_PORTS/COM3" $pacing --app-version 4 --app-build 3 --brand 7 \
        --expect "$sample/sample.hex" >"$scratch/board.out" 2>&1 &
    board_pid=$!
    name="Virtual board"
fi
for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    [ -e "$DWNFRW_PORTS/COM3" ] && break
    sleep 0.2
done
if [ ! -e "$DWNFRW_PORTS/COM3" ]; then
    echo "demo: the board did not start:" >&2
    cat "$scratch/board.out" >&2
    exit 1
fi
echo "$name on COM3: $(head -n 1 "$scratch/board.out")"

status=0
if [ -n "$window" ]; then
    dat="$HOME/Documents/Norvexa/VelmorStudio_0200/dat"
    mkdir -p "$dat" && cp "$sample/sample.fwz" "$dat/"
    echo "Open $dat/sample.fwz with \"Select file...\", then press \"Update\"."
    "$bin/dwnfrw" /COM=3 /L=ENG /LOG || status=$?
else
    echo "Updating the board with $sample/sample.fwz ..."
    "$bin/dwnfrw-batch" update --port 3 --package "$sample/sample.fwz" --yes --log || status=$?
    echo "dwnfrw-batch ended with status $status"
fi

kill -INT "$board_pid"
board_status=0
wait "$board_pid" || board_status=$?
board_pid=
echo "Board:"
sed -n '2,$p' "$scratch/board.out" | sed 's/^/  /'
if [ "$board" = chipboard ] && [ "$board_status" -eq 0 ]; then
    # Every byte the image gives an update to write (not its configuration
    # bytes, which stay the bootloader's) must stand in the chip's memory.
    srec_cmp "$scratch/memory.hex" -intel -crop -within '(' "$sample/sample.hex" -intel \
        -exclude 0x300000 0x300010 ')' "$sample/sample.hex" -intel -exclude 0x300000 0x300010 \
        2>"$scratch/compare.out" || board_status=$?
    sed 's/^/  /' "$scratch/compare.out"
fi
if [ "$status" -ne 0 ] || [ "$board_status" -ne 0 ]; then
    echo "demo: the update did not leave the board's memory equal to the image" >&2
    exit 1
fi
echo "demo: success, the board's memory equals the image"
