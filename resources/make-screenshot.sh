#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Takes screenshots/zerak-window.png, the metainfo's screenshot: the window
# on a virtual X server, measuring from the simulated meter at 1550 nm.
# Needs a build (default ../build), xvfb, xauth, xdotool, x11-apps (xwd) and
# imagemagick. The clicks go to the form's fixed places: the port list,
# Открыть порт, Лямбда, Измерения.
set -euo pipefail
cd "$(dirname "$0")"
build="$(cd "${1:-../build}" && pwd)"
if [ -z "${DISPLAY_READY:-}" ]; then
    exec env DISPLAY_READY=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$build"
fi
port_file=$(mktemp)
"$build/zerak-sim" --power -12.34 --noise 2 --wavelengths 1310,1550 >"$port_file" &
sim=$!
trap 'kill "$sim" "${window:-}" 2>/dev/null || true; rm -f "$port_file"' EXIT
until [ -s "$port_file" ]; do
    kill -0 "$sim" || { echo "zerak-sim ended before printing its port; run it by hand to see why" >&2; exit 1; }
    sleep 0.1
done
LC_ALL=C.UTF-8 ZERAK_EXTRA_PORTS="$(head -1 "$port_file")" "$build/zerak" 2>/dev/null &
window=$!
id=$(xdotool search --sync --onlyvisible --class zerak | head -1)
sleep 2 # the first paint
xdotool mousemove 125 258 click 1 sleep 0.5 key End Return sleep 0.5   # the simulator's port, last in the list
xdotool mousemove 57 292 click 1 sleep 1 key Return sleep 0.5         # Открыть порт, and its box
xdotool mousemove 280 81 click 1 sleep 0.5                            # Лямбда: 1550 nm
xdotool mousemove 280 200 click 1 sleep 2 mousemove 700 700 sleep 0.5 # Измерения
import -window "$id" -strip screenshots/zerak-window.png
echo "screenshots/zerak-window.png: $(identify -format '%wx%h' screenshots/zerak-window.png)"
