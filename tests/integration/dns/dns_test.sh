#!/usr/bin/env bash
# Pushed DNS and the IPv6 block with real OpenVPN: two servers that push
# "dhcp-option DNS 10.8.0.1", "DOMAIN corp.test" and "redirect-gateway def1",
# the tunnel service with its DNS hook, the headless front end, and a stand-in
# for systemd-resolved (python3-dbusmock) on a private system bus that records
# the link calls. Checks that they are made on connect and undone on
# disconnect, on failover and when OpenVPN is killed, and that IPv6 never
# leaves by the LAN interface while the tunnel holds the default route.
# Runs in private mount, pid and network namespaces with a LAN of its own.
# Usage: dns_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }

if [ "${1:-}" != --inside ]; then
  build=$(realpath "$1") source=$(realpath "$2")
  [ "$(id -u)" -eq 0 ] || skip "needs root for namespaces and tun devices"
  tool=/var/cache/quorvanta-deps/update-systemd-resolved
  [ -x "$tool" ] || skip "$tool is missing (scripts/install-deps extracts it from openvpn-systemd-resolved)"
  for t in openvpn dbus-daemon busctl gdbus ip unshare; do
    command -v "$t" >/dev/null || skip "$t is missing (scripts/install-deps installs it)"
  done
  /usr/bin/python3 -c "import dbusmock" 2>/dev/null || skip "python3-dbusmock is missing (Debian's, for /usr/bin/python3)"
  [ -c /dev/net/tun ] || skip "no /dev/net/tun"
  exec unshare --mount --net --pid --fork --mount-proc --propagation private bash "$0" --inside "$build" "$source" "$tool"
fi

build=$2 source=$3 tool=$4
work=$(mktemp -d /tmp/qv-dns.XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; [ -n "${QV_KEEP:-}" ] || rm -rf "$work"' EXIT
mount -t tmpfs qv-shm /dev/shm || skip "cannot mount a private /dev/shm"
# The service's hook finds update-systemd-resolved where Debian installs it.
mkdir -p "$work/openvpn-etc"
cp "$tool" "$work/openvpn-etc/update-systemd-resolved"
mount --bind "$work/openvpn-etc" /etc/openvpn 2>/dev/null || { mkdir -p /etc/openvpn && mount --bind "$work/openvpn-etc" /etc/openvpn; } ||
  skip "cannot lay /etc/openvpn over"
resolv_before=$(cat /etc/resolv.conf 2>/dev/null)
# update-systemd-resolved flushes resolved's caches with resolvectl, which
# comes with resolved: a stand-in on the hook's PATH asks the stand-in bus.
mount -t tmpfs qv-sbin /usr/local/sbin || skip "cannot lay /usr/local/sbin over"
printf '#!/bin/sh\nexec busctl --system call org.freedesktop.resolve1 /org/freedesktop/resolve1 org.freedesktop.resolve1.Manager FlushCaches\n' \
  >/usr/local/sbin/resolvectl
chmod 0755 /usr/local/sbin/resolvectl

# The machine's LAN: a default route for both families through an interface
# that leads nowhere (route lookups only; nothing is sent).
ip link set lo up
ip link add lan0 type veth peer name lan1 || skip "no veth here"
ip link set lan1 up && ip link set lan0 up
ip addr add 192.0.2.2/24 dev lan0
ip route add default via 192.0.2.1
ip -6 addr add 2001:db8:77::2/64 dev lan0 nodad
ip -6 route add default via 2001:db8:77::1 dev lan0
v6_dev() { ip -6 route get 2001:4860:4860::8888 2>/dev/null | sed -n 's/.* dev \([^ ]*\).*/\1/p'; }
[ "$(v6_dev)" = lan0 ] || fail "before any tunnel IPv6 should leave by lan0, not '$(v6_dev)'"

# The private system bus and the resolved stand-in.
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
/usr/bin/python3 -m dbusmock --system -l "$work/calls.log" org.freedesktop.resolve1 /org/freedesktop/resolve1 \
  org.freedesktop.resolve1.Manager &
for _ in $(seq 100); do busctl --system status org.freedesktop.resolve1 >/dev/null 2>&1 && break; sleep 0.1; done
gdbus call --system -d org.freedesktop.resolve1 -o /org/freedesktop/resolve1 \
  -m org.freedesktop.DBus.Mock.AddMethods org.freedesktop.resolve1.Manager \
  "[('SetLinkDNS', 'ia(iay)', '', ''), ('SetLinkDomains', 'ia(sb)', '', ''), ('SetLinkDNSSEC', 'is', '', ''),
    ('SetLinkDefaultRoute', 'ib', '', ''), ('RevertLink', 'i', '', ''), ('FlushCaches', '', '', '')]" >/dev/null ||
  fail "the resolved stand-in took no methods"
calls() { grep -c "$1" "$work/calls.log" 2>/dev/null || true; }

# Two OpenVPN servers that push the options, on TCP so a stopped one is seen at once.
sh "$source/tests/integration/tunnel/openvpn-loopback.sh" pki "$work/pki"
export QUORVANTA_REGISTRY=$work/registry.db
reg=$build/tools/reg/quorvanta-reg
echo 0123456789abcdef0123456789abcdef >"$work/machine-id"
"$reg" seed-machine-id "$work/machine-id" >/dev/null
id=$("$reg" get 'HKLM\SOFTWARE\Microsoft\Cryptography' MachineGuid)
for n in 1 2; do
  sh "$source/tests/integration/tunnel/openvpn-loopback.sh" server "$work/pki" dns$n tcp 1194$n "$id"
  sed -i '/^ifconfig-noexec$/d; /^route-noexec$/d' "$work/pki/dns$n.conf"
  cat >>"$work/pki/dns$n.conf" <<CONF
