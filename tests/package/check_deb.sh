#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the .deb from the build tree, unpacks it and checks that what the
# desktop entry names is where it says, that the program is hardened and
# carries no run path, that the example scripts, manual page, the README with
# its guides and Debian's documents are there, that the control data declares
# the run-time needs, and that lintian finds nothing but the placeholder
# maintainer address, and that the service and its test unit share one
# sandbox that systemd-analyze security rates 2.0 or lower.
#
# usage: check_deb.sh <build dir> <source dir> <scratch dir>
# Exit 77 (skipped) where the Debian tools are missing.
set -eu

build=$1
source=$2
scratch=$3

for tool in dpkg-deb dpkg-shlibdeps cpack readelf lintian systemd-analyze; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool not found (Debian packages dpkg-dev, binutils, cmake, lintian, systemd)"
        exit 77
    fi
done

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

rm -rf "$scratch"
mkdir -p "$scratch"
# Into a scratch directory, so a package made by hand in the build tree is
# neither used nor overwritten.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
    cat "$scratch/cpack.log"
    echo "FAIL: cpack"
    exit 1
}
set -- "$scratch"/out/*.deb
if [ "$#" -ne 1 ] || [ ! -f "$1" ]; then
    ls -l "$scratch/out"
    echo "FAIL: expected exactly one .deb"
    exit 1
fi
deb=$1
echo "package: $(basename "$deb")"

root=$scratch/root
dpkg-deb -x "$deb" "$root"

# ---- desktop entry -------------------------------------------------------
desktop=$root/usr/share/applications/rs232-phone-home.desktop
[ -f "$desktop" ] || fail "no desktop entry at usr/share/applications"
entry() { sed -n "s/^$1=//p" "$desktop" | head -n 1; }

exec_line=$(entry Exec)
program=${exec_line%% *}
case $program in
/*) path=$root$program ;;
*) path=$root/usr/bin/$program ;;
esac
[ -n "$program" ] || fail "desktop entry has no Exec="
[ -f "$path" ] && [ -x "$path" ] || fail "Exec=$exec_line: no program ${path#"$root"} in the package"

icon=$(entry Icon)
[ -n "$icon" ] || fail "desktop entry has no Icon="
# A theme name is looked up in the hicolor theme's apps folders.
found=$(find "$root/usr/share/icons/hicolor" -path "*/apps/$icon.*" \( -name '*.svg' -o -name '*.png' \) 2>/dev/null | head -n 1)
[ -n "$found" ] || fail "Icon=$icon: no such icon under usr/share/icons/hicolor/*/apps"
case $found in
*/scalable/apps/*.svg) grep -q '<svg' "$found" || fail "$found is not an SVG image" ;;
*/scalable/*) fail "$found: scalable icons must be SVG" ;;
esac

if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate"
fi
# Menus file an entry under each main category it names: exactly one.
mains=$(entry Categories | tr ';' '\n' |
    grep -cxE 'AudioVideo|Audio|Video|Development|Education|Game|Graphics|Network|Office|Science|Settings|System|Utility' || true)
[ "$mains" -eq 1 ] || fail "Categories=$(entry Categories): $mains main categories, not one"

# ---- the program ---------------------------------------------------------
if [ -f "$path" ]; then
    dynamic=$(readelf -dW "$path")
    if echo "$dynamic" | grep -qE '\(R(UN)?PATH\)'; then
        fail "$program has a run path: $(echo "$dynamic" | grep -E 'R(UN)?PATH')"
    fi
    if readelf -SW "$path" | grep -qE '\.debug_info|\.symtab'; then
        fail "$program is not stripped"
    fi
    # Debian's hardening: full RELRO (GNU_RELRO and BIND_NOW), PIE, and the
    # stack protector or fortified calls.
    readelf -lW "$path" | grep -q GNU_RELRO || fail "$program: no GNU_RELRO segment (-Wl,-z,relro)"
    echo "$dynamic" | grep -qE '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' ||
        fail "$program: no BIND_NOW (-Wl,-z,now)"
    readelf -hW "$path" | grep -qE 'Type: +DYN' && echo "$dynamic" | grep -qE '\(FLAGS_1\).*PIE' ||
        fail "$program is not a position-independent executable"
    readelf --dyn-syms -W "$path" | grep -qE ' (__[a-z0-9_]+_chk|__stack_chk_fail)(@|$)' ||
        fail "$program calls neither the stack protector nor a fortified function"
    if echo "$dynamic" | grep -q 'NEEDED.*libQt6Svg'; then
        fail "$program links Qt's SVG library; its pictures are meant to be drawn at build time"
    fi
fi

# ---- the MQTT module -----------------------------------------------------
# Loaded only with --mqtt, from the folder the programs were built to look in.
module=$(find "$root/usr/lib" -path '*/rs232-phone-home/rs232-phone-home-mqtt.so' | head -n 1)
if [ -z "$module" ]; then
    fail "no rs232-phone-home/rs232-phone-home-mqtt.so under usr/lib"
