#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the window from start-up through open, live measurement and close to
# Exit against the simulated meter under valgrind's memcheck; fails on any
# memory error or definite leak outside Qt's own one-time set-up
# (scripts/memcheck.supp). Builds into build-memcheck/ (or $ZERAK_MEMCHECK_DIR).
#
#   bash scripts/memcheck.sh [readings]     (default 5000)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_MEMCHECK_DIR:-$root/build-memcheck}"
"$root/scripts/deps.sh" valgrind
cmake -S "$root" -B "$build" -DZERAK_QT6="${ZERAK_QT6:-OFF}" -DZERAK_TESTS=ON -DZERAK_BENCH=ON >/dev/null
cmake --build "$build" --target memcheck_window --parallel "$(nproc)"
QT_QPA_PLATFORM=offscreen valgrind --leak-check=full --errors-for-leak-kinds=definite \
    --error-exitcode=1 --num-callers=40 --suppressions="$root/scripts/memcheck.supp" \
    "$build/bench/memcheck_window" "${1:-5000}"
