#!/usr/bin/env bash
# Checks that every C and C++ file git tracks is laid out as .clang-format
# says; lists the files that are not and exits 1. `--fix` rewrites them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh clang-format
fix=0
case "${1:-}" in
--fix) fix=1 ;;
"") ;;
*) echo "usage: scripts/check-format.sh [--fix]" >&2; exit 2 ;;
esac

mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp')
if [ "$fix" -eq 1 ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
off=()
for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || off+=("$f")
done
if [ ${#off[@]} -gt 0 ]; then
    printf 'not laid out as .clang-format says (scripts/check-format.sh --fix):\n' >&2
    printf '  %s\n' "${off[@]}" >&2
    exit 1
fi
echo "${#files[@]} files laid out as .clang-format says"
