#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds with optimisation into build-bench/ (or $ZERAK_BENCH_DIR) and runs the
# window's live loop against the simulated meter for the given number of
# readings (default 1,000,000) while the meter's faults cycle. Not in CI: a
# full run takes about ten minutes.
#
#   bash scripts/soak.sh [readings]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_BENCH_DIR:-$root/build-bench}"
"$root/scripts/deps.sh"
ZERAK_BUILD_DIR="$build" "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release -DZERAK_TESTS=ON -DZERAK_BENCH=ON
QT_QPA_PLATFORM=offscreen "$build/bench/soak" "${1:-1000000}"