else
    # Looked for relative to the program's folder (usr/sbin or usr/bin).
    relative=../${module#"$root/usr/"}
    # (A Qt string: UTF-16.)
    strings -el "$root/usr/sbin/rs232-phone-homed" | grep -qxF "$(dirname "$relative")" ||
        fail "rs232-phone-homed does not look for its module in $(dirname "$relative")"
    readelf -dW "$module" | grep -q 'NEEDED.*libmosquitto' || fail "the MQTT module does not link libmosquitto"
    for program in usr/bin/rs232-phone-home usr/sbin/rs232-phone-homed; do
        readelf -dW "$root/$program" | grep -E 'NEEDED.*(libmosquitto|libssl|libcrypto)' &&
            fail "$program links what only the MQTT module needs"
    done
    dpkg-deb -f "$deb" Depends | grep -q libmosquitto1 || fail "Depends lacks libmosquitto1 (the module's)"
fi

# ---- documents -----------------------------------------------------------
doc=$root/usr/share/doc/rs232-phone-home
copyright=$doc/copyright
if [ -f "$copyright" ]; then
    head -n 1 "$copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
        fail "copyright is not in the machine-readable format"
else
    fail "no usr/share/doc/rs232-phone-home/copyright"
fi
changelog=$doc/changelog.Debian.gz
if [ -f "$changelog" ]; then
    top=$(gzip -dc "$changelog" | head -n 1)
    version=$(dpkg-deb -f "$deb" Version)
    case $top in
    "rs232-phone-home ($version) "*) ;;
    *) fail "changelog.Debian.gz starts '$top', not with version $version" ;;
    esac
else
    fail "no usr/share/doc/rs232-phone-home/changelog.Debian.gz"
fi
# Error 301 sends the user there.
cmp -s "$source/README.md" "$doc/README.md" || fail "README.md missing from usr/share/doc/rs232-phone-home or stale"
# Beside it, every guide and the screenshots the README shows, so that its
# links (docs/...) and the guides' (../README.md, ../examples/...) lead
# somewhere there too.
for file in "$source"/docs/*.md "$source"/docs/screenshot.png "$source"/docs/screenshot-enabled.png; do
    name=docs/${file##*/}
    cmp -s "$file" "$doc/$name" || fail "$name missing from usr/share/doc/rs232-phone-home or stale"
done
if command -v python3 >/dev/null 2>&1; then
    python3 "$source/tests/docs/check_links.py" "$doc" || fail "links in usr/share/doc/rs232-phone-home lead nowhere"
fi

page=$root/usr/share/man/man1/rs232-phone-home.1.gz
if [ -f "$page" ]; then
    gzip -dc "$page" | grep -q '^\.TH ' || fail "rs232-phone-home.1.gz is not a roff manual page"
    # Every error number the program can show has its entry.
    numbers=$(sed -n 's/^ *[A-Za-z]* = \([0-9][0-9]*\),.*/\1/p' "$source/common/error_codes.h")
    [ -n "$numbers" ] || fail "no error numbers found in common/error_codes.h"
    for number in $numbers; do
        gzip -dc "$page" | grep -qx "\\\\fB$number\\\\fR" || fail "manual page lacks error $number"
    done
else
    fail "no manual page usr/share/man/man1/rs232-phone-home.1.gz"
fi

# ---- example scripts -----------------------------------------------------
# ---- the service ------------------------------------------------------------
units=$root/usr/lib/systemd/system
for file in usr/sbin/rs232-phone-homed usr/lib/systemd/system/rs232-phone-homed@.service \
    usr/lib/systemd/system/rs232-phone-home-test@.service \
    usr/lib/sysusers.d/rs232-phone-home.conf usr/share/man/man8/rs232-phone-homed.8.gz; do
    [ -e "$root/$file" ] || fail "the package lacks /$file"
done
grep -q "^ExecStart=/usr/sbin/rs232-phone-homed --port %I" "$root/usr/lib/systemd/system/rs232-phone-homed@.service" 2>/dev/null ||
    fail "the unit does not start /usr/sbin/rs232-phone-homed with the instance as its port"
