#include "LabTestSupport.h"

#include "krznetlib/KRZGetArpTable.h"
#include "krznetlib/KRZVirtualSocket.h"
#include "platform/krzplatform.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace krztest {

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

void waitForArpAnswers() {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
}

KRZNdisStatus arp(const char* target, const krzlab::MacBytes& adapter) {
    KRZNetworkLibrary driver;
    return KRZNetworkLibrary::sendPacketDown(
        KRZBuf(arpRequest(adapter, ip("192.168.77.2"), ip(target))), KRZMacAddress(adapter.data()));
}

std::string driverMac(const char* address) {
    KRZNetworkLibrary driver;
    KRZGetArpTable table;
    KRZNetworkLibrary::getArpTable(table);
    auto it = table.table.entries.find(htonl(ip(address)));
    return it == table.table.entries.end() ? ""
                                           : krzlab::formatMac(krzlab::macFromUint64(it->second));
}

Attempt::~Attempt() {
    if (fd >= 0)
        closesocket(static_cast<SOCKET>(fd));
}

void virtualConnect(Attempt& a, const char* address, uint16_t port, const krzlab::MacBytes* device,
                    const krzlab::MacBytes& adapter) {
    a.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ip(address));
    to.sin_port = htons(port);
    auto* target = reinterpret_cast<sockaddr*>(&to);
    KRZVirtualSocket vs;
    a.result = device ? vs.connect(static_cast<SOCKET>(a.fd), target, sizeof to,
                                   KRZMacAddress(adapter.data()), KRZMacAddress(device->data()))
                      : vs.connect(static_cast<SOCKET>(a.fd), target, sizeof to);
    a.error = vs.getLastError();
}

std::string fetch(const char* address, const krzlab::MacBytes* device,
                  const krzlab::MacBytes& adapter) {
    Attempt a;
    virtualConnect(a, address, 80, device, adapter);
    if ((a.result != 0 && a.error != WSAEWOULDBLOCK) || finishConnect(a.fd, 3000) != 0)
        return "";
    return httpGet(a.fd);
}

}  // namespace krztest
