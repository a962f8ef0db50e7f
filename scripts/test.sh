#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds from nothing if need be, and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_BUILD_DIR:-$root/build}"
"$root/scripts/deps.sh" help2man appstream man-db # man pages, and the installed tree's checks
"$root/scripts/build.sh" -DZERAK_TESTS=ON
cd "$build"
# The suites wait on the meter far more than they compute (their CPU time is
# under half their wall time): twice as many at once as there are cores.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(( 2 * $(nproc) ))" "$@"
