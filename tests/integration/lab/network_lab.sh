#!/usr/bin/env bash
# The network lab: the real service (root), OpenVPN with the shipped
# config.qvpn and the headless front end (an ordinary user) in a client
# namespace; a router namespace in the middle; two real OpenVPN servers that
# push "redirect-gateway def1" and a keepalive ("keepalive 2 10", and
# "keepalive 10 60" as providers push it), and an address beyond them, in a
# server namespace. A pinger (the same user) pings the address
# beyond every 100 ms. Each scenario breaks something and checks what the tray
# and the page said over time against whether pings came back.
#
# Usage: network_lab.sh BUILD_DIR SOURCE_DIR [SCENARIO...]
# Scenarios: silent-link killed-server restarted-server refused-credentials
#            stopped-openvpn route-change resume idle long-outage hung-start
#            disconnect host-names lan no-block front-end-killed service-killed
#            (default: all). QV_KEEP=1 keeps the work folder.
# The machine's block is on (block_outside_tunnel 1, allow_lan 1): a sniffer
# on the client's LAN link counts the pinger's packets that leave in the clear.
# Figures go to standard output and to $QV_LAB_FIGURES when set.
set -uo pipefail

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }

if [ "${1:-}" != --inside ]; then
  [ $# -ge 2 ] || { sed -n '2,14p' "$0" >&2; exit 2; }
  build=$(realpath "$1") source=$(realpath "$2")
  shift 2
  [ "$(id -u)" -eq 0 ] || skip "needs root for namespaces and tun devices"
  for t in openvpn ip unshare nsenter setpriv python3 dbus-daemon nft tcpdump; do
    command -v "$t" >/dev/null || skip "$t is missing (scripts/install-deps installs it)"
  done
  /usr/bin/python3 -c "import dbusmock" 2>/dev/null || skip "python3-dbusmock is missing"
  [ -c /dev/net/tun ] || skip "no /dev/net/tun"
  # Every namespace made below ends with this one's pid namespace, and so does
  # every process: nothing outlives the run.
  exec timeout -s KILL 840 unshare --mount --net --pid --fork --mount-proc --propagation private \
    bash "$0" --inside "$build" "$source" "$@"
fi

build=$2 source=$3
shift 3
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(silent-link killed-server restarted-server refused-credentials stopped-openvpn
  route-change resume idle long-outage hung-start disconnect host-names lan no-block front-end-killed service-killed)
user=65534
work=$(mktemp -d /tmp/qv-lab.XXXXXX) && chmod 0755 "$work"
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; [ -n "${QV_KEEP:-}" ] || rm -rf "$work"' EXIT
mount -t tmpfs -o mode=1777 qv-shm /dev/shm || skip "cannot mount a private /dev/shm"
now() { echo "$EPOCHREALTIME"; }
say() { echo "[$(date +%T)] $*"; }

# ---- the network: client (this namespace) -- router -- servers ---------------
ns_hold() { unshare --net sleep 100000 >/dev/null 2>&1 & echo $!; }
router=$(ns_hold) servers=$(ns_hold)
sleep 0.2
in_router() { nsenter --net=/proc/$router/ns/net "$@"; }
in_servers() { nsenter --net=/proc/$servers/ns/net "$@"; }
ip link set lo up
ip link add lan0 type veth peer name rt-lan || skip "no veth here"
ip link add rt-wan type veth peer name srv0
ip link set rt-lan netns "$router" && ip link set rt-wan netns "$router" && ip link set srv0 netns "$servers"
ip addr add 192.0.2.2/24 dev lan0 && ip addr add 10.77.0.2/24 dev lan0 && ip link set lan0 up
ip route add default via 192.0.2.1
in_router sh -c 'ip link set lo up; ip addr add 192.0.2.1/24 dev rt-lan; ip addr add 10.77.0.1/24 dev rt-lan; ip link set rt-lan up;
  ip addr add 198.51.100.1/24 dev rt-wan; ip link set rt-wan up; sysctl -qw net.ipv4.ip_forward=1'
in_servers sh -c 'ip link set lo up; ip addr add 198.51.100.11/24 dev srv0; ip addr add 198.51.100.12/24 dev srv0;
  ip link set srv0 up; ip route add default via 198.51.100.1;
  ip addr add 203.0.113.5/32 dev lo; ip addr add 198.51.100.53/24 dev srv0'
# The user's pinger needs no privilege for ICMP echo.
sysctl -qw net.ipv4.ping_group_range="0 2147483647"

# ---- the machine: registry, profile, servers, service --------------------------
export QUORVANTA_REGISTRY=$work/registry.db QUORVANTA_PIPE=$work/run/QuorvantaPipe
reg=$build/tools/reg/quorvanta-reg
echo 0123456789abcdef0123456789abcdef >"$work/machine-id"
"$reg" seed-machine-id "$work/machine-id" >/dev/null
"$reg" set 'HKLM\SOFTWARE\Quorvanta' @ REG_SZ "$work" >/dev/null
"$reg" set 'HKLM\SOFTWARE\Quorvanta' config_dir REG_SZ "$work/etc/" >/dev/null
"$reg" set 'HKLM\SOFTWARE\Quorvanta' ref REG_SZ "" >/dev/null
# The block is safe here: this network namespace is the lab's own.
setting() { "$reg" set 'HKLM\SOFTWARE\Quorvanta' "$1" REG_DWORD "$2" >/dev/null; }
setting block_outside_tunnel 1
setting allow_lan 1
chmod 0644 "$QUORVANTA_REGISTRY"
id=$("$reg" get 'HKLM\SOFTWARE\Microsoft\Cryptography' MachineGuid)
mkdir -p "$work/etc" "$work/run" "$work/home" "$work/xdg"
chown $user:$user "$work/home" "$work/xdg" && chmod 0700 "$work/xdg"
sh "$source/tests/integration/tunnel/openvpn-loopback.sh" pki "$work/pki"
for n in 1 2; do
  sh "$source/tests/integration/tunnel/openvpn-loopback.sh" server "$work/pki" lab$n udp 1194 "$id"
  sed -i "/^ifconfig-noexec\$/d; /^route-noexec\$/d; s/^local 127.0.0.1\$/local 198.51.100.1$n/" "$work/pki/lab$n.conf"
  cat >>"$work/pki/lab$n.conf" <<CONF
topology subnet
server 10.8.$n.0 255.255.255.0
push "redirect-gateway def1"
keepalive $([ $n = 1 ] && echo "2 10" || echo "10 60")
CONF
done
start_server() {  # start_server N
  in_servers openvpn --cd "$work/pki" --config "lab$1.conf" --writepid "$work/server$1.pid" >>"$work/server$1.log" 2>&1 &
  for _ in $(seq 50); do grep -q "Initialization Sequence Completed" "$work/server$1.log" 2>/dev/null && return 0; sleep 0.1; done
  fail "server $1 did not start"
}
stop_server() {  # stop_server N SIGNAL
  local pid
  pid=$(cat "$work/server$1.pid" 2>/dev/null) || return 0
  kill -"$2" "$pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  : >"$work/server$1.log.old"
  cat "$work/server$1.log" >>"$work/server$1.log.old"
  : >"$work/server$1.log"
}
start_server 1
start_server 2
# The machine's resolver is a DNS server beyond the router that knows the
# servers' names; /etc/hosts knows none of them.
cat >"$work/dns.py" <<'PY'
import socket, struct
names = {b"lab1.example": "198.51.100.11", b"lab2.example": "198.51.100.12"}
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("198.51.100.53", 53))
while True:
    query, peer = s.recvfrom(512)
    labels, i = [], 12
    while i < len(query) and query[i]:
        labels.append(query[i + 1:i + 1 + query[i]]); i += 1 + query[i]
    qtype = struct.unpack("!H", query[i + 1:i + 3])[0] if i + 3 <= len(query) else 0
    address = names.get(b".".join(labels).lower())
    answer = b""
    if address and qtype == 1:
        answer = b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 30, 4) + socket.inet_aton(address)
    rcode = 0 if address else 3
    header = query[:2] + struct.pack("!HHHHH", 0x8180 | rcode, 1, 1 if answer else 0, 0, 0)
    s.sendto(header + query[12:i + 5] + answer, peer)
