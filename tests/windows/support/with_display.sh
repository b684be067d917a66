#!/usr/bin/env bash
# Runs a command on an X display: Wine creates top-level windows only with
# one. scripts/test-windows gives the whole run one Xvfb (a wineserver serves
# one display well); started alone, the command gets a private Xvfb. With
# QV_TRAY_HOST=trayer an XEmbed tray runs on the display while the command does.
# Usage: with_display.sh COMMAND [ARGS...]
set -euo pipefail
xvfb=""
tray=""
cleanup() {
  [ -n "$tray" ] && kill "$tray" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
display=""
for n in $(seq 120 199); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "with_display: no free display number" >&2; exit 1; }
Xvfb "$display" -nolisten tcp -screen 0 1280x800x24 >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.05; done
export DISPLAY="$display"
fi
if [ "${QV_TRAY_HOST:-}" = trayer ]; then
  trayer --edge bottom --align right --widthtype pixel --width 200 --height 32 --transparent false >/dev/null 2>&1 &
  tray=$!
fi
"$@"
