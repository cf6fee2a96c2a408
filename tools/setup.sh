#!/bin/sh
# Installs what the project needs from Debian's packages (only what is
# missing), then configures and builds it in ./build. Sourced by run.sh and
# test.sh; apt-get is the only step that needs root, so it alone uses sudo.
set -eu

PACKAGES="build-essential dpkg-dev cmake ninja-build pkg-config
qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-svg-dev libqt6svg6
qt6-qpa-plugins libgl-dev fonts-liberation2 libbenchmark-dev
xvfb xauth xdotool imagemagick x11-utils util-linux
python3 desktop-file-utils file
qemu-system-x86 busybox-static strace"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

top=$(cd "$(dirname "$0")/.." && pwd)
build="${PHONE_HOME_BUILD_DIR:-$top/build}"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${PHONE_HOME_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