PY
in_servers /usr/bin/python3 "$work/dns.py" >"$work/dns.log" 2>&1 &
printf 'nameserver 198.51.100.53\noptions timeout:1 attempts:2\n' >"$work/resolv.conf"
printf '127.0.0.1 localhost\n' >"$work/hosts"
mount --bind "$work/resolv.conf" /etc/resolv.conf && mount --bind "$work/hosts" /etc/hosts ||
  skip "cannot lay a resolver into the lab"
# Every echo request to the address beyond that leaves the LAN link unencrypted.
tcpdump -i lan0 -n -l -tt 'icmp and dst host 203.0.113.5 and icmp[icmptype] == 8' >"$work/clear.log" 2>/dev/null &
cp "$source/packaging/config/config.qvpn" "$work/pki/ca.crt" "$work/etc/"
make_profile() { printf '%s\n<---->\n' "$1" | "$build/tools/profile/quorvanta-profile" encode >"$work/etc/data.vpn"; chmod 0644 "$work/etc/data.vpn"; }
make_profile "198.51.100.11:1194:udp 198.51.100.12:1194:udp"

# A private system bus with a logind stand-in, for the resume scenario.
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=$work/bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile &
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
for _ in $(seq 50); do [ -S "$work/bus" ] && break; sleep 0.1; done
chmod 0666 "$work/bus"
/usr/bin/python3 -m dbusmock --system org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.login1.Manager \
  >"$work/logind.log" 2>&1 &

