#!/usr/bin/env bash
# Renders gathra.svg into the PNG sizes the package installs (gathra-<size>.png), with ImageMagick's
# own drawing: the icon is made of rounded rectangles only, which this script reads from the SVG.
set -euo pipefail
cd "$(dirname "$0")"
draw=()
while read -r line; do
    [[ $line =~ \<rect\ x=\"([0-9]+)\"\ y=\"([0-9]+)\"\ width=\"([0-9]+)\"\ height=\"([0-9]+)\"(\ rx=\"([0-9]+)\")?.*fill=\"(#[0-9a-f]+)\" ]] || continue
    x=${BASH_REMATCH[1]} y=${BASH_REMATCH[2]} w=${BASH_REMATCH[3]} h=${BASH_REMATCH[4]} r=${BASH_REMATCH[6]:-0}
    shape="roundrectangle $x,$y $((x + w - 1)),$((y + h - 1)) $r,$r"
    [ "$r" -gt 0 ] || shape="rectangle $x,$y $((x + w - 1)),$((y + h - 1))"
    draw+=(-fill "${BASH_REMATCH[7]}" -draw "$shape")
done < gathra.svg
convert -size 256x256 xc:none "${draw[@]}" gathra-256.png
for size in 16 24 32 48 64 128; do
    convert gathra-256.png -filter Lanczos -resize "${size}x${size}" -strip -depth 8 gathra-"$size".png
done
mogrify -strip -depth 8 gathra-256.png
