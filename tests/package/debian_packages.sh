#!/usr/bin/env bash
# The Debian packages as Debian ships libraries: libkrzpapconfigu1 holds the versioned libraries in
# the multiarch folder and, in its private folder, the libraries loaded by name; krzpap the programs
# and their compressed manual pages; libkrzpapconfigu-dev what builds hosts and modules. Each has
# its Multi-Arch field, a machine-readable copyright file, and lintian finds neither an error nor a
# warning (what it still says is overridden, with the reason, in packaging/lintian/).
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
library=$(echo "$work"/libkrzpapconfigu1_*.deb)
tools=$(echo "$work"/krzpap_*.deb)
development=$(echo "$work"/libkrzpapconfigu-dev_*.deb)
test -f "$library" && test -f "$tools" && test -f "$development"
lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

fail=0
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./||'; }
expect() { # package file-pattern (grep reads the whole listing: -q would end the pipe early)
  contents "$1" | grep -E "$2" >/dev/null || { echo "$(basename "$1") lacks $2"; fail=1; }
}
refuse() { # package file-pattern
  if contents "$1" | grep -E "$2"; then echo "$(basename "$1") holds $2"; fail=1; fi
}
field() { # package field expected
  [ "$(dpkg-deb -f "$1" "$2")" = "$3" ] ||
    { echo "$(basename "$1"): $2 is '$(dpkg-deb -f "$1" "$2")', not '$3'"; fail=1; }
}
for name in krzpapconfigu krzpapservice krzutil krznetlib krzsettings krzplatform; do
  expect "$library" "^$lib/lib$name\\.so\\.1\$"
  expect "$library" "^$lib/lib$name\\.so\\.1\\.0\\.0\$"
  expect "$development" "^$lib/lib$name\\.so\$"
done
for name in krzpapmodulesu krzlab krzpapdescriptions TqvRes; do
  expect "$library" "^$lib/krzpapconfigu/lib$name\\.so\$"
done
expect "$library" '^usr/share/krzpap/descriptions/acme\.json$'
expect "$library" '^usr/share/krzpap/descriptions/acme/acme-1\.recording\.json$'
expect "$library" '^usr/share/krzpap/descriptions/acme/acme-1\.show\.txt$'
expect "$library" '^usr/share/krzpap/check-description\.sh$'
expect "$library" '^usr/share/krzpap/krzpap-description\.schema\.json$'
# Nothing of ours in the loader's path but the versioned libraries, nothing outside the multiarch
# folder.
refuse "$library" "^$lib/[^/]*\\.so\$|^usr/lib/[^/]*\\.so|^usr/bin/|^usr/include/"
expect "$tools" '^usr/bin/krzpap$'
expect "$tools" '^usr/bin/krzlab$'
expect "$tools" '^usr/share/man/man1/krzpap\.1\.gz$'
expect "$tools" '^usr/share/krzpap/krzpap-output\.schema\.json$'
refuse "$tools" '^usr/lib/|^usr/include/|man1/.*\.1$'
expect "$development" '^usr/include/krzpapconfigu/core/KRZPAPModule\.h$'
expect "$development" '^usr/include/krzpapconfigu/core/KRZPAPVersion\.h$'
expect "$development" "^$lib/pkgconfig/krzpapconfigu\\.pc\$"
expect "$development" "^$lib/pkgconfig/krzpapservice\\.pc\$"
expect "$development" "^$lib/cmake/krzpapconfigu/krzpapconfiguConfig\\.cmake\$"
expect "$development" '^usr/share/doc/krzpapconfigu/modules\.md$'
expect "$development" '^usr/share/doc/krzpapconfigu/api/html/index\.html$'
expect "$development" '^usr/share/doc/krzpapconfigu/api/html/class_k_r_z_p_a_p_configurator\.html$'
refuse "$development" '^usr/bin/|\.so\.1|^usr/lib/[^/]+$|^usr/lib/(pkgconfig|cmake)/'
for package in "$library" "$tools" "$development"; do
  name=$(dpkg-deb -f "$package" Package)
  expect "$package" "^usr/share/doc/$name/copyright\$"
  expect "$package" "^usr/share/doc/$name/changelog\\.Debian\\.gz\$"
  # Machine-readable, MIT for our own files.
  dpkg-deb --fsys-tarfile "$package" | tar -xO "./usr/share/doc/$name/copyright" >"$work/copyright"
  head -n 1 "$work/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    { echo "$name: the copyright file is not machine-readable"; fail=1; }
  grep -A3 '^Files: \*$' "$work/copyright" | grep -q '^License: Expat$' ||
    { echo "$name: our files are not under the MIT (Expat) licence"; fail=1; }
done
field "$library" Multi-Arch same
field "$development" Multi-Arch same
field "$tools" Multi-Arch foreign
field "$library" Section libs
version=$(dpkg-deb -f "$library" Version)
dpkg-deb -f "$tools" Depends | grep -q "libkrzpapconfigu1 (= $version)" ||
  { echo "krzpap does not depend on its libkrzpapconfigu1"; fail=1; }
dpkg-deb -f "$development" Depends | grep -q "libkrzpapconfigu1 (= $version)" ||
  { echo "libkrzpapconfigu-dev does not depend on its libkrzpapconfigu1"; fail=1; }
for package in "$library" "$tools"; do
  if dpkg-deb -f "$package" Depends | grep -q 'dev\b'; then
    echo "$(basename "$package") depends on a development package: $(dpkg-deb -f "$package" Depends)"
    fail=1
  fi
done
# The development name is a linker script that ldconfig recognises and passes by.
dpkg-deb --fsys-tarfile "$development" | tar -xO "./$lib/libkrzpapconfigu.so" | head -c 16 |
  grep -qx '/\* GNU ld script' || { echo "libkrzpapconfigu.so does not open as a GNU ld script"; fail=1; }
dpkg-deb -x "$library" "$work/unpacked" && dpkg-deb -x "$development" "$work/unpacked"
ldconfig -n -v "$work/unpacked/$lib" >/dev/null 2>"$work/ldconfig" || true
[ ! -s "$work/ldconfig" ] || { cat "$work/ldconfig"; echo "ldconfig complains"; fail=1; }
# Debian's own checker: neither an error nor a warning.
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$library" "$tools" "$development" ||
    { echo "lintian reports errors or warnings"; fail=1; }
else
  echo "lintian is not installed: the packages were not checked by it" >&2
  fail=1
fi
[ "$fail" -eq 0 ] || exit 1
echo "libkrzpapconfigu1: $(dpkg-deb -f "$library" Depends)"
echo "krzpap: $(dpkg-deb -f "$tools" Depends)"
echo "three Debian packages, split as Debian ships libraries"
