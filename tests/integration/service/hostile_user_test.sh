#!/usr/bin/env bash
# The real tunnel service (root), the real front end of a desktop user
# (uid 1000) and a real OpenVPN tunnel, with a stranger (uid 65534, through
# setpriv) at every object they share: planted and predicted names, a watcher
# that plants what it sees, a stranger's runtime folder, killed runs, the exit
# event, the service socket and the management port. Private mount, pid and
# network namespaces with their own /dev/shm, so port 63782 is ours.
# Usage: hostile_user_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail

failures=0 cases=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }
tried() { cases=$((cases + 1)); echo "-- case $cases: $*"; }

if [ "${1:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root for namespaces and other accounts"
  for t in openvpn setpriv unshare ip; do command -v "$t" >/dev/null || skip "$t is missing"; done
  exec unshare --mount --net --pid --fork --mount-proc --propagation private bash "$0" --inside \
    "$(realpath "$1")" "$(realpath "$2")"
fi
build=$2 source=$3
# /tmp stays the machine's: the build may live below it.
mount -t tmpfs -o mode=1777 qv-shm /dev/shm || skip "cannot mount a private /dev/shm"
ip link set lo up
work=$(mktemp -d /tmp/qv-hostile.XXXXXX) && chmod 0755 "$work"
planted_tmp=
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; [ -n "$planted_tmp" ] && rm -rf "$planted_tmp"; rm -rf "$work"' EXIT
user=1000 stranger=65534
as_user() { setpriv --reuid=$user --regid=$user --clear-groups "$@"; }
as_stranger() { setpriv --reuid=$stranger --regid=$stranger --clear-groups "$@"; }
until_in() {  # until_in FILE TEXT COUNT SECONDS
  for _ in $(seq $(($4 * 10))); do [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0; sleep 0.1; done
  return 1
}
count() { grep -c -- "$2" "$1" 2>/dev/null || true; }

# The machine: registry, profile, a local OpenVPN server and the service's configuration.
export QUORVANTA_REGISTRY=$work/registry.db QUORVANTA_PIPE=$work/run/QuorvantaPipe
reg=$build/tools/reg/quorvanta-reg
echo 0123456789abcdef0123456789abcdef >"$work/machine-id"
"$reg" seed-machine-id "$work/machine-id" >/dev/null
"$reg" set 'HKLM\SOFTWARE\Quorvanta' @ REG_SZ "$work" >/dev/null
"$reg" set 'HKLM\SOFTWARE\Quorvanta' config_dir REG_SZ "$work/etc/" >/dev/null
"$reg" set 'HKLM\SOFTWARE\Quorvanta' ref REG_SZ "" >/dev/null
chmod 0644 "$QUORVANTA_REGISTRY"
id=$("$reg" get 'HKLM\SOFTWARE\Microsoft\Cryptography' MachineGuid)
mkdir -p "$work/etc" "$work/home" "$work/xdg"
chown $user:$user "$work/home" "$work/xdg" && chmod 0700 "$work/xdg"
sh "$source/tests/integration/tunnel/openvpn-loopback.sh" pki "$work/pki"
sh "$source/tests/integration/tunnel/openvpn-loopback.sh" server "$work/pki" hostile tcp 11970 "$id"
openvpn --cd "$work/pki" --config hostile.conf >"$work/server.log" 2>&1 &
cp "$source/tests/integration/tunnel/config.qvpn" "$work/pki/ca.crt" "$work/etc/"
printf '127.0.0.1:11970:tcp\n<---->\n' | "$build/tools/profile/quorvanta-profile" encode >"$work/etc/data.vpn"
chmod 0644 "$work/etc/data.vpn"

# A client that writes one request to the service socket, as anybody may.
request() {
  /usr/bin/python3 - "$QUORVANTA_PIPE" "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); s.sendall(sys.argv[2].encode() + b"\0"); s.close()
PY
}
stranger_request="openvpn.exe --service Global\\Quorvanta_ovpn_exit_1 1 --config config.qvpn --management 127.0.0.1 63782 --management-hold --management-query-passwords --management-client --remote 127.0.0.1 11970 --proto tcp --hand-window 10 --resolv-retry 0 --verb 4 "

# A shell's background job starts with SIGQUIT ignored; a desktop's program does not.
front_env=(env --default-signal=QUIT -i HOME="$work/home" PATH=/usr/bin:/bin QUORVANTA_HEADLESS=1 QUORVANTA_MESSAGES=stderr
  QUORVANTA_REGISTRY="$QUORVANTA_REGISTRY" QUORVANTA_PIPE="$QUORVANTA_PIPE" QUORVANTA_SITE=http://127.0.0.1:9)
front=0 runs=0
start_front() {  # start_front [env additions...]: the user's front end, commands through fd 8
  runs=$((runs + 1))
  rm -f "$work/commands"
  mkfifo "$work/commands" && chmod 0666 "$work/commands"
  exec 8<>"$work/commands"
  # setpriv itself in the background, so that $! is the front end's own pid.
  setpriv --reuid=$user --regid=$user --clear-groups "${front_env[@]}" "$@" "$build/frontend/quorvanta" \
    <"$work/commands" >"$work/front$runs.log" 2>"$work/front$runs.err" &
  front=$!
}
quit_front() {
  echo quit >&8
  for _ in $(seq 50); do kill -0 "$front" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$front" 2>/dev/null
  wait "$front" 2>/dev/null
  exec 8>&-
}
flog() { echo "$work/front$runs.log"; }
ferr() { echo "$work/front$runs.err"; }
event=/dev/shm/quorvanta-global-Quorvanta_ovpn_exit_1

tried "names planted in /dev/shm before anything starts: the exit event as a FIFO, every temporary name of the old scheme"
as_stranger mkfifo "$event"
as_stranger bash -c 'for p in $(seq 1 3000); do for n in 0 1 2; do : >/dev/shm/.quorvanta-new-$p-$n; done; done'
"$build/service/quorvanta-tunneld" --socket "$QUORVANTA_PIPE" --config-dir "$work/etc" --openvpn "$(command -v openvpn)" \
  --dns-hook none >"$work/service.log" 2>&1 &
until_in "$work/service.log" serving 1 10 || fail "the service did not start: $(cat "$work/service.log")"
start_front XDG_RUNTIME_DIR="$work/xdg"
until_in "$(flog)" "page connected" 1 30 || fail "the front end did not connect: $(cat "$(ferr)")"

tried "the stranger opens the running tunnel's exit event to set it"
as_stranger sh -c "printf '\\001\\000\\000\\000' | dd of=$event bs=4 seek=1 conv=notrunc status=none" 2>/dev/null &&
  fail "the stranger wrote the running tunnel's event"
tried "the stranger sends a tunnel request of his own while the user's tunnel runs"
as_stranger bash -c "$(declare -f request); QUORVANTA_PIPE=$QUORVANTA_PIPE request '$stranger_request'" 2>/dev/null
until_in "$work/service.log" "refused request from uid $stranger" 1 10 || fail "the stranger's request was not refused"
sleep 1
[ "$(count "$work/service.log" "stopping OpenVPN")" -eq 0 ] || fail "the stranger stopped the user's tunnel"

tried "the stranger resets the event in a loop while the user disconnects"
as_stranger bash -c "for i in \$(seq 200); do printf '\\000\\000\\000\\000' | dd of=$event bs=4 seek=1 conv=notrunc status=none 2>/dev/null; done" &
resetter=$!
echo disconnect >&8
until_in "$(flog)" "page disconnected" 1 15 || fail "the user's Disconnect did not end the tunnel"
wait "$resetter"
quit_front

tried "the stranger listens on 127.0.0.1:63782 before the front end starts"
setpriv --reuid=$stranger --regid=$stranger --clear-groups /usr/bin/python3 -c 'import socket,time; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1", 63782)); s.listen(); print("listening", flush=True); time.sleep(30)' >"$work/holder.log" 2>&1 &
holder=$!
until_in "$work/holder.log" listening 1 10 || fail "the stranger could not take the port: $(cat "$work/holder.log")"
started=$(count "$work/service.log" "started OpenVPN")
start_front XDG_RUNTIME_DIR="$work/xdg"
until_in "$(ferr)" "Port 63782 on 127.0.0.1 is taken: another program holds it" 1 10 ||
  fail "the front end did not say the port is taken: $(cat "$(ferr)")"
sleep 1
[ "$(count "$work/service.log" "started OpenVPN")" -eq "$started" ] || fail "a tunnel was requested with the port taken"
quit_front
kill "$holder"; wait "$holder" 2>/dev/null

tried "the stranger plants every name he sees appear, at once, during 10 starts"
setpriv --reuid=$stranger --regid=$stranger --clear-groups /usr/bin/python3 - /dev/shm "$work" <<'PY' >"$work/planter.log" 2>&1 &
import ctypes, os, struct, sys
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init()
dirs = {libc.inotify_add_watch(fd, d.encode(), 0x100 | 0x80): d for d in sys.argv[1:]}
print("watching", flush=True)
while True:
    buf = os.read(fd, 65536)
    i = 0
    while i < len(buf):
        wd, mask, cookie, n = struct.unpack_from("iIII", buf, i)
        name = buf[i + 16:i + 16 + n].rstrip(b"\0").decode(errors="replace")
        i += 16 + n
        for planted in (name, name + "-tmp", name.replace("new", "mem")):
            try:
                os.close(os.open(os.path.join(dirs[wd], planted), os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
            except OSError:
                pass
PY
planter=$!
until_in "$work/planter.log" watching 1 10 || fail "the planter did not start: $(cat "$work/planter.log")"
good=0
for i in $(seq 10); do
  start_front XDG_RUNTIME_DIR="$work/xdg"
  until_in "$(flog)" "tray" 1 10 && ! grep -q "Couldn't" "$(ferr)" && good=$((good + 1))
  quit_front
done
[ "$good" -eq 10 ] || fail "only $good of 10 starts came up beside the planter"
kill "$planter"; wait "$planter" 2>/dev/null

tried "a stranger's /tmp/quorvanta-$user when XDG_RUNTIME_DIR is unset"
if [ -e "/tmp/quorvanta-$user" ]; then
  echo "   (/tmp/quorvanta-$user exists on this machine already: the stranger's folder is not planted)"
else
  planted_tmp=/tmp/quorvanta-$user
  as_stranger sh -c "mkdir -m 0777 /tmp/quorvanta-$user && : >/tmp/quorvanta-$user/QuorvantaGui.lock"
fi
start_front
first=$front first_runs=$runs
until_in "$(flog)" "tray" 1 10 || fail "the first instance did not start: $(cat "$(ferr)")"
runs=$((runs + 1))
as_user "${front_env[@]}" "$build/frontend/quorvanta" </dev/null >"$work/front$runs.log" 2>"$work/front$runs.err"
grep -q "Another instance of this application is running" "$(ferr)" ||
  fail "the single-instance lock was skipped: $(cat "$(ferr)")"
[ -d "$work/home/.cache/quorvanta-run" ] || fail "no private folder of the user's own was used"
runs=$first_runs front=$first
quit_front

tried "runs killed outright or by SIGQUIT, one within 80 ms of its start, leave no block behind for good"
for sig in KILL QUIT; do
  start_front XDG_RUNTIME_DIR="$work/xdg"
  until_in "$(flog)" "tray" 1 10
  kill -$sig "$front"; wait "$front" 2>/dev/null; exec 8>&-
done
start_front XDG_RUNTIME_DIR="$work/xdg"
sleep 0.05
kill -KILL "$front"; wait "$front" 2>/dev/null; exec 8>&-
start_front XDG_RUNTIME_DIR="$work/xdg"
until_in "$(flog)" "tray" 1 10
blocks=$(find "$work/xdg" -name 'quorvanta-mem-*' | wc -l)
[ "$blocks" -le 2 ] || fail "$blocks blocks with one run alive (its block and its queued-reports block at most)"
quit_front
blocks=$(find "$work/xdg" -name 'quorvanta-mem-*' -size +1k | wc -l)
[ "$blocks" -eq 0 ] || fail "$blocks blocks left after the last run quit"

echo "hostile cases tried: $cases; failures: $failures"
if [ "$failures" -ne 0 ]; then
  echo "-- service"; tail -n 30 "$work/service.log"
fi
[ "$failures" -eq 0 ] && echo "hostile_user_test: all checks passed"
exit $((failures > 0))