start_service() {
  local before
  before=$(grep -c serving "$work/service.log" 2>/dev/null || true)
  "$build/service/quorvanta-tunneld" --socket "$QUORVANTA_PIPE" --config-dir "$work/etc" --openvpn "$(type -P openvpn)" \
    --dns-hook none >>"$work/service.log" 2>&1 &
  for _ in $(seq 50); do [ "$(grep -c serving "$work/service.log")" -gt "${before:-0}" ] && break; sleep 0.1; done
}
start_service

# ---- the user's front end and pinger --------------------------------------
front=0 runs=0
start_front() {
  runs=$((runs + 1))
  rm -f "$work/commands" && mkfifo "$work/commands" && chmod 0666 "$work/commands"
  exec 8<>"$work/commands"
  # Every line the front end writes, stamped with the time it was read.
  setpriv --reuid=$user --regid=$user --clear-groups env -i HOME="$work/home" PATH=/usr/bin:/bin \
    QUORVANTA_HEADLESS=1 QUORVANTA_MESSAGES=stderr QUORVANTA_REGISTRY="$QUORVANTA_REGISTRY" \
    QUORVANTA_PIPE="$QUORVANTA_PIPE" QUORVANTA_SITE=http://127.0.0.1:9 XDG_RUNTIME_DIR="$work/xdg" \
    DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS" "$build/frontend/quorvanta" \
    <"$work/commands" 2>"$work/front$runs.err" |
    while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$work/front$runs.log" &
  front=$!
}
flog() { echo "$work/front$runs.log"; }
command() { echo "$1" >&8; }
quit_front() {
  command quit
  for _ in $(seq 50); do pgrep -x quorvanta >/dev/null || break; sleep 0.1; done
  pkill -KILL -x quorvanta 2>/dev/null
  wait "$front" 2>/dev/null
  exec 8>&-
}
# wait_line TEXT COUNT SECONDS: until the front end has written TEXT COUNT times.
wait_line() {
  for _ in $(seq $(($3 * 10))); do [ "$(grep -c -- "$1" "$(flog)" 2>/dev/null)" -ge "$2" ] && return 0; sleep 0.1; done
  return 1
}
count_lines() { grep -c -- "$1" "$(flog)" 2>/dev/null || true; }

