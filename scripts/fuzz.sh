#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the meter link's libFuzzer target with clang into build-fuzz/
# (or $ZERAK_FUZZ_DIR) and runs it for the given seconds (default 60),
# starting from the committed seeds in fuzz/corpus/. What it finds is kept in
# the build's corpus; a crash leaves its input there as crash-* and fails.
#
#   bash scripts/fuzz.sh [seconds] [libFuzzer options...]
#   ZERAK_FUZZ_TRACE=1 build-fuzz/fuzz/fuzz_meterlink crash-...   (the script it ran)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_FUZZ_DIR:-$root/build-fuzz}"
seconds="${1:-60}"
shift $(( $# > 0 ? 1 : 0 ))
"$root/scripts/deps.sh" clang libclang-rt-14-dev
CXX=clang++ cmake -S "$root" -B "$build" -DZERAK_QT6="${ZERAK_QT6:-OFF}" -DZERAK_FUZZ=ON \
    -DZERAK_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_meterlink --parallel "$(nproc)"
mkdir -p "$build/corpus"
cd "$build"
"$build/fuzz/fuzz_meterlink" -max_total_time="$seconds" -print_final_stats=1 \
    "$@" "$build/corpus" "$root/fuzz/corpus"
