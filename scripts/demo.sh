#!/bin/sh
# The main job: starts a virtual board on a pseudo-terminal, updates it with the
# sample package through dwnfrw-batch, prints the progress and the outcome, and
# confirms that the board's memory now equals the image.
#
#   sh scripts/demo.sh            batch front end, board paced at 9600 baud
#   sh scripts/demo.sh --window   the window on the same virtual board (needs a display)
#   DWNFRW_DEMO_FAST=1            board not paced (the update takes a second or two)
#
# Everything runs in a scratch folder (ports, data, documents); nothing of the
# user's own data is touched.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${DWNFRW_BUILD_DIR:-build}
bin=$BUILD_DIR/bin
sample=$BUILD_DIR/sample

for needed in "$bin/vboard" "$bin/dwnfrw-batch" "$sample/sample.fwz"; do
    if [ ! -e "$needed" ]; then
        echo "demo: $needed is missing; run sh scripts/build.sh first" >&2
        exit 1
    fi
done

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

# The board runs application firmware 4 (build 3); the sample package holds 4.1.7.
"$bin/vboard" --link "$DWNFRW_PORTS/COM3" $pacing --app-version 4 --app-build 3 --brand 7 \
    --expect "$sample/sample.hex" >"$scratch/board.out" 2>&1 &
board_pid=$!
for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ -e "$DWNFRW_PORTS/COM3" ] && break
    sleep 0.2
done
echo "Virtual board on COM3: $(head -n 1 "$scratch/board.out")"

status=0
if [ "${1:-}" = "--window" ]; then
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
echo "Virtual board:"
sed -n '2,$p' "$scratch/board.out" | sed 's/^/  /'
if [ "$status" -ne 0 ] || [ "$board_status" -ne 0 ]; then
    echo "demo: the update did not leave the board's memory equal to the image" >&2
    exit 1
fi
echo "demo: success, the board's memory equals the image"
