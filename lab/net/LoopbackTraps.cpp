#include "lab/net/LoopbackTraps.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace krzlab {

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("loopback traps: ") + what + ": " + std::strerror(errno));
}

int boundSocket(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        fail("bind");
    }
    port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

LoopbackTraps::LoopbackTraps() {
    refusing_ = boundSocket(refusingPort_);
    try {
        silent_ = boundSocket(silentPort_);
        // A backlog of 0 holds one finished connection; once the filler sits in the queue, the
        // kernel drops further SYNs instead of answering them.
        if (::listen(silent_, 0) != 0)
            fail("listen");
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (filler_ < 0)
            fail("socket");
        sockaddr_in a = loopback(silentPort_);
        if (::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            fail("connect");
    } catch (...) {
        if (filler_ >= 0)
            ::close(filler_);
        if (silent_ >= 0)
            ::close(silent_);
        ::close(refusing_);
        throw;
    }
}

LoopbackTraps::~LoopbackTraps() {
    ::close(filler_);
    ::close(silent_);
    ::close(refusing_);
}

}  // namespace krzlab
