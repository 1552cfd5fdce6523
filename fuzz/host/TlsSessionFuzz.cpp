// Arbitrary bytes as a device's side of a TLS connection: the session must end (done, closed or
// failed with a sentence) without reading past what it was given, and never hand up more bytes
// than were asked for. The bytes come through a real socket pair, as they do from a device.
#define KRZ_PLATFORM_IMPLEMENTATION
#include "platform/krztls.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int pair[2];
    if (size > 60000 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
    if (size > 0 && ::send(pair[1], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
        __builtin_trap();
    ::shutdown(pair[1], SHUT_WR);
    {
        KRZTlsSession session(static_cast<SOCKET>(pair[0]), "device.example");
        KRZTlsSession::Status step = KRZTlsSession::Status::WantRead;
        // Every byte is there and the peer's side is closed: a session still waiting for more
        // after this many steps is a hang.
        for (int i = 0; i < 64 && step != KRZTlsSession::Status::Done; ++i) {
            step = session.handshake();
            if (step == KRZTlsSession::Status::Failed) {
                if (session.error().empty())
                    __builtin_trap();
                break;
            }
        }
        if (step == KRZTlsSession::Status::WantRead)
            __builtin_trap();
        char buffer[512];
        for (int i = 0; i < 256 && step == KRZTlsSession::Status::Done; ++i) {
            size_t got = 0;
            KRZTlsSession::Status read = session.recv(buffer, sizeof buffer, got);
            if (got > sizeof buffer || (read != KRZTlsSession::Status::Done && got != 0))
                __builtin_trap();
            if (read != KRZTlsSession::Status::Done)
                break;
        }
        session.close();
    }
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
}
