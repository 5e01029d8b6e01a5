#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for SECONDS
# (default 30) on a scratch copy of its seed corpus, so the committed corpus
# never changes. Prints one line per target and exits non-zero when any of
# them crashed; crash inputs and logs are kept under build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
if [[ $# -gt 1 || ! $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz.sh [SECONDS]" >&2
    exit 2
fi

# Only what the fuzz build needs: no Qt.
missing=()
for p in cmake ninja-build clang libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=build/fuzz
findings=$build/findings
mkdir -p "$build"
log=$build/fuzz-build.log
if ! { cmake --preset fuzz && cmake --build --preset fuzz -j2; } >"$log" 2>&1; then
    tail -n 30 "$log"
    echo "build failed (full log: $log)"
    exit 1
fi

rm -rf "$findings" # findings of an earlier run would mislead
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

targets=(fuzz_frame_parser fuzz_card_text fuzz_codepage fuzz_devicemap fuzz_telnet fuzz_capture)
passed=0
failed=0
for t in "${targets[@]}"; do
    cp -r "tests/fuzz/corpus/$t" "$scratch/$t"
    args=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$scratch/$t-")
    [[ -f tests/fuzz/$t.dict ]] && args+=(-dict="tests/fuzz/$t.dict")
    set +e
    "$build/tests/fuzz/$t" "${args[@]}" "$scratch/$t" >"$scratch/$t.log" 2>&1
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t.log" | tail -n 1)
    if [[ $rc -eq 0 ]]; then
        echo "$t: ${runs:-?} runs, no crash"
        passed=$((passed + 1))
        continue
    fi
    failed=$((failed + 1))
    mkdir -p "$findings"
    cp "$scratch/$t.log" "$findings/$t.log"
    crash=""
    for f in "$scratch/$t-"*; do
        [[ -e $f ]] || continue
        cp "$f" "$findings/"
        crash="$findings/$(basename "$f")"
    done
    why=$(grep -m 1 -E 'invariant broken|^SUMMARY|ERROR: libFuzzer' "$scratch/$t.log" || true)
    echo "$t: FAILED after ${runs:-?} runs (exit $rc): ${why:-see $findings/$t.log}"
    [[ -n $crash ]] && echo "  input: $crash"
    echo "  log:   $findings/$t.log"
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
