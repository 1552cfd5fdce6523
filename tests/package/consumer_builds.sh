#!/usr/bin/env bash
# The installed package as a module author and a host developer use it, from a prefix that has
# been moved after installation: the example module built with find_package and with pkg-config
# and a plain compiler, a host linked with -lkrzpapconfigu alone, and a scan of the built-in lab in
# which the example module's recognizer claims the lab's printer.
set -euo pipefail
build=$1
root=$2
compiler=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/prefix"
prefix=$work/prefix

cmake -S "$root/examples/module" -B "$work/module" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build "$work/module" >/dev/null
module=$work/module/libkrzquillpress.so
test -f "$module"
echo "the example module built with find_package"

libdir=$prefix/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
export PKG_CONFIG_PATH=$libdir/pkgconfig
mkdir "$work/plain"
# shellcheck disable=SC2046
"$compiler" -std=c++17 -Wall -Wextra -Werror -shared -fPIC $(pkg-config --cflags krzpapconfigu) \
  "$root/examples/module/QuillpressModule.cpp" $(pkg-config --libs krzpapconfigu) \
  -o "$work/plain/libkrzquillpress.so"
cat >"$work/plain/host.cpp" <<'HOST'
#include <krzpapconfigu/core/KRZPAPModule.h>
#include <krzpapconfigu/discovery/KRZPAPScanner.h>
#include <cstdio>
int main() {
    try {
        KRZPAPModule::loadModuleDlls();
        KRZPAPConfiguratorList found = KRZPAPScanner::runScan();
        for (const auto& device : found)
            std::printf("%s %s\n", device->getVendorName().c_str(), device->getModelName().c_str());
    } catch (const KRZPAPCException& e) {
        std::printf("failed: code %d: %ls\n", static_cast<int>(e.getAPCErrorCode()),
                    KRZPAPModule::getModuleLoadFailure().c_str());
        return 1;
    }
    return 0;
}
HOST
# shellcheck disable=SC2046
"$compiler" -std=c++17 -Wall -Wextra -Werror $(pkg-config --cflags krzpapconfigu) \
  "$work/plain/host.cpp" $(pkg-config --libs krzpapconfigu) -o "$work/plain/host"
echo "the example module and a host built with pkg-config and -lkrzpapconfigu alone"

# The module list names the example module beside the shipped one; the host finds the library
# and the lab through the moved prefix.
export LD_LIBRARY_PATH=$libdir
export KRZ_VORTAN_APMODULE_DLLS="krzpapmodulesu.dll;$work/plain/libkrzquillpress.so"
KRZ_NETWORK=lab "$work/plain/host" >"$work/scan.txt"
grep -q '^Quillpress Inkwell 300$' "$work/scan.txt" || { cat "$work/scan.txt"; exit 1; }
grep -q '^Acme ' "$work/scan.txt" || { cat "$work/scan.txt"; exit 1; }
export KRZ_VORTAN_APMODULE_DLLS="krzpapmodulesu.dll"
KRZ_NETWORK=lab "$work/plain/host" >"$work/scan.txt"
if grep -q Quillpress "$work/scan.txt"; then
  echo "the printer was recognized without the example module"
  exit 1
fi
echo "a scan of the lab recognizes the printer only when the module list names the example module"

# A module that does not load is named, with the loader's reason, to a host that has no log.
export KRZ_VORTAN_APMODULE_DLLS="krzpapmodulesu.dll;nosuchmodule.dll"
if KRZ_NETWORK=lab "$work/plain/host" >"$work/scan.txt"; then
  echo "a missing module loaded"
  exit 1
fi
grep -q '^failed: code 5: nosuchmodule.dll: no such file' "$work/scan.txt" ||
  { cat "$work/scan.txt"; exit 1; }
echo "a module that does not load is named with the loader's reason"

# The example host: scans the built-in lab hearing each device as it is found, then opens the Acme
# router by its MAC through the device service and renames its network. Its lab keeps its state in
# a home of its own, not the user's.
cmake -S "$root/examples/host" -B "$work/host" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build "$work/host" >/dev/null
mkdir "$work/home"
export KRZ_VORTAN_APMODULE_DLLS="krzpapmodulesu.dll"
HOME=$work/home XDG_STATE_HOME=$work/home/state KRZ_NETWORK=lab \
  "$work/host/krzhostexample" >"$work/host.txt" || { cat "$work/host.txt"; exit 1; }
grep -q 'network "HostExample"' "$work/host.txt" || { cat "$work/host.txt"; exit 1; }
echo "the example host scans the lab and renames a device found by its MAC"

# The example on the application layer: scans, renames the Acme router with read-back, and finds it
# again by its MAC.
cmake -S "$root/examples/app" -B "$work/app" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build "$work/app" >/dev/null
HOME=$work/home XDG_STATE_HOME=$work/home/state KRZ_NETWORK=lab \
  "$work/app/krzappexample" >"$work/app.txt" || { cat "$work/app.txt"; exit 1; }
grep -q '^ssid = "AppExample": confirmed' "$work/app.txt" || { cat "$work/app.txt"; exit 1; }
echo "the example on the application layer renames a router and confirms the change"
