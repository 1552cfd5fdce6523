#!/usr/bin/env bash
# A played recording as a real daemon on the namespace bed: the Acme router recorded from the
# emulated lab (loopback only), then played by 'krzlab serve' in a device namespace, and shown and
# configured there by krzpap with the system backend as the emulator was.
set -u
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/bed.sh"
bed_require
command -v ss >/dev/null || { echo "SKIPPED (NOT RUN): ss is missing."; exit 77; }
bed_begin

# Recorded from a lab of its own, inside the bed's host namespace.
bed_host_exec "$bin/krzlab" >"$tmp/lab.out" 2>&1 &
for i in $(seq 50); do grep -q KRZ_LAB= "$tmp/lab.out" && break; sleep 0.1; done
lab=$(sed -n 's/^KRZ_LAB=//p' "$tmp/lab.out")
[ -n "$lab" ] || fail "the recording lab did not start"
export XDG_STATE_HOME=$tmp/state
emu() { bed_host_exec "$bin/krzpap" --lab "$lab" --log "$tmp/log" -q "$@"; }
emu record 192.168.77.10 -u admin -p gatekeeper -o "$tmp/acme.json" --try-change ssid=Trial ||
  fail "record"
emu show 192.168.77.10 -u admin -p gatekeeper | sed 's/192\.168\.77\.10/198.18.7.10/' \
  >"$tmp/emulated.txt" || fail "show on the emulator"
bed_host_exec "$bin/krzlab" ctl "$lab" shutdown >/dev/null

cat >"$tmp/play.json" <<'LAB'
{"adapters": [{"name": "lab0", "index": 7, "address": "198.18.7.2", "mask": "255.255.255.0",
               "mac": "02:4B:5A:00:00:02"}],
 "devices": [{"name": "played-1", "recording": "acme.json", "address": "198.18.7.10"}]}
LAB
bed_bridge br0 || fail "bridge"
bed_host_adapter h0 198.18.7.2/24 br0 || fail "host adapter"
bed_device played-1 br0 198.18.7.10 02:4b:5a:00:00:10 || fail "device namespace"
bed_daemon played-1 "$bin/krzlab" serve --lab "$tmp/play.json" --device played-1 --iface eth0 \
  >>"$tmp/daemons.log" 2>&1
bed_wait_listen played-1 198.18.7.10 80 || fail "the played recording does not listen"

export KRZ_NETWORK=system
run() { bed_host_exec "$bin/krzpap" --log "$tmp/log" --log-level 2 -q "$@"; }
run show 198.18.7.10 -u admin -p PW-0001 >"$tmp/played.txt" || fail "show on the playback"
diff -u "$tmp/emulated.txt" "$tmp/played.txt" || fail "show differs from the emulator's"
run configure 198.18.7.10 -u admin -p PW-0001 --ssid "Over the bed" | grep -q confirmed ||
  fail "configure on the playback"
run show 198.18.7.10 -u admin -p PW-0001 | grep -q "SSID: *Over the bed" ||
  fail "the change does not read back"
run fetch 198.18.7.10 /not-recorded.htm | head -1 | grep -q " 404 " || fail "no 404"
echo "PASSED"
