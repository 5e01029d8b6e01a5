#!/usr/bin/env bash
# Renders the windows again and commits nothing: replaces the renderings in
# tests/dialog/golden with the current look, for a look changed on purpose.
# Review the images (git diff shows they changed) before committing them.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build/default}
golden=$src/tests/dialog/golden
out=$build/tests/dialog/golden-actual

ninja -C "$build" -j2 dialog_tests
rm -rf "$out"
# The comparison fails where the look changed and leaves the renderings.
QT_QPA_PLATFORM=offscreen "$build/tests/dialog/dialog_tests" \
    --gtest_filter='Windows/GoldenLookTest.*' --gtest_brief=1 || true
shopt -s nullglob
updated=0
for image in "$out"/*.png; do
    case "$image" in *-diff.png) continue ;; esac
    cp "$image" "$golden/"
    echo "updated $(basename "$image")"
    updated=$((updated + 1))
done
echo "$updated rendering(s) updated"
# The renderings now in place must match.
QT_QPA_PLATFORM=offscreen "$build/tests/dialog/dialog_tests" \
    --gtest_filter='Windows/GoldenLookTest.*' --gtest_brief=1
