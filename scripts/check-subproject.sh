#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds Zerak as a subdirectory of another CMake project (tests/subproject)
# that links only the meter library, and runs what it built.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_SUBPROJECT_DIR:-$root/build-subproject}"
"$root/scripts/deps.sh"
cmake -S "$root/tests/subproject" -B "$build" -DZERAK_QT6="${ZERAK_QT6:-OFF}" >/dev/null
cmake --build "$build" --target meterprobe --parallel "$(nproc)"
shown="$("$build/meterprobe" 05dc0100)"
if [ "$shown" != "-15.00 dBm" ]; then
    echo "meterprobe showed '$shown' for 05dc0100, not '-15.00 dBm'" >&2
    exit 1
fi
echo "Built as a subproject: meterprobe 05dc0100 shows $shown"
