#define KRZ_PLATFORM_IMPLEMENTATION
#include "platform/krzwake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

KRZWakeHandle::KRZWakeHandle() : socket(INVALID_SOCKET) {}

KRZWakeHandle::~KRZWakeHandle() {
    SOCKET s = socket.load();
    if (s != INVALID_SOCKET)
        ::close(static_cast<int>(s));
}

void KRZWakeHandle::open() {
    // Not inherited by programs this process starts, as its sockets are not.
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0)
        socket = static_cast<SOCKET>(fd);
}

SOCKET KRZWakeHandle::handle() {
    std::call_once(opened, [this] { open(); });
    return socket.load();
}

void KRZWakeHandle::wake() {
    SOCKET s = handle();
    if (s == INVALID_SOCKET)
        return;
    uint64_t one = 1;
    // A full counter (never reached) would still be readable: nothing is lost by ignoring it.
    while (::write(static_cast<int>(s), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// A handle not opened yet has had no wake: clearing it opens nothing.
bool KRZWakeHandle::clear() {
    SOCKET s = socket.load();
    if (s == INVALID_SOCKET)
        return false;
    uint64_t count = 0;
    ssize_t got;
    while ((got = ::read(static_cast<int>(s), &count, sizeof count)) < 0 && errno == EINTR) {
    }
    return got == static_cast<ssize_t>(sizeof count);
}