cat >"$work/pinger.py" <<'PY'
# Echo requests every 100 ms to one address for a bounded time; one line per reply: "send recv".
import socket, struct, sys, time, select
target, seconds, out = sys.argv[1], float(sys.argv[2]), open(sys.argv[3], "w", buffering=1)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_ICMP)
s.setblocking(False)  # a stopped tunnel holds our packets in its queue: never wait on it
sent, seq, end = {}, 0, time.time() + seconds
next_send = time.time()
while time.time() < end:
    now = time.time()
    if now >= next_send:
        seq = (seq + 1) & 0xFFFF
        sent[seq] = now
        try:
            s.sendto(struct.pack("!BBHHH", 8, 0, 0, 0, seq) + b"quorvanta-lab", (target, 0))
        except OSError:
            pass
        next_send += 0.1
    r, _, _ = select.select([s], [], [], max(0.0, min(next_send, end) - time.time()))
    if r:
        try:
            data = s.recv(256)
        except OSError:
            continue
        if len(data) >= 8 and data[0] == 0:
            number = struct.unpack("!H", data[6:8])[0]
            if number in sent:
                out.write("%.3f %.3f\n" % (sent.pop(number), time.time()))
PY
# reach: the user reaches the router's address on the LAN (a private range) within 1.5 s.
reach() {
  rm -f "$work/home/lan.log"
  setpriv --reuid=$user --regid=$user --clear-groups /usr/bin/python3 "$work/pinger.py" 10.77.0.1 1.5 "$work/home/lan.log"
  [ -s "$work/home/lan.log" ]
}
start_pinger() {  # start_pinger NAME SECONDS
  setpriv --reuid=$user --regid=$user --clear-groups /usr/bin/python3 "$work/pinger.py" 203.0.113.5 "$2" "$work/home/ping-$1.log" &
  pinger=$!
}

# figures NAME T_EVENT T_RETURN: what the tray said while pings did not come back.
figures() {
  /usr/bin/python3 - "$(flog)" "$work/home/ping-$1.log" "$1" "$2" "$3" "$work/clear.log" <<'PY' | tee -a "${QV_LAB_FIGURES:-/dev/null}"
import sys
front, pings, name, t_event, t_return = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4]), float(sys.argv[5])
clear_log = sys.argv[6]
trays = []
for line in open(front):
    parts = line.split()
    if len(parts) >= 3 and parts[1] == "tray":
        trays.append((float(parts[0]), int(parts[2])))
replies = [tuple(map(float, l.split())) for l in open(pings) if l.strip()]
def tray_at(t):
    state = None
    for when, s in trays:
        if when <= t: state = s
    return state
# Sampled every 100 ms from the event for as long as the pinger ran.
end = max([r for _, r in replies] + [t_return]) if replies else t_return
lie = 0.0
t = t_event
while t < end:
    answered = any(s <= t < s + 1.0 and r <= t + 1.0 for s, r in replies)
    if tray_at(t) == 5 and not answered: lie += 0.1
    t += 0.1
# Pings back: the first reply after the return that follows a gap of a second or more.
lost = [s for s, r in replies if s >= t_event]
gap_end = None
prev = t_event
for s, r in replies:
    if s < t_event: continue
    if s - prev >= 1.0 and s >= t_return:
        gap_end = s
        break
    prev = s
if gap_end is None:
    later = [s for s, r in replies if s >= t_return]
    gap_end = later[0] if later else None
first_back = (gap_end - t_return) if gap_end is not None else None
yellow = [w for w, s in trays if w >= t_event and s != 5]
print("%-17s Connected while no ping came back: %5.1f s; tray left green %s after the event; pings back %s after the return"
      % (name, lie, "%.1f s" % (yellow[0] - t_event) if yellow else "never",
         "%.1f s" % first_back if first_back is not None else "never"))
