#!/usr/bin/env bash
# End to end under Wine: the Windows krzpap.exe joins a Linux krzlab through KRZ_LAB and scans,
# shows and configures the default lab's routers, with the requirement texts from the real
# string-table resource and the sample module loaded as krzpapmodulesu.dll; then the same routers
# through the description module alone (krzpapdescriptions.dll and the descriptions it finds
# beside itself).
# Usage: krzpap_e2e.sh WINDOWS_BIN_DIR LINUX_KRZLAB [WINE]
set -uo pipefail
win_bin=$(cd "$1" && pwd)
krzlab=$2
wine=${3:-/usr/lib/wine/wine64}
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$win_bin/../wineprefix}
. "$(dirname "$0")/join-lab.sh"

passed=0
failed=0
# check NAME EXPECTED-TEXT COMMAND...: the command succeeds and its output holds the text.
check() {
  local name=$1 want=$2 out
  shift 2
  if out=$("$wine" "$win_bin/krzpap.exe" -q "$@" 2>&1) && grep -qF -- "$want" <<<"$out"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s: wanted "%s" in:\n%s\n' "$name" "$want" "$out"
  fi
}

# check_refused NAME EXPECTED-TEXT COMMAND...: the command fails and says why.
check_refused() {
  local name=$1 want=$2 out
  shift 2
  if ! out=$("$wine" "$win_bin/krzpap.exe" -q "$@" 2>&1) && grep -qF -- "$want" <<<"$out"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s: wanted a failure with "%s" in:\n%s\n' "$name" "$want" "$out"
  fi
}

check "scan finds the Borealis router" "192.168.77.20" scan
check "scan finds the Corvid CV-20" "Corvid    CV-20" scan
check "show reads the settings" "SSID:        Nest" show 192.168.77.31 --password rookery
check "show gives the requirement texts" "The password may contain letters, digits and the symbols" \
  show 192.168.77.31 --password rookery
check "configure changes the device" "WineNet                            confirmed" \
  configure 192.168.77.31 --password rookery --ssid WineNet --security wpa2-psk \
  --key "wine passphrase 2026"
check "show reads the new settings back" "SSID:        WineNet" show 192.168.77.31 --password rookery
check_refused "wrong credentials are refused" "refused the credentials" \
  show 192.168.77.10 --user admin --password wrong
check "described: scan finds the Acme router" "Acme      AP-100" \
  --modules krzpapdescriptions.dll scan
check "described: scan tells the Corvid models apart" "Corvid    CV-10" \
  --modules krzpapdescriptions.dll scan
check "described: show logs in with the login form" "SSID:        Aurora" \
  --modules krzpapdescriptions.dll show 192.168.77.20 --user root --password northwind
check "described: configure writes and reads back" "WineAcme  confirmed" \
  --modules krzpapdescriptions.dll configure 192.168.77.10 --user admin --password gatekeeper \
  --ssid WineAcme

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
