#!/bin/sh
# Builds the .deb from the build tree, unpacks it and checks that what the
# desktop entry names is where it says, that the example scripts are there
# and runnable, and that the control data declares the run-time needs.
#
# usage: check_deb.sh <build dir> <source dir> <scratch dir>
# Exit 77 (skipped) where the Debian tools are missing.
set -eu

build=$1
source=$2
scratch=$3

for tool in dpkg-deb dpkg-shlibdeps cpack readelf; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool not found (Debian packages dpkg-dev, binutils, cmake)"
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

# ---- the program ---------------------------------------------------------
if [ -f "$path" ]; then
    # The build tree's library path must not travel with the package.
    if readelf -d "$path" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "$program keeps a run path into the build tree"
    fi
    if readelf -S "$path" | grep -q '\.debug_info'; then
        fail "$program is not stripped"
    fi
fi

# ---- example scripts -----------------------------------------------------
examples=$root/usr/share/doc/rs232-phone-home/examples/notifications
count=0
for script in "$source"/examples/notifications/*.sh; do
    name=$(basename "$script")
    count=$((count + 1))
    [ -f "$examples/$name" ] || { fail "example $name missing"; continue; }
    if [ "$name" = phone-home-common.sh ]; then
        # Sourced, never run: it ships as 0644.
        [ ! -x "$examples/$name" ] || fail "example $name is executable; it should be 0644"
    else
        [ -x "$examples/$name" ] || fail "example $name is not executable"
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
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libqt6svg6 libc6; do
    echo "$depends" | tr ',' '\n' | grep -Eq "^ *$lib( |$)" || fail "Depends lacks $lib"
done
echo "$(field Recommends)" | grep -q 'fonts-liberation2' || fail "Recommends lacks fonts-liberation2"
[ "$(field Package)" = rs232-phone-home ] || fail "Package is '$(field Package)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)', not utils"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
echo "$(field Maintainer)" | grep -Eq '^[^<]+ <[^>]+@[^>]+>$' || fail "Maintainer '$(field Maintainer)' is not 'Name <e-mail>'"
[ -n "$(field Description)" ] || fail "no Description"
# Paths in the package start at /usr, nowhere else.
others=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -Ev '^\./(usr(/.*)?)?$' | head -n 5)
[ -z "$others" ] || fail "files outside /usr: $others"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; control data:"
    cat "$scratch/info.txt"
    exit 1
fi
echo "package checks passed"
