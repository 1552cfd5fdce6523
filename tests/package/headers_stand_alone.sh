#!/usr/bin/env bash
# The installed development files as a host sees them: only public headers, each of which compiles
# on its own, after the ordinary system headers, and before them without handing the platform
# layer's Winsock names to the program; no definition that the program must add.
set -euo pipefail
build=$1
compiler=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" --component development >/dev/null
include=$work/prefix/include

fail=0
for internal in krzplatform.h krziphlp.h krzprocess.h krzstringtable.h KRZPacketLinks.h \
  KRZSystemNetworkBackend.h KRZNetworkBackend.h KRZVirtualSocket.h KRZMiscUtil.h; do
  if [ -n "$(find "$include" -name "$internal")" ]; then
    echo "internal header installed: $internal"
    fail=1
  fi
done
if grep -rlE 'friend (class|struct) [A-Za-z_]*Test' "$include"; then
  echo "an installed header names a test as a friend"
  fail=1
fi
if grep -rl '_SYS_SELECT_H' "$work/prefix"; then
  echo "the installed package forces a definition on its users"
  fail=1
fi

system_headers='#include <cstdio>
#include <cstdlib>
#include <sys/types.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>'
# The header first, alone, then names of the platform layer that a program including only our
# headers must not see (each line declares the name as something else, which fails where a header
# already declared it), then the system headers.
winsock_probe='struct SOCKET {};
struct WSADATA {};
struct DWORD {};
struct HMODULE {};
int closesocket;
int ioctlsocket;
int WSAGetLastError;
int LoadLibraryW;
int krz_socket;'

cd "$include"
find krzpapconfigu -name '*.h' | sort >"$work/headers"
count=$(wc -l <"$work/headers")
mkdir "$work/units"
while read -r header; do
  unit=$work/units/$(echo "$header" | tr '/' '_')
  printf '%s\n#include <%s>\n' "$system_headers" "$header" >"$unit.after.cpp"
  printf '#include <%s>\n%s\n%s\n' "$header" "$winsock_probe" "$system_headers" >"$unit.before.cpp"
done <"$work/headers"
export compiler include
if ! find "$work/units" -name '*.cpp' | sort | xargs -P 2 -I{} sh -c \
  '"$compiler" -std=c++17 -fsyntax-only -Wall -Wextra -Werror -I"$include" {} 2>&1 ||
   { echo "FAILED: {}"; exit 255; }'; then
  fail=1
fi
[ "$fail" -eq 0 ] || exit 1
echo "$count installed headers compile first (alone) and after the system headers"
