#!/usr/bin/env bash
# The scripted demo on the built-in lab: scan, show a router, change its SSID and key, read them
# back, factory-reset it so that it moves, find it again by MAC, check factory defaults.
# Usage: demo-steps.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
lab_pid=

finish() {
  if [ -n "$lab_pid" ]; then
    "$bin/krzlab" ctl "$KRZ_LAB" shutdown >/dev/null 2>&1 || kill "$lab_pid" 2>/dev/null || true
    wait "$lab_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT

# The lab runs as its own process so that the devices keep their state between commands; it
# prints its control address once it is ready.
exec 3< <(exec "$bin/krzlab")
lab_pid=$!
read -r ready <&3
export "${ready?}"
export KRZ_LOG_FILE="$bin/../krzpap-demo.log"
: >"$KRZ_LOG_FILE"

say() {
  local words=() w
  for w in "$@"; do
    case "$w" in *[[:space:]]*) words+=("\"$w\"") ;; *) words+=("$w") ;; esac
  done
  printf '\n$ %s\n' "${words[*]}"
}
krzpap() { say krzpap "$@"; "$bin/krzpap" -q "$@"; }
krzlab_ctl() { say krzlab ctl '$KRZ_LAB' "$@"; "$bin/krzlab" ctl "$KRZ_LAB" "$@" >/dev/null; }

router=192.168.77.31
mac=02:4B:5A:00:00:31

krzpap scan
krzpap show "$router" --password rookery
krzpap configure "$router" --password rookery --ssid DemoNet --security wpa2-psk \
  --key "demo passphrase 2026"
krzpap show "$router" --password rookery
krzlab_ctl reset corvid-2
krzpap find "$mac"
krzpap show 10.0.0.138
krzpap defaults --ssid corvid --bssid "$mac"
krzpap defaults --ssid corvid --bssid "$mac" --rsn WPA2
printf '\nThe library log of every step: %s\n' "$(realpath --relative-to="$PWD" "$KRZ_LOG_FILE")"
