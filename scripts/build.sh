#!/usr/bin/env bash
# Configures and builds one flavour of the tree: build.sh [release|asan|fuzz].
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
jobs=$(nproc)

case "$flavour" in
  release)
    cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build/release -j"$jobs"
    ;;
  asan)
    cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKRZ_SANITIZE=ON -DKRZ_BENCH=OFF >/dev/null
    cmake --build build/asan -j"$jobs"
    ;;
  fuzz)
    CXX=clang++-14 cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRZ_FUZZ=ON \
      -DKRZ_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/fuzz -j"$jobs"
    ;;
  *)
    echo "usage: build.sh [release|asan|fuzz]" >&2
    exit 2
    ;;
esac
