#!/usr/bin/env bash
# The exported interface of the linked libraries, kept in abi/ as abigail dumps.
#   abi.sh check BUILD   compare BUILD's libraries with the dumps: an incompatible change needs a
#                        new SONAME, any other change a refreshed dump (abi.sh update)
#   abi.sh update BUILD  write the dumps from BUILD's libraries
# Only the public classes' own symbols count (their members, vtables and type information): the
# libraries also export internal symbols, which hosts and modules never see in a header.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=$1
build=$(cd "$2" && pwd)
headers=$build/include/krzpapconfigu
libraries=(krzpapconfigu krzpapservice krzutil krznetlib krzsettings)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The classes that the public headers export, as a pattern over demangled symbol names.
classes=$(grep -rhoE '^(class|struct) +KRZ[A-Z_]*_API +[A-Za-z_0-9]+' "$headers" | awk '{print $3}' |
  sort -u | paste -sd'|')
public_symbols() { # library file
  nm -D --defined-only "$1" | awk '{print $3}' | while read -r symbol; do
    printf '%s %s\n' "$symbol" "$(echo "$symbol" | c++filt)"
  done | grep -E " ((vtable|typeinfo|typeinfo name) for )?($classes)(::| |$)" | awk '{print $1}'
}

dump() { # library output
  local file=$build/bin/lib$1.so.1
  { echo "[abi_whitelist]"; public_symbols "$file" | sed 's/^/  /'; } >"$work/$1.list"
  abidw --headers-dir "$headers" --drop-private-types --no-corpus-path --no-show-locs \
    --no-comp-dir-path --kmi-whitelist "$work/$1.list" --out-file "$2" "$file"
}

status=0
for library in "${libraries[@]}"; do
  case "$mode" in
    update) dump "$library" "abi/lib$library.abi" ;;
    check)
      dump "$library" "$work/lib$library.abi"
      result=0
      abidiff --no-show-locs "abi/lib$library.abi" "$work/lib$library.abi" >"$work/report" ||
        result=$?
      if [ $((result & 1)) -ne 0 ]; then
        cat "$work/report"; echo "abidiff failed on lib$library" >&2; exit 1
      elif [ $((result & 8)) -ne 0 ]; then
        cat "$work/report"
        echo "lib$library: the exported interface changed incompatibly; it needs a new SONAME" \
          "(KRZ_SOVERSION in cmake/KrzInstall.cmake) and then a new dump (scripts/abi.sh update)"
        status=1
      elif [ $((result & 4)) -ne 0 ]; then
        cat "$work/report"
        echo "lib$library: the exported interface grew; refresh the dump (scripts/abi.sh update)"
        status=1
      else
        echo "lib$library: exported interface unchanged"
      fi
      ;;
    *) echo "usage: abi.sh check|update BUILD" >&2; exit 2 ;;
  esac
done
exit $status
