#!/usr/bin/env bash
# Draws the three notification-area icons (a raised hand in red, yellow and
# green) at 16, 24, 32 and 48 pixels, 32-bit RGBA, into src/ui/res/tray/.
# Needs ImageMagick's convert. Run from anywhere; the PNGs are committed.
set -euo pipefail
out="$(cd "$(dirname "$0")/../tray" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# name fill outline
colours=(
  "red #e0352b #7a1410"
  "yellow #f5b814 #7a5a00"
  "green #2fa84f #0f4d20"
)

# The hand on a 256-pixel canvas: four fingers, a thumb and the palm, drawn
# as rounded bars so that they stay readable when shrunk to 16 pixels.
hand() {
  local fill="$1" stroke="$2" file="$3"
  convert -size 256x256 xc:none \
    -fill "$fill" -stroke "$stroke" -strokewidth 12 \
    -draw "roundrectangle 58,52 96,150 19,19" \
    -draw "roundrectangle 100,22 138,150 19,19" \
    -draw "roundrectangle 142,32 180,150 19,19" \
    -draw "roundrectangle 184,62 220,160 18,18" \
    -draw "translate 50,170 rotate -40 roundrectangle -20,-52 18,30 19,19" \
    -draw "roundrectangle 58,110 220,236 44,44" \
    -stroke none \
    -draw "roundrectangle 64,116 214,230 38,38" \
    -draw "translate 50,170 rotate -40 roundrectangle -14,-46 12,24 13,13" \
    "PNG32:$file"
}

for entry in "${colours[@]}"; do
  read -r name fill stroke <<<"$entry"
  hand "$fill" "$stroke" "$tmp/$name.png"
  for size in 16 24 32 48; do
    convert "$tmp/$name.png" -filter Lanczos -resize "${size}x${size}" \
      -define png:exclude-chunks=date,time -strip "PNG32:$out/hand48x48_${name}-${size}.png"
  done
done
echo "icons written to $out"
