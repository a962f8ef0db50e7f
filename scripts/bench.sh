#!/usr/bin/env bash
# Installs what is missing, builds with optimisation and runs the benchmarks.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_BENCH_DIR:-$root/build-bench}"
"$root/scripts/deps.sh"
ZERAK_BUILD_DIR="$build" "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release -DZERAK_TESTS=ON -DZERAK_BENCH=ON
"$build/bench/bench_meter"
