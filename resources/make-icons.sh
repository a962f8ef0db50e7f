#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Renders zerak.svg into the application icon: zerak.ico (16, 32 and 48 px,
# 32-bit colour with alpha) for the Windows resource, and zerak-16, 32, 48,
# 64, 128 and 256.png for the Linux desktop entry, which also gets zerak.svg
# itself. Needs rsvg-convert (Debian: librsvg2-bin) or ImageMagick's own SVG
# reader, and ImageMagick's convert (imagemagick).
set -euo pipefail
cd "$(dirname "$0")"

render() { # size output
    if command -v rsvg-convert >/dev/null; then
        rsvg-convert --width "$1" --height "$1" --format png --output "$2" zerak.svg
    else
        convert -background none -density $((96 * $1 / 48)) zerak.svg -resize "$1x$1" "$2"
    fi
    # Keep the alpha channel and a plain 8-bit RGBA layout, without dates,
    # so that a re-run gives the same bytes.
    convert "$2" -define png:color-type=6 -define png:bit-depth=8 -strip "PNG32:$2"
}

for size in 16 32 48 64 128 256; do
    render "$size" "zerak-$size.png"
done
# DirectClass with alpha makes each entry a 32-bit BGRA bitmap, not a palette.
convert zerak-16.png zerak-32.png zerak-48.png -type TrueColorAlpha zerak.ico
