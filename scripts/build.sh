#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds into build/ (or $ZERAK_BUILD_DIR).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DZERAK_QT6="${ZERAK_QT6:-OFF}" "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
