#!/usr/bin/env bash
# Builds everything and runs every test (on Qt's offscreen platform: no
# display needed). --asan does the same under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
for arg in "$@"; do
    case "$arg" in
    --asan) preset=asan ;;
    *) echo "usage: scripts/test.sh [--asan]" >&2; exit 2 ;;
    esac
done

scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
cmake --workflow --preset "$preset"
