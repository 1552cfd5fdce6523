#!/usr/bin/env bash
# The round trip of a router the library knows only from data: each family's emulator runs as a
# daemon on the namespace bed and is recorded there by krzpap over the system backend (with one
# tried change, so that the recording holds a submission); each recording is then played back in
# a lab on loopback, and the family's description (the description module alone) must show the
# same settings and give the same configure outcome, confirmed and read back, as on the bed.
set -u -o pipefail
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/bed.sh"
bed_require
command -v ss >/dev/null || { echo "SKIPPED (NOT RUN): ss is missing."; exit 77; }
bed_begin

bed_default_lab "$bin" "$tmp" || fail "the default lab on the bed"
export XDG_STATE_HOME=$tmp/state
export KRZ_VORTAN_APMODULE_DLLS=krzpapdescriptions.dll

# The routers, on the bed and in the playback lab, and their wireless keys. Two things must differ:
# the lab keeps its own network, so the address; and the recording keeps a placeholder for the key,
# as for the password.
families='acme-1 198.18.7.10 192.168.77.10 admin gatekeeper ssid correct horse battery
borealis-1 198.18.8.20 192.168.77.20 root northwind ssid polarlights42
corvid-2 198.18.7.31 192.168.77.31 admin rookery wl_ssid blackfeathers'

# What krzpap printed on the bed (secrets shown), as the lab's playback should print it.
as_lab() { sed -e "s/${1//./\\.}\\b/$2/g" -e "s/^Key: *$3\$/Key:         KEY-0001/"; }

# The log shows each krzpap run loading its modules.
other_module() {
  awk '/Loading AP module DLL/ && !/krzpapdescriptions\.dll/ {found = 1} END {exit !found}' \
    "$tmp/log"
}

# On the bed: record, then show, configure and show again through the descriptions.
bed() {
  bed_host_exec env KRZ_NETWORK=system "$bin/krzpap" --log "$tmp/log" --log-level 2 -q \
    --show-secrets "$@"
}
while read -r -u 3 name addr lab user password field key; do
  bed record "$addr" -u "$user" -p "$password" -o "$tmp/$name.json" \
    --try-change "$field=Round trip" 2>"$tmp/$name.record" ||
    fail "record $name: $(cat "$tmp/$name.record")"
  # Complete, and the tried value went out in a form or a form's query.
  python3 - "$tmp/$name.json" "$field" <<'CHECK' || fail "$name: no complete recording of a change"
import json, sys
from urllib.parse import parse_qsl, urlsplit
recording, field = json.load(open(sys.argv[1])), sys.argv[2]
def sent(request):
    pairs = request.get("form", []) + parse_qsl(urlsplit(request["target"]).query)
    return [field, "Round trip"] in [list(p) for p in pairs]
tried = any(sent(exchange["request"]) for exchange in recording["exchanges"])
sys.exit(0 if recording.get("complete") and tried else 1)
CHECK
  bed show "$addr" -u "$user" -p "$password" | as_lab "$addr" "$lab" "$key" \
    >"$tmp/$name.bed.show" || fail "show $name on the bed"
  bed configure "$addr" -u "$user" -p "$password" --ssid "Round trip $name" |
    as_lab "$addr" "$lab" "$key" >"$tmp/$name.bed.configure" || fail "configure $name on the bed"
  grep -q confirmed "$tmp/$name.bed.configure" || fail "$name: not confirmed on the bed"
  bed show "$addr" -u "$user" -p "$password" | as_lab "$addr" "$lab" "$key" \
    >"$tmp/$name.bed.after" || fail "show $name after configure on the bed"
done 3<<<"$families"
# The descriptions did the work: no other module was loaded.
[ "$(grep -c 'Loaded description' "$tmp/log")" -ge 3 ] || fail "descriptions not loaded"
other_module && fail "a module other than the descriptions was loaded"
echo "bed: 3 families recorded, shown and configured through their descriptions"

# In the lab on loopback (the lab backend): the three recordings as devices.
{
  echo '{"adapters": [{"name": "lab0", "index": 7, "address": "192.168.77.2",'
  echo '   "mask": "255.255.255.0", "mac": "02:4B:5A:00:00:02"}], "devices": ['
  sep=
  while read -r -u 3 name addr lab user password field key; do
    printf '%s{"name": "%s", "recording": "%s.json", "address": "%s"}\n' "$sep" "$name" \
      "$name" "$lab"
    sep=,
  done 3<<<"$families"
  echo ']}'
} >"$tmp/play.json"
"$bin/krzlab" --lab "$tmp/play.json" >"$tmp/lab.out" 2>&1 &
for _ in $(seq 50); do grep -q KRZ_LAB= "$tmp/lab.out" && break; sleep 0.1; done
address=$(sed -n 's/^KRZ_LAB=//p' "$tmp/lab.out")
[ -n "$address" ] || fail "the playback lab did not start: $(cat "$tmp/lab.out")"
played() {
  "$bin/krzpap" --network lab --lab "$address" --log "$tmp/log" --log-level 2 -q --show-secrets "$@"
}
while read -r -u 3 name addr lab user password field key; do
  # The recording keeps a placeholder where the password was.
  played show "$lab" -u "$user" -p PW-0001 >"$tmp/$name.lab.show" || fail "show $name played"
  diff -u "$tmp/$name.bed.show" "$tmp/$name.lab.show" || fail "$name: show differs"
  played configure "$lab" -u "$user" -p PW-0001 --ssid "Round trip $name" \
    >"$tmp/$name.lab.configure" || fail "configure $name played"
  diff -u "$tmp/$name.bed.configure" "$tmp/$name.lab.configure" || fail "$name: configure differs"
  played show "$lab" -u "$user" -p PW-0001 >"$tmp/$name.lab.after" || fail "show $name played after"
  diff -u "$tmp/$name.bed.after" "$tmp/$name.lab.after" || fail "$name: read-back differs"
  grep -q "SSID: *Round trip $name" "$tmp/$name.lab.after" || fail "$name: no read-back"
done 3<<<"$families"
other_module && fail "a module other than the descriptions was loaded"
"$bin/krzlab" ctl "$address" shutdown >/dev/null
echo "round trip: each family's playback shows and configures as its emulator did"
echo "PASSED"
