#!/usr/bin/env bash
# The library and kav for 64-bit and 32-bit Windows, proved on this machine:
# installs mingw-w64 and wine (wine32 for the x86 build) from Debian, fetches
# SQLite's sources, cross-builds each bitness (presets "windows" and
# "windows-x86"), checks the DLL's exported names and that nothing needs a
# mingw DLL, and for each bitness runs the
# tests that need no pty under wine (among them a card read through network
# ports, RFC 2217 and raw TCP, served on 127.0.0.1 by the test's own Winsock
# thread), reads a card through a real COM port (the virtual reader on a
# pty, linked into the wine prefix as COM5), runs kav.exe's commands on
# in-process virtual readers (check and results with their SQLite record
# among them), and makes the zip.
# Prints the time each part took.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

times=()
# PARTS=regex runs only the parts whose names match (after a full run).
part() { # name, then the command
    local name=$1 start=$SECONDS
    shift
    if [ -n "${PARTS:-}" ] && ! [[ $name =~ $PARTS ]]; then
        return 0
    fi
    echo "== $name"
    "$@"
    times+=("$(printf '%-28s %4ds' "$name" $((SECONDS - start)))")
}

install() {
    # googletest: its sources, which the cross build compiles. wine32 is
    # i386's: the architecture is added first.
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        ${SUDO:-$([ "$(id -u)" -ne 0 ] && echo sudo)} dpkg --add-architecture i386
    fi
    scripts/setup.sh mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64 wine \
        wine32:i386 googletest unzip tcl make
    # The dialog's tests: a display, pictures, Chinese and wine's own fonts.
    scripts/setup.sh xvfb imagemagick fonts-arphic-uming fonts-wine python3-pefile
}

# Some kernels (a virtual machine's among them) start no 32-bit x86 program
# at all ("Exec format error"): wine32 is installed but cannot run. There the
# 64-bit programs go to wine64 itself, and the x86 build is built, its
# exports, imports, version blocks and zip checked, but not run.
x86_runs=yes
wine64_only() {
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
        return 0
    fi
    x86_runs=no
    local why
    why=$(/usr/lib/wine/wine --version 2>&1 | head -1) || true
    echo "NOT RUN: the x86 build under wine32, which cannot start here" \
        "(/usr/lib/wine/wine: ${why##*: })" >&2
    local shims=$root/build/windows/wine64-only name
    mkdir -p "$shims"
    for name in wine wine-stable; do
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' > "$shims/$name"
        chmod +x "$shims/$name"
    done
    export PATH=$shims:$PATH WINELOADER=/usr/lib/wine/wine64
}

# What can be proved of a build that cannot run here: its version blocks
# are read by Debian's python, not by wine.
x86_static_tests() {
    ctest --preset $preset -R '^win\.version\.' 2>&1 | tee $build/ctest-static.log
    grep -q '100% tests passed, 0 tests failed out of [1-9]' $build/ctest-static.log
}

sqlite_source() {
    scripts/fetch-sqlite.sh >/dev/null
}

# The bitness the parts below work on: its preset, build folder, tools.
# Debian's wine starts either bitness; the label names the one it runs.
use() {
    case $1 in
    x64) preset=windows objdump=x86_64-w64-mingw32-objdump wine=wine label=wine64 ;;
    x86) preset=windows-x86 objdump=i686-w64-mingw32-objdump wine=wine label=wine32 ;;
    esac
    build=build/$preset
}

linux_tool() {
    # The virtual reader that serves the pty is a Linux program.
    if [ ! -x build/default/reader/virtual/tool/kav-virtual-reader ]; then
        [ -f build/default/CMakeCache.txt ] || cmake --preset default >/dev/null
        cmake --build build/default --target kav-virtual-reader
    fi
}

