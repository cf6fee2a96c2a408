#!/bin/sh
# SPDX-License-Identifier: MIT
# The floors hold (no folder includes one above it), the core runs without a
# window: the core library needs no symbol of Qt Gui or Qt Widgets, and the
# service links neither, nor what only the MQTT module needs.
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

# The floors: each folder includes only itself and the floors below it.
#   ground: common/ (shared words), serial/ (the port), notify/ (the scripts)
#   1:      core/ (the panel and its rules)
#   2:      record/ (the record of events)
#   3:      mqtt/ (the panel on a broker)
#   4:      host/ (what ties a panel to a process)
#   top:    app/ (the window), service/ (rs232-phone-homed)
ground="common serial notify"
allowed() {
    case $1 in
    common) echo "common" ;;
    serial) echo "common serial" ;;
    notify) echo "common notify" ;;
    core) echo "$ground core" ;;
    record) echo "$ground core record" ;;
    mqtt) echo "$ground core record mqtt" ;;
    host) echo "$ground core record mqtt host" ;;
    service) echo "$ground core record mqtt host service" ;;
    app) echo "$ground core record mqtt host app" ;;
    esac
}
folders="common serial notify core record mqtt host app service"
for folder in $folders; do
    ok=$(allowed "$folder")
    wrong=$(grep -rnE '#[[:space:]]*include[[:space:]]*"[a-z_]+/' "$source/$folder" |
        while IFS= read -r line; do
            target=$(echo "$line" | sed -E 's/.*#[[:space:]]*include[[:space:]]*"([a-z_]+)\/.*/\1/')
            case " $ok " in *" $target "*) ;; *) echo "$line" ;; esac
        done)
    [ -z "$wrong" ] || fail "$folder/ includes a floor above it or beside it:
$wrong"
done
# Every folder of C++ is on a floor: a new one must be placed above.
for dir in "$source"/*/; do
    name=$(basename "$dir")
    case " $folders bench fuzz tests tools " in *" $name "*) continue ;; esac
    case $name in build*) continue ;; esac
    if find "$dir" -name '*.cpp' -o -name '*.h' | grep -q .; then
        fail "$name/ holds C++ but is on no floor; add it to check_layering.sh and the architecture guide"
    fi
done

if grep -rnE '#[[:space:]]*include[[:space:]]*<(Qt(Gui|Widgets)|QWidget|QColor|QPalette|QApplication)' \
    "$source/common" "$source/core" "$source/serial" "$source/notify" "$source/record" "$source/mqtt" \
    "$source/host" "$source/service"; then
    fail "the lines above include Qt Gui from the core"
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
# What --mqtt needs comes with its module, loaded only when a broker is named.
echo "$needed" | grep -E 'libmosquitto|libssl|libcrypto' &&
    fail "rs232-phone-homed links the MQTT client's libraries; they belong in its module"

if [ "$failures" -ne 0 ]; then
    echo "layering: 0 passed, $failures failed"
    exit 1
fi
echo "layering: 5 passed, 0 failed"
