#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the .deb, installs it with its dependencies into a clean Debian 12
# root made with debootstrap, and checks there, as a plain user, that
# `zerak-cli ports` runs (when the package has it) and that the window starts
# on the offscreen platform. Needs root and the Debian archive (the mirror of
# this machine's apt sources, or $ZERAK_DEBIAN_MIRROR). It downloads about
# 100 MB, so CI does not run it.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exec sudo --preserve-env=ZERAK_DEBIAN_MIRROR,ZERAK_DEB_DIR "$0" "$@"
started=$SECONDS
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZERAK_DEB_DIR:-$root/build-deb}"
target="$build/bookworm"

"$root/scripts/deps.sh" dpkg-dev debootstrap
ZERAK_BUILD_DIR="$build" "$root/scripts/build.sh" -DCMAKE_BUILD_TYPE=Release -DZERAK_TESTS=OFF
rm -f "$build"/zerak_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(echo "$build"/zerak_*.deb)
echo "Package: $deb ($(du -h "$deb" | cut -f1))"
echo "Depends: $(dpkg-deb --field "$deb" Depends)"

# The first archive of bookworm itself in the apt sources (one-line or deb822).
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    if [ -f "$file" ]; then sources+=("$file"); fi
done
mirror="${ZERAK_DEBIAN_MIRROR:-$(awk '
    /^deb / { sub(/\[[^]]*\] /, ""); if ($3 == "bookworm" && !found) { print $2; found = 1 } }
    /^URIs:/ { uri = $2 }
    /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm" && uri && !found) { print uri; found = 1 } }
    /^$/ { uri = "" }' "${sources[@]}" /dev/null || true)}"
[ -n "$mirror" ] || { echo "No bookworm archive in the apt sources; set ZERAK_DEBIAN_MIRROR" >&2; exit 1; }

unmount_all() {
    for point in sys proc dev/pts dev; do
        if mountpoint -q "$target/$point"; then umount "$target/$point"; fi
    done
}
trap unmount_all EXIT
unmount_all
rm -rf --one-file-system "$target"
mkdir -p "$build/debootstrap-cache"
echo "Making a clean Debian 12 root from $mirror"
debootstrap --variant=minbase --cache-dir="$build/debootstrap-cache" bookworm "$target" "$mirror" \
    >"$build/debootstrap.log" 2>&1 || { tail -20 "$build/debootstrap.log" >&2; exit 1; }
mount -t proc proc "$target/proc"
mount -t sysfs -o ro sysfs "$target/sys"   # so the serial ports can be listed
mount --bind /dev "$target/dev"
mount --bind /dev/pts "$target/dev/pts"

in_root() { chroot "$target" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
as_user() {
    chroot --userspec=tester:tester "$target" env -i PATH=/usr/bin:/bin HOME=/home/tester \
        LC_ALL=C.UTF-8 XDG_RUNTIME_DIR=/tmp/runtime-tester "$@"
}
cp "$deb" "$target/tmp/zerak.deb"
echo "Installing the package and its dependencies"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends /tmp/zerak.deb \
    >"$build/apt.log" 2>&1 || { tail -20 "$build/apt.log" >&2; exit 1; }
in_root useradd --create-home tester
in_root install -d -m 700 -o tester -g tester /tmp/runtime-tester

failed=0
if [ -x "$target/usr/bin/zerak-cli" ]; then
    if as_user zerak-cli ports; then
        echo "zerak-cli ports: ran"
    else
        echo "zerak-cli ports: FAILED (exit $?)"; failed=1
    fi
else
    echo "zerak-cli ports: skipped, the package has no zerak-cli"
fi

# Alive after two seconds: timeout ends it with 124. Qt warns at start-up
# that two slots of the window have no widget, and the offscreen platform that
# it cannot pass on the tool and status bars' size hints; any other line is an
# error.
status=0
as_user env QT_QPA_PLATFORM=offscreen timeout 2 zerak >"$build/zerak.out" 2>&1 || status=$?
unexpected=$(grep -v -E -e 'connectSlotsByName: No matching signal for on_(pushButton_SendToPort_clicked|checkBox_stateChanged)' \
    -e '^This plugin does not support propagateSizeHints\(\)$' "$build/zerak.out" || true)
if [ "$status" -eq 124 ] && [ -z "$unexpected" ]; then
    echo "zerak under the offscreen platform: started and ran for 2 s, no error output"
    sed 's/^/    expected warning: /' "$build/zerak.out"
else
    echo "zerak under the offscreen platform: FAILED (exit $status)"; cat "$build/zerak.out"; failed=1
fi

# A failed root stays for a look inside; the next run starts afresh anyway.
if [ "$failed" -eq 0 ]; then
    unmount_all
    rm -rf --one-file-system "$target"
fi
echo "Took $((SECONDS - started)) s"
exit "$failed"
