#!/usr/bin/env bash
# The tunnel unit's capability bounding set is enough for OpenVPN's client with
# the shipped config.qvpn: against a local server in a network namespace of
# its own, under the unit's bounding set and no-new-privileges, it opens the
# tun device, marks its packets, sets the pushed address and route, and takes
# them down again; nftables takes the block's table under the same set.
# With no capability at all it must fail, or the check proves nothing.
# Usage: unit_capabilities_test.sh SOURCE_DIR
set -uo pipefail
source=$1
unit=$source/packaging/quorvanta-tunneld.service
loopback=$source/tests/integration/tunnel/openvpn-loopback.sh
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root (network namespace, tun device)"
[ -c /dev/net/tun ] || skip "no /dev/net/tun"
for tool in openvpn openssl setpriv unshare ip nft; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps installs it)"
done

if [ "${2:-}" = "--in-namespace" ]; then
  work=$3
  ip link set lo up
  openvpn --cd "$work/pki" --config srv.conf >"$work/server.log" 2>&1 &
  server=$!
  # wait_for FILE TEXT: OpenVPN logs each step; 15 s is far beyond a loopback handshake.
  wait_for() {
    for _ in $(seq 150); do grep -q "$2" "$1" && return 0; sleep 0.1; done
    return 1
  }
  wait_for "$work/server.log" "Initialization Sequence Completed" || { cat "$work/server.log"; exit 100; }
  client() {  # client CAPS LOG
    setpriv --bounding-set="-all$1" --inh-caps=-all --no-new-privs \
      openvpn --cd "$work/pki" --config config.qvpn --remote 127.0.0.1 11940 --proto udp --mark 0x51760 \
              --auth-user-pass creds --connect-retry-max 1 --verb 3 >"$2" 2>&1 &
    pid=$!
  }
  failures=0
  client "$4" "$work/client.log"
  if wait_for "$work/client.log" "Initialization Sequence Completed"; then
    ip -br addr show dev tun0 | grep -q '10\.88\.0\.2/24' || { echo "FAIL: no pushed address on tun0"; failures=1; }
    ip route | grep -q '^10\.89\.0\.0/24 via 10\.88\.0\.1' || { echo "FAIL: no pushed route"; failures=1; }
    kill "$pid"; wait "$pid"
    ip link show tun0 >/dev/null 2>&1 && { echo "FAIL: tun0 left behind on exit"; failures=1; }
  else
    echo "FAIL: the client did not come up with capabilities '$4':"; cat "$work/client.log"; failures=1
    kill "$pid" 2>/dev/null
  fi
  # The block outside the tunnel: our nftables table, made and deleted under the same set.
  printf 'add table inet quorvanta\ndelete table inet quorvanta\n' >"$work/block.nft"
  setpriv --bounding-set="-all$4" --inh-caps=-all --no-new-privs nft -f "$work/block.nft" ||
    { echo "FAIL: nftables refused the block with capabilities '$4'"; failures=1; }
  client "" "$work/bare.log"
  wait "$pid"
  grep -q "Initialization Sequence Completed" "$work/bare.log" &&
    { echo "FAIL: the client came up without any capability"; failures=1; }
  kill "$server"; wait "$server"
  exit "$failures"
fi

caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")
[ -n "$caps" ] || { echo "FAIL: the unit sets no CapabilityBoundingSet"; exit 1; }
setpriv_caps=""
for cap in $caps; do
  name=${cap#CAP_}
  setpriv_caps+=",+${name,,}"
done
echo "unit bounding set: $caps"

work=$(mktemp -d /tmp/qv-caps.XXXXXX)
trap 'rm -rf "$work"' EXIT
sh "$loopback" pki "$work/pki" || exit 1
sh "$loopback" server "$work/pki" srv udp 11940 quorvanta-caps || exit 1
# The server hands out an address and a route, as the vendor's servers do.
printf 'server 10.88.0.0 255.255.255.0\ntopology subnet\npush "route 10.89.0.0 255.255.255.0"\n' \
  >>"$work/pki/srv.conf"
cp "$source/packaging/config/config.qvpn" "$work/pki/"
printf 'quorvanta-caps\nquorvanta-caps\n' >"$work/pki/creds"
chmod 0600 "$work/pki/creds"
unshare --net bash "$0" "$source" --in-namespace "$work" "$setpriv_caps"
rc=$?
[ "$rc" -eq 100 ] && skip "the local OpenVPN server could not start here"
[ "$rc" -eq 0 ] && echo "tunnel_unit_capabilities: the unit's capabilities are enough, none are not"
exit "$rc"
