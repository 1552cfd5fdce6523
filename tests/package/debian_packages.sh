#!/usr/bin/env bash
# The Debian packages as Debian ships libraries: krzpap holds what runs, with run-time dependencies
# only, versioned shared libraries and compressed manual pages; libkrzpapconfigu-dev holds what
# builds hosts and modules.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
runtime=$(echo "$work"/krzpap_*.deb)
development=$(echo "$work"/libkrzpapconfigu-dev_*.deb)
test -f "$runtime" && test -f "$development"

fail=0
contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./||'; }
expect() { # package file-pattern (grep reads the whole listing: -q would end the pipe early)
  contents "$1" | grep -E "$2" >/dev/null || { echo "$(basename "$1") lacks $2"; fail=1; }
}
refuse() { # package file-pattern
  if contents "$1" | grep -E "$2"; then echo "$(basename "$1") holds $2"; fail=1; fi
}
expect "$runtime" '^usr/lib/libkrzpapconfigu\.so\.1$'
expect "$runtime" '^usr/lib/libkrzpapconfigu\.so\.1\.0\.0$'
expect "$runtime" '^usr/lib/libkrzpapmodulesu\.so$'
expect "$runtime" '^usr/lib/libkrzlab\.so$'
expect "$runtime" '^usr/lib/libkrzpapdescriptions\.so$'
expect "$runtime" '^usr/share/krzpap/descriptions/acme\.json$'
expect "$runtime" '^usr/share/krzpap/descriptions/acme/acme-1\.recording\.json$'
expect "$runtime" '^usr/share/krzpap/descriptions/acme/acme-1\.show\.txt$'
expect "$runtime" '^usr/share/krzpap/check-description\.sh$'
expect "$runtime" '^usr/share/krzpap/krzpap-description\.schema\.json$'
expect "$runtime" '^usr/bin/krzpap$'
expect "$runtime" '^usr/bin/krzlab$'
expect "$runtime" '^usr/share/man/man1/krzpap\.1\.gz$'
refuse "$runtime" '^usr/include/|\.pc$|^usr/lib/cmake/|^usr/lib/libkrzpapconfigu\.so$|man1/.*\.1$'
expect "$development" '^usr/include/krzpapconfigu/core/KRZPAPModule\.h$'
expect "$development" '^usr/lib/pkgconfig/krzpapconfigu\.pc$'
expect "$development" '^usr/lib/cmake/krzpapconfigu/krzpapconfiguConfig\.cmake$'
expect "$development" '^usr/lib/libkrzpapconfigu\.so$'
expect "$development" '^usr/share/doc/krzpapconfigu/modules\.md$'
expect "$development" '^usr/share/doc/krzpapconfigu/api/html/index\.html$'
expect "$development" '^usr/share/doc/krzpapconfigu/api/html/class_k_r_z_p_a_p_configurator\.html$'
refuse "$development" '^usr/bin/|\.so\.1'
for package in "$runtime" "$development"; do
  name=$(dpkg-deb -f "$package" Package)
  expect "$package" "^usr/share/doc/$name/copyright\$"
  expect "$package" "^usr/share/doc/$name/changelog\.gz\$"
done
if dpkg-deb -f "$runtime" Depends | grep -q 'dev\b'; then
  echo "krzpap depends on a development package: $(dpkg-deb -f "$runtime" Depends)"
  fail=1
fi
dpkg-deb -f "$development" Depends | grep -q 'krzpap (= ' ||
  { echo "libkrzpapconfigu-dev does not depend on its krzpap"; fail=1; }
# Debian's own checker: no error (its warnings about the run-time loaded, unversioned module and
# lab libraries are expected).
if command -v lintian >/dev/null; then
  lintian --fail-on error "$runtime" "$development" ||
    { echo "lintian reports errors"; fail=1; }
else
  echo "lintian is not installed: the packages were not checked by it" >&2
  fail=1
fi
[ "$fail" -eq 0 ] || exit 1
echo "krzpap: $(dpkg-deb -f "$runtime" Depends)"
echo "two Debian packages, split as Debian ships libraries"
