#!/bin/sh
# SPDX-License-Identifier: MIT
# shellcheck disable=SC2034 # PACKAGES_*, build: read by the scripts that source this
# Sourced by run.sh and test.sh: the Debian packages each needs, a function
# that installs those missing, and where the build goes. apt-get is the only
# step that needs root, so it alone uses sudo.
set -eu

# Building and running the program.
PACKAGES_RUN="build-essential cmake ninja-build pkg-config
qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-svg-dev libqt6svg6
qt6-qpa-plugins libgl-dev fonts-liberation2 libmosquitto-dev libssl-dev"

# Everything else the tests, the package and the benchmarks use.
PACKAGES_TEST="dpkg-dev lintian scdoc libbenchmark-dev
xvfb xauth xdotool imagemagick x11-utils util-linux
python3 desktop-file-utils file
qemu-system-x86 busybox-static strace systemd
dbus-daemon dbus-bin at-spi2-core python3-pyatspi qt6-base-private-dev
orca speech-dispatcher speech-dispatcher-audio-plugins libasound2-data
mosquitto mosquitto-clients
postfix msmtp curl apprise gammu e2fsprogs ser2net"

install_missing() {
    missing=""
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
            missing="$missing $p"
        fi
    done
    if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
    case " $missing " in
    *" postfix "*)
        # postfix would replace the mail server this machine has (apt removes
        # the other): then leave it out, and the systemd test says so.
        if owner=$(dpkg-query -S /usr/sbin/sendmail 2>/dev/null); then
            echo "Not installing postfix: /usr/sbin/sendmail belongs to ${owner%%:*}"
            missing=$(echo "$missing" | sed 's/ postfix / /; s/ postfix$//')
        else
            # Only the systemd test's guest sets it up and starts it; here it
            # stays without a configuration, so nothing listens.
            echo 'postfix postfix/main_mailer_type select No configuration' | $SUDO debconf-set-selections
        fi ;;
    esac
    [ -n "$missing" ] || return 0
    echo "Installing:$missing"
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
    case " $missing " in
    *" ser2net "*)
        # Debian's ser2net starts serving /dev/ttyS0 to 3 on localhost from
        # its own configuration; the tests run their own, on a free port. A
        # console on ttyS0 must never be reachable that way.
        if [ -d /run/systemd/system ]; then
            $SUDO systemctl disable --now ser2net.service || :
        elif [ -x /etc/init.d/ser2net ]; then
            $SUDO /etc/init.d/ser2net stop >/dev/null 2>&1 || :
            $SUDO update-rc.d ser2net disable >/dev/null 2>&1 || :
        fi ;;
    esac
}

top=$(cd "$(dirname "$0")/.." && pwd)
build="${PHONE_HOME_BUILD_DIR:-$top/build}"
