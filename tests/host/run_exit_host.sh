#!/bin/sh
# Runs the exit host many times: main() returns while threads are inside
# the library, on in-process virtual readers, with the trace file on. No
# run may die of a signal, and the trace must have reached the file.
#   run_exit_host.sh HOST_PROGRAM [RUNS]
set -eu
host=$1
runs=${2:-150}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

crashes=0
i=0
while [ "$i" -lt "$runs" ]; do
    i=$((i + 1))
    status=0
    KAVIDCARD_DEVICES="defaults=off,1=virtual,2=virtual" KAVIDCARD_TRACE="$work/trace.log" \
        "$host" "$work" >/dev/null 2>"$work/err" || status=$?
    if [ "$status" -ne 0 ]; then
        crashes=$((crashes + 1))
        echo "run $i: exit $status" >&2
        head -5 "$work/err" >&2
    fi
    # A fresh trace for each run: the check below is about the last one.
    [ "$i" -eq "$runs" ] || rm -f "$work/trace.log" "$work/trace.log.1"
done
echo "$runs runs, $crashes failed"
grep -q "Kav_ReadMsg(" "$work/trace.log" || { echo "the trace file lost the reads" >&2; exit 1; }
[ "$crashes" -eq 0 ]
