#!/bin/sh
# Checks the installation of a build: installs it into a scratch prefix, checks
# the program folder, the bin/ links, the RPATHs, the desktop entry and the
# icon, then runs the installed programs from another folder: dwnfrw-batch info
# on the installed sample package, and a whole update of the installed virtual
# board in Italian (so the text modules must be found in the program folder).
# With --deb it also builds the Debian package, lists it and runs the same
# checks on its unpacked contents.
#
#   sh scripts/check-install.sh [--deb] [BUILD_DIR]     (default build/)
set -eu
cd "$(dirname "$0")/.."

with_deb=
if [ "${1:-}" = "--deb" ]; then
    with_deb=1
    shift
fi
build=$(cd "${1:-${DWNFRW_BUILD_DIR:-build}}" && pwd)

scratch=$(mktemp -d)
board_pid=
cleanup() {
    if [ -n "$board_pid" ]; then kill "$board_pid" 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

fail() {
    echo "check-install: $*" >&2
    exit 1
}

# check_prefix PREFIX PROGRAM_FOLDER (relative to PREFIX)
check_prefix() {
    prefix=$1
    program=$prefix/$2
    for file in dwnfrw dwnfrw-batch vboard libnxpicboot.so libctrllink.so \
        Nx016_0200ITA.dll Nx016_0200ENG.dll KSV006_0100ITA.dll KSV006_0100ENG.dll; do
        [ -f "$program/$file" ] || fail "$program/$file is missing"
    done
    for link in dwnfrw dwnfrw-batch dwnfrw-vboard; do
        [ -L "$prefix/bin/$link" ] || fail "$prefix/bin/$link is not a symbolic link"
        case $(readlink "$prefix/bin/$link") in
            /*) fail "$prefix/bin/$link is an absolute link" ;;
        esac
        [ -x "$prefix/bin/$link" ] || fail "$prefix/bin/$link does not lead to a program"
    done
    [ -f "$prefix/share/applications/dwnfrw.desktop" ] || fail "the desktop entry is missing"
    grep -q '^Exec=dwnfrw /COM=[0-9]* /L=[A-Z]*$' "$prefix/share/applications/dwnfrw.desktop" ||
        fail "the desktop entry does not start dwnfrw with a port and a language"
    grep -q '^Icon=dwnfrw$' "$prefix/share/applications/dwnfrw.desktop" ||
        fail "the desktop entry names another icon"
    if command -v desktop-file-validate >/dev/null 2>&1; then
        desktop-file-validate "$prefix/share/applications/dwnfrw.desktop" ||
            fail "the desktop entry is not valid"
    fi
    [ -f "$prefix/share/icons/hicolor/scalable/apps/dwnfrw.svg" ] || fail "the icon is missing"
    for file in board.hex bootloader.hex app.hex; do
        [ -s "$prefix/share/dwnfrw/firmware/$file" ] || fail "the firmware image $file is missing"
    done
    if command -v readelf >/dev/null 2>&1; then
        for file in "$program"/*; do
            runpath=$(readelf -d "$file" | sed -n 's/.*R[UN]*PATH.*\[\(.*\)\]/\1/p')
            [ "$runpath" = '$ORIGIN' ] || fail "$file has the run path '$runpath', not \$ORIGIN"
        done
    fi

    sample=$prefix/share/dwnfrw/sample
    work=$scratch/work
    rm -rf "$work"
    mkdir -p "$work/ports" "$work/home"
    # From another folder, without the build's libraries: the program folder
    # must be enough.
    info=$(cd "$work" && env -u LD_LIBRARY_PATH HOME="$work/home" \
        "$prefix/bin/dwnfrw-batch" info "$sample/sample.fwz") ||
        fail "dwnfrw-batch info failed"
    echo "$info" | grep -q '^[A-Z][A-Z ]*: 4\.1\.7$' ||
        fail "dwnfrw-batch info showed no version heading (text modules not found?): $info"

    DWNFRW_PORTS=$work/ports HOME=$work/home XDG_DATA_HOME=$work/data \
        DWNFRW_INSTANCE_LOCK=$work/dwnfrw.lock
    export DWNFRW_PORTS HOME XDG_DATA_HOME DWNFRW_INSTANCE_LOCK
    "$prefix/bin/dwnfrw-vboard" --link "$work/ports/COM3" --expect "$sample/sample.hex" \
        >"$work/board.out" 2>&1 &
    board_pid=$!
    tries=0
    until [ -e "$work/ports/COM3" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 50 ] || fail "the virtual board did not start: $(cat "$work/board.out")"
        sleep 0.1
    done
    status=0
    (cd "$work" && env -u LD_LIBRARY_PATH "$prefix/bin/dwnfrw-batch" update --port 3 \
        --package "$sample/sample.fwz" --lang ITA --yes --json >"$work/report.json" \
        2>"$work/update.err") || status=$?
    kill -INT "$board_pid"
    board_status=0
    wait "$board_pid" || board_status=$?
    board_pid=
    [ "$status" -eq 0 ] || fail "the installed update ended with $status: $(cat "$work/update.err")"
    [ "$board_status" -eq 0 ] || fail "the board's memory differs: $(cat "$work/board.out")"
    echo "check-install: $prefix: $(tail -n 1 "$work/board.out")"
}

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    fail "cmake --install failed: $(cat "$scratch/install.log")"
program_dir=$(cd "$prefix" && find . -name dwnfrw-batch -type f | sed 's|^\./||; s|/dwnfrw-batch$||')
check_prefix "$prefix" "$program_dir"

if [ -n "$with_deb" ]; then
    (cd "$build" && cpack -G DEB -B "$scratch/deb" >"$scratch/cpack.log" 2>&1) ||
        fail "cpack failed: $(cat "$scratch/cpack.log")"
    deb=$(ls "$scratch"/deb/*.deb)
    dpkg-deb -c "$deb"
    dpkg-deb -f "$deb" Package Version Depends
    dpkg-deb -x "$deb" "$scratch/root"
    check_prefix "$scratch/root/usr" "$program_dir"
    cp "$deb" "$build/"
    echo "check-install: $build/$(basename "$deb")"
fi
echo "check-install: success"
