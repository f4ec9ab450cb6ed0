#!/bin/sh
# Builds dwnfrw and runs every test.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${DWNFRW_BUILD_DIR:-build}
sh scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 --timeout 300
