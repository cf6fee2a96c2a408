#!/bin/sh
# SPDX-License-Identifier: MIT
# The core runs without a window: nothing under core/, serial/, notify/ or
# service/ includes app/, the core library needs no symbol of Qt Gui or Qt
# Widgets, and the service links neither.
#
# usage: check_layering.sh <source dir> <core library> <service executable>
set -eu
source=$1
core=$2
service=$3
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if grep -rnE '#[[:space:]]*include[[:space:]]*[<"](app/|Qt(Gui|Widgets)|QWidget|QColor|QPalette|QApplication)' \
    "$source/core" "$source/serial" "$source/notify" "$source/service"; then
    fail "the lines above include the window or Qt Gui from the core"
fi

gui_symbols=$(mktemp)
trap 'rm -f "$gui_symbols"' EXIT
for lib in Qt6Gui Qt6Widgets; do
    path=$(ldconfig -p | sed -n "s/.*lib$lib\.so\.6 (.*x86-64.*) => //p" | head -n 1)
    [ -n "$path" ] || path=$(ldconfig -p | sed -n "s/.*lib$lib\.so\.6 .* => //p" | head -n 1)
    [ -n "$path" ] || { fail "lib$lib.so.6 not found"; continue; }
    nm -D --defined-only "$path" | awk '{print $NF}' >>"$gui_symbols"
done
sort -u -o "$gui_symbols" "$gui_symbols"
used=$(nm --undefined-only "$core" | awk '{print $NF}' | sort -u | comm -12 - "$gui_symbols")
[ -z "$used" ] || fail "the core library uses Qt Gui or Widgets: $(echo "$used" | head -n 5 | c++filt)"

needed=$(readelf -d "$service" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "$needed" | grep -E 'Qt6(Gui|Widgets)' && fail "rs232-phone-homed links a GUI library"

if [ "$failures" -ne 0 ]; then
    echo "layering: 0 passed, $failures failed"
    exit 1
fi
echo "layering: 3 passed, 0 failed"
