#!/usr/bin/env bash
# The guides cannot go stale: every `sh` block of docs/hosts.md and docs/modules.md runs, in order,
# in an empty folder, against the files of the two Debian packages (unpacked into a prefix of
# their own), with the built-in lab kept in that folder.
set -euo pipefail
build=$1
root=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
for package in "$work"/debs/*.deb; do dpkg-deb -x "$package" "$work/packages"; done
export PREFIX=$work/packages/usr
export KRZ_NETWORK=lab

for guide in hosts modules; do
  folder=$work/$guide
  mkdir "$folder"
  # Each block becomes one script; the blocks of a guide share the folder, as a reader's do.
  awk -v out="$folder/block" '
    /^```sh$/ { n++; inside = 1; next }
    /^```$/   { inside = 0; next }
    inside    { print > (out n ".sh") }' "$root/docs/$guide.md"
  count=$(find "$folder" -name 'block*.sh' | wc -l)
  [ "$count" -gt 0 ] || { echo "docs/$guide.md has no command block"; exit 1; }
  for n in $(seq 1 "$count"); do
    echo "-- docs/$guide.md, block $n"
    sed 's/^/   /' "$folder/block$n.sh"
    (cd "$folder" && HOME=$folder bash -euo pipefail "block$n.sh") >"$work/out" 2>&1 ||
      { cat "$work/out"; echo "docs/$guide.md: block $n failed"; exit 1; }
  done
done
echo "every command block of the guides ran against the packages"
