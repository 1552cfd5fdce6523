// Small helpers shared by the test folders: catching the library's exception, IPv4 text and
// loopback sockets, file text.
#pragma once

#include "core/KRZPAPCException.h"

#include "platform/krzplatform.h"

#include <functional>
#include <string>

namespace krztest {

// The KRZPAPCException `body` throws; fails the test when it throws none.
KRZPAPCException thrownBy(const std::function<void()>& body);

in_addr inAddr(const std::string& dotted);
sockaddr_in loopback(unsigned short port);
// The local port `fd` is bound to.
unsigned short boundPort(int fd);
// A TCP socket bound to an ephemeral loopback port, not listening; throws std::runtime_error.
int boundLoopbackSocket();
std::string dotted(const in_addr& address);

// The whole content of the file at `path` ("" when it cannot be read).
std::string fileText(const std::string& path);
// How many times `needle` occurs in `text`, without overlaps.
size_t occurrences(const std::string& text, const std::string& needle);

}  // namespace krztest
