#!/bin/sh
# Configures and builds dwnfrw into build/ (or $DWNFRW_BUILD_DIR).
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${DWNFRW_BUILD_DIR:-build}
BUILD_TYPE=${DWNFRW_BUILD_TYPE:-RelWithDebInfo}
export CCACHE_BASEDIR="$PWD"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" "$@"
cmake --build "$BUILD_DIR"
