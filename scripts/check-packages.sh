#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh) and checks them: lintian
# (no errors), the AppStream metainfo and the desktop entry, the files each
# holds; then unpacks them into a scratch folder, not into the system, and
# runs from there: kav, the program until its window is shown, and the C
# host of the library built through the unpacked pkg-config file against
# the unpacked kav-virtual-reader.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 0 ]; then
    echo "usage: scripts/check-packages.sh" >&2
    exit 2
fi

scripts/setup.sh lintian appstream desktop-file-utils dpkg-dev file
scripts/package.sh

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

shopt -s nullglob
debs=(build/package/*.deb)
[ ${#debs[@]} -eq 4 ] || { echo "expected 4 packages in build/package, found ${#debs[@]}" >&2; exit 1; }

echo "== lintian"
for deb in "${debs[@]}"; do
    if lintian --fail-on error "$deb"; then
        pass "lintian: no errors in $(basename "$deb")"
    else
        fail "lintian reports errors in $(basename "$deb")"
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
for deb in "${debs[@]}"; do
    dpkg -x "$deb" "$root"
done

echo "== contents"
version=$(dpkg-deb -f build/package/velkart_*.deb Version)
libdir=$(dirname "$(find "$root/usr/lib" -name 'libKavIDCardAPI.so.1' -print -quit)")
expect() {
    for f in "$@"; do
        [ -e "$root/$f" ] || fail "no $f in the packages"
    done
}
expect usr/bin/velkart usr/bin/kav-virtual-reader usr/include/KavIDCardAPI.h \
    usr/share/applications/velkart.desktop usr/share/metainfo/org.velkart.velkart.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/velkart.svg usr/share/velkart/cards/ordinary.json
[ -d "$libdir" ] || { echo "FAIL: no libKavIDCardAPI.so.1 in the packages" >&2; exit 1; }
expect "${libdir#"$root/"}/libKavIDCardAPI.so" "${libdir#"$root/"}/pkgconfig/kavidcard.pc"
for size in 16 32 48 64 128 256; do
    icon=$root/usr/share/icons/hicolor/${size}x${size}/apps/velkart.png
    [[ $(file -b "$icon") == "PNG image data, $size x $size,"* ]] || fail "no ${size}x$size PNG icon"
done
# Every program comes with its manual page once cli/ installs them.
if [ -d cli ]; then
    for program in velkart kav kav-virtual-reader; do
        expect "usr/share/man/man1/$program.1.gz"
    done
fi
for program in "$root"/usr/bin/*; do
    # Output taken whole: with pipefail, grep -q ending early would fail the pipe.
    dynamic=$(readelf -d "$program")
    if grep -Eq 'R(UN)?PATH' <<<"$dynamic"; then
        fail "$(basename "$program") carries a run path"
    fi
done
# Without a font holding Chinese characters the dialog's labels are boxes.
[[ $(dpkg-deb -f build/package/velkart_*.deb Recommends) == *fonts-arphic-uming* ]] ||
    fail "velkart recommends no font with Chinese characters"
pass "contents checked"

echo "== metadata"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.velkart.velkart.metainfo.xml" ||
    fail "appstreamcli validate"
desktop-file-validate "$root/usr/share/applications/velkart.desktop" && pass "desktop-file-validate" ||
    fail "desktop-file-validate"

# The unpacked programs load the unpacked library, whatever the system holds.
export LD_LIBRARY_PATH=$libdir
uses_unpacked_library() {
    local loaded
    loaded=$(LD_LIBRARY_PATH=$libdir ldd "$1")
    if grep -qF "libKavIDCardAPI.so.1 => $libdir/" <<<"$loaded"; then
        return 0
    fi
    fail "$(basename "$1") does not load the unpacked library"
    return 1
}

echo "== kav"
if [ -x "$root/usr/bin/kav" ]; then
    uses_unpacked_library "$root/usr/bin/kav" || true
    out=$("$root/usr/bin/kav" --version) || fail "kav --version failed"
    echo "$out"
    grep -qF "$version" <<<"$out" && pass "kav --version names $version" ||
        fail "kav --version does not name the package version $version"
    if out=$(KAVIDCARD_DEVICES=defaults=off,1=virtual "$root/usr/bin/kav" find --json); then
        echo "$out"
        grep -q '^[[:space:]]*[{[]' <<<"$out" && pass "kav find --json on the virtual reader" ||
            fail "kav find --json printed no JSON"
    else
        fail "kav find --json failed on the virtual reader"
    fi
    # kav keeps its record in SQLite: the package must pull the library in.
    [[ $(dpkg-deb -f build/package/kav-tools_*.deb Depends) == *libsqlite3-0* ]] &&
        pass "kav-tools depends on libsqlite3-0" || fail "kav-tools does not depend on libsqlite3-0"
    if KAVIDCARD_DEVICES=defaults=off,1=virtual "$root/usr/bin/kav" check --db "$work/results.sqlite" \
        >/dev/null && "$root/usr/bin/kav" results --summary --db "$work/results.sqlite" |
        grep -q '^all .* 1 .* 1 .* 0 .*100.0%$'; then
        pass "kav check and kav results --summary on the virtual reader"
    else
        fail "kav check or kav results failed on the virtual reader"
    fi
elif [ -d cli ]; then
    fail "cli/ is in the tree but kav is in no package"
else
    echo "SKIPPED: kav is not in this tree yet (cli/ is absent): kav --version and kav find --json not run"
fi

echo "== velkart"
# The start-up benchmark's probe, preloaded: when the first window is
# exposed it prints the clock and ends the program with status 0.
probe=$work/probe.so
g++ -std=c++20 -shared -fPIC -o "$probe" bench/startup/probe.cpp $(pkg-config --cflags --libs Qt6Gui)
if uses_unpacked_library "$root/usr/bin/velkart"; then
    status=0
    out=$(LD_PRELOAD=$probe QT_QPA_PLATFORM=offscreen KAVIDCARD_DEVICES=defaults=off,1=virtual \
        timeout 60 "$root/usr/bin/velkart" 2>"$work/velkart.err") || status=$?
    if [ "$status" -eq 0 ] && [[ $out =~ ^[0-9]+$ ]]; then
        pass "velkart showed its window (offscreen)"
    else
        cat "$work/velkart.err" >&2
        fail "velkart did not show its window (status $status)"
    fi
fi

echo "== C host through pkg-config"
export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$libdir/pkgconfig
export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
[ "$(pkg-config --modversion kavidcard)" = "$version" ] || fail "kavidcard.pc does not give version $version"
flags=$(pkg-config --cflags --libs kavidcard)
echo "pkg-config kavidcard: $flags"
host=$work/kav_c_host
if cc -std=c11 -pedantic -Wall -Wextra -Werror -o "$host" tests/host/read_sequence.c $flags; then
    if uses_unpacked_library "$host"; then
        sh tests/host/run_c_host.sh "$host" "$root/usr/bin/kav-virtual-reader" &&
            pass "the C host read the card over a pty from the unpacked kav-virtual-reader" ||
            fail "the C host against the unpacked packages"
    fi
else
    fail "the C host does not build against the unpacked header and library"
fi
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "packages checked: ${debs[*]}"
