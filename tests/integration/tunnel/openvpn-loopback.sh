#!/bin/sh
# A local OpenVPN server for tests, benchmarks and the demo, on 127.0.0.1 only.
#   openvpn-loopback.sh pki DIR
#       makes DIR/ca.crt, DIR/server.crt and DIR/server.key (openssl, EC P-256)
#   openvpn-loopback.sh server DIR NAME PROTO PORT IDENTITY
#       writes DIR/NAME.conf (run it with: openvpn --cd DIR --config NAME.conf)
#       and DIR/NAME-verify.sh; the server accepts only the user name and
#       password IDENTITY. PROTO is udp or tcp. It needs root: a server opens a
#       tun device (qvNAME, left unconfigured), which OpenVPN removes on exit.
set -eu
cmd=${1:-}
case "$cmd" in
pki)
  dir=$2
  mkdir -p "$dir"
  cd "$dir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=quorvanta-test-ca -keyout ca.key -out ca.crt \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -subj /CN=quorvanta-test-server -keyout server.key -out server.csr 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyAgreement\nextendedKeyUsage=serverAuth\n' > server.ext
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.crt 2>/dev/null
  rm -f server.csr server.ext ca.srl
  ;;
server)
  dir=$2 name=$3 proto=$4 port=$5 identity=$6
  case "$proto" in
    udp) ovproto=udp; notify="explicit-exit-notify 1" ;;
    tcp) ovproto=tcp-server; notify="" ;;
    *) echo "openvpn-loopback.sh: protocol udp or tcp" >&2; exit 2 ;;
  esac
  cat > "$dir/$name-verify.sh" <<VERIFY
#!/bin/sh
# via-file: line 1 the user name, line 2 the password
{ read -r user; read -r pass; } < "\$1"
[ "\$user" = "$identity" ] && [ "\$pass" = "$identity" ]
VERIFY
  chmod 755 "$dir/$name-verify.sh"
  cat > "$dir/$name.conf" <<CONF
mode server
tls-server
dev qv$name
dev-type tun
ifconfig-noexec
route-noexec
local 127.0.0.1
port $port
proto $ovproto
$notify
ca ca.crt
cert server.crt
key server.key
dh none
verify-client-cert none
username-as-common-name
script-security 2
auth-user-pass-verify $dir/$name-verify.sh via-file
verb 3
CONF
  ;;
*)
  sed -n '2,10p' "$0" >&2
  exit 2
  ;;
esac
