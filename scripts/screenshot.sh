#!/bin/sh
# Saves a picture of the main window into docs/screenshot.png.
#
# Runs the built program on a virtual X display (xvfb-run) with a throw-away
# home and XDG folders, so nothing of the real user's data is touched. The
# program sees DWNFRW_SCREENSHOT=<file>: its window saves a picture of itself
# shortly after it first shows and the program ends without the close question.
#
# Usage: scripts/screenshot.sh [build folder] [picture file] [language]
#   defaults: ./build, docs/screenshot.png, ENG
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
picture=${2:-$repo/docs/screenshot.png}
language=${3:-ENG}
program=$build/bin/dwnfrw
# Start-up, first paint and the picture take well under this on a busy machine.
limit_seconds=60

if [ ! -x "$program" ]; then
    echo "screenshot: $program not found; build the dwnfrw target first" >&2
    exit 1
fi
if ! command -v xvfb-run >/dev/null 2>&1; then
    echo "screenshot: xvfb-run is missing (Debian package xvfb)" >&2
    exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/home" "$scratch/config" "$scratch/data" "$scratch/cache" "$scratch/runtime"
chmod 700 "$scratch/runtime"

mkdir -p "$(dirname "$picture")"
case $picture in
    /*) ;;
    *) picture=$(pwd)/$picture ;;
esac
rm -f "$picture"

HOME=$scratch/home \
XDG_CONFIG_HOME=$scratch/config \
XDG_DATA_HOME=$scratch/data \
XDG_CACHE_HOME=$scratch/cache \
XDG_RUNTIME_DIR=$scratch/runtime \
QT_QPA_PLATFORM=xcb \
DWNFRW_SCREENSHOT=$picture \
    timeout "$limit_seconds" xvfb-run -a -s "-screen 0 1024x768x24" \
    "$program" /COM=1 "/L=$language"

if [ ! -s "$picture" ]; then
    echo "screenshot: the program saved no picture" >&2
    exit 1
fi
echo "screenshot: $picture"