print("FIGURE %s lie=%.1f back=%s" % (name, lie, "%.1f" % first_back if first_back is not None else "never"))
# The pinger's packets that left unencrypted, and those of them while the tray was yellow or green.
clear = [float(l.split()[0]) for l in open(clear_log) if l.strip()]
clear = [t for t in clear if t_event - 3 <= t <= end]
protected = [t for t in clear if tray_at(t) in (2, 4, 5, 6)]
print("%-17s pings in the clear: %d, of them while the tray was yellow or green: %d" % (name, len(clear), len(protected)))
print("CLEAR %s protected=%d all=%d" % (name, len(protected), len(clear)))
PY
}
clear_of() { sed -n "s/^CLEAR $1 protected=\([0-9]*\).*/\1/p" "$work/figures-$1"; }
# no_clear NAME: nothing left in the clear while the tray was yellow or green.
no_clear() {
  local n
  n=$(clear_of "$1")
  [ "$n" = 0 ] || fail "$1: ${n:-?} pings left in the clear while the tray was yellow or green"
}
# clear_between T0 T1: the pinger's packets that left in the clear between two times.
clear_between() { awk -v a="$1" -v b="$2" '$1 >= a && $1 <= b' "$work/clear.log" | wc -l; }
# ours_left: our nftables table exists.
ours_left() { nft list table inet quorvanta >/dev/null 2>&1; }
lie_of() { sed -n "s/^FIGURE $1 lie=\([0-9.]*\).*/\1/p" "$work/figures-$1"; }
back_of() { sed -n "s/^FIGURE $1 lie=[0-9.]* back=\(.*\)/\1/p" "$work/figures-$1"; }
# expect_within NAME SECONDS_LIE SECONDS_BACK
expect_within() {
  local lie back
  lie=$(lie_of "$1") back=$(back_of "$1")
  [ -n "$lie" ] || { fail "$1: no figures"; return; }
  /usr/bin/python3 -c "import sys; sys.exit(0 if float('$lie') <= $2 else 1)" || fail "$1: Connected for $lie s while nothing passed (bound $2 s)"
  [ "$back" != never ] || { fail "$1: pings never came back"; return; }
  /usr/bin/python3 -c "import sys; sys.exit(0 if float('$back') <= $3 else 1)" || fail "$1: pings came back only $back s after the return (bound $3 s)"
}
# tray_after T STATE SECONDS: the tray showed STATE within SECONDS of time T
# (waits until then when it has not yet).
tray_after() {
  /usr/bin/python3 - "$(flog)" "$1" "$2" "$3" <<'PY'
import sys, time
front, t, state, within = sys.argv[1], float(sys.argv[2]), sys.argv[3], float(sys.argv[4])
while True:
    for line in open(front):
        p = line.split()
        if len(p) >= 3 and p[1] == "tray" and p[2] == state and t <= float(p[0]) <= t + within:
            sys.exit(0)
    if time.time() > t + within + 0.5:
        sys.exit(1)
    time.sleep(0.2)
PY
}
serving_server() {
  # The server whose address the current OpenVPN talks to.
  local client
  client=$(pgrep -f "openvpn --config config.qvpn" | tail -n 1)
  tr '\0' ' ' <"/proc/$client/cmdline" 2>/dev/null | sed -n 's/.*--remote 198\.51\.100\.1\([12]\) .*/\1/p'
}
connected_now() {  # wait for a fresh "tray 5" and pings through the tunnel
  wait_line "tray 5" "$1" 60 || { fail "$2: never connected"; return 1; }
}

start_front
connected_now 1 start || { cat "$work/service.log" "$work/front$runs.err"; exit 1; }

