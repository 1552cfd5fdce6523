#!/usr/bin/env bash
# The page under Wine: krzpap.exe ui joins a Linux krzlab through KRZ_LAB and is driven from
# headless Chromium on Linux (tests/ui/wine-flow.mjs, run as tests/ui/run-flow.sh runs the page's
# own flow).
# Usage: krzpap_ui.sh WINDOWS_BIN_DIR LINUX_KRZLAB WINE UI_SOURCE_DIR WORK SHOTS
set -uo pipefail
win_bin=$(cd "$1" && pwd)
krzlab=$2
export KRZ_WINE=$3
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$win_bin/../wineprefix}
lab_pid=
finish() {
  if [ -n "$lab_pid" ]; then
    "$krzlab" ctl "$KRZ_LAB" shutdown >/dev/null 2>&1 || kill "$lab_pid" 2>/dev/null
    wait "$lab_pid" 2>/dev/null
  fi
}
trap finish EXIT
exec 3< <(exec "$krzlab")
lab_pid=$!
read -r ready <&3
export "${ready?}"
sh "$4/run-flow.sh" "$4" "$5" "$win_bin/krzpap.exe" "$6" wine-flow.mjs
