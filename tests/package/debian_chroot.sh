#!/usr/bin/env bash
# The Debian packages as a new user meets them, in a fresh Debian made by debootstrap from Debian's
# packages: the packages of 1.0.0 (everything in krzpap, in /usr/lib) are installed and used, then
# upgraded to this build's three packages and used again (krzpap scans the built-in lab, which needs
# the modules and the lab library from their private folder; a host reads the version; pkg-config
# finds both .pc files with no path set), ldconfig stays silent on every run, and a purge leaves
# nothing behind.
# The 1.0.0 packages for amd64 are kept beside this script (previous-1.0.0/, as built from that
# commit), so that no run builds them; on another architecture they are built once from the commit
# and kept under build/debian-chroot/. The Debian root is kept there too (debootstrap's, never
# changed: each run works on an overlay of it), so that a second run downloads nothing. Without
# debootstrap the same steps run on this machine itself.
# Usage: debian_chroot.sh BUILD SOURCE
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
cache=$source/build/debian-chroot
previous_commit=40b2798
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null |
  head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}
mkdir -p "$cache"
work=$(mktemp -d "$cache/run.XXXXXX")
target=
cleanup() {
  if [ -n "$target" ]; then
    umount "$target/proc" 2>/dev/null || true
    umount "$target" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The 1.0.0 packages, built once from that commit with what a package holds (no tests).
previous=$(dirname "$0")/previous-1.0.0
if ! ls "$previous"/*_"$(dpkg --print-architecture)".deb >/dev/null 2>&1; then
  previous=$cache/previous-$previous_commit
fi
if ! ls "$previous"/*.deb >/dev/null 2>&1; then
  echo "-- building the $previous_commit packages once (kept in $previous)"
  tree=$cache/previous-source
  rm -rf "$tree" && mkdir -p "$tree"
  git -C "$source" archive "$previous_commit" | tar -x -C "$tree"
  launcher=$(command -v ccache || true)
  cmake -S "$tree" -B "$tree/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DKRZ_BENCH=OFF ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER="$launcher"} >/dev/null
  cmake --build "$tree/build/release" -j"$(nproc)" >/dev/null
  (cd "$tree/build/release" && cpack -G DEB -B "$work/previous" >/dev/null)
  mkdir -p "$previous" && mv "$work"/previous/*.deb "$previous/"
  rm -rf "$tree"
fi
(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)

# The Debian root, with what the packages depend on already in it.
if command -v debootstrap >/dev/null; then
  base=$cache/root-$suite
  if [ ! -d "$base" ]; then
    echo "-- debootstrap $suite from $mirror, once (kept in $base)"
    debootstrap --variant=minbase \
      --include=libstdc++6,libssl3,liblwip0,libcpp-httplib0.11,ieee-data,libboost-dev,pkgconf \
      "$suite" "$base.partial" "$mirror" >"$work/debootstrap.log" 2>&1 ||
      { tail -n 20 "$work/debootstrap.log"; exit 1; }
    mv "$base.partial" "$base"
  fi
  target=$work/root
  mkdir -p "$target" "$work/upper" "$work/scratch"
  mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/scratch" "$target"
  mount -t proc proc "$target/proc"
  inside() { env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root KRZ_NETWORK=lab chroot "$target" "$@"; }
  files=$target/tmp/krz
else
  echo "!! debootstrap is not installed: installing, upgrading and purging on THIS MACHINE" >&2
  echo "!! itself, not in a fresh Debian" >&2
  inside() { env KRZ_NETWORK=lab HOME="$work/home" "$@"; }
  mkdir -p "$work/home"
  files=$work/krz
fi
mkdir -p "$files/old" "$files/new"
cp "$previous"/*.deb "$files/old/"
cp "$work"/debs/*.deb "$files/new/"
at=${files#"${target:-}"}
# The packages of a folder (old, new) as the root sees them.
debs() { (cd "$files/$1" && ls ./*.deb) | sed "s|^\./|$at/$1/|"; }

fail=0
step() { echo "-- $*"; }
# dpkg and ldconfig output, with any ldconfig complaint counted as a failure.
quiet_ldconfig() { # log
  if grep -E 'ldconfig|not an ELF|wrong magic' "$1"; then
    echo "ldconfig complained"; fail=1
  fi
}
uses() { # what: krzpap scans the built-in lab and finds the emulated devices
  inside krzpap scan >"$work/scan" 2>&1 || { cat "$work/scan"; echo "krzpap scan failed $1"; fail=1; }
  grep -q 'Acme' "$work/scan" || { cat "$work/scan"; echo "the scan found no Acme device $1"; fail=1; }
  echo "   krzpap scan $1: $(grep -c 'Acme\|Borealis\|Corvid' "$work/scan") devices of the lab's families"
}

step "install $previous_commit's packages and use them"
# shellcheck disable=SC2046
inside dpkg -i $(debs old) >"$work/dpkg" 2>&1 ||
  { cat "$work/dpkg"; exit 1; }
uses "with $previous_commit's packages"

step "upgrade to this build's packages"
# shellcheck disable=SC2046
inside dpkg -i $(debs new) >"$work/dpkg" 2>&1 || { cat "$work/dpkg"; exit 1; }
quiet_ldconfig "$work/dpkg"
inside ldconfig >"$work/ldconfig" 2>&1
quiet_ldconfig "$work/ldconfig"
[ ! -s "$work/ldconfig" ] || { cat "$work/ldconfig"; fail=1; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for gone in /usr/lib/libkrzpapconfigu.so.1 /usr/lib/libkrzpapmodulesu.so /usr/lib/libkrzlab.so \
  /usr/lib/pkgconfig/krzpapconfigu.pc; do
  if inside test -e "$gone"; then echo "$gone is still there after the upgrade"; fail=1; fi
done
for library in libkrzpapmodulesu libkrzpapdescriptions libkrzlab libTqvRes; do
  if inside ldconfig -p | grep -q "$library"; then
    echo "$library is in the loader's cache"; fail=1
  fi
  inside test -e "/usr/lib/$multiarch/krzpapconfigu/$library.so" ||
    { echo "$library.so is not in the private folder"; fail=1; }
done
uses "after the upgrade"
inside krzlab --help >"$work/krzlab" 2>&1 || { cat "$work/krzlab"; echo "krzlab does not start"; fail=1; }
inside pkg-config --modversion krzpapconfigu krzpapservice >"$work/pc" 2>&1 ||
  { cat "$work/pc"; echo "pkg-config does not find the .pc files"; fail=1; }
[ "$(sort -u "$work/pc")" = "$(dpkg-deb -f "$work"/debs/libkrzpapconfigu-dev_*.deb Version |
  sed 's/-.*//')" ] || { cat "$work/pc"; echo "pkg-config gives another version"; fail=1; }
# A host built here against the build tree, run there against the installed library.
cat >"$work/version.cpp" <<'HOST'
#include <krzpapconfigu/core/KRZPAPVersion.h>
#include <cstdio>
int main() {
    std::printf("%s %d %s\n", KRZPAPVersion::text(), KRZPAPVersion::number(), KRZPAPCONFIGU_VERSION);
    return KRZPAPVersion::number() >= KRZPAPCONFIGU_VERSION_NUMBER ? 0 : 1;
}
HOST
c++ -std=c++17 -I"$build/include" "$work/version.cpp" -L"$build/bin" -l:libkrzpapconfigu.so.1 \
  -o "$files/version"
version=$(dpkg-deb -f "$work"/debs/libkrzpapconfigu-dev_*.deb Version | sed 's/-.*//')
said=$(inside "$at/version") || { echo "the version host failed: $said"; fail=1; }
[ "$said" = "$version $(echo "$version" | awk -F. '{print $1 * 10000 + $2 * 100 + $3}') $version" ] ||
  { echo "the version host says '$said', the package $version"; fail=1; }
echo "   a host reads the version: $said; pkg-config: $(paste -sd' ' "$work/pc")"

step "purge"
inside dpkg --purge krzpap libkrzpapconfigu-dev "$(dpkg-deb -f "$files"/new/libkrzpapconfigu1_*.deb Package)" \
  >"$work/dpkg" 2>&1 || { cat "$work/dpkg"; exit 1; }
quiet_ldconfig "$work/dpkg"
left=$(inside sh -c 'find /usr /etc /var/lib/dpkg/info -name "*krzpap*" -o -name "*krzlab*" -o -name "libkrz*"' || true)
[ -z "$left" ] || { echo "left after the purge:"; echo "$left"; fail=1; }

[ "$fail" -eq 0 ] || exit 1
echo "installed, used, upgraded from $previous_commit and purged in a fresh Debian $suite"
