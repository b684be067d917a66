#!/usr/bin/env bash
# Builds the Debian package with cpack from BUILD_DIR (or takes $QUORVANTA_DEB),
# checks what it holds, runs lintian, then installs, upgrades, removes and
# purges it in a throw-away root: an overlay of this machine's root on a tmpfs,
# in a mount namespace of its own, so the machine is left as it was.
# Usage: package_test.sh BUILD_DIR QUORVANTA_REG VERSION
set -uo pipefail

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() {  # expect_eq WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}
expect_has() {  # expect_has WHAT NEEDLE HAYSTACK
  case "$3" in *"$2"*) ;; *) fail "$1: '$2' not in '$3'" ;; esac
}
section() { echo "== $*"; }

# ---------------------------------------------------------------------------
# Inside the mount namespace: the throw-away root.
if [ "${1:-}" = "--in-root" ]; then
  deb=$2 reg=$3 fs=$4 build=$5
  source=$(cd "$(dirname "$0")/../../.." && pwd)
  mount -t tmpfs -o mode=0755 qv-package-root "$fs" || exit 100
  mkdir "$fs/upper" "$fs/work" "$fs/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$fs/upper,workdir=$fs/work" "$fs/root" || exit 100
  root=$fs/root
  mount --bind /proc "$root/proc" || exit 100
  export QUORVANTA_REGISTRY=$root/var/lib/quorvanta/registry.db
  base='HKLM\SOFTWARE\Quorvanta'
  crypto='HKLM\SOFTWARE\Microsoft\Cryptography'
  regget() { "$reg" get "$1" "$2" 2>/dev/null; }
  dpkg_root() { dpkg --root="$root" "$@" >>"$fs/dpkg.log" 2>&1; }
  status() { dpkg --root="$root" -s quorvanta 2>/dev/null | sed -n 's/^Status: //p'; }
  mode() { stat -c '%a %U:%G' "$1" 2>/dev/null; }

  # The installed programs as a normal user would use them: the service as
  # root, the front end as uid 1000, a local OpenVPN server and the vendor's
  # site on loopback (this network namespace is the test's own). Tunnel-up,
  # the referral callback acknowledged, a second tunnel-up, and the profile
  # update 30 s after the first, all without a box.
  installed_use() {
    section "the installed product used by a normal user"
    local t=$root/qv-use user=1000 waited
    mkdir -p "$t" && chmod 0755 "$t"
    mount --bind /dev "$root/dev" && mount -t tmpfs qv-shm "$root/dev/shm" || { fail "cannot lay /dev into the root"; return; }
    ip link set lo up
    sh "$source/tests/integration/tunnel/openvpn-loopback.sh" pki "$t/pki"
    local id
    id=$(regget "$crypto" MachineGuid)
    sh "$source/tests/integration/tunnel/openvpn-loopback.sh" server "$t/pki" use tcp 11960 "$id"
    openvpn --cd "$t/pki" --config use.conf >"$t/server.log" 2>&1 &
    local server=$!
    cp "$source/tests/integration/tunnel/config.qvpn" "$root/etc/quorvanta/config.qvpn"
    cp "$t/pki/ca.crt" "$root/etc/quorvanta/ca.crt"
    local profile=$root/var/lib/quorvanta/profile/data.vpn
    printf '127.0.0.1:11960:tcp\n<---->\nhttp://127.0.0.1:18081/update\n' | "$build/tools/profile/quorvanta-profile" encode >"$profile"
    printf '127.0.0.1:11960:tcp updated.example:1194:tcp\n<---->\nhttp://127.0.0.1:18081/update\n' |
      "$build/tools/profile/quorvanta-profile" encode >"$t/updated.vpn"
    "$build/tools/profile/quorvanta-profile" page <"$t/updated.vpn" >"$t/update.html"
    chmod 0644 "$profile"
    /usr/bin/python3 - "$t" >"$t/site.log" 2>&1 <<'PY' &
import http.server, sys
folder = sys.argv[1]
class Site(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"OK" if self.path.startswith("/clientCallback/") else open(folder + "/update.html", "rb").read()
        self.send_response(200); self.end_headers(); self.wfile.write(body)
        print("GET", self.path, flush=True)
    def log_message(self, *args): pass
http.server.HTTPServer(("127.0.0.1", 18081), Site).serve_forever()
PY
    local site=$!
    chroot "$root" /usr/sbin/quorvanta-tunneld >"$t/service.log" 2>&1 &
    local service=$!
    for _ in $(seq 50); do grep -q serving "$t/service.log" && break; sleep 0.1; done
    mkfifo "$t/commands"
    exec 8<>"$t/commands"
    chroot "$root" setpriv --reuid=$user --regid=$user --clear-groups env -i HOME=/tmp PATH=/usr/bin:/bin \
      QUORVANTA_HEADLESS=1 QUORVANTA_MESSAGES=stderr QUORVANTA_SITE=http://127.0.0.1:18081 \
      /usr/bin/quorvanta <"$t/commands" >"$t/front.log" 2>"$t/front.err" &
    local front=$!
    until_in() {  # until_in FILE TEXT COUNT SECONDS
      for _ in $(seq $(($4 * 10))); do [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0; sleep 0.1; done
      return 1
    }
    until_in "$t/front.log" "page connected" 1 30 || fail "the installed front end did not connect as a user"
    until_in "$t/site.log" "GET /clientCallback/?a=REF-42" 1 20 || fail "no referral callback"
    until_in "$t/front.log" "page updateTraffic" 1 10
    expect_eq "ref once the callback is acknowledged" "" "$(regget "$base" ref)"
    echo disconnect >&8
    until_in "$t/front.log" "page disconnected" 1 20 || fail "no disconnect"
    echo connect >&8
    until_in "$t/front.log" "page connected" 2 30 || fail "no second tunnel-up"
    expect_eq "callbacks after the second tunnel-up" 1 "$(grep -c clientCallback "$t/site.log")"
    # The update is fetched 30 s after the first tunnel-up and replaces data.vpn.
    for waited in $(seq 450); do [ "$(stat -c %u "$profile" 2>/dev/null)" = "$user" ] && break; sleep 0.1; done
    expect_eq "data.vpn after the update, replaced by the user" "$user" "$(stat -c %u "$profile" 2>/dev/null)"
    "$build/tools/profile/quorvanta-profile" decode "$profile" 2>/dev/null | grep -q updated.example ||
      fail "the verified update did not land in data.vpn"
    echo quit >&8
    for _ in $(seq 50); do kill -0 "$front" 2>/dev/null || break; sleep 0.1; done
    kill "$front" 2>/dev/null
    [ -s "$t/front.err" ] && fail "the front end showed boxes or errors: $(cat "$t/front.err")"
    kill "$service" "$server" "$site" 2>/dev/null
    wait "$service" "$server" "$site" 2>/dev/null
    exec 8>&-
    umount "$root/dev/shm" "$root/dev"
    # What the test laid into the service's folder is not the package's.
    rm -rf "$t" "$root/etc/quorvanta/ca.crt"
  }

  # A machine without systemd, as in a chroot or an image build.
  rm -rf "$root/run/systemd"
  if [ -n "$(status)" ]; then dpkg_root --purge quorvanta; fi
  echo 0123456789abcdef0123456789abcdef >"$root/etc/machine-id"

  section "install without systemd"
  QUORVANTA_REFERRAL=REF-42 QUORVANTA_ALLOW_LAN=0 dpkg_root -i "$deb" || { fail "dpkg -i failed:"; cat "$fs/dpkg.log"; exit "$failures"; }
  expect_eq "status after install" "install ok installed" "$(status)"
  for f in usr/lib/quorvanta/quorvanta usr/lib/quorvanta/CrashSender1402 usr/sbin/quorvanta-tunneld \
           usr/bin/quorvanta-reg usr/bin/quorvanta-profile; do
    [ -x "$root/$f" ] || fail "$f is not an installed program"
  done
  # The front end finds its sender beside the file the link points at.
  expect_eq "/usr/bin/quorvanta resolves to" "$root/usr/lib/quorvanta/quorvanta" \
            "$(realpath "$root/usr/bin/quorvanta")"
  [ -f "$root/usr/lib/quorvanta/crashreport_lang.ini" ] || fail "language file not beside the sender"
  expect_eq "the service is enabled" /lib/systemd/system/quorvanta-tunneld.service \
            "$(readlink "$root/etc/systemd/system/multi-user.target.wants/quorvanta-tunneld.service")"
  verify=$(chroot "$root" systemd-analyze verify --man=no /lib/systemd/system/quorvanta-tunneld.service 2>&1) ||
    fail "systemd-analyze verify: $verify"
  [ -z "$verify" ] || fail "systemd-analyze verify complains: $verify"

  section "registry after install"
  expect_eq "database mode" "644 root:root" "$(mode "$QUORVANTA_REGISTRY")"
  expect_eq "database directory mode" "755 root:root" "$(mode "$root/var/lib/quorvanta")"
  expect_eq "base directory" /usr/lib/quorvanta "$(regget "$base" @)"
  expect_eq "config_dir" /var/lib/quorvanta/profile/ "$(regget "$base" config_dir)"
  expect_eq "profile folder mode" "777 root:root" "$(mode "$root/var/lib/quorvanta/profile")"
  expect_eq "cleared folder mode" "1733 root:root" "$(mode "$root/var/lib/quorvanta/cleared")"
  expect_eq "service configuration folder mode" "755 root:root" "$(mode "$root/etc/quorvanta")"
  expect_eq "MachineGuid" 01234567-89ab-cdef-0123-456789abcdef "$(regget "$crypto" MachineGuid)"
  expect_eq "ref from QUORVANTA_REFERRAL" REF-42 "$(regget "$base" ref)"
  expect_eq "block_outside_tunnel by default" 1 "$(regget "$base" block_outside_tunnel)"
  expect_eq "allow_lan from QUORVANTA_ALLOW_LAN=0" 0 "$(regget "$base" allow_lan)"
  [ -e "$QUORVANTA_REGISTRY-journal" ] && fail "a journal is left beside the database"
  # A user reads the settings but cannot change them.
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env "QUORVANTA_REGISTRY=$QUORVANTA_REGISTRY")
  expect_eq "config_dir read by a user" /var/lib/quorvanta/profile/ \
            "$("${as_user[@]}" "$reg" get "$base" config_dir 2>/dev/null)"
  "${as_user[@]}" "$reg" set "$base" ref REG_SZ stolen >/dev/null 2>&1 && fail "a user could write the registry"
  "${as_user[@]}" "$reg" set "$crypto" MachineGuid REG_SZ stolen >/dev/null 2>&1 &&
    fail "a user could replace MachineGuid"
  expect_eq "ref after a user's write" REF-42 "$(regget "$base" ref)"
  "${as_user[@]}" sh -c ": >>'$root/etc/quorvanta/config.qvpn'" 2>/dev/null && fail "a user could write config.qvpn"

  installed_use

  section "upgrade keeps what is stored"
  "$reg" set "$base" config_dir REG_SZ /srv/quorvanta/ >/dev/null
  "$reg" set "$base" ref REG_SZ "" >/dev/null
  "$reg" set "$base" block_outside_tunnel REG_DWORD 0 >/dev/null
  echo fedcba9876543210fedcba9876543210 >"$root/etc/machine-id"
  echo "# changed by the administrator" >>"$root/etc/quorvanta/config.qvpn"
  dpkg_root --force-confold -i "$deb" || fail "reinstall failed"
  expect_eq "status after upgrade" "install ok installed" "$(status)"
  expect_eq "config_dir kept" /srv/quorvanta/ "$(regget "$base" config_dir)"
  expect_eq "MachineGuid kept" 01234567-89ab-cdef-0123-456789abcdef "$(regget "$crypto" MachineGuid)"
  ref=$(regget "$base" ref) && [ -z "$ref" ] || fail "the empty ref was not kept: '$ref'"
  expect_eq "the administrator's block_outside_tunnel kept" 0 "$(regget "$base" block_outside_tunnel)"
  grep -q "changed by the administrator" "$root/etc/quorvanta/config.qvpn" || fail "config.qvpn edits lost"
  expect_eq "database mode after upgrade" "644 root:root" "$(mode "$QUORVANTA_REGISTRY")"

  section "remove and purge"
  dpkg_root -r quorvanta || fail "dpkg -r failed"
  for f in usr/lib/quorvanta/quorvanta usr/bin/quorvanta usr/sbin/quorvanta-tunneld \
           lib/systemd/system/quorvanta-tunneld.service usr/share/applications/quorvanta.desktop; do
    [ -e "$root/$f" ] || [ -L "$root/$f" ] && fail "$f left after remove"
  done
  [ -f "$QUORVANTA_REGISTRY" ] || fail "remove deleted the registry database"
  [ -f "$root/etc/quorvanta/config.qvpn" ] || fail "remove deleted the configuration"
  dpkg_root --purge quorvanta || fail "dpkg --purge failed"
  for f in var/lib/quorvanta etc/quorvanta etc/xdg/autostart/quorvanta.desktop usr/lib/quorvanta \
           etc/systemd/system/multi-user.target.wants/quorvanta-tunneld.service \
           etc/systemd/system/quorvanta-tunneld.service; do
    [ -e "$root/$f" ] || [ -L "$root/$f" ] && fail "$f left after purge"
  done
  expect_eq "status after purge" "" "$(status | grep -v not-installed)"

  section "with systemd running"
  # Stand-ins record what the maintainer scripts ask of systemd.
  mkdir -p "$root/run/systemd/system"
  for tool in deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>/qv-systemd.log\n' "$tool" >"$root/usr/bin/$tool"
    chmod 0755 "$root/usr/bin/$tool"
  done
  calls() { cat "$root/qv-systemd.log" 2>/dev/null; : >"$root/qv-systemd.log"; }
  dpkg_root -i "$deb" || fail "install with systemd failed"
  expect_has "install starts the service" "deb-systemd-invoke start quorvanta-tunneld.service" "$(calls)"
  dpkg_root -i "$deb" || fail "upgrade with systemd failed"
  expect_has "upgrade restarts the service" "deb-systemd-invoke restart quorvanta-tunneld.service" "$(calls)"
  dpkg_root -r quorvanta || fail "remove with systemd failed"
  expect_has "remove stops the service" "deb-systemd-invoke stop quorvanta-tunneld.service" "$(calls)"
  dpkg_root --purge quorvanta || fail "purge with systemd failed"

  section "a machine without a machine id"
  # Container images often lack one: the install goes on and says what to run.
  rm -f "$root/etc/machine-id"
  dpkg --root="$root" -i "$deb" >"$fs/no-id.log" 2>&1 || fail "install without /etc/machine-id failed"
  expect_eq "status without a machine id" "install ok installed" "$(status)"
  regget "$crypto" MachineGuid && fail "a MachineGuid was stored without /etc/machine-id"
  grep -q "seed-machine-id" "$fs/no-id.log" || fail "the install does not say how to seed MachineGuid"
  expect_eq "config_dir without a machine id" /var/lib/quorvanta/profile/ "$(regget "$base" config_dir)"
  echo 00112233445566778899aabbccddeeff >"$root/etc/machine-id"
  dpkg_root -i "$deb" || fail "reinstall with a machine id failed"
  expect_eq "MachineGuid once the id exists" 00112233-4455-6677-8899-aabbccddeeff "$(regget "$crypto" MachineGuid)"
  dpkg_root --purge quorvanta || fail "purge failed"
  [ "$failures" -eq 0 ] || { echo "-- dpkg output:"; cat "$fs/dpkg.log"; }
  exit $((failures > 99 ? 99 : failures))
fi

# ---------------------------------------------------------------------------
build=$1 reg=$2 version=$3
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root for the throw-away root's mount namespace"
for tool in cpack dpkg dpkg-deb lintian systemd-analyze unshare chroot setpriv readelf; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps installs it)"
done
work=$(mktemp -d /tmp/qv-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"  # the unprivileged checks walk into the throw-away root

host_state() {
  dpkg-query -W -f='${Status}' quorvanta 2>/dev/null
  ls -d /usr/lib/quorvanta /var/lib/quorvanta /etc/quorvanta /usr/bin/quorvanta 2>/dev/null
}
before=$(host_state)

section "package"
if [ -n "${QUORVANTA_DEB:-}" ]; then
  deb=$QUORVANTA_DEB
else
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; exit 1; }
  deb=$work/out/quorvanta_${version}_amd64.deb
