#include "platform/krzwake.h"

KRZWakeHandle::KRZWakeHandle() : socket(INVALID_SOCKET) {}

KRZWakeHandle::~KRZWakeHandle() {
    SOCKET s = socket.load();
    if (s != INVALID_SOCKET)
        closesocket(s);
}

// A UDP socket on loopback, connected to itself: select takes only sockets here, and a datagram
// to oneself needs no second handle and no listener.
void KRZWakeHandle::open() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return;
    sockaddr_in self = {};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof self;
    u_long nonBlocking = 1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        closesocket(s);
        return;
    }
    socket = s;
}

SOCKET KRZWakeHandle::handle() {
    std::call_once(opened, [this] { open(); });
    return socket.load();
}

void KRZWakeHandle::wake() {
    SOCKET s = handle();
    if (s == INVALID_SOCKET)
        return;
    // A full receive buffer means the handle is readable already.
    char one = 1;
    ::send(s, &one, 1, 0);
}

// A handle not opened yet has had no wake: clearing it opens nothing.
bool KRZWakeHandle::clear() {
    SOCKET s = socket.load();
    if (s == INVALID_SOCKET)
        return false;
    bool woken = false;
    char drained[64];
    while (::recv(s, drained, sizeof drained, 0) > 0)
        woken = true;
    return woken;
}
