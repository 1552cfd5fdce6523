#!/usr/bin/env bash
# A router serving HTTPS, reset to its factory address off the host's network, as a daemon on the
# namespace bed: krzpap with the system backend reaches it there over TLS on a connection the
# packet link carries to its MAC (the kernel has no route to it), pins its certificate by that MAC
# on first use, shows and configures it, and after a second reset refuses its new certificate
# until `krzpap trust` accepts it.
#   netns_https_factory.sh BIN
set -u -o pipefail
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/bed.sh"
bed_require
command -v ss >/dev/null || { echo "SKIPPED (NOT RUN): ss is missing."; exit 77; }
bed_begin

dev=198.18.12.10
factory=192.168.1.1
mac=02:4b:5a:00:01:12
cat >"$tmp/lab.json" <<LAB
{"adapters": [{"name": "lab0", "index": 7, "address": "198.18.12.2", "mask": "255.255.255.0",
               "mac": "02:4b:5a:00:00:02"}],
 "devices": [{"name": "https-f", "family": "acme", "model": "AP-100", "firmware": "1.4.2",
              "address": "$dev", "mac": "$mac", "username": "admin", "password": "tls-at-home",
              "wireless": {"ssid": "HomeOverTls", "security": "wpa2-psk", "encryption": "aes",
                           "key": "home-tls-key-1"},
              "factory": {"address": "$factory", "username": "admin", "password": "admin",
                          "wireless": {"ssid": "FactoryTls", "security": "wpa2-psk",
                                       "encryption": "aes", "key": "factory-key-1"}},
              "options": {"https": true, "http": "redirect"}}]}
LAB
bed_bridge br3 && bed_host_adapter h3 198.18.12.2/24 br3 || fail "the bed"
bed_device https-f br3 "$dev" "$mac" || fail "the device's namespace"
bed_daemon https-f "$bin/krzlab" serve --lab "$tmp/lab.json" --device https-f --iface eth0 \
  >>"$tmp/daemons.log" 2>&1
bed_wait_listen https-f "$dev" 443 || fail "the router: $(cat "$tmp/daemons.log")"

kill -USR1 "$(bed_pid https-f)"
bed_wait_listen https-f "$factory" 443 || fail "the router did not move: $(cat "$tmp/daemons.log")"
bed_host_exec ip route get "$factory" >/dev/null 2>&1 &&
  fail "the host namespace has a route to $factory: the test would not use the packet link"

export XDG_STATE_HOME=$tmp/state
krz() { bed_host_exec "$bin/krzpap" --network system --log "$tmp/log" -q "$@"; }
store=$tmp/state/krzpap/tls-trusted.json
krz --json show "https://$factory" -p admin >"$tmp/show" 2>&1 || fail "show: $(cat "$tmp/show")"
grep -q '"ssid": "FactoryTls"' "$tmp/show" || fail "show over HTTPS: $(cat "$tmp/show")"
grep -qi "mac $mac" "$store" || fail "not pinned by the MAC: $(cat "$store")"
echo "bed: krzpap shows the router at its factory address over a carried TLS connection"

krz configure "https://$factory" -p admin --ssid CarriedTls >"$tmp/configure" 2>&1 ||
  fail "configure: $(cat "$tmp/configure")"
krz --json show "https://$factory" -p admin >"$tmp/show" 2>&1 || fail "show: $(cat "$tmp/show")"
grep -q '"ssid": "CarriedTls"' "$tmp/show" || fail "configure read back: $(cat "$tmp/show")"
echo "bed: krzpap configures it there over HTTPS and reads the change back"

kill -USR1 "$(bed_pid https-f)"
sleep 0.3
krz show "https://$factory" -p admin >"$tmp/refused" 2>&1 &&
  fail "a new certificate was accepted: $(cat "$tmp/refused")"
grep -q "krzpap trust https://$factory" "$tmp/refused" || fail "refusal: $(cat "$tmp/refused")"
krz trust "https://$factory" >"$tmp/trust" 2>&1 || fail "trust: $(cat "$tmp/trust")"
grep -q "\"$factory:" "$store" && fail "pinned by address and port, not by the MAC: $(cat "$store")"
krz --json show "https://$factory" -p admin >"$tmp/show" 2>&1 || fail "show: $(cat "$tmp/show")"
grep -q '"ssid": "FactoryTls"' "$tmp/show" || fail "show after trust: $(cat "$tmp/show")"
echo "bed: its certificate after another reset is refused until trusted"