fi
[ -f "$deb" ] || { fail "no $(basename "$deb")"; exit 1; }
expect_eq "file name" "quorvanta_${version}_amd64.deb" "$(basename "$deb")"

section "control fields"
field() { dpkg-deb -f "$deb" "$1"; }
expect_eq Package quorvanta "$(field Package)"
expect_eq Version "$version" "$(field Version)"
expect_eq Architecture amd64 "$(field Architecture)"
expect_eq Section net "$(field Section)"
depends=$(field Depends)
for dep in "openvpn (>= 2.6)" libc6 libstdc++6 libgtk-3-0 libwebkit2gtk-4.1-0 libsqlite3-0 libcurl4; do
  expect_has Depends "$dep" "$depends"
done
[[ "$(field Installed-Size)" =~ ^[0-9]+$ ]] || fail "Installed-Size: '$(field Installed-Size)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"

section "contents"
# Files and links with their modes and owners; every directory root's and 0755.
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { $3 = $4 = $5 = ""; print }' <<<"$listing" | tr -s ' ' | sort)
expected=$(sort <<'LIST'
-rw-r--r-- root/root ./etc/quorvanta/config.qvpn
-rw-r--r-- root/root ./etc/xdg/autostart/quorvanta.desktop
-rw-r--r-- root/root ./lib/systemd/system/quorvanta-tunneld.service
lrwxrwxrwx root/root ./usr/bin/quorvanta -> ../lib/quorvanta/quorvanta
-rwxr-xr-x root/root ./usr/bin/quorvanta-profile
-rwxr-xr-x root/root ./usr/bin/quorvanta-reg
-rwxr-xr-x root/root ./usr/lib/quorvanta/CrashSender1402
-rwxr-xr-x root/root ./usr/lib/quorvanta/dns-hook
-rw-r--r-- root/root ./usr/lib/quorvanta/crashreport_lang.ini
-rwxr-xr-x root/root ./usr/lib/quorvanta/quorvanta
-rwxr-xr-x root/root ./usr/sbin/quorvanta-tunneld
-rw-r--r-- root/root ./usr/share/applications/quorvanta.desktop
-rw-r--r-- root/root ./usr/share/doc/quorvanta/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/quorvanta/copyright
-rw-r--r-- root/root ./usr/share/icons/hicolor/16x16/apps/quorvanta.png
-rw-r--r-- root/root ./usr/share/icons/hicolor/24x24/apps/quorvanta.png
-rw-r--r-- root/root ./usr/share/icons/hicolor/32x32/apps/quorvanta.png
-rw-r--r-- root/root ./usr/share/icons/hicolor/48x48/apps/quorvanta.png
-rw-r--r-- root/root ./usr/share/lintian/overrides/quorvanta
-rw-r--r-- root/root ./usr/share/man/man1/quorvanta-profile.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/quorvanta-reg.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/quorvanta.1.gz
-rw-r--r-- root/root ./usr/share/man/man8/quorvanta-tunneld.8.gz
LIST
)
[ "$files" = "$expected" ] || fail "contents differ:"$'\n'"$(diff <(echo "$expected") <(echo "$files"))"
odd_dirs=$(awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")' <<<"$listing")
[ -z "$odd_dirs" ] || fail "directories not 0755 root: $odd_dirs"
expect_eq conffiles $'/etc/quorvanta/config.qvpn\n/etc/xdg/autostart/quorvanta.desktop' \
          "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)"
dpkg-deb -x "$deb" "$work/x"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "$script is not executable"
  sh -n "$work/control/$script" || fail "$script: syntax error"
done
for size in 16 24 32 48; do
  expect_has "${size}px icon" "PNG image data, $size x $size" \
             "$(file -b "$work/x/usr/share/icons/hicolor/${size}x${size}/apps/quorvanta.png")"
done
expect_has "menu entry" $'\nExec=quorvanta\n' "$(cat "$work/x/usr/share/applications/quorvanta.desktop")"
expect_has "autostart entry" $'\nExec=quorvanta -autorun\n' "$(cat "$work/x/etc/xdg/autostart/quorvanta.desktop")"

section "binaries"
# The front end keeps its symbol table for the crash sender; no debug sections anywhere.
sections() { readelf -S --wide "$work/x/$1" | awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^\./) print $i }'; }
# Output is captured first: grep -q ends a pipe early and pipefail counts that.
front_sections=$(sections usr/lib/quorvanta/quorvanta)
grep -qx .symtab <<<"$front_sections" || fail "the front end lost its symbol table"
front_symbols=$(readelf -s --wide "$work/x/usr/lib/quorvanta/quorvanta")
grep -q ' FUNC .* main$' <<<"$front_symbols" || fail "main is not in the front end's symbol table"
for program in usr/lib/quorvanta/quorvanta usr/lib/quorvanta/CrashSender1402 usr/bin/quorvanta-reg \
               usr/bin/quorvanta-profile usr/sbin/quorvanta-tunneld; do
  found=$(sections "$program")
  grep -q '^\.debug' <<<"$found" && fail "$program carries debug sections"
  [ "$program" = usr/lib/quorvanta/quorvanta ] || ! grep -qx .symtab <<<"$found" ||
    fail "$program is not stripped"
