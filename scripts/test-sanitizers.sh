#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-sanitize/ (or $ZERAK_SANITIZE_DIR) and runs every test under them,
# leak detection on.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_SANITIZE_DIR:-$root/build-sanitize}"
"$root/scripts/deps.sh"
ZERAK_BUILD_DIR="$build" "$root/scripts/build.sh" -DZERAK_SANITIZE=ON -DZERAK_TESTS=ON -DZERAK_BENCH=ON
cd "$build"
ctest --output-on-failure "$@"
