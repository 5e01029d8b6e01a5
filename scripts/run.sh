#!/usr/bin/env bash
# Builds the program, kav and kav-virtual-reader (not the tests and
# benchmarks: scripts/test.sh and scripts/bench.sh build those) and starts
# the program. Without a reader attached it runs on the virtual reader on
# port 1; pass --hardware to use only real devices.
set -euo pipefail
cd "$(dirname "$0")/.."

hardware=0
for arg in "$@"; do
    case "$arg" in
    --hardware) hardware=1 ;;
    *) echo "usage: scripts/run.sh [--hardware]" >&2; exit 2 ;;
    esac
done

scripts/setup.sh
cmake --preset default >/dev/null
# Named targets, in the build folder the tests share: the window opens
# without waiting for them, and scripts/test.sh builds on what is here.
targets=(velkart kav kav-virtual-reader man_pages)
if [ ! -x build/default/app/velkart ]; then
    echo "run.sh: the first build takes some minutes; later ones only what changed" >&2
fi
cmake --build --preset default --target "${targets[@]}"
echo "run.sh: kav is build/default/cli/kav; its manual: man -l cli/kav.1" \
    "(and reader/virtual/tool/kav-virtual-reader.1)" >&2

if [ "$hardware" -eq 0 ] && [ -z "${KAVIDCARD_DEVICES:-}" ]; then
    # The reader library's own setting: unless a reader is attached at the
    # first USB-serial port, a virtual reader with a sample card stands there.
    if [ ! -e /dev/ttyUSB0 ]; then
        export KAVIDCARD_DEVICES="1=virtual:$PWD/reader/virtual/cards/ordinary.json"
    fi
fi
exec build/default/app/velkart