run() {
  local name=$1
  say "== $name"
  case "$name" in
  silent-link)
    start_pinger "$name" 52
    sleep 3
    t0=$(now)
    in_router ip route add blackhole 192.0.2.2/32
    in_router ip route add blackhole 198.51.100.0/25
    sleep 30
    in_router ip route del blackhole 192.0.2.2/32
    in_router ip route del blackhole 198.51.100.0/25
    t1=$(now)
    tray_after "$t0" 6 25 || fail "$name: the tray was not yellow (Reconnecting) within 25 s of the silence"
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t1" >"$work/figures-$name"; cat "$work/figures-$name"
    expect_within "$name" 25 45
    no_clear "$name"
    ;;
  killed-server)
    start_pinger "$name" 80
    sleep 3
    s=$(serving_server)
    t0=$(now)
    stop_server "${s:-1}" KILL
    tray_after "$t0" 6 25 || tray_after "$t0" 4 25 || fail "$name: the tray was not yellow within 25 s of the server's death"
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t0" >"$work/figures-$name"; cat "$work/figures-$name"
    # OpenVPN tries the dead server for about 43 s before it gives up; when the
    # list has run out and starts over at the dead server, that costs 14 s more.
    expect_within "$name" 25 75
    no_clear "$name"
    start_server "${s:-1}"
    ;;
  restarted-server)
    start_pinger "$name" 15
    sleep 3
    s=$(serving_server)
    t0=$(now)
    stop_server "${s:-1}" TERM
    sleep 2
    start_server "${s:-1}"
    t1=$(now)
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t1" >"$work/figures-$name"; cat "$work/figures-$name"
    # Back within 5 s of the server's return: the credentials were asked for again and answered.
    expect_within "$name" 3 5
    no_clear "$name"
    ;;
  stopped-openvpn)
    start_pinger "$name" 32
    sleep 3
    client=$(pgrep -f "openvpn --config config.qvpn" | tail -n 1)
    t0=$(now)
    kill -STOP "$client"
    sleep 20
    kill -CONT "$client"
    t1=$(now)
    tray_after "$t0" 6 15 || fail "$name: a stopped OpenVPN was still shown Connected after 15 s"
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t1" >"$work/figures-$name"; cat "$work/figures-$name"
    expect_within "$name" 12 25
    no_clear "$name"
    ;;
  route-change)
    start_pinger "$name" 15
    sleep 3
    before=$(grep -c "tray 5" "$(flog)")
    t0=$(now)
    # The same gateway with another metric: a new default route as far as the watch can tell.
    ip route replace default via 192.0.2.1 metric 7
    ip route del default via 192.0.2.1 metric 0 2>/dev/null
    tray_after "$t0" 6 5 || fail "$name: a moved default route did not restart the tunnel at once"
    wait_line "tray 5" $((before + 1)) 20 || fail "$name: no tunnel after the route change"
    grep -q "SIGUSR1" "$work/service.log" "$work/front$runs.err" 2>/dev/null
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t0" >"$work/figures-$name"; cat "$work/figures-$name"
    expect_within "$name" 3 15
    no_clear "$name"
    ;;
  resume)
    start_pinger "$name" 16
    sleep 3
    # Anybody on the bus may send a signal of that name: only logind's counts.
    t0=$(now)
    busctl --system emit /org/freedesktop/login1 org.freedesktop.login1.Manager PrepareForSleep b false
    tray_after "$t0" 6 3 && fail "$name: a PrepareForSleep sent by somebody else restarted the tunnel"
    t0=$(now)
    for sleeping in true false; do
      busctl --system call org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.DBus.Mock EmitSignal \
        sssav org.freedesktop.login1.Manager PrepareForSleep b 1 b $sleeping || fail "$name: the logind stand-in emitted nothing"
    done
    tray_after "$t0" 6 5 || fail "$name: the resume did not restart the tunnel at once"
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t0" >"$work/figures-$name"; cat "$work/figures-$name"
    expect_within "$name" 3 15
    no_clear "$name"
    ;;
  idle)
    # No traffic but the servers' own pings (every 10 s from server 2): the tunnel stays green.
    s=$(serving_server)
    before=$(grep -c " tray " "$(flog)")
    sleep 30
    [ "$(grep -c " tray " "$(flog)")" -eq "$before" ] ||
      fail "$name: an idle tunnel to server ${s:-?} changed colour: $(grep ' tray ' "$(flog)" | tail -n 3 | tr '\n' ' ')"
    say "$name: 30 s without traffic to server ${s:-?} ($(grep -h '^keepalive' "$work/pki/lab${s:-1}.conf")): the tray stayed green"
    ;;
  long-outage)
    # Longer than the whole server list: red, then back by itself once the link returns.
    start_pinger "$name" 150
    sleep 3
    t0=$(now)
    in_router ip route add blackhole 192.0.2.2/32
    in_router ip route add blackhole 198.51.100.0/25
    tray_after "$t0" 7 85 || fail "$name: the tray did not say 'Waiting for the network' once the list ran out"
    while [ "$(/usr/bin/python3 -c "print(int(float('$(now)') - float('$t0')))")" -lt 90 ]; do sleep 1; done
    in_router ip route del blackhole 192.0.2.2/32
    in_router ip route del blackhole 198.51.100.0/25
    t1=$(now)
    tray_after "$t1" 5 45 || fail "$name: the tunnel was not back by itself within 45 s of the link's return"
    kill "$pinger" 2>/dev/null
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t1" >"$work/figures-$name"; cat "$work/figures-$name"
    no_clear "$name"
    ;;
  hung-start)
    # An entry with a scrambling word: Debian's OpenVPN refuses it and never calls in.
    ended=$(count_lines "page disconnected")
    command disconnect
    wait_line "page disconnected" $((ended + 1)) 15 || fail "$name: the first disconnect did not end"
    make_profile "198.51.100.11:1194:udp:xorword"
    command connect
    sleep 1
    command disconnect
    wait_line "page disconnected" $((ended + 2)) 5 || fail "$name: a Disconnect during the start wait did not end Disconnected"
    sleep 0.5
    [ "$(tail -n 1 "$(flog)" | cut -d' ' -f2-)" = "tray 3" ] || fail "$name: the tray is not red: $(tail -n 1 "$(flog)")"
    make_profile "198.51.100.11:1194:udp 198.51.100.12:1194:udp"
    command connect
    connected_now "$(($(count_lines "tray 5") + 1))" "$name: connect after"
    ;;
  refused-credentials)
    # The server in use refuses the credentials when the tunnel is made anew; the next in the list accepts.
    ended=$(count_lines "page disconnected")
    command disconnect
    wait_line "page disconnected" $((ended + 1)) 15 || fail "$name: no disconnect"
    command connect  # the whole list again
    connected_now "$(($(count_lines "tray 5") + 1))" "$name: connect" || true
    start_pinger "$name" 20
    sleep 2
    s=$(serving_server)
    cp "$work/pki/lab${s:-1}-verify.sh" "$work/verify.saved"
    printf '#!/bin/sh\nexit 1\n' >"$work/pki/lab${s:-1}-verify.sh"
    t0=$(now)
    stop_server "${s:-1}" TERM
    start_server "${s:-1}"
    wait_line "tray 5" "$(($(count_lines "tray 5") + 1))" 25 || fail "$name: no tunnel through the next server"
    [ "$(serving_server)" != "${s:-1}" ] || fail "$name: still on the server that refuses"
    cp "$work/verify.saved" "$work/pki/lab${s:-1}-verify.sh"
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t0" >"$work/figures-$name"; cat "$work/figures-$name"
    expect_within "$name" 3 15
    no_clear "$name"
    ;;
  disconnect)
    # The user's Disconnect lifts the block at once; Connect puts the traffic back inside.
    start_pinger "$name" 14
    sleep 2
    t0=$(now)
    command disconnect
    tray_after "$t0" 3 5 || fail "$name: not Disconnected"
    sleep 3
    t1=$(now)
    n=$(clear_between "$t0" "$t1")
    [ "$n" -ge 10 ] || fail "$name: only $n pings left in the clear after the Disconnect (the block stayed?)"
    ours_left && fail "$name: our table is still there after the Disconnect"
    command connect
    connected_now "$(($(count_lines "tray 5") + 1))" "$name" || true
    sleep 1
    t2=$(now)
    sleep 3
    n=$(clear_between "$t2" "$(now)")
    [ "$n" -eq 0 ] || fail "$name: $n pings left in the clear once connected again"
    wait "$pinger" 2>/dev/null
    say "$name: the block was lifted at once and back with the tunnel"
    ;;
  host-names)
    # Entries by name, resolved through the machine's resolver: at the first
    # connect (no block yet) and at failover (under the block). A new front end
    # reads the named profile at its start; one running on would first use up
    # the numeric entries left in its list.
    quit_front
    make_profile "lab1.example:1194:udp lab2.example:1194:udp"
    start_front
    connected_now 1 "$name: first connect by name" || true
    start_pinger "$name" 80
    sleep 1
    s=$(serving_server)
    [ -n "$s" ] || fail "$name: OpenVPN was not given the server's address"
    t0=$(now)
    stop_server "${s:-1}" KILL
    # OpenVPN itself tries the dead server for about 43 s before it gives up.
    wait_line "tray 5" "$(($(count_lines "tray 5") + 1))" 90 || fail "$name: no failover to the other name"
    other=$(serving_server)
    [ -n "$other" ] && [ "$other" != "${s:-1}" ] || fail "$name: the failover went to server ${other:-none}, not the other name's"
    sleep 2
    kill "$pinger" 2>/dev/null
    wait "$pinger" 2>/dev/null
    figures "$name" "$t0" "$t0" >"$work/figures-$name"; cat "$work/figures-$name"
    no_clear "$name"
    start_server "${s:-1}"
    make_profile "198.51.100.11:1194:udp 198.51.100.12:1194:udp"
    ;;
  lan)
    # allow_lan 1: the LAN is reached outside the tunnel; 0: refused at once.
    reach || fail "$name: the LAN was not reached with allow_lan 1"
    setting allow_lan 0
    command disconnect; sleep 1; command connect
    connected_now "$(($(count_lines "tray 5") + 1))" "$name: allow_lan 0" || true
    reach && fail "$name: the LAN was reached with allow_lan 0"
    setting allow_lan 1
    command disconnect; sleep 1; command connect
    connected_now "$(($(count_lines "tray 5") + 1))" "$name: allow_lan 1 again" || true
    reach || fail "$name: the LAN was not reached with allow_lan 1 again"
    say "$name: the LAN follows allow_lan"
    ;;
  no-block)
    # block_outside_tunnel 0: nothing of ours in the firewall, the LAN reached even with allow_lan 0.
    setting block_outside_tunnel 0
    setting allow_lan 0
    command disconnect; sleep 1; command connect
    connected_now "$(($(count_lines "tray 5") + 1))" "$name" || true
    ours_left && fail "$name: our table exists with block_outside_tunnel 0"
    reach || fail "$name: the LAN was blocked with block_outside_tunnel 0"
    setting block_outside_tunnel 1
    setting allow_lan 1
    command disconnect; sleep 1; command connect
    connected_now "$(($(count_lines "tray 5") + 1))" "$name: block on again" || true
    ours_left || fail "$name: no table of ours once the block is on again"
    say "$name: nothing blocked with the setting off"
    ;;
  front-end-killed)
    # The front end dies while connected: within 5 s no OpenVPN and no block.
    t0=$(now)
    pkill -KILL -x quorvanta
    gone=no
    for _ in $(seq 50); do
      if ! pgrep -f "openvpn --config config.qvpn" >/dev/null && ! ours_left; then gone=yes; break; fi
      sleep 0.1
    done
    [ "$gone" = yes ] || fail "$name: OpenVPN or our table outlived the front end by 5 s"
    say "$name: OpenVPN and the block gone $(/usr/bin/python3 -c "print('%.1f' % (float('$(now)') - float('$t0')))") s after the kill"
    wait "$front" 2>/dev/null
    exec 8>&-
    start_front
    connected_now 1 "$name: a new front end"
    ;;
  service-killed)
    # The service dies while connected; the one started next removes what it left.
    pkill -KILL -x quorvanta-tunne
    pkill -KILL -f "$build/service/quorvanta-tunneld"
    sleep 1
    ours_left || say "$name: no table was left by the killed service"
    start_service
    ours_left && fail "$name: a table of ours survived the new service's start"
    command connect
    connected_now "$(($(count_lines "tray 5") + 1))" "$name: after the new service" || true
    ;;
  *)
    fail "unknown scenario $name"
    ;;
  esac
}

for s in "${scenarios[@]}"; do
  run "$s"
  # Each scenario starts from a tunnel that is up.
  if [ "$(grep ' tray ' "$(flog)" | tail -n 1 | cut -d' ' -f2-)" != "tray 5" ]; then
    wait_line "tray 5" "$(($(count_lines "tray 5") + 1))" 60 || true
  fi
done
quit_front
notices=$(cat "$work"/front*.log | grep -c " notice " || true)
say "desktop notices the front end gave: $notices"
grep -h " notice " "$work"/front*.log | cut -d' ' -f2- | sort | uniq -c
if [ "$failures" -ne 0 ]; then
  echo "-- service"; tail -n 80 "$work/service.log"
  echo "-- front end"; tail -n 80 "$(flog)"
fi
[ "$failures" -eq 0 ] && echo "network_lab: all checks passed"
exit $((failures > 0))
