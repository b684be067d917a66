#!/bin/sh
# The MSI as a new user would meet it, in a fresh Wine prefix: a silent
# install with a referral code, the files, the 64-bit settings, the running
# service, the autostart and the Start-menu entry; an upgrade in place to a
# newer package; an uninstall that leaves nothing but the user's crash reports.
#   installer_test.sh MSI NEWER_MSI WINE WINESERVER
set -eu
msi=$1 newer=$2 wine=$3 wineserver=$4
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
trap '"$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
failures=0
check() {  # check WHAT COMMAND...: one line per check
  what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
# A key's values, or nothing (reg says so on standard output too).
reg() { "$wine" reg query "$1" /reg:64 ${2:+/v "$2"} 2>/dev/null | tr -d '\r' | grep -v '^reg: '; }
has() { printf '%s\n' "$1" | grep -qF -- "$2"; }
running() { "$wine" sc query QuorvantaTunnel 2>/dev/null | tr -d '\r' | grep -q 'STATE.*RUNNING'; }
service_gone() { ! "$wine" sc query QuorvantaTunnel 2>/dev/null | tr -d '\r' | grep -q 'SERVICE_NAME'; }
c="$WINEPREFIX/drive_c"

"$wine" wineboot -i >/dev/null 2>&1
# A prefix just made runs two service managers for a moment; start it again cleanly.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w >/dev/null 2>&1 || true
"$wine" wineboot >/dev/null 2>&1
cp "$msi" "$c/quorvanta.msi"
cp "$newer" "$c/quorvanta-newer.msi"
# Without OpenVPN 2.6 the installer stops, with its message in the package's
# launch condition (Wine's msiexec neither shows nor logs that text; Windows does both).
check "no install without OpenVPN" sh -c "! '$wine' msiexec /i 'C:\\quorvanta.msi' /qn"
check "the package says what is missing" grep -q -a 'OpenVPN 2.6 must be installed first' "$msi"
check "no program folder without OpenVPN" test ! -e "$c/Program Files/Quorvanta"
# What OpenVPN's own installer records.
"$wine" reg add 'HKLM\SOFTWARE\OpenVPN' /reg:64 /v exe_path /t REG_SZ /d 'C:\Program Files\OpenVPN\bin\openvpn.exe' /f \
  >/dev/null 2>&1
check "silent install" "$wine" msiexec /i 'C:\quorvanta.msi' /qn REF=CODE-7 ALLOWLAN=0
for f in quorvanta.exe quorvanta-tunneld.exe CrashSender1402.exe crashreport_lang.ini quorvanta-reg.exe \
         quorvanta-profile.exe config.qvpn; do
  check "installed $f" test -f "$c/Program Files/Quorvanta/$f"
done
settings=$(reg 'HKLM\SOFTWARE\Quorvanta')
check "base folder in the 64-bit view" has "$settings" 'REG_SZ    C:\Program Files\Quorvanta\'
check "config_dir in the 64-bit view" has "$settings" 'config_dir    REG_SZ    C:\ProgramData\Quorvanta\profile\'
check "ref from the command line" has "$settings" 'ref    REG_SZ    CODE-7'
check "block_outside_tunnel by default" has "$settings" 'block_outside_tunnel    REG_DWORD    0x1'
check "allow_lan from the command line" has "$settings" 'allow_lan    REG_DWORD    0x0'
check "profile folder" test -d "$c/ProgramData/Quorvanta/profile"
check "service registered and running" running
check "event log source" has "$(reg 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QuorvantaTunnel')" \
  'quorvanta-tunneld.exe'
check "autostart with -autorun" has "$(reg 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' Quorvanta)" \
  '"C:\Program Files\Quorvanta\quorvanta.exe" -autorun'
check "Start-menu entry" sh -c "find '$c' -iname 'Quorvanta.lnk' | grep -q ."

# A newer package replaces this one in place: one product, still running.
check "upgrade in place" "$wine" msiexec /i 'C:\quorvanta-newer.msi' /qn
check "upgraded files" test -f "$c/Program Files/Quorvanta/quorvanta.exe"
check "one product after the upgrade" test "$(reg 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' |
  while read -r key; do [ -n "$key" ] && reg "$key" DisplayName; done | grep -c 'REG_SZ    Quorvanta$')" = 1
check "service running after the upgrade" running

# The user's crash reports are theirs: the uninstall leaves them.
reports="$c/users/$(whoami)/AppData/Local/CrashReport/UnsentCrashReports/Quorvanta GUI_0.0.8/0f0e0d0c-0000-4000-8000-000000000001"
mkdir -p "$reports" && echo report > "$reports/report.txt"
check "silent uninstall" "$wine" msiexec /x 'C:\quorvanta-newer.msi' /qn
check "no program folder" test ! -e "$c/Program Files/Quorvanta"
check "no data folder" test ! -e "$c/ProgramData/Quorvanta"
check "no settings" test -z "$(reg 'HKLM\SOFTWARE\Quorvanta')"
check "no autostart" test -z "$(reg 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' Quorvanta)"
check "no event log source" test -z "$(reg 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\QuorvantaTunnel')"
check "service removed" service_gone
check "no Start-menu entry" sh -c "! find '$c' -iname 'Quorvanta.lnk' | grep -q ."
check "the user's crash report kept" test -f "$reports/report.txt"
[ "$failures" -eq 0 ]
