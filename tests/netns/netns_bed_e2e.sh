#!/usr/bin/env bash
# The whole job over a real link, inside the namespace bed only: the default lab's devices run as
# krzlab daemons in device namespaces on two bridges, krzpap runs with the system backend in the
# host namespace, whose only adapters are loopback and two veths. Checks: the scan over both
# adapters, show and configure per family with read-back (kernel and carried connections), the
# factory reset of two Corvid routers of one model to one address, both found by find and each
# configured by MAC, frames carried to the chosen MAC only (tshark), the host namespace's routes,
# neighbours and addresses unchanged by carried connections, and Ctrl-C during a carried
# connection. CTest runs it twice: with the default module, and with the description module alone
# (KRZ_VORTAN_APMODULE_DLLS=krzpapdescriptions.dll).
set -u
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/bed.sh"
bed_require
for tool in tshark ss; do
  command -v $tool >/dev/null || { echo "SKIPPED (NOT RUN): $tool is missing."; exit 77; }
done
bed_begin

bed_default_lab "$bin" "$tmp" || fail "the default lab on the bed"

export KRZ_NETWORK=system
run() { bed_host_exec "$bin/krzpap" --log "$tmp/log" --log-level 2 -q "$@"; }
# The kernel ages its neighbour entries by itself (REACHABLE, STALE, ...): their state is left out.
state() {
  for what in route neigh addr; do bed_host_exec ip -o $what show; done |
    sed -E 's/ (REACHABLE|STALE|DELAY|PROBE)[[:space:]]*$//' | sort
}

# Every adapter in one run: three routers on h0, one on h1, not the printer nor the bare address.
out=$(run --json scan) || fail "scan exited $?: $out"
for expect in '198.18.7.10.*02:4B:5A:00:00:10.*AP-100.*Acme' \
  '198.18.8.20.*02:4B:5A:00:00:20.*BR-5400.*Borealis' \
  '198.18.7.30.*02:4B:5A:00:00:30.*CV-20.*Corvid' '198.18.7.31.*02:4B:5A:00:00:31.*CV-20.*Corvid'; do
  echo "$out" | tr -d '\n ' | sed 's/},{/}\n{/g' | grep -q "$expect" ||
    fail "scan missed $expect: $out"
done
echo "$out" | grep -q '198.18.7.40\|198.18.7.50\|198.18.7.60' &&
  fail "scan reported the printer, the bare or the silent address"
echo "scan: 4 routers on two adapters"
# Run again with the description module as the module list: its descriptions did the work.
if [ "${KRZ_VORTAN_APMODULE_DLLS:-}" = krzpapdescriptions.dll ]; then
  [ "$(grep -c 'Loaded description' "$tmp/log")" -ge 3 ] || fail "descriptions not loaded"
  echo "scan: the families came from their descriptions"
fi

# Show and configure with read-back: Acme by kernel connections, Borealis carried by MAC.
run configure 198.18.7.10 -u admin -p gatekeeper --ssid BedAcme >/dev/null || fail "configure acme"
run --json show 198.18.7.10 -u admin -p gatekeeper | grep -q '"ssid": "BedAcme"' ||
  fail "acme read-back"
run configure 198.18.8.20 --mac 02:4b:5a:00:00:20 -u root -p northwind --ssid BedBorealis \
  >/dev/null || fail "configure borealis by MAC"
run --json show 198.18.8.20 --mac 02:4b:5a:00:00:20 -u root -p northwind |
  grep -q '"ssid": "BedBorealis"' || fail "borealis read-back"
echo "show and configure: Acme (kernel), Borealis (carried) read back"

# A Corvid router reset to its factory address, outside every adapter's network: found there, and
# shown without --mac (krzpap asks ARP for the MAC itself).
kill -USR1 "$(bed_pid corvid-2)"
bed_wait_listen corvid-2 10.0.0.138 80 || fail "corvid-2 did not move"
out=$(run --json find 02:4b:5a:00:00:31) || fail "find exited $?: $out"
echo "$out" | grep -q '"address": "10.0.0.138"' || fail "find did not locate corvid-2: $out"
run --json show 10.0.0.138 | grep -q '"ssid": "corvid"' || fail "show at the factory address"
echo "find and show: corvid-2 at its factory address"

# Then the other one too: two routers of one model at one address, both found, each reached by
# its MAC; without one krzpap says that several answer.
kill -USR1 "$(bed_pid corvid-1)"
bed_wait_listen corvid-1 10.0.0.138 80 || fail "corvid-1 did not move"

