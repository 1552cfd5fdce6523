#!/usr/bin/env bash
# The main job: build krzpap and its lab and run the scripted demo on the built-in emulated
# network. Installs and builds only what the demo needs (scripts/test.sh does the rest).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
launcher=${KRZ_LAUNCHER:-$(command -v ccache || true)}
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DKRZ_BENCH=OFF -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" >/dev/null
cmake --build build/demo -j"$(nproc)" --target krzpap krzlab_program krzpapmodulesu >/dev/null
exec scripts/demo-steps.sh build/demo/bin
