#!/usr/bin/env bash
# The open firmware emulators of lab/labs/firmware.json (LuCI and DD-WRT) as daemons on the
# namespace bed, at their real times, answered over a real link from the host namespace: what a
# browser meets before and after logging in, and then krzpap through the descriptions alone.
#   netns_open_firmware.sh BIN SOURCE_DIR
set -u -o pipefail
bin=$1
src=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/bed.sh"
bed_require
command -v ss >/dev/null || { echo "SKIPPED (NOT RUN): ss is missing."; exit 77; }
command -v curl >/dev/null || { echo "SKIPPED (NOT RUN): curl is missing."; exit 77; }
bed_begin

sed -e 's/192\.168\.77\./198.18.9./g' "$src/lab/labs/firmware.json" >"$tmp/lab.json" ||
  fail "the firmware lab"
bed_bridge br0 && bed_host_adapter h0 198.18.9.2/24 br0 || fail "the bed's bridge"
while read -r name addr mac; do
  bed_device "$name" br0 "$addr" "$mac" || fail "device $name"
  bed_daemon "$name" "$bin/krzlab" serve --lab "$tmp/lab.json" --device "$name" --iface eth0 \
    >>"$tmp/daemons.log" 2>&1
  bed_wait_listen "$name" "$addr" 80 || fail "$name does not listen"
done <<'DEVICES'
luci-1 198.18.9.70 02:4b:5a:00:00:70
ddwrt-1 198.18.9.72 02:4b:5a:00:00:72
DEVICES

# One request from the host namespace: the status line and headers, then the body.
get() { bed_host_exec curl --noproxy '*' -s -i --max-time 10 "$@"; }
expect() {  # WHAT TEXT CURL-ARGS...
  local what=$1 text=$2
  shift 2
  get "$@" | grep -qF -- "$text" || fail "$what: no \"$text\""
}
luci=http://198.18.9.70
expect "LuCI start page" "URL=cgi-bin/luci/" "$luci/"
expect "LuCI without a session" "X-LuCI-Login-Required: yes" "$luci/cgi-bin/luci/"
expect "LuCI refused login" "HTTP/1.1 403" -d luci_username=root -d luci_password=guess \
  "$luci/cgi-bin/luci/"
expect "LuCI login" "Set-Cookie: sysauth_http=" -d luci_username=root -d luci_password=open-1 \
  "$luci/cgi-bin/luci/"
rpc='{"jsonrpc":"2.0","id":1,"method":"call","params":["00000000000000000000000000000000",'
expect "LuCI JSON-RPC login" '"ubus_rpc_session"' -H 'Content-Type: application/json' \
  -d "$rpc\"session\",\"login\",{\"username\":\"root\",\"password\":\"open-1\"}]}" "$luci/ubus"
expect "LuCI JSON-RPC without rights" '"code":-32002' -H 'Content-Type: application/json' \
  -d "$rpc\"uci\",\"get\",{\"config\":\"wireless\"}]}" "$luci/ubus"
dd=http://198.18.9.72
expect "DD-WRT status page" "DD-WRT (build 55630) - Info" "$dd/"
expect "DD-WRT credentials" 'WWW-Authenticate: Basic realm="DD-WRT"' "$dd/Wireless_Basic.asp"
expect "DD-WRT page" 'name="wl0_ssid"' -u root:dd-1 "$dd/Wireless_Basic.asp"
expect "DD-WRT post without Referer" "Cross Site Action detected!" -u root:dd-1 \
  -d submit_button=Wireless_Basic -d action=Apply "$dd/apply.cgi"
echo "bed: LuCI and DD-WRT answer as daemons over the link"

# krzpap through the descriptions alone, where the module reads format 2.
[ -e "$bin/krzpap" ] || exit 0
export XDG_STATE_HOME=$tmp/state KRZ_VORTAN_APMODULE_DLLS=krzpapdescriptions.dll
krz() { bed_host_exec env KRZ_NETWORK=system "$bin/krzpap" --log "$tmp/log" -q "$@"; }
krz show 198.18.9.70 -p open-1 >"$tmp/luci.show" || fail "show LuCI on the bed"
grep -q "LuciNet" "$tmp/luci.show" || fail "LuCI: $(cat "$tmp/luci.show")"
krz show 198.18.9.72 -u root -p dd-1 >"$tmp/ddwrt.show" || fail "show DD-WRT on the bed"
grep -q "DdNet" "$tmp/ddwrt.show" || fail "DD-WRT: $(cat "$tmp/ddwrt.show")"
echo "bed: both shown through their descriptions"
