#!/usr/bin/env bash
# Mutation run of the dialog tests, by hand (not part of the suite): applies
# each small fault of a catalogue, one at a time, to a copy of the working
# tree, rebuilds the dialog tests there and runs them. A fault is caught
# when the tests fail. Prints each fault's outcome and the total.
#
#   scripts/mutate.sh [catalogue] [first-line-number-filter]
#
# The catalogue (default scripts/mutants.txt) holds one fault a line:
#   path|search|replace
# path relative to the tree; search must occur exactly once in the file;
# "\n" in search and replace stands for a line break. Lines starting with
# # and empty lines are skipped. MUTATE_DIR keeps the copy and its build
# between runs (the first run builds everything once).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
catalogue=${1:-$src/scripts/mutants.txt}
only=${2:-}
work=${MUTATE_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/velkart-mutate.XXXXXX")}
jobs=${MUTATE_JOBS:-2}
mkdir -p "$work/src"

echo "copy of the tree: $work/src"
# Only files whose content differs are written: the rest keep their times,
# so a kept build rebuilds what changed, and a file restored after a fault
# stays newer than the fault's object.
python3 - "$src" "$work/src" <<'PY'
import os, pathlib, shutil, sys
src, dst = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
for folder, dirs, files in os.walk(src):
    here = pathlib.Path(folder)
    if here == src:
        dirs[:] = [d for d in dirs if d not in ('build', '.git')]
    for name in files:
        source = here / name
        target = dst / source.relative_to(src)
        if not target.exists() or target.read_bytes() != source.read_bytes():
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, target)
            shutil.copymode(source, target)
PY
if [ ! -f "$work/build/build.ninja" ]; then
    # Warnings stay warnings: a fault is judged by the tests, not the compiler.
    cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELKART_WERROR=OFF -DVELKART_BENCH=OFF >"$work/configure.log"
fi

build() { ninja -C "$work/build" -j"$jobs" dialog_tests >"$work/build.log" 2>&1; }
run_tests() {
    QT_QPA_PLATFORM=offscreen timeout 600 "$work/build/tests/dialog/dialog_tests" \
        --gtest_brief=1 >"$work/test.log" 2>&1
}

echo "building the unchanged tree"
build || { echo "the unchanged tree does not build: $work/build.log"; exit 1; }
run_tests || { echo "the unchanged tree fails its tests: $work/test.log"; exit 1; }

# Applies (or, with --restore, undoes) one catalogue line in the copy.
mutate() {
    python3 - "$work/src" "$1" "$2" <<'PY'
import pathlib, sys
root, line, mode = sys.argv[1], sys.argv[2], sys.argv[3]
path, search, replace = line.split('|', 2)
unescape = lambda s: s.replace('\\n', '\n')
search, replace = unescape(search), unescape(replace)
file = pathlib.Path(root, path)
text = file.read_text(encoding='utf-8')
original = pathlib.Path(root, '.mutate-original')
if mode == 'restore':
    # A new modification time, so the build compiles it again.
    file.write_text(original.read_text(encoding='utf-8'), encoding='utf-8')
    sys.exit(0)
count = text.count(search)
if count != 1:
    print(f'search text found {count} times in {path}')
    sys.exit(2)
original.write_text(text, encoding='utf-8')
file.write_text(text.replace(search, replace), encoding='utf-8')
PY
}

total=0 caught=0 survived=0 invalid=0
survivors=()
started=$(date +%s)
number=0
while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    case "$line" in '' | '#'*) continue ;; esac
    if [ -n "$only" ] && [ "$number" != "$only" ]; then continue; fi
    label="line $number: ${line%%|*}: $(printf '%s' "$line" | cut -d'|' -f2 | cut -c1-50)"
    if ! mutate "$line" apply >"$work/apply.log"; then
        echo "INVALID   $label ($(cat "$work/apply.log"))"
        invalid=$((invalid + 1))
        continue
    fi
    total=$((total + 1))
    if ! build; then
        echo "NO BUILD  $label"
        invalid=$((invalid + 1))
        total=$((total - 1))
    elif run_tests; then
        echo "SURVIVED  $label"
        survived=$((survived + 1))
        survivors+=("$label")
    else
        failed=$(grep -o '^\[  FAILED  \] [^ ,]*' "$work/test.log" | cut -c14- | sort -u)
        first=$(printf '%s\n' "$failed" | head -3 | paste -sd' ' -)
        echo "caught    $label ($(printf '%s\n' "$failed" | grep -c . || true) failed: ${first:-the tests did not finish})"
        caught=$((caught + 1))
    fi
    mutate "$line" restore
done <"$catalogue"

echo
echo "caught $caught of $total faults ($survived survived, $invalid not applicable or not building) in $(($(date +%s) - started)) s"
for s in "${survivors[@]}"; do echo "  survivor: $s"; done
