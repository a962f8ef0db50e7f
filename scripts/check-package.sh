#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the .deb from a Release build in build-package/ (or
# $ZERAK_PACKAGE_DIR) and runs lintian on it. Every tag is printed, notes
# and pedantic ones too; any error or warning fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_PACKAGE_DIR:-$root/build-package}"
"$root/scripts/deps.sh" lintian dpkg-dev help2man
ZERAK_BUILD_DIR="$build" "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release -DZERAK_TESTS=OFF
rm -f "$build"/zerak_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(echo "$build"/zerak_*.deb)
echo "Package: $deb ($(du -h "$deb" | cut -f1))"

status=0
lintian --pedantic --display-experimental --fail-on error,warning "$deb" >"$build/lintian.txt" 2>&1 || status=$?
echo "lintian $(lintian --print-version):"
# Its own notice about running as root is no finding about the package.
grep -v '^running with root privileges is not recommended!$' "$build/lintian.txt" || echo "    no tags"
if [ "$status" -ne 0 ]; then
    echo "lintian failed (exit $status): fix each error and warning above;" \
         "'lintian --info $deb' explains them" >&2
    exit 1
fi