# A script tried with the test unit must meet the service's very sandbox:
# every setting that confines either unit is the same in both.
confinement() {
    sed -n '/^\[Service\]/,/^\[/p' "$1" |
        grep -E '^(User|Group|Supplementary|UMask|NoNewPriv|Capability|Ambient|Protect|Private|Restrict|ReadWrite|ReadOnly|Inaccessible|StateDirectory|Device|IPAddress|RemoveIPC|LockPersonality|MemoryDeny|ProcSubset|SystemCall|Keyring|Dynamic)' |
        sort
}
if [ -f "$units/rs232-phone-homed@.service" ] && [ -f "$units/rs232-phone-home-test@.service" ]; then
    confinement "$units/rs232-phone-homed@.service" >"$scratch/service.sandbox"
    confinement "$units/rs232-phone-home-test@.service" >"$scratch/test.sandbox"
    diff "$scratch/service.sandbox" "$scratch/test.sandbox" >"$scratch/sandbox.diff" ||
        fail "the service and its test unit are confined differently:
$(cat "$scratch/sandbox.diff")"
    grep -q '^PHONE_HOME_REASON=test\|^Environment=.*PHONE_HOME_REASON=test' "$units/rs232-phone-home-test@.service" ||
        fail "the test unit does not set PHONE_HOME_REASON=test"
    for unit in rs232-phone-homed@3.service rs232-phone-home-test@Fire.service; do
        # Offline: this machine need not run systemd.
        score=$(cd "$units" && systemd-analyze security --offline=true "$unit" 2>&1 |
            sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\) .*$/\1/p')
        echo "exposure of $unit: ${score:-?}"
        [ -n "$score" ] || fail "systemd-analyze security gave no exposure level for $unit"
        [ -z "$score" ] || awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' ||
            fail "systemd-analyze security rates $unit $score, above 2.0"
    done
fi
# Installed, not enabled: no symlink into a .wants folder.
if find "$root" -path '*.wants*' | grep -q .; then
    fail "the package enables the service"
fi

examples=$root/usr/share/doc/rs232-phone-home/examples/notifications
count=0
for script in "$source"/examples/notifications/*.sh; do
    name=$(basename "$script")
    count=$((count + 1))
    [ -f "$examples/$name" ] || { fail "example $name missing"; continue; }
    # A script to run has its interpreter line; one that is only sourced
    # has none and must not look runnable.
    if head -n 1 "$script" | grep -q '^#!'; then
        [ -x "$examples/$name" ] || fail "example $name is not executable"
    else
        [ ! -x "$examples/$name" ] || fail "example $name has no #! line but is executable"
    fi
    cmp -s "$script" "$examples/$name" || fail "example $name differs from the source"
done
[ "$count" -gt 0 ] || fail "no example scripts in the source tree"
[ -f "$examples/README.md" ] || fail "examples/notifications/README.md missing"

# Nothing from the tests may ship.
stray=$(find "$root" \( -name '*vserial*' -o -name 'tst_*' -o -name '*.a' \) | head -n 5)
[ -z "$stray" ] || fail "test files in the package: $stray"

# ---- control data --------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
dpkg-deb -I "$deb" >"$scratch/info.txt"
depends=$(field Depends)
echo "Depends: $depends"
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libc6; do
    echo "$depends" | tr ',' '\n' | grep -Eq "^ *$lib( |$)" || fail "Depends lacks $lib"
done
# The pictures are drawn from SVG at build time: no SVG library at run time.
if echo "$depends" | tr ',' '\n' | grep -Eq "^ *libqt6svg"; then
    fail "Depends names an SVG library: $depends"
fi
# The fixed layout clips its texts in other fonts.
echo "$depends" | tr ',' '\n' | grep -Eq "^ *fonts-liberation2( |$)" || fail "Depends lacks fonts-liberation2"
[ "$(field Package)" = rs232-phone-home ] || fail "Package is '$(field Package)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)', not utils"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
echo "$(field Maintainer)" | grep -Eq '^[^<]+ <[^>]+@[^>]+>$' || fail "Maintainer '$(field Maintainer)' is not 'Name <e-mail>'"
[ -n "$(field Description)" ] || fail "no Description"
# Paths in the package start at /usr, nowhere else.
others=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -Ev '^\./(usr(/.*)?)?$' | head -n 5)
[ -z "$others" ] || fail "files outside /usr: $others"

# ---- lintian -------------------------------------------------------------
# The placeholder maintainer address is the one finding allowed
# (-DPHONE_HOME_MAINTAINER sets a real one).
if lintian --fail-on none --display-level '>=warning' "$deb" >"$scratch/lintian.txt" 2>"$scratch/lintian.err"; then
    found=$(grep -E '^[EW]: ' "$scratch/lintian.txt" |
        grep -vE '^[EW]: [^ ]+ bogus-mail-host(-in-debian-changelog)? ' || true)
    [ -z "$found" ] || fail "lintian:
$found"
else
    cat "$scratch/lintian.err"
    fail "lintian did not run"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; control data:"
    cat "$scratch/info.txt"
    exit 1
fi
echo "package checks passed"
