#!/usr/bin/env bash
# A router serving HTTPS with the certificate the lab made for it, as a daemon on the namespace
# bed: curl meets its redirect and its TLS port, krzpap with the system backend shows it over
# HTTPS, and after the router's own factory reset (SIGUSR1) its new certificate is refused until
# `krzpap trust` accepts it.
#   netns_https.sh BIN
set -u -o pipefail
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/bed.sh"
bed_require
command -v ss >/dev/null || { echo "SKIPPED (NOT RUN): ss is missing."; exit 77; }
command -v curl >/dev/null || { echo "SKIPPED (NOT RUN): curl is missing."; exit 77; }
bed_begin
bed_https_device "$bin" "$tmp" || fail "the HTTPS router: $(cat "$tmp/daemons.log")"

dev=198.18.10.10
get() { bed_host_exec curl --noproxy '*' -s -i --max-time 10 "$@"; }
get "http://$dev/wireless.htm" | grep -q "^Location: https://$dev/wireless.htm" ||
  fail "port 80 does not redirect to HTTPS"
get -k "https://$dev/" | grep -q '^HTTP/1.1 401' || fail "no answer over HTTPS"
get "https://$dev/" >/dev/null && fail "curl trusted a self-signed certificate"
echo "bed: the router redirects port 80 and serves HTTPS"

export XDG_STATE_HOME=$tmp/state
krz() { bed_host_exec "$bin/krzpap" --network system --log "$tmp/log" -q "$@"; }
krz show "https://$dev" -p tls-on-the-bed >"$tmp/show" 2>&1 || fail "show: $(cat "$tmp/show")"
grep -q "BedOverTls" "$tmp/show" || fail "show over HTTPS: $(cat "$tmp/show")"

kill -USR1 "$(bed_pid https-1)"
sleep 0.2
krz show "https://$dev" -p tls-on-the-bed >"$tmp/refused" 2>&1 &&
  fail "a new certificate was accepted: $(cat "$tmp/refused")"
grep -q "krzpap trust https://$dev" "$tmp/refused" || fail "refusal: $(cat "$tmp/refused")"
krz trust "https://$dev" >"$tmp/trust" 2>&1 || fail "trust: $(cat "$tmp/trust")"
krz show "https://$dev" -p tls-on-the-bed >"$tmp/show" 2>&1 || fail "show: $(cat "$tmp/show")"
echo "bed: krzpap shows the router over HTTPS, refuses its new certificate until trusted"
