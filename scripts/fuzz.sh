#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang into build-fuzz/ (or
# $ZERAK_FUZZ_DIR) and runs each for the given seconds (default 60), starting
# from its committed seeds: the meter link's in fuzz/corpus/, the SCPI
# conversation's in fuzz/corpus-scpi/ (with fuzz/scpi.dict). What they find is
# kept in the build's corpus and corpus-scpi; a crash leaves its input there
# as crash-* and fails. ZERAK_FUZZ_TARGETS="fuzz_scpi" runs one of them.
#
#   bash scripts/fuzz.sh [seconds] [libFuzzer options...]
#   ZERAK_FUZZ_TRACE=1 build-fuzz/fuzz/fuzz_meterlink crash-...   (the script it ran)
#   build-fuzz/fuzz/fuzz_scpi crash-...                            (what broke)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_FUZZ_DIR:-$root/build-fuzz}"
seconds="${1:-60}"
shift $(( $# > 0 ? 1 : 0 ))
read -r -a targets <<< "${ZERAK_FUZZ_TARGETS:-fuzz_meterlink fuzz_scpi}"
"$root/scripts/deps.sh" clang libclang-rt-14-dev
CXX=clang++ cmake -S "$root" -B "$build" -DZERAK_QT6="${ZERAK_QT6:-OFF}" -DZERAK_FUZZ=ON \
    -DZERAK_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}" --parallel "$(nproc)"
cd "$build"
for target in "${targets[@]}"; do
    case "$target" in
        fuzz_meterlink) corpus=corpus; seeds=fuzz/corpus; extra=() ;;
        fuzz_scpi) corpus=corpus-scpi; seeds=fuzz/corpus-scpi; extra=(-dict="$root/fuzz/scpi.dict") ;;
        *) echo "fuzz.sh: no such target: $target" >&2; exit 2 ;;
    esac
    mkdir -p "$build/$corpus"
    echo "== $target"
    "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        "${extra[@]}" "$@" "$build/$corpus" "$root/$seeds"
done
