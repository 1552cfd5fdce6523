#!/usr/bin/env bash
# The open firmware emulators of lab/labs/firmware.json (LuCI, DD-WRT, FreshTomato and
# ASUSWRT-Merlin) as daemons on the
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
freshtomato-1 198.18.9.80 02:4b:5a:00:00:80
asuswrt-1 198.18.9.81 02:4b:5a:00:00:81
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
ft=http://198.18.9.80
expect "FreshTomato realm" 'WWW-Authenticate: Basic realm="FreshTomato"' "$ft/"
expect "FreshTomato page" "'wl0_ssid': 'TomatoLab'" -u root:tomato-pass "$ft/basic-network.asp"
id=$(get -u root:tomato-pass "$ft/basic-network.asp" | sed -n "s/.*'http_id': '\(TID[0-9a-f]*\)'.*/\1/p")
[ -n "$id" ] || fail "FreshTomato: no page id"
get -u root:tomato-pass -d _ajax=1 -d _http_id=TID0 -d wl0_ssid=Other "$ft/tomato.cgi" >/dev/null
[ $? -eq 52 ] || fail "FreshTomato: a wrong page id got a reply"
expect "FreshTomato save" "@msg:Settings saved." -u root:tomato-pass -d _ajax=1 -d "_http_id=$id" \
  -d wl0_ssid=BedTomato "$ft/tomato.cgi"
expect "FreshTomato read-back" "'wl0_ssid': 'BedTomato'" -u root:tomato-pass "$ft/basic-network.asp"
as=http://198.18.9.81
expect "ASUSWRT start page" "window.top.location.href='/Main_Login.asp'" "$as/"
expect "ASUSWRT server" "Server: httpd/2.0" "$as/Main_Login.asp"
auth=login_authorization=$(printf 'admin:merlin-pass' | base64)
expect "ASUSWRT login without Referer" "Main_Login.asp" -d "$auth" "$as/login.cgi"
token=$(get -e "$as/Main_Login.asp" -d "$auth" "$as/login.cgi" |
  sed -n 's/^Set-Cookie: asus_token=\([A-Za-z0-9]*\);.*/\1/p')
[ -n "$token" ] || fail "ASUSWRT: no token"
expect "ASUSWRT appGet" '{"wl0_ssid":"MerlinLab"}' -b "asus_token=$token" \
  -e "$as/Advanced_Wireless_Content.asp" "$as/appGet.cgi?hook=nvram_get(wl0_ssid)"
expect "ASUSWRT apply without Referer" "Main_Login.asp" -b "asus_token=$token" \
  -d action_mode=apply -d wl0_ssid=Other "$as/applyapp.cgi"
expect "ASUSWRT apply" '"modify":"1"' -b "asus_token=$token" \
  -e "$as/Advanced_Wireless_Content.asp" -d action_mode=apply -d rc_service=restart_wireless \
  -d wl_unit=0 -d wl_ssid=BedMerlin "$as/applyapp.cgi"
expect "ASUSWRT read-back" '{"wl0_ssid":"BedMerlin"}' -b "asus_token=$token" \
  -e "$as/Advanced_Wireless_Content.asp" "$as/appGet.cgi?hook=nvram_get(wl0_ssid)"
echo "bed: the four firmware answer as daemons over the link"

# krzpap through the descriptions alone, where the module reads format 2.
[ -e "$bin/krzpap" ] || exit 0
export XDG_STATE_HOME=$tmp/state KRZ_VORTAN_APMODULE_DLLS=krzpapdescriptions.dll
krz() { bed_host_exec env KRZ_NETWORK=system "$bin/krzpap" --log "$tmp/log" -q "$@"; }
krz show 198.18.9.70 -p open-1 >"$tmp/luci.show" || fail "show LuCI on the bed"
grep -q "LuciNet" "$tmp/luci.show" || fail "LuCI: $(cat "$tmp/luci.show")"
krz show 198.18.9.72 -u root -p dd-1 >"$tmp/ddwrt.show" || fail "show DD-WRT on the bed"
grep -q "DdNet" "$tmp/ddwrt.show" || fail "DD-WRT: $(cat "$tmp/ddwrt.show")"
krz show 198.18.9.80 -u root -p tomato-pass >"$tmp/tomato.show" || fail "show FreshTomato"
grep -q "BedTomato" "$tmp/tomato.show" || fail "FreshTomato: $(cat "$tmp/tomato.show")"
krz show 198.18.9.81 -u admin -p merlin-pass >"$tmp/asus.show" || fail "show ASUSWRT-Merlin"
grep -q "BedMerlin" "$tmp/asus.show" || fail "ASUSWRT-Merlin: $(cat "$tmp/asus.show")"
echo "bed: the four shown through their descriptions"
