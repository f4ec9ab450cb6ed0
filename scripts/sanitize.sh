#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (gcc,
# DWNFRW_SANITIZE) in its own build folder and runs the whole test suite. Any
# sanitizer report stops the test that made it, so the suite passes only clean.
#
# Usage: scripts/sanitize.sh [ctest arguments]      e.g. -R test_package
set -eu
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD_DIR=${DWNFRW_SANITIZE_BUILD_DIR:-build-asan}
export CCACHE_BASEDIR="$ROOT"

# Set before the build too: test discovery runs every test program once.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0
export QT_QPA_PLATFORM=offscreen

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDWNFRW_SANITIZE=ON \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build "$BUILD_DIR"

# The component and text-module libraries are loaded with dlopen; they carry
# the sanitizer runtime as a dependency of their own, so a program that was
# not built with it would refuse to load them. Check that every one has it.
missing=
for library in "$BUILD_DIR"/bin/*.so "$BUILD_DIR"/bin/*.dll; do
    [ -e "$library" ] || continue
    ldd "$library" | grep -q libasan || missing="$missing $library"
done
if [ -n "$missing" ]; then
    echo "built without the sanitizer runtime:$missing" >&2
    exit 1
fi

ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 --timeout 600 "$@"
