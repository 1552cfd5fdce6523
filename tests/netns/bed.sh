#!/usr/bin/env bash
# The namespace test bed, sourced by the bed's tests and the sweep benchmark. Everything it makes
# lives in network namespaces it creates itself (names start with $BED_TAG) and is deleted on exit,
# also when a test fails: the host namespace holds only loopback and its veths, the bridges live in
# a switch namespace, each device in a namespace of its own. Nothing here touches the machine's own
# adapters, routes or neighbour table.
#
#   bed_require                    exits 77 (SKIPPED, loudly) without root or a working `ip netns`
#   bed_start                      the switch and host namespaces; cleanup is trapped
#   bed_bridge BR                  a bridge in the switch namespace
#   bed_host_adapter IF ADDR/LEN BR   a veth in the host namespace, its peer on bridge BR
#   bed_device NAME BR ADDR MAC    a device namespace NAME on bridge BR (interface "eth0")
#   bed_daemon NAME CMD...         runs CMD inside device namespace NAME in the background
#   bed_host_exec CMD...           runs CMD inside the host namespace
#   bed_pid NAME                   the pid of the daemon started for NAME
#   bed_default_lab BIN DIR        the default lab's devices as krzlab daemons on the bed (below)
#   bed_https_device BIN DIR       one router serving HTTPS (and a redirect on port 80) as a daemon

BED_TAG=${BED_TAG:-kb$$}
BED_SW=${BED_TAG}sw
BED_HOST=${BED_TAG}h
BED_NS=()
declare -A BED_PIDS=()
BED_SEQ=0

bed_require() {
  if [ "$(id -u)" -ne 0 ] || ! ip netns list >/dev/null 2>&1; then
    echo "SKIPPED (NOT RUN): the namespace test bed needs root and a working 'ip netns'." >&2
    exit 77
  fi
}

