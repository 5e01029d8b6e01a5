#!/usr/bin/env bash
# Builds the benchmarks and runs them; each prints its figures as ratios
# against its reference, measured in the same run. Start-up is timed on X11
# (on Xvfb when there is no display) and on Qt's offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh xvfb libturbojpeg0 ser2net
cmake --preset default -DVELKART_BENCH=ON
cmake --build --preset default --target dialog_bench reader_bench startup_bench load_bench \
    c_read_bench kav_bench network_bench check_bench central_bench

build/default/bench/load_bench build/default/bench/load_probe \
    build/default/reader/api/libKavIDCardAPI.so "$(ldconfig -p | awk '/libturbojpeg.so.0 /{print $NF; exit}')"
build/default/bench/c_read_bench build/default/bench/c_read_loop \
    build/default/reader/virtual/tool/kav-virtual-reader
build/default/bench/dialog_bench
build/default/bench/reader_bench
build/default/bench/kav_bench
build/default/bench/network_bench
build/default/bench/check_bench
build/default/bench/central_bench

QT_QPA_PLATFORM=offscreen build/default/bench/startup_bench
if [ -n "${DISPLAY:-}" ]; then
    build/default/bench/startup_bench
else
    display=:$((90 + RANDOM % 100))
    Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill $xvfb 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X${display#:}" ] && break
        sleep 0.1
    done
    env -u QT_QPA_PLATFORM DISPLAY="$display" build/default/bench/startup_bench
fi
