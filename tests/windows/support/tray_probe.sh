#!/bin/sh
# The X side of the Windows tray test, run by the test through Wine (which
# starts Unix programs but hands back no exit code): each command writes its
# result as one line to the file named first.
#   tray_probe.sh OUT dock          "docked X Y W H" once Wine's icon sits in the tray
#   tray_probe.sh OUT click BUTTON  a press and release of BUTTON on the icon
#   tray_probe.sh OUT look          a digest of the icon's pixels
#   tray_probe.sh OUT clickat X Y   a left click at a point of the screen (an item of the open menu)
out=$1
shift
icon() {
  # The explorer.exe window that the tray's panel holds; the placeholder is 1x1.
  xwininfo -root -tree 2>/dev/null | awk '
    /"panel": \("panel" "trayer"\)/ { inpanel = 1; next }
    inpanel && /^     0x/ { inpanel = 0 }
    inpanel && /\("explorer.exe" "explorer.exe"\)/ {
      split($0, f, " "); id = f[1]
      for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+/) geo = $i
      for (i = 1; i <= NF; i++) if ($i ~ /^\+[0-9-]+\+[0-9-]+$/) abs = $i
      split(geo, g, /[x+]/); split(abs, a, "+")
      if (g[1] > 1 && g[2] > 1) { print id, a[2], a[3], g[1], g[2]; exit }
    }'
}
case "$1" in
  dock)
    i=0
    while [ $i -lt 400 ]; do
      found=$(icon)
      if [ -n "$found" ]; then
        set -- $found
        echo "docked $2 $3 $4 $5" > "$out.tmp" && mv "$out.tmp" "$out"
        exit 0
      fi
      sleep 0.05
      i=$((i + 1))
    done
    echo "not docked" > "$out" ;;
  click)
    set -- $1 $2 $(icon)
    if [ -z "$3" ]; then echo "no icon" > "$out"; exit 0; fi
    xdotool mousemove $(($4 + $6 / 2)) $(($5 + $7 / 2)) click "$2"
    echo "clicked $2" > "$out" ;;
  look)
    set -- $(icon)
    if [ -z "$1" ]; then echo "no icon" > "$out"; exit 0; fi
    echo "look $(import -silent -window "$1" rgba:- 2>/dev/null | md5sum | cut -c1-32)" > "$out" ;;
  clickat)
    xdotool mousemove "$2" "$3" click 1
    echo "clicked at $2 $3" > "$out" ;;
esac
