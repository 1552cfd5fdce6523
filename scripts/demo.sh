#!/usr/bin/env bash
# The main job: build everything and run the scripted demo on the built-in emulated network.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release >/dev/null
exec scripts/demo-steps.sh build/release/bin
