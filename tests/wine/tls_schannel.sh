#!/usr/bin/env bash
# Starts OpenSSL's s_server on loopback: with an ECDSA and an RSA certificate, as devices make
# them, each serving an 8 MiB file, and one that asks to renegotiate. Then runs the Schannel tests
# under Wine against them, with their ports, the certificates' SHA-256 fingerprints and the file's
# digest in the environment.
# Usage: tls_schannel.sh WINE TEST_PROGRAM [GTEST ARGUMENTS...]
set -euo pipefail
wine=$1
program=$2
shift 2
work=$(mktemp -d)
servers=()
cleanup() {
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
head -c $((8 << 20)) /dev/urandom >body.bin
export KRZ_TLS_BODY_SHA256
KRZ_TLS_BODY_SHA256=$(sha256sum body.bin | cut -d' ' -f1 | tr a-f A-F | sed 's/../&:/g; s/:$//')

# serve KIND KEY-OPTIONS... [-- SERVER-OPTIONS...]: a self-signed certificate and a server for
# it (reading the function's input), in the background; sets KRZ_TLS_<KIND>_*.
serve() {
  local kind=$1 port key=() extra=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do key+=("$1"); shift; done
  [ $# -gt 0 ] && shift && extra=("$@")
  openssl req -x509 -newkey "${key[@]}" -nodes -keyout "$kind.key" -out "$kind.pem" -days 2 \
    -subj "/CN=device-$kind" 2>/dev/null
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  openssl s_server -accept "127.0.0.1:$port" -cert "$kind.pem" -key "$kind.key" "${extra[@]}" \
    <&0 >"$kind.log" 2>&1 &
  servers+=($!)
  export "KRZ_TLS_${kind}_PORT=$port"
  export "KRZ_TLS_${kind}_FINGERPRINT=$(openssl x509 -in "$kind.pem" -noout -fingerprint -sha256 |
    cut -d= -f2)"
  # Ready when it accepts.
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "s_server for $kind did not start" >&2
  cat "$kind.log" >&2
  exit 1
}
serve RSA rsa:2048 -- -quiet -WWW </dev/null
# The ECDSA server shows the RSA certificate to a client that names device.lan (SNI).
serve EC ec -pkeyopt ec_paramgen_curve:P-256 -- -quiet -WWW -servername device.lan \
  -cert2 RSA.pem -key2 RSA.key </dev/null
# One that asks for a client certificate, which the session does without.
serve ASKING ec -pkeyopt ec_paramgen_curve:P-256 -- -quiet -WWW -verify 1 </dev/null

# A server that asks to renegotiate once a client finished its handshake: s_server takes "r" on
# its input, given when its log shows the client's Finished.
mkfifo renegotiate.in
exec 4<>renegotiate.in
serve RENEGOTIATE ec -pkeyopt ec_paramgen_curve:P-256 -- -no_tls1_3 -msg <renegotiate.in
(until grep -q '^<<< .*Finished' RENEGOTIATE.log; do sleep 0.05; done; echo r >&4) &
servers+=($!)

"$wine" "$program" "$@"
