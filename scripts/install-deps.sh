#!/bin/sh
# Installs every Debian package that building, testing and the demo need.
# Safe to run again: apt-get skips what is already there.
set -eu
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
    build-essential cmake ninja-build pkg-config git \
    qt6-base-dev qt6-serialport-dev libqt6serialport6 \
    libzip-dev zip unzip \
    libgtest-dev libgmock-dev googletest \
    xvfb xauth fonts-dejavu-core qt6-translations-l10n \
    srecord clang libclang-rt-14-dev clang-format ccache \
    gputils gputils-common gpsim gpsim-dev libglib2.0-dev
