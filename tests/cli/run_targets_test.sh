#!/bin/sh
# scripts/run.sh builds what the window needs, not the tests and benchmarks:
# what its targets take, in this build folder, compiles nothing of theirs.
# $1: the source tree, $2: the build folder (Ninja).
set -eu
src=$1
build=$2
command -v ninja >/dev/null 2>&1 && [ -f "$build/build.ninja" ] || { echo "not a Ninja build"; exit 77; }
targets=$(sed -n 's/^targets=(\(.*\))$/\1/p' "$src/scripts/run.sh")
[ -n "$targets" ] || { echo "run.sh names no targets"; exit 1; }
# shellcheck disable=SC2086
commands=$(ninja -C "$build" -t commands $targets)
for needed in app/velkart cli/kav reader/virtual/tool/kav-virtual-reader; do
    echo "$commands" | grep -q -- "-o $needed " || { echo "run.sh does not build $needed"; exit 1; }
done
if echo "$commands" | grep -E -- "-o (tests|bench)/"; then
    echo "run.sh builds tests or benchmarks (above)"
    exit 1
fi
echo "run.sh builds $(echo "$commands" | wc -l) steps, none of the tests or benchmarks"
