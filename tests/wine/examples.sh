#!/usr/bin/env bash
# The Windows installation as a Windows host developer and module author use it: install the
# 64-bit build into a prefix, build the example module and the example host against it with
# mingw-w64 (find_package), and run the host under Wine against a Linux krzlab, with the example
# module named in the module list so that its recognizer takes part in the scan.
# Usage: examples.sh WINDOWS_BUILD_DIR SOURCE_ROOT LINUX_KRZLAB [WINE]
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$2" && pwd)
krzlab=$3
wine=${4:-/usr/lib/wine/wine64}
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
work=$(mktemp -d)
lab_pid=
finish() {
  if [ -n "$lab_pid" ]; then
    "$krzlab" ctl "$KRZ_LAB" shutdown >/dev/null 2>&1 || kill "$lab_pid" 2>/dev/null
    wait "$lab_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
prefix=$work/prefix
# The toolchain file searches packages only below the cross root, so the package's folder is named;
# Boost's headers (header-only here) come from the build machine, as a Windows developer brings
# their own, without the rest of the machine's include folder.
mkdir -p "$work/deps"
ln -s /usr/include/boost "$work/deps/boost"
for example in module host; do
  cmake -S "$root/examples/$example" -B "$work/$example" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" \
    -Dkrzpapconfigu_DIR="$prefix/lib/cmake/krzpapconfigu" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="-isystem $work/deps" >/dev/null
  cmake --build "$work/$example" >/dev/null
done
module=$work/module/krzquillpress.dll
host=$work/host/krzhostexample.exe
file "$module" | grep -q 'PE32+ executable (DLL)' || { echo "no 64-bit module DLL"; exit 1; }
echo "the example module and host built against the Windows installation"

# Wine sees the Linux file system as drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

exec 3< <(exec "$krzlab")
lab_pid=$!
read -r ready <&3
export "${ready?}"
# The host finds the installed DLLs through the path, as an installed program would.
WINEPATH=$(windows_path "$prefix/bin")
KRZ_VORTAN_APMODULE_DLLS="krzpapmodulesu.dll;$(windows_path "$module")"
export WINEPATH KRZ_VORTAN_APMODULE_DLLS
if ! (cd "$work" && "$wine" "$host" >"$work/out.txt" 2>&1); then
  cat "$work/out.txt"
  echo "the example host failed under Wine"
  exit 1
fi
for want in 'Quillpress' 'after the change:'; do
  grep -qF "$want" "$work/out.txt" || { cat "$work/out.txt"; echo "no \"$want\""; exit 1; }
done
echo "the example host ran under Wine: the example module's printer was recognized, and the" \
  "router was renamed by MAC"
