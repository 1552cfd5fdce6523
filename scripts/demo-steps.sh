#!/usr/bin/env bash
# The scripted demo on the built-in lab: scan, show a router, change its SSID and key, read them
# back, factory-reset it so that it moves, find it again by MAC, check factory defaults. Every
# step is a command a reader can paste once krzpap is on the PATH; the built-in lab keeps its
# state in a folder of the demo's own, so the reader's lab is left alone.
# Usage: demo-steps.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export PATH="$bin:$PATH"
export XDG_STATE_HOME="$work"
unset KRZ_LAB KRZ_LAB_FILE KRZ_LAB_STATE KRZ_NETWORK
export KRZ_LOG_FILE="$bin/../krzpap-demo.log"
: >"$KRZ_LOG_FILE"

say() {
  local words=() w
  for w in "$@"; do
    case "$w" in *[[:space:]]*) words+=("\"$w\"") ;; *) words+=("$w") ;; esac
  done
  printf '\n$ %s\n' "${words[*]}"
}
# What the reader sees: the command, then its output and its summary (stderr) in order.
krzpap() { say krzpap "$@"; command krzpap "$@" 2>&1; }

router=192.168.77.31
mac=02:4B:5A:00:00:31

krzpap lab reset
krzpap scan
krzpap show "$router" --password rookery
krzpap configure "$router" --password rookery --ssid DemoNet --security wpa2-psk \
  --key "demo passphrase 2026"
krzpap show "$router" --password rookery
krzpap lab reset corvid-2
krzpap find "$mac"
krzpap show 10.0.0.138
krzpap defaults --ssid corvid --bssid "$mac"
krzpap defaults --ssid corvid --bssid "$mac" --rsn WPA2
printf '\nThe library log of every step: %s\n' "$(realpath --relative-to="$PWD" "$KRZ_LOG_FILE")"