topology subnet
server 10.8.$n.0 255.255.255.0
push "dhcp-option DNS 10.8.0.1"
push "dhcp-option DOMAIN corp.test"
push "redirect-gateway def1"
CONF
  openvpn --cd "$work/pki" --config "dns$n.conf" --writepid "$work/server$n.pid" >"$work/server$n.log" 2>&1 &
done

mkdir -p "$work/etc" "$work/run" "$work/xdg" && chmod 0700 "$work/xdg"
cp "$work/pki/ca.crt" "$work/etc/"
cat >"$work/etc/config.qvpn" <<CONF
client
dev tun
nobind
auth-user-pass
auth-retry none
connect-retry 1 1
connect-retry-max 1
connect-timeout 3
ca ca.crt
remote-cert-tls server
CONF
"$reg" set 'HKLM\SOFTWARE\Quorvanta' @ REG_SZ "$work" >/dev/null
"$reg" set 'HKLM\SOFTWARE\Quorvanta' config_dir REG_SZ "$work/etc/" >/dev/null
"$reg" set 'HKLM\SOFTWARE\Quorvanta' ref REG_SZ "" >/dev/null
# Two servers: the test follows whichever the front end takes first.
printf '127.0.0.1:11942:tcp 127.0.0.1:11941:tcp\n<---->\n' | "$build/tools/profile/quorvanta-profile" encode >"$work/etc/data.vpn"

export QUORVANTA_PIPE=$work/run/QuorvantaPipe
"$build/service/quorvanta-tunneld" --socket "$QUORVANTA_PIPE" --config-dir "$work/etc" --openvpn "$(command -v openvpn)" \
  --dns-hook "$source/packaging/dns-hook" >"$work/service.log" 2>&1 &
for _ in $(seq 50); do grep -q serving "$work/service.log" && break; sleep 0.1; done
mkfifo "$work/commands"
exec 7<>"$work/commands"
QUORVANTA_HEADLESS=1 QUORVANTA_MESSAGES=stderr XDG_RUNTIME_DIR=$work/xdg QUORVANTA_SITE=http://127.0.0.1:9 \
  "$build/frontend/quorvanta" <"$work/commands" >"$work/front.log" 2>&1 &
command() { echo "$1" >&7; }

# wait_for FILE TEXT [COUNT] [SECONDS]: until FILE holds TEXT COUNT times.
wait_for() {
  local want=${3:-1}
  for _ in $(seq $((${4:-30} * 10))); do
    [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$want" ] && return 0
    sleep 0.1
  done
  return 1
}
connected() { wait_for "$work/front.log" "page connected" "$1" 40 || fail "no connect number $1"; }
reverted() { wait_for "$work/calls.log" RevertLink "$1" 20 || fail "$2: the link was not reverted"; }
tun_v6() {
  local dev
  dev=$(v6_dev)
  case "$dev" in tun*) ;; *) fail "$1: IPv6 leaves by '$dev', not the tunnel" ;; esac
}

echo "== connect"
connected 1
wait_for "$work/calls.log" SetLinkDomains 1 10 || fail "connect: no SetLinkDomains"
grep SetLinkDNS "$work/calls.log" | grep -q 'Byte(10), dbus.Byte(8), dbus.Byte(0), dbus.Byte(1)' ||
  fail "connect: SetLinkDNS without 10.8.0.1"
grep SetLinkDomains "$work/calls.log" | grep -q "String('corp.test'), dbus.Boolean(False)" ||
  fail "connect: corp.test is not a search domain"
grep SetLinkDomains "$work/calls.log" | grep -q "String('.'), dbus.Boolean(True)" ||
  fail "connect: '.' is not a routing domain"
tun_v6 connect
[ "$(cat /etc/resolv.conf 2>/dev/null)" = "$resolv_before" ] || fail "/etc/resolv.conf was changed"

echo "== disconnect"
command disconnect
wait_for "$work/front.log" "page disconnected" 1 20 || fail "no disconnect"
reverted 1 disconnect
[ "$(v6_dev)" = lan0 ] || fail "disconnect: IPv6 should leave by lan0 again, not '$(v6_dev)'"

echo "== failover"
command connect
connected 2
# The server of this tunnel goes away; the other one takes over.
serving=$(sed -n 's/.*Peer Connection Initiated with \[AF_INET\]127.0.0.1:1194\([12]\).*/\1/p' "$work/service.log" | tail -n 1)
kill -TERM "$(cat "$work/server${serving:-1}.pid")"
reverted 2 failover
connected 3
[ "$(calls SetLinkDNS)" -ge 3 ] || fail "failover: the next server's DNS was not applied"
tun_v6 failover

echo "== OpenVPN killed"
client=$(pgrep -f "openvpn --config config.qvpn" | head -n 1)
dev=$(v6_dev)
[ -n "$client" ] || fail "no OpenVPN client running"
kill -KILL "$client"
wait_for "$work/service.log" "undid the DNS" 1 20 || fail "killed: the service did not undo the DNS"
reverted 3 killed
# The routes went with the killed OpenVPN's device.
[ -z "$(ip -6 route show dev "$dev" 2>/dev/null)" ] || fail "killed: IPv6 routes through $dev outlived it"

command quit
wait_for "$work/front.log" "" 1 1
if [ "$failures" -ne 0 ]; then
  echo "-- calls"; cat "$work/calls.log"
  echo "-- service"; tail -n 60 "$work/service.log"
  echo "-- front end"; tail -n 40 "$work/front.log"
fi
[ "$failures" -eq 0 ] && echo "dns_test: all checks passed"
exit $((failures > 0))
