#!/usr/bin/env bash
# Builds everything (the program, kav, the tests) and starts the program.
# Without a reader attached it runs on the virtual reader on port 1; pass
# --hardware to use only real devices.
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
# Everything: the program, kav and kav-virtual-reader (build/default/cli/kav,
# build/default/reader/virtual/tool/kav-virtual-reader) and the tests.
cmake --build --preset default

if [ "$hardware" -eq 0 ] && [ -z "${KAVIDCARD_DEVICES:-}" ]; then
    # The reader library's own setting: unless a reader is attached at the
    # first USB-serial port, a virtual reader with a sample card stands there.
    if [ ! -e /dev/ttyUSB0 ]; then
        export KAVIDCARD_DEVICES="1=virtual:$PWD/reader/virtual/cards/ordinary.json"
    fi
fi
exec build/default/app/velkart