cross_build() {
    local listed=ON
    [ $bits = x64 ] || [ $x86_runs = yes ] || listed=OFF
    cmake --preset $preset -DVELKART_LIST_WINE_TESTS=$listed >/dev/null
    cmake --build --preset $preset
    # The DLL exports the header's functions, each of them once and nothing
    # else, as whole names: a decorated (@N) or doubled name is a difference.
    diff <(grep -oE 'KAV_CALL +Kav_[A-Za-z0-9_]+\(' reader/KavIDCardAPI.h |
            sed 's/^KAV_CALL *//; s/($//' | sort) \
        <($objdump -p $build/bin/KavIDCardAPI.dll |
            sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ {print $NF}' | sort) ||
        { echo "$build/bin/KavIDCardAPI.dll does not export exactly the header's functions" >&2; return 1; }
    # The mingw runtime is linked in: no program or DLL imports one of its
    # DLLs (libgcc_s_*, libstdc++-6, libwinpthread-1), so none need ship.
    local file imports status=0
    for file in $build/bin/*.exe $build/bin/*.dll; do
        imports=$($objdump -p "$file" | sed -n 's/^\tDLL Name: //p')
        if grep -qiE '^(libgcc|libstdc|libwinpthread|libssp|libatomic)' <<<"$imports"; then
            echo "$file imports a mingw DLL: $(tr '\n' ' ' <<<"$imports")" >&2
            status=1
        fi
    done
    return $status
}

export WINEPREFIX=$root/build/windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        timeout 300 wineboot -i
        timeout 60 wineserver -w || true
    fi
}

# The least number of tests the run must have run: a program that wine
# cannot start may "pass" having run nothing. Raise it when tests are added.
# Both bitnesses run the same tests.
readonly least_tests=65
wine_tests() {
    local log=$build/ctest.log
    # A test program started just as wine's server shuts down after the last
    # one fails at once ("wine client error: recvmsg"), having run nothing:
    # such a start is tried once more. A test that fails twice fails.
    ctest --preset $preset --repeat until-pass:2 -E '^win\.dialog\.' 2>&1 | tee "$log"
    local ran
    ran=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' "$log")
    echo "tests run under $label ($preset): ${ran:-0}"
    if [ "${ran:-0}" -lt "$least_tests" ]; then
        echo "fewer tests ran than the $least_tests expected: some did not start" >&2
        return 1
    fi
    # Each program ran some of its own (tests/windows gives each a prefix).
    local prefix n
    for prefix in codepage card protocol virtual win32 network host version; do
        n=$(grep -c "Test *#[0-9]*: win\.$prefix\..*Passed" "$log" || true)
        echo "  win.$prefix: $n passed"
        [ "$n" -gt 0 ] || { echo "the $prefix tests ran none" >&2; return 1; }
    done
}

# The virtual reader on a pty (Linux side), linked into the wine prefix as
# COM5; runs "$@" meanwhile and stops the reader, whatever "$@" did.
with_com5() {
    local link=$root/build/windows/com5-pty
    rm -f "$link"
    build/default/reader/virtual/tool/kav-virtual-reader "${tool_options[@]}" --link "$link" \
        > build/windows/com5-tool.log 2>&1 &
    local pid=$! status=0
    for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.1; done
    if [ -e "$link" ]; then
        ln -sfn "$(readlink -f "$link")" "$WINEPREFIX/dosdevices/com5"
        "$@" || status=$?
    else
        echo "the virtual reader made no pty" >&2
        status=1
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return $status
}

read_com5() {
    local out
    out=$(cd $build/bin &&
        env -u KAVIDCARD_DEVICES timeout 60 $wine kav.exe --port 5 read --json 2>../com5-wine.log)
    echo "$out"
    echo "$out" | grep -q '"idNumber"' || { echo "no card read through COM5" >&2; return 1; }
}
com_port() {
    tool_options=()
    with_com5 read_com5
}

# kav.exe's commands on the library's in-process virtual readers: each case
# is an exit code and, where given, text its output must hold.
# The cases run in order: check writes the record that results reads.
kav_commands() {
    local card='Z:'"${root//\//\\}"'\reader\virtual\cards\foreigner-permanent.json'
    local db='Z:'"${root//\//\\}"'\'"${build//\//\\}"'\records.sqlite'
    local failures=0 expected_rc text devices args out rc
    rm -f "$build/records.sqlite"
    while IFS='|' read -r expected_rc text devices args; do
        rc=0
        out=$(cd $build/bin && KAVIDCARD_DEVICES="$devices" timeout 120 $wine kav.exe $args 2>&1) || rc=$?
        out=${out//$'\r'/}
        if [ "$rc" -ne "$expected_rc" ] || [[ $out != *"$text"* ]]; then
            echo "kav.exe $args (KAVIDCARD_DEVICES=$devices): exit $rc, expected $expected_rc with \"$text\"; it said: $out" >&2
            failures=$((failures + 1))
        else
            echo "ok: kav.exe $args: exit $rc"
        fi
    done <<CASES
0|"chineseName":"马爱琳"|defaults=off,1=virtual:$card|--port 1 read --json
0|05-01-20069995|defaults=off,1=virtual|--port 1 sam-id
0|1  virtual  ok|defaults=off,1=virtual|ports
2|no device is mapped|defaults=off|--port 7 status
10|kav: |defaults=off|results --db $db
0|PASS  port 1|defaults=off,1=virtual|check --db $db
9|FAIL  port 1|defaults=off,1=virtual:Z:\\no\\such.json|check --db $db
0|"verdict":"FAIL"|defaults=off|results --json --db $db
0|"verdict":"PASS"|defaults=off|results --json --db $db
CASES
    return $((failures > 0))
}

# A figure, not a test: the C host's read sequence through COM5 against
# its wire time (1,381 bytes at 115200: 119.9 ms; bench/README.md).
bench_com5() {
    mkdir -p $build/bench-photos
    local ms
    ms=$(cd $build/bin && KAVIDCARD_DEVICES="defaults=off,1=COM5" timeout 300 \
        $wine c_read_loop.exe 30 'Z:'"${root//\//\\}"'\'"${build//\//\\}"'\bench-photos' 2>../bench-wine.log |
        tr -d '\r')
    echo "read sequence under $label ($preset): $ms ms, $(awk -v ms="$ms" 'BEGIN { printf "%.2f", ms / 119.9 }')x its wire time"
}
bench() {
    tool_options=(--wire-only)
    with_com5 bench_com5
}

# Figures, not tests: Velkart.exe's read through COM5 against its wire
# time, and its start-up against a bare dialog's, in the dialog's prefix
# under Xvfb (bench/README.md).
bench_dialog_com5() {
    local folder='Z:'"${root//\//\\}"'\'"${build//\//\\}"'\bench-photos' figures ms shown
    figures=$(cd $shipped && KAVIDCARD_DEVICES="defaults=off,1=COM5" timeout 300 \
        xvfb-run -a -s "-screen 0 1024x768x24" $wine dialog_timing.exe read 30 "$folder" \
        2>../bench-dialog.log | tr -d '\r')
    read -r ms shown <<<"$figures"
    echo "Velkart.exe's read under $label: $ms ms, $(awk -v ms="$ms" 'BEGIN { printf "%.2f", ms / 119.9 }')x its wire time; until its rows are painted $shown ms"
}
bench_dialog() {
    local WINEPREFIX=$root/build/windows/dialog-wineprefix figures velkart bare ratio shipped template own painted bare_painted template_painted
    export WINEPREFIX
    mkdir -p $build/bench-photos
    # Timed as shipped: the zip's Velkart.exe and DLL, without the debugging
    # information of the build's (loading the DLL's 20 MB of it costs some
    # 15 ms under wine). The timing program and the bare dialog join them.
    shipped=$build/shipped
    rm -rf $shipped
    unzip -q -d $shipped $build/packages/kavidcard-*.zip
    shipped=$(echo $shipped/*/bin)
    cp $build/bin/dialog_timing.exe $shipped/
    ${objdump%objdump}strip -o $shipped/bare_dialog.exe $build/bin/bare_dialog.exe
    ${objdump%objdump}strip -o $shipped/template_dialog.exe $build/bin/template_dialog.exe
    tool_options=(--wire-only)
    with_com5 bench_dialog_com5
    figures=$(cd $shipped && KAVIDCARD_DEVICES=defaults=off timeout 300 \
        xvfb-run -a -s "-screen 0 1024x768x24" $wine dialog_timing.exe startup 20 | tr -d '\r')
    read -r velkart bare ratio template own painted bare_painted template_painted <<<"$figures"
    echo "start-up to the window shown under $label: Velkart.exe $velkart ms, a bare dialog $bare ms, ${ratio}x"
    echo "  Velkart.exe's template alone (comctl32 6, no library, no handlers) $template ms: Velkart.exe ${own}x it"
    echo "  until painted and idle: Velkart.exe $painted ms, the bare dialog $bare_painted ms, the template $template_painted ms"
}

