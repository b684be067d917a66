#!/usr/bin/env bash
# Runs a command on a private Xvfb display: Wine creates top-level windows
# only with a display. With QV_TRAY_HOST=trayer an XEmbed tray runs on it too.
# Usage: with_display.sh COMMAND [ARGS...]
set -euo pipefail
display=""
for n in $(seq 120 199); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "with_display: no free display number" >&2; exit 1; }
Xvfb "$display" -nolisten tcp -screen 0 1280x800x24 >/dev/null 2>&1 &
xvfb=$!
tray=""
cleanup() {
  [ -n "$tray" ] && kill "$tray" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.05; done
export DISPLAY="$display"
if [ "${QV_TRAY_HOST:-}" = trayer ]; then
  trayer --edge bottom --align right --widthtype pixel --width 200 --height 32 --transparent false >/dev/null 2>&1 &
  tray=$!
fi
"$@"