done

section "unit"
unit=$work/x/lib/systemd/system/quorvanta-tunneld.service
security=$(systemd-analyze security --offline=yes "$unit" 2>&1)
for setting in NoNewPrivileges= ProtectSystem= ProtectHome= PrivateTmp= RestrictAddressFamilies=~AF_PACKET \
               'RestrictAddressFamilies=~…' 'CapabilityBoundingSet=~CAP_SYS_ADMIN'; do
  grep -qF "✓ $setting " <<<"$security" || fail "systemd-analyze security does not pass $setting"
done
grep -q 'DeviceAllow=.*/dev/net/tun:rw' <<<"$security" || fail "the device list is not /dev/net/tun"
exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p' <<<"$security")
echo "systemd-analyze security: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }' || fail "exposure level '$exposure' above 3.0"

section "lintian"
lint=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges')
echo "$lint"
grep -q '^E:' <<<"$lint" && fail "lintian reports errors"

# ---------------------------------------------------------------------------
mkdir "$work/fs"
unshare --mount --net --propagation private bash "$0" --in-root "$deb" "$reg" "$work/fs" "$build"
inner=$?
[ "$inner" -eq 100 ] && skip "no overlay root could be mounted here"
failures=$((failures + inner))

section "the machine is as it was"
expect_eq "host state" "$before" "$(host_state)"
grep -q "$work" /proc/self/mountinfo && fail "a mount of the throw-away root is left"

echo "package size: $(stat -c %s "$deb") bytes, installed size: $(dpkg-deb -f "$deb" Installed-Size) KiB"
[ "$failures" -eq 0 ] && echo "package_deb: all checks passed"
exit $((failures > 0))
