#!/usr/bin/env bash
# Wake-ups per second of each process of the running stack while the tunnel is
# up and idle: the demo stack (headless front end, tunnel service, OpenVPN
# client and server) in a network namespace of its own; context switches of
# every thread of each process over SECONDS (default 30).
# Usage: bench/wakeups.sh [SECONDS]   (as root, after scripts/build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
work=$(mktemp -d)
trap 'exec 3>&-; wait 2>/dev/null; rm -rf "$work"' EXIT
mkfifo "$work/in"
QUORVANTA_HEADLESS=1 unshare --net -- bash -c 'ip link set lo up && exec "$0" "$@"' \
  "$top/scripts/demo-stack" <"$work/in" >"$work/out" 2>"$work/err" &
stack=$!
exec 3>"$work/in"
for _ in $(seq 300); do
  grep -q "page connected" "$work/out" 2>/dev/null && break
  sleep 0.1
done
grep -q "page connected" "$work/out" || { echo "wakeups: the tunnel did not come up" >&2; tail "$work/err" >&2; exit 1; }
sleep 3  # past the connect's own bustle

switches() {  # "tid:count" for every thread of a process (context switches)
  local pid=$1 status tid
  for status in /proc/"$pid"/task/*/status; do
    tid=${status%/status}; tid=${tid##*/}
    echo "$tid:$(awk '/ctxt_switches/ {t += $2} END {print t + 0}' "$status" 2>/dev/null || echo 0)"
  done
}
# Switches between two samples, over the threads alive at the second: a thread
# that ended meanwhile is left out, one that began counts from zero.
delta() {
  awk -F: 'NR == FNR { b[$1] = $2; next } { d += $2 - (($1 in b) ? b[$1] : 0) } END { print d + 0 }' \
    <(echo "$1") <(echo "$2")
}
declare -A before name
netns=$(readlink "/proc/$stack/ns/net")
for exe in /proc/[0-9]*/exe; do
  pid=${exe#/proc/}; pid=${pid%/exe}
  [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null)" = "$netns" ] || continue
  args=$(tr '\0' ' ' <"/proc/$pid/cmdline")
  case "$(readlink "$exe" 2>/dev/null)" in
    */quorvanta) name[$pid]="quorvanta (front end, headless)" ;;
    */quorvanta-tunneld) name[$pid]="quorvanta-tunneld" ;;
    */openvpn) case "$args" in
        *--management*) name[$pid]="openvpn (client, started by the service)" ;;
        *) name[$pid]="openvpn (local server)" ;;
      esac ;;
    *) continue ;;
  esac
  before[$pid]=$(switches "$pid")
done
sleep "$seconds"
printf '| process | wake-ups per second |\n|---|---|\n'
for pid in "${!before[@]}"; do
  after=$(switches "$pid")
  awk -v n="${name[$pid]}" -v d="$(delta "${before[$pid]}" "$after")" -v s="$seconds" \
    'BEGIN { printf "| %s | %.2f |\n", n, d / s }'
done | sort
echo quit >&3
