#!/bin/sh
# Takes the documentation's pictures of the main window into docs/, in English
# and, with "-italian" in the name, in Italian:
#   screenshot.png          a write pass with the overall progress and time left
#   screenshot-failure.png  a failed update with the details of its message open
#   screenshot-note.png     the window after it: the note that the board was erased
#   screenshot-ports.png    the port list, marking the ports with a device now
#   screenshot-about.png    Help, About
#   screenshot-italian.png  the Italian window asking a question
#
# The test harness drives the real window against the virtual board on a
# virtual X display (xvfb-run, Debian package xvfb), with a throw-away home and
# XDG folders so nothing of the real user's data is touched; the shipped
# program has no switches for this.
#
# Usage: scripts/screenshot.sh [build folder] [pictures folder]
#   defaults: ./build, docs
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
pictures=${2:-$repo/docs}
harness=$build/bin/test_download_run
# Two runs paced at the board's 9600 baud: about a minute on a busy machine.
limit_seconds=360

if [ ! -x "$harness" ]; then
    echo "screenshot: $harness not found; build the tests first" >&2
    exit 1
fi
if ! command -v xvfb-run >/dev/null 2>&1; then
    echo "screenshot: xvfb-run is missing (Debian package xvfb)" >&2
    exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/home" "$scratch/config" "$scratch/data" "$scratch/cache" "$scratch/runtime" \
    "$scratch/pictures"
chmod 700 "$scratch/runtime"

HOME=$scratch/home \
XDG_CONFIG_HOME=$scratch/config \
XDG_DATA_HOME=$scratch/data \
XDG_CACHE_HOME=$scratch/cache \
XDG_RUNTIME_DIR=$scratch/runtime \
QT_QPA_PLATFORM=xcb \
DWNFRW_PICTURES_DIR=$scratch/pictures \
    timeout "$limit_seconds" xvfb-run -a -s "-screen 0 1024x768x24" \
    "$harness" --gtest_filter='*PicturesForTheDocumentation' --gtest_brief=1

mkdir -p "$pictures"
for name in progress progress-italian failure failure-italian note note-italian ports \
    ports-italian about about-italian italian; do
    taken=$scratch/pictures/$name.png
    if [ ! -s "$taken" ]; then
        echo "screenshot: the harness saved no $name picture" >&2
        exit 1
    fi
    case $name in
        progress) kept=screenshot.png ;;
        progress-italian) kept=screenshot-progress-italian.png ;;
        *) kept=screenshot-$name.png ;;
    esac
    cp "$taken" "$pictures/$kept"
    echo "screenshot: $pictures/$kept"
done
