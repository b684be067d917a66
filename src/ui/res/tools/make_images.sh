#!/usr/bin/env bash
# Draws the page's images with ImageMagick (convert). The outputs are kept in
# the repository; run this again after changing a drawing.
#   logogreen.png          138 x 38, PNG with alpha
#   progressbar.gif        128 x 15, animated GIF, 13 frames
#   arrow-down-circle.png  25 x 25, PNG with alpha (incoming traffic)
#   arrow-up-circle.png    25 x 25, PNG with alpha (outgoing traffic)
#   banner.jpg             372 x 80, JPEG
set -euo pipefail
out=$(cd "$(dirname "$0")/../IMGS" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
font=Helvetica-Bold
[ -f /usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf ] && font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
# No timestamps in the files, so a re-run changes nothing.
strip=(-strip -define png:exclude-chunks=date,time)

# Logo: a shield-like green disc with a white key hole, and the name.
convert -size 138x38 xc:none \
  -fill '#17722F' -stroke white -strokewidth 2 -draw 'circle 19,19 19,3' \
  -stroke none -fill white -draw 'circle 19,15 19,10' -draw 'polygon 16,16 22,16 24,29 14,29' \
  -font "$font" -pointsize 16 -fill white -stroke '#17722F' -strokewidth 1 -annotate +40+25 'Quorvanta' \
  "${strip[@]}" PNG32:"$out/logogreen.png"

# Progress: a white track with a block that walks across it in 13 steps.
frames=()
for i in $(seq 0 12); do
  x=$((2 + i * 9))
  convert -size 128x15 xc:'#EB7060' -fill none -stroke white -strokewidth 1 -draw 'roundrectangle 0,0 127,14 4,4' \
    -stroke none -fill white -draw "roundrectangle $x,3 $((x + 16)),11 3,3" \
    -fill 'rgba(255,255,255,0.5)' -draw "roundrectangle $((x - 8)),5 $((x - 2)),9 2,2" \
    "$tmp/frame$(printf %02d "$i").gif"
  frames+=("$tmp/frame$(printf %02d "$i").gif")
done
convert -delay 8 -loop 0 "${frames[@]}" -layers Optimize "$out/progressbar.gif"

# Arrows: a white ring with an arrow, down for incoming, up for outgoing.
arrow() {
  convert -size 25x25 xc:none -fill 'rgba(255,255,255,0.15)' -stroke white -strokewidth 2 -draw 'circle 12,12 12,2' \
    -stroke none -fill white -draw "$1" "${strip[@]}" PNG32:"$2"
}
arrow 'polygon 10,6 15,6 15,12 18,12 12.5,19 7,12 10,12' "$out/arrow-down-circle.png"
arrow 'polygon 10,19 15,19 15,13 18,13 12.5,6 7,13 10,13' "$out/arrow-up-circle.png"

# Banner: the invitation, on a green gradient.
convert -size 372x80 gradient:'#2E9A4C-#17722F' \
  -fill 'rgba(255,255,255,0.12)' -draw 'circle 330,40 330,-10' -draw 'circle 40,90 40,40' \
  -font "$font" -fill white -pointsize 22 -annotate +18+36 'Invite your friends' \
  -pointsize 14 -annotate +18+60 'and get a free month of Quorvanta' \
  -strip -quality 90 "$out/banner.jpg"
