#!/bin/sh
# Runs flow.mjs: installs its pinned npm packages (npm ci, once per lock file) into WORK, then
# drives the page of KRZPAP in headless Chromium, screenshots into SHOTS.
# usage: run-flow.sh SOURCE_DIR WORK KRZPAP SHOTS [FLOW]   (FLOW: flow.mjs unless given)
set -eu
src=$1 work=$2 krzpap=$3 shots=$4 flow=${5:-flow.mjs}
for program in node npm /usr/bin/chromium; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "run-flow.sh: $program is missing; scripts/deps.sh installs it" >&2
    exit 1
  fi
done
mkdir -p "$work"
cp "$src/package.json" "$src/package-lock.json" "$src"/*.mjs "$work/"
stamp=$(sha256sum "$src/package-lock.json" | cut -d' ' -f1)
if [ "$(cat "$work/node_modules/.krzpap-stamp" 2>/dev/null || true)" != "$stamp" ]; then
  (cd "$work" && npm ci --no-audit --no-fund --loglevel=error)
  echo "$stamp" >"$work/node_modules/.krzpap-stamp"
fi
rm -rf "$shots"
cd "$work"
exec node "$flow" "$krzpap" "$shots"
