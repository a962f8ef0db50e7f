#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds with optimisation and runs the benchmarks.
# Exits non-zero when a figure misses its target.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_BENCH_DIR:-$root/build-bench}"
# Start-up is measured on a real X server, as users start the program.
"$root/scripts/deps.sh" xvfb xauth || exit 1
ZERAK_BUILD_DIR="$build" "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release -DZERAK_TESTS=ON -DZERAK_BENCH=ON || exit 1
status=0
"$build/bench/bench_meter" || status=1
"$build/bench/bench_cli" || status=1
"$build/bench/bench_job" || status=1
"$build/bench/bench_serve" || status=1
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb "$build/bench/bench_startup" || status=1
QT_QPA_PLATFORM=offscreen "$build/bench/bench_startup" --no-targets || status=1
exit $status
