#!/bin/sh
# Runs the C host against kav-virtual-reader on a pty: it must read the
# card and write nothing on standard error.
#   run_c_host.sh HOST_PROGRAM VIRTUAL_READER_TOOL
set -eu
host=$1
tool=$2
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT

mkfifo "$work/out"
"$tool" >"$work/out" 2>"$work/tool.err" &
pid=$!
exec 3<"$work/out"
read -r pty <&3 || { echo "kav-virtual-reader printed no pty" >&2; cat "$work/tool.err" >&2; exit 1; }

status=0
KAVIDCARD_DEVICES="defaults=off,1=$pty" "$host" "$work" >"$work/host.out" 2>"$work/host.err" || status=$?
cat "$work/host.out"
if [ "$status" -ne 0 ]; then
    echo "the host failed with $status" >&2
    cat "$work/host.err" >&2
    exit 1
fi
if [ -s "$work/host.err" ]; then
    echo "the host wrote on standard error:" >&2
    cat "$work/host.err" >&2
    exit 1
fi
grep -q "^photo $work/tmp.bmp\$" "$work/host.out" || { echo "no photo path in the output" >&2; exit 1; }
[ -s "$work/tmp.bmp" ] || { echo "no photo written" >&2; exit 1; }
echo "1 passed, 0 failed"
