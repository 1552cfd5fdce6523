#!/usr/bin/env bash
# The system backend over a real link: two network namespaces joined by a veth pair, nginx as a
# web host in one, krzpap with KRZ_NETWORK=system in the other. Nothing here touches the
# machine's own adapters: every packet stays on the veth pair.
set -u
bin=$1

if [ "$(id -u)" -ne 0 ] || ! ip netns list >/dev/null 2>&1; then
  echo "SKIPPED (NOT RUN): the network namespace test needs root and a working 'ip netns'."
  exit 77
fi
if ! command -v nginx >/dev/null; then
  echo "SKIPPED (NOT RUN): nginx is missing (scripts/deps.sh installs nginx-light)."
  exit 77
fi

tag=krz$$
host=${tag}h
dev=${tag}d
tmp=$(mktemp -d)
chmod 755 "$tmp"
cleanup() {
  [ -f "$tmp/nginx.pid" ] && kill "$(cat "$tmp/nginx.pid")" 2>/dev/null
  ip netns del "$host" 2>/dev/null
  ip netns del "$dev" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

fail() { echo "FAILED: $*"; [ -f "$tmp/log" ] && tail -n 40 "$tmp/log"; exit 1; }

if ! ip netns add "$host" || ! ip netns add "$dev"; then
  echo "SKIPPED (NOT RUN): cannot create network namespaces here."
  exit 77
fi
ip link add "${tag}a" netns "$host" type veth peer name "${tag}b" netns "$dev" || fail "veth pair"
ip -n "$host" addr add 10.231.7.1/24 dev "${tag}a"
ip -n "$dev" addr add 10.231.7.10/24 dev "${tag}b"
for ns in "$host" "$dev"; do ip -n "$ns" link set lo up; done
ip -n "$host" link set "${tag}a" up
ip -n "$dev" link set "${tag}b" up
devmac=$(ip -n "$dev" -o link show "${tag}b" | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')
[ -n "$devmac" ] || fail "no MAC on the device side"

mkdir -p "$tmp/www"
echo '<html><head><title>Netns Test Device</title></head><body>ok</body></html>' \
  >"$tmp/www/index.html"
cat >"$tmp/nginx.conf" <<CONF
pid $tmp/nginx.pid;
error_log $tmp/nginx-error.log;
events { worker_connections 64; }
http {
  access_log off;
  server { listen 10.231.7.10:80; root $tmp/www; }
}
CONF
# nginx returns once it listens, so the host is ready when this command ends.
ip netns exec "$dev" nginx -c "$tmp/nginx.conf" -p "$tmp" || fail "nginx did not start"

export KRZ_NETWORK=system KRZ_VORTAN_APMODULE_DLLS=krznetnstest.dll
run() { ip netns exec "$host" "$bin/krzpap" --log "$tmp/log" --log-level 3 -q "$@"; }

out=$(run --json scan) || fail "scan exited $?: $out"
echo "$out" | grep -q '"address": "10.231.7.10"' || fail "scan did not find the web host: $out"
echo "$out" | grep -qi "\"mac\": \"$devmac\"" || fail "scan reported another MAC: $out"
echo "$out" | grep -q '"model": "NS-1"' || fail "scan did not recognize the model: $out"

# Finding by MAC over the system backend is the bed's (tests/netns/netns_bed_e2e.sh).
out=$(run fetch 10.231.7.10 /) || fail "fetch exited $?"
echo "$out" | grep -q "Netns Test Device" || fail "fetch did not read the page: $out"

echo "netns system backend: scan and fetch passed"
