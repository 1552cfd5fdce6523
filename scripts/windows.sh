#!/usr/bin/env bash
# The Windows builds, cross-compiled with Debian's mingw-w64, and their tests under Wine:
#   build/win32: the 32-bit DLLs and programs (krzpapconfigu.dll, krzpapmodulesu.dll, krzpap.exe,
#                the host library stand-ins, TqvRes.dll, the lab backend krzlab.dll), with a check
#                that both DLLs are 32-bit and export only the library's classes, and the unit and
#                loopback tests, run under Debian's 32-bit Wine in a 32-bit Windows prefix;
#   build/win64: the same for 64-bit Windows, run under wine64, and the examples built against
#                the installation.
# Both run krzpap.exe end to end against the Linux krzlab (needs build/release first).
# Usage: windows.sh [build|test]   (test, the default, builds first)
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-test}
jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

linux_krzlab=$PWD/build/release/bin/krzlab
e2e=()
if [ -x "$linux_krzlab" ]; then
  e2e=(-DKRZ_LINUX_KRZLAB="$linux_krzlab")
fi

cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON "${e2e[@]}" "${launcher[@]}" >/dev/null
cmake --build build/win32 -j"$jobs"

# Both DLLs are 32-bit Windows libraries; the library exports its classes (and the scan's
# host-cancel guard of the krzp namespaces, which the device service uses) and nothing else.
for dll in krzpapconfigu krzpapmodulesu; do
  file "build/win32/bin/$dll.dll" | grep -q 'PE32 executable (DLL).*Intel 80386' ||
    { echo "$dll.dll is not a 32-bit Windows DLL" >&2; exit 1; }
done
exports() {
  i686-w64-mingw32-objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    awk '/^\t\[/ {print $NF}'
}
others=$(exports build/win32/bin/krzpapconfigu.dll | c++filt |
  grep -vE '(^|[ :])(KRZP[A-Za-z]*|krzp[a-z]*|ci_char_traits)(::|$| )' || true)
if [ -n "$others" ]; then
  echo "krzpapconfigu.dll exports more than the library's classes:" >&2
  echo "$others" >&2
  exit 1
fi
echo "krzpapconfigu.dll: $(exports build/win32/bin/krzpapconfigu.dll | wc -l) exports, all of" \
  "the library's classes"
# The modules register themselves while they load: they export nothing.
for module in krzpapmodulesu krzpapdescriptions; do
  if [ -n "$(exports build/win32/bin/$module.dll)" ]; then
    echo "$module.dll exports symbols:" >&2
    exports build/win32/bin/$module.dll | head >&2
    exit 1
  fi
done

cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${e2e[@]}" "${launcher[@]}" >/dev/null
cmake --build build/win64 -j"$jobs"

if [ "$what" = test ]; then
  scripts/deps.sh wine32
  # One Wine server for each build's whole run, so that each program does not start its own; the
  # 32-bit build's prefix is a 32-bit Windows. The two builds run side by side, one per core, each
  # in its own prefix; each one's output is shown whole when both have ended.
  logs=$(mktemp -d)
  (export WINEDEBUG=-all WINEPREFIX=$PWD/build/win32/wineprefix WINEARCH=win32
   ctest --test-dir build/win32 -L wine --output-on-failure) >"$logs/win32" 2>&1 &
  win32=$!
  (export WINEDEBUG=-all WINEPREFIX=$PWD/build/win64/wineprefix
   ctest --test-dir build/win64 -L wine --output-on-failure) >"$logs/win64" 2>&1 &
  win64=$!
  status=0
  wait "$win32" || status=1
  wait "$win64" || status=1
  cat "$logs/win32" "$logs/win64"
  rm -rf "$logs"
  exit "$status"
fi