package() {
    (cd $build && cpack --config CPackConfig.cmake >/dev/null)
    local zip
    zip=$(ls $build/packages/kavidcard-*.zip)
    ls -l "$zip"
    # What the zip must hold; a missing entry fails.
    local listing entry status=0
    listing=$(unzip -Z1 "$zip")
    for entry in bin/KavIDCardAPI.dll bin/kav.exe lib/KavIDCardAPI.dll.a KavIDCardAPI.def \
        KavIDCardAPI.h README-windows.txt "${zip_extra[@]}"; do
        grep -q "/$entry\$" <<<"$listing" || { echo "$zip has no $entry" >&2; status=1; }
    done
    echo "$listing"
    return $status
}

# Velkart.exe under wine and Xvfb, in a prefix of its own with the Chinese
# font settings: driven from another process, then photographed and compared
# with the golden images.
dialog() {
    local WINEPREFIX=$root/build/windows/dialog-wineprefix
    export WINEPREFIX
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        xvfb-run -a sh -c 'timeout 300 wineboot -i; timeout 60 wineserver -w'
    fi
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
    { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE tests/windows/dialog-prefix.reg; } \
        > build/windows/dialog-prefix.reg
    wine regedit /S 'Z:'"${root//\//\\}"'\build\windows\dialog-prefix.reg'
    timeout 60 wineserver -w || true
    xvfb-run -a -s "-screen 0 1024x768x24" \
        ctest --preset $preset --repeat until-pass:2 -R '^win\.dialog\.' 2>&1 |
        tee $build/ctest-dialog.log
    grep -q '100% tests passed' $build/ctest-dialog.log ||
        { echo "the dialog's tests failed" >&2; return 1; }
    tests/windows/dialog_screenshots.sh $build/bin $build/shots
}

