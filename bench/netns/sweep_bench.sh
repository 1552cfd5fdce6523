#!/usr/bin/env bash
# The sweep on a real link, against other tools, inside the namespace bed only (needs root):
# 100 generated devices run as krzlab daemons, 20, 50 or 100 of them up at a time, one host
# adapter on 198.18.7.0/24. For each count it prints the wall time of our scan (median of three),
# `arp-scan --localnet`, `nmap -sn -PR` and `nmap -p80 --script http-title`, our ratio to the
# floor (the sweep's six 167 ms pauses plus its 2000 ms wait for answers: 3002 ms), and the CPU
# (user+sys) our host process used. Then the same CPU figure for a scan of the 250-device
# generated lab on the emulated network. Not run in CI.
#
#   bench/netns/sweep_bench.sh [BUILD_BIN_DIR]     (default build/release/bin)
set -u
cd "$(dirname "$0")/../.."
bin=$(cd "${1:-build/release/bin}" && pwd)
. tests/netns/bed.sh
bed_require
for tool in arp-scan nmap python3; do
  command -v $tool >/dev/null || { echo "missing $tool (apt-get install arp-scan nmap)"; exit 2; }
done
tmp=$(mktemp -d)
chmod 755 "$tmp"
bed_start
trap 'bed_cleanup; rm -rf "$tmp"' EXIT
floor=3002

"$bin/krzlab" dump generated 100 | sed 's/192\.168\.77\./198.18.7./g' >"$tmp/lab.json"
python3 -c '
import json, sys
for d in json.load(open(sys.argv[1]))["devices"]:
    print(d["name"], d["address"], d["mac"].lower())' "$tmp/lab.json" >"$tmp/devices"
bed_bridge br0
bed_host_adapter h0 198.18.7.2/24 br0
echo "starting $(wc -l <"$tmp/devices") device daemons..."
while read -r name addr mac; do
  bed_device "$name" br0 "$addr" "$mac" || exit 1
  bed_daemon "$name" "$bin/krzlab" serve --lab "$tmp/lab.json" --device "$name" >/dev/null
done <"$tmp/devices"
sleep 2

# Wall milliseconds of a command in the host namespace, then the CPU milliseconds of its process.
measure() {
  local start end
  start=$(date +%s%N)
  bed_host_exec bash -c 'TIMEFORMAT="%U %S"; { time "$@" >/dev/null 2>&1; } 2>'"$tmp/cpu" _ "$@"
  end=$(date +%s%N)
  echo $(((end - start) / 1000000)) "$(awk '{printf "%d", ($1 + $2) * 1000}' "$tmp/cpu")"
}
median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }

export KRZ_NETWORK=system
printf '%-8s %9s %7s %9s %9s %9s %12s %9s\n' devices "scan ms" ratio "cpu ms" arp-scan "nmap -sn" "http-title" "scan cpu%"
for n in ${BENCH_COUNTS:-20 50 100}; do
  i=0
  while read -r name addr mac; do
    i=$((i + 1))
    state=up
    [ $i -gt $n ] && state=down
    ip -n "$(bed_device_ns "$name")" link set eth0 $state
  done <"$tmp/devices"
  sleep 1
  runs=() cpus=()
  for k in 1 2 3; do
    read -r wall cpu < <(measure "$bin/krzpap" -q --log "$tmp/log" --log-level "${BENCH_LOG_LEVEL:-0}" scan)
    runs+=("$wall")
    cpus+=("$cpu")
  done
  ours=$(median3 "${runs[@]}")
  cpu=$(median3 "${cpus[@]}")
  arps=- nmap_sn=- nmap_title=-
  if [ -n "${BENCH_OURS_ONLY:-}" ]; then
    printf '%-8s %9s %7s %9s\n' "$n" "$ours" \
      "$(awk -v a="$ours" -v f=$floor 'BEGIN{printf "%.3f", a / f}')" "$cpu"
    continue
  fi
  read -r arps _ < <(measure arp-scan --localnet -I h0 -q)
  read -r nmap_sn _ < <(measure nmap -n -sn -PR 198.18.7.0/24)
  read -r nmap_title _ < <(measure nmap -n -p80 --script http-title 198.18.7.0/24)
  printf '%-8s %9s %7s %9s %9s %9s %12s %8s%%\n' "$n" "$ours" \
    "$(awk -v a="$ours" -v f=$floor 'BEGIN{printf "%.3f", a / f}')" "$cpu" "$arps" "$nmap_sn" \
    "$nmap_title" "$(awk -v c="$cpu" -v w="$ours" 'BEGIN{printf "%.1f", 100 * c / w}')"
done

[ -n "${BENCH_LOG:-}" ] && cp "$tmp/log" "$BENCH_LOG"
[ -n "${BENCH_OURS_ONLY:-}" ] && exit 0
# The generated lab of 250 devices on the emulated network (no namespace needed, but run here).
"$bin/krzlab" --generated 250 >"$tmp/lab.out" &
labpid=$!
for _ in $(seq 50); do grep -q KRZ_LAB= "$tmp/lab.out" && break; sleep 0.1; done
export $(grep KRZ_LAB= "$tmp/lab.out")
start=$(date +%s%N)
{ TIMEFORMAT="%U %S"; time KRZ_NETWORK=lab "$bin/krzpap" -q --log "$tmp/log" scan >/dev/null 2>&1; } 2>"$tmp/cpu"
wall=$((($(date +%s%N) - start) / 1000000))
kill $labpid
cpu=$(awk '{printf "%d", ($1 + $2) * 1000}' "$tmp/cpu")
echo "generated lab, 250 devices: scan $wall ms, host process cpu $cpu ms" \
  "($(awk -v c="$cpu" -v w="$wall" 'BEGIN{printf "%.1f", 100 * c / w}')%)"
