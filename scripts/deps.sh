#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and demonstrates with, when missing.
set -euo pipefail

# deps.sh demo: what building krzpap and krzlab and running the demo need. deps.sh (no argument):
# also what the tests, the Windows cross-build, the sanitizers and the fuzzers need. deps.sh wine32:
# Debian's 32-bit Wine for the 32-bit Windows tests (the i386 architecture added to dpkg first).
# Wine's TLS (Schannel) runs over GnuTLS, which Wine only recommends: it is named here for each.
demo_packages=(
  build-essential cmake g++ pkg-config
  libboost-dev libssl-dev nlohmann-json3-dev libcli11-dev libvalijson-dev
  ieee-data liblwip-dev
)
test_packages=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev clang-format-14
  curl nginx-light tshark iproute2
  python3-jsonschema dpkg-dev lintian debootstrap abigail-tools arp-scan nmap
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64 wine64 libgnutls30 openssl file doxygen
  chromium nodejs libcpp-httplib-dev ansible-core
)

case "${1:-all}" in
  demo) packages=("${demo_packages[@]}") ;;
  all) packages=("${demo_packages[@]}" "${test_packages[@]}") ;;
  wine32) packages=(wine32:i386 libgnutls30:i386) ;;
  *) echo "usage: deps.sh [demo|wine32]" >&2; exit 2 ;;
esac

missing=()
# The page test's driver comes from npm; a nodejs that brings its own npm needs no other.
if [ "${1:-all}" = all ] && ! command -v npm >/dev/null 2>&1; then
  packages+=(npm)
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
if [ "${1:-all}" = wine32 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