bed_cleanup() {
  local pid ns
  for pid in "${BED_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for ns in "${BED_NS[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill "$pid" 2>/dev/null; done
  done
  sleep 0.1
  for ns in "${BED_NS[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
    ip netns del "$ns" 2>/dev/null
  done
  BED_NS=()
}

bed_start() {
  trap 'bed_cleanup' EXIT
  trap 'exit 130' INT TERM
  if ! ip netns add "$BED_SW"; then
    echo "SKIPPED (NOT RUN): cannot create network namespaces here." >&2
    exit 77
  fi
  BED_NS+=("$BED_SW")
  ip netns add "$BED_HOST" || return 1
  BED_NS+=("$BED_HOST")
  ip -n "$BED_SW" link set lo up
  ip -n "$BED_HOST" link set lo up
}

# The usual start of a bed test: a scratch folder `tmp` the daemons can read, the bed, and both
# removed at exit. fail MESSAGE then says what failed, with the end of krzpap's log, and exits 1.
bed_begin() {
  tmp=$(mktemp -d)
  chmod 755 "$tmp"
  bed_start
  trap 'bed_cleanup; rm -rf "$tmp"' EXIT
}

fail() {
  echo "FAILED: $*"
  [ -f "$tmp/log" ] && tail -n 30 "$tmp/log"
  exit 1
}

bed_bridge() {
  ip -n "$BED_SW" link add "$1" type bridge &&
    ip -n "$BED_SW" link set "$1" type bridge forward_delay 0 stp_state 0 &&
    ip -n "$BED_SW" link set "$1" up
}

# veth pairs are made inside the switch namespace, then one end is moved: no name ever exists in
# the machine's own namespace.
bed_veth() {  # bed_veth NS IFNAME BR
  BED_SEQ=$((BED_SEQ + 1))
  local peer=p${BED_SEQ}
  ip -n "$BED_SW" link add "$peer" type veth peer name "t${BED_SEQ}" &&
    ip -n "$BED_SW" link set "t${BED_SEQ}" netns "$1" &&
    ip -n "$1" link set "t${BED_SEQ}" name "$2" &&
    ip -n "$BED_SW" link set "$peer" master "$3" &&
    ip -n "$BED_SW" link set "$peer" up
}

bed_host_adapter() {
  bed_veth "$BED_HOST" "$1" "$3" &&
    ip -n "$BED_HOST" addr add "$2" dev "$1" &&
    ip -n "$BED_HOST" link set "$1" up
}

bed_device() {  # NAME BR ADDR MAC
  local ns=${BED_TAG}-$1
  ip netns add "$ns" || return 1
  BED_NS+=("$ns")
  ip -n "$ns" link set lo up &&
    bed_veth "$ns" eth0 "$2" &&
    ip -n "$ns" link set eth0 address "$4" &&
    ip -n "$ns" addr add "$3/24" dev eth0 &&
    ip -n "$ns" link set eth0 up
}

bed_device_ns() { echo "${BED_TAG}-$1"; }

bed_daemon() {  # NAME CMD...
  local name=$1
  shift
  ip netns exec "${BED_TAG}-$name" "$@" &
  BED_PIDS[$name]=$!
}

bed_pid() { echo "${BED_PIDS[$1]}"; }

bed_host_exec() { ip netns exec "$BED_HOST" "$@"; }

# Waits until TCP port $3 listens at $2 in device namespace $1 (at most 5 s).
bed_wait_listen() {
  local i
  for i in $(seq 50); do
    ip netns exec "${BED_TAG}-$1" ss -ltnH "src $2:$3" 2>/dev/null | grep -q . && return 0
    sleep 0.1
  done
  return 1
}

# The default lab on 198.18.7.0/24 (br0, host adapter h0 198.18.7.2), except the Borealis router
# on a second network and bridge (br1, h1 198.18.8.2); both Corvid routers of one model; a printer,
# a host without a web server and one that answers ARP but never completes a TCP handshake. Each
# router listens when this returns. The lab description is DIR/lab.json, daemon output
# DIR/daemons.log.
bed_default_lab() {  # BIN DIR
  local bin=$1 dir=$2 name br addr mac d
  "$bin/krzlab" dump default | sed -e 's/192\.168\.77\.20"/198.18.8.20"/g' \
    -e 's/192\.168\.77\./198.18.7./g' -e 's/"CV-10"/"CV-20"/' >"$dir/lab.json" || return 1
  bed_bridge br0 && bed_bridge br1 || return 1
  bed_host_adapter h0 198.18.7.2/24 br0 && bed_host_adapter h1 198.18.8.2/24 br1 || return 1
  while read -r name br addr mac; do
    bed_device "$name" "$br" "$addr" "$mac" || return 1
    bed_daemon "$name" "$bin/krzlab" serve --lab "$dir/lab.json" --device "$name" --iface eth0 \
      >>"$dir/daemons.log"
  done <<'DEVICES'
acme-1 br0 198.18.7.10 02:4b:5a:00:00:10
borealis-1 br1 198.18.8.20 02:4b:5a:00:00:20
corvid-1 br0 198.18.7.30 02:4b:5a:00:00:30
corvid-2 br0 198.18.7.31 02:4b:5a:00:00:31
printer-1 br0 198.18.7.40 02:4b:5a:00:00:40
nohttp-1 br0 198.18.7.50 02:4b:5a:00:00:50
DEVICES
  bed_device silent-1 br0 198.18.7.60 02:4b:5a:00:00:60 || return 1
  bed_daemon silent-1 "$bin/krzlab" serve --lab "$dir/lab.json" --device printer-1 \
    --address 198.18.7.60 --fault silent >>"$dir/daemons.log"
  for d in acme-1:198.18.7.10 borealis-1:198.18.8.20 corvid-1:198.18.7.30 corvid-2:198.18.7.31; do
    bed_wait_listen "${d%%:*}" "${d#*:}" 80 || return 1
  done
}

# One router that serves HTTPS as a daemon, on 198.18.10.0/24 (br2, host adapter h2 198.18.10.2):
# https-1 at 198.18.10.10, its certificate made by the lab, port 80 redirecting to port 443. It
# listens on both ports when this returns. Lab description DIR/https-lab.json, output
# DIR/daemons.log.
bed_https_device() {  # BIN DIR
  local bin=$1 dir=$2
  cat >"$dir/https-lab.json" <<'LAB'
{"adapters": [{"name": "lab0", "index": 7, "address": "198.18.10.2", "mask": "255.255.255.0",
               "mac": "02:4b:5a:00:00:02"}],
 "devices": [{"name": "https-1", "family": "acme", "model": "AP-100", "firmware": "1.4.2",
              "address": "198.18.10.10", "mac": "02:4b:5a:00:01:10", "username": "admin",
              "password": "tls-on-the-bed",
              "wireless": {"ssid": "BedOverTls", "security": "wpa2-psk", "encryption": "aes",
                           "key": "bed-tls-key-1"},
              "options": {"https": true, "http": "redirect"}}]}
LAB
  bed_bridge br2 && bed_host_adapter h2 198.18.10.2/24 br2 || return 1
  bed_device https-1 br2 198.18.10.10 02:4b:5a:00:01:10 || return 1
  bed_daemon https-1 "$bin/krzlab" serve --lab "$dir/https-lab.json" --device https-1 --iface eth0 \
    >>"$dir/daemons.log" 2>&1
  bed_wait_listen https-1 198.18.10.10 80 && bed_wait_listen https-1 198.18.10.10 443
}
