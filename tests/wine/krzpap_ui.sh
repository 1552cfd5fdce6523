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
. "$(dirname "$0")/join-lab.sh"
sh "$4/run-flow.sh" "$4" "$5" "$win_bin/krzpap.exe" "$6" wine-flow.mjs
