#include "LabTestSupport.h"

#include "platform/krzplatform.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace labtest {

std::string arpRequest(const krzlab::MacBytes& adapterMac, uint32_t sender, uint32_t target) {
    std::string f(42, '\0');
    auto put16 = [&f](size_t at, unsigned v) {
        f[at] = static_cast<char>(v >> 8);
        f[at + 1] = static_cast<char>(v);
    };
    auto put32 = [&f](size_t at, uint32_t v) {
        for (size_t i = 0; i < 4; ++i)
            f[at + i] = static_cast<char>(v >> (24 - 8 * i));
    };
    for (size_t i = 0; i < 6; ++i) {
        f[i] = static_cast<char>(0xFF);
        f[6 + i] = static_cast<char>(adapterMac[i]);
        f[22 + i] = static_cast<char>(adapterMac[i]);
    }
    put16(12, 0x0806);
    put16(14, 1);
    put16(16, 0x0800);
    f[18] = 6;
    f[19] = 4;
    put16(20, 1);
    put32(28, sender);
    put32(38, target);
    return f;
}

uint32_t ip(const char* dotted) {
    uint32_t a = 0;
    if (!krzlab::parseIpv4(dotted, a))
        throw std::invalid_argument(dotted);
    return a;
}

krzlab::MacBytes mac(const char* text) {
    krzlab::MacBytes m{};
    if (!krzlab::parseMac(text, m))
        throw std::invalid_argument(text);
    return m;
}

namespace {

// Whether the socket becomes writable (a connect ended) or readable within the time.
bool ready(int fd, bool write, int timeoutMs) {
    SOCKET s = static_cast<SOCKET>(fd);
    fd_set set, failed;
    FD_ZERO(&set);
    FD_ZERO(&failed);
    FD_SET(s, &set);
    FD_SET(s, &failed);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &wait) > 0;
}

}  // namespace

int finishConnect(int fd, int timeoutMs) {
    if (!ready(fd, true, timeoutMs))
        return -1;
    int err = 0;
    int len = sizeof err;
    ::getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err),
                 &len);
    return err;
}

std::string httpGet(int fd) {
    const char request[] = "GET / HTTP/1.0\r\nHost: lab\r\n\r\n";
    if (::send(static_cast<SOCKET>(fd), request, sizeof request - 1, 0) < 0)
        return "";
    std::string reply;
    char buf[4096];
    for (;;) {
        if (!ready(fd, false, 5000))
            break;
        int n = ::recv(static_cast<SOCKET>(fd), buf, sizeof buf, 0);
        if (n <= 0)
            break;
        reply.append(buf, static_cast<size_t>(n));
    }
    return reply;
}

std::vector<int> kernelTcpStates(uint16_t localPort) {
    std::vector<int> states;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        size_t colon = local.find(':');
        if (colon == std::string::npos)
            continue;
        if (std::stoul(local.substr(colon + 1), nullptr, 16) == localPort)
            states.push_back(static_cast<int>(std::stoul(state, nullptr, 16)));
    }
    return states;
}

}  // namespace labtest
