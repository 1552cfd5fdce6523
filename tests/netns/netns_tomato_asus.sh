#!/usr/bin/env bash
# The FreshTomato and ASUSWRT-Merlin emulators of lab/labs/firmware.json as daemons on the
# namespace bed, at their real restart and lock times, answered over a real link from the host
# namespace: what a browser meets before and after logging in, and then krzpap through the
# descriptions alone.
#   netns_tomato_asus.sh BIN SOURCE_DIR
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
echo "bed: FreshTomato and ASUSWRT-Merlin answer as daemons over the link"

# krzpap through the descriptions alone, where the module reads format 2.
[ -e "$bin/krzpap" ] || exit 0
export XDG_STATE_HOME=$tmp/state KRZ_VORTAN_APMODULE_DLLS=krzpapdescriptions.dll
krz() { bed_host_exec env KRZ_NETWORK=system "$bin/krzpap" --log "$tmp/log" -q "$@"; }
krz show 198.18.9.80 -u root -p tomato-pass >"$tmp/tomato.show" || fail "show FreshTomato"
grep -q "BedTomato" "$tmp/tomato.show" || fail "FreshTomato: $(cat "$tmp/tomato.show")"
krz show 198.18.9.81 -u admin -p merlin-pass >"$tmp/asus.show" || fail "show ASUSWRT-Merlin"
grep -q "BedMerlin" "$tmp/asus.show" || fail "ASUSWRT-Merlin: $(cat "$tmp/asus.show")"
echo "bed: both shown through their descriptions"