out=$(run --json find 02:4b:5a:00:00:30 02:4b:5a:00:00:31) || fail "find both exited $?: $out"
[ "$(echo "$out" | grep -c '"address": "10.0.0.138"')" -eq 2 ] ||
  fail "find did not locate both Corvid routers at 10.0.0.138: $out"
out=$(run show 10.0.0.138 2>&1)
code=$?
[ $code -eq 1 ] && echo "$out" | grep -q "several devices answer at 10.0.0.138" ||
  fail "show without --mac at the shared address: exit $code: $out"
echo "find: both Corvid routers at 10.0.0.138; without --mac: several devices answer"

before=$(state)
ip netns exec "$BED_HOST" tshark -i h0 -f "tcp and host 10.0.0.138" -w "$tmp/carried.pcap" \
  >/dev/null 2>&1 &
capture=$!
# dumpcap writes the file's header once it captures.
for _ in $(seq 50); do [ -s "$tmp/carried.pcap" ] && break; sleep 0.1; done
sleep 0.2
run configure 10.0.0.138 --mac 02:4b:5a:00:00:31 --ssid Bed31 >"$tmp/configure.out" 2>&1 &
job=$!
sleep 0.3
during=$(state)
wait $job || fail "configure corvid-2 by MAC: $(cat "$tmp/configure.out")"
run --json show 10.0.0.138 --mac 02:4b:5a:00:00:31 | grep -q '"ssid": "Bed31"' ||
  fail "corvid-2 read-back"
sleep 0.5
kill -INT $capture
wait $capture
after=$(state)
[ "$before" = "$during" ] && [ "$before" = "$after" ] ||
  fail "the host namespace changed: $(diff <(echo "$before") <(echo "$after"))"
frames=$(tshark -r "$tmp/carried.pcap" -Y "ip.dst == 10.0.0.138" -T fields -e eth.dst 2>/dev/null)
[ -n "$frames" ] || fail "no carried frame was captured"
echo "$frames" | grep -qv '^02:4b:5a:00:00:31$' && fail "a frame went to another MAC: $frames"
run --json show 10.0.0.138 --mac 02:4b:5a:00:00:30 | grep -q '"ssid": "corvid"' ||
  fail "corvid-1 changed too"
run configure 10.0.0.138 --mac 02:4b:5a:00:00:30 --ssid Bed30 >/dev/null || fail "configure corvid-1"
run --json show 10.0.0.138 --mac 02:4b:5a:00:00:30 | grep -q '"ssid": "Bed30"' ||
  fail "corvid-1 read-back"
run --json show 10.0.0.138 --mac 02:4b:5a:00:00:31 | grep -q '"ssid": "Bed31"' ||
  fail "corvid-2 changed by corvid-1's configuration"
[ "$before" = "$(state)" ] || fail "the host namespace changed: $(diff <(echo "$before") <(state))"
echo "factory address: corvid-2 configured by MAC ($(echo "$frames" | wc -l) frames, all to it)," \
  "then corvid-1; each kept its own; host namespace unchanged"

# Ctrl-C while a carried connection waits for a reply (the device is frozen).
kill -STOP "$(bed_pid acme-1)"
# ip netns exec becomes krzpap itself, so the signal goes to it.
ip netns exec "$BED_HOST" "$bin/krzpap" --log "$tmp/log" -q fetch 198.18.7.10 / \
  --mac 02:4b:5a:00:00:10 >/dev/null 2>&1 &
job=$!
sleep 1
start=$(date +%s%N)
kill -INT $job
wait $job
code=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
kill -CONT "$(bed_pid acme-1)"
[ $code -eq 6 ] || fail "Ctrl-C during a carried connection exited $code, not 6"
[ $elapsed -lt 2000 ] || fail "Ctrl-C took $elapsed ms"
run fetch 198.18.7.10 / --mac 02:4b:5a:00:00:10 | grep -qi acme || fail "fetch after the cancel"
echo "cancel: exit 6 after $elapsed ms; the next carried fetch works"

# A carried connect that the device refuses reports it as a refused connect does.
out=$(run fetch 198.18.7.50 / --mac 02:4b:5a:00:00:50 2>&1)
code=$?
[ $code -eq 5 ] && echo "$out" | grep -q "refuses connections" || fail "refused carried connect: exit $code: $out"
echo "refused: exit 5 as a refused connection"

# A carried connect that the device never answers stays pending until the caller gives up.
start=$(date +%s%N)
out=$(run fetch 198.18.7.60 / --mac 02:4b:5a:00:00:60 --timeout 1 2>&1)
code=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
[ $code -eq 5 ] && [ $elapsed -ge 1000 ] || fail "silent carried connect: exit $code after $elapsed ms: $out"
echo "silent: exit 5 after $elapsed ms"
echo "netns bed: all checks passed"