part "install packages" install
wine64_only
part "SQLite's sources" sqlite_source
part "Linux virtual reader" linux_tool
for bits in x64 x86; do
    use $bits
    part "cross build $bits" cross_build
done
part "wine prefix" wine_prefix
for bits in x64 x86; do
    use $bits
    if [ $bits = x64 ] || [ $x86_runs = yes ]; then
        part "tests under $label" wine_tests
        part "read through COM5 $bits" com_port
        part "kav.exe commands $bits" kav_commands
        part "Velkart.exe $bits under Xvfb" dialog
    else
        part "version blocks $bits (not run: wine32 cannot start)" x86_static_tests
    fi
    zip_extra=()
    [ $bits = x86 ] && zip_extra=(KavIDCardAPI-stdcall.def lib/KavIDCardAPI.lib)
    [ -f $build/bin/Velkart.exe ] && zip_extra+=(bin/Velkart.exe)
    part "zip $bits" package
done
for bits in x64 x86; do
    use $bits
    [ $bits = x64 ] || [ $x86_runs = yes ] || continue
    part "bench (C host, COM5) $bits" bench
    part "bench (Velkart.exe) $bits" bench_dialog
done

echo "== time per part"
printf '%s\n' "${times[@]}"
[ $x86_runs = yes ] ||
    echo "NOT RUN: the x86 build under wine32, which cannot start here: built and checked without running"
