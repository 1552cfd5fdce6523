#include "platform/krzplatform.h"
#include "platform/krzwake.h"
#include "testsupport/krzhandles.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

using krztest::loopback;

SOCKET makeListener(uint16_t& port) {
    int s = krztest::listeningLoopbackSocket(4);
    port = krztest::boundPort(s);
    return static_cast<SOCKET>(s);
}

// A port on which nothing listens: one that was just given out and closed again.
uint16_t closedPort() {
    uint16_t port = 0;
    closesocket(makeListener(port));
    return port;
}

int startConnect(SOCKET s, uint16_t port) {
    unsigned long on = 1;
    EXPECT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
    sockaddr_in a = loopback(port);
    return ::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
}

struct Pair {
    SOCKET client;
    SOCKET server;
};

Pair connectedPair() {
    uint16_t port = 0;
    SOCKET listener = makeListener(port);
    Pair p;
    p.client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    EXPECT_EQ(::connect(static_cast<int>(p.client), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    p.server = ::accept(static_cast<int>(listener), nullptr, nullptr);
    closesocket(listener);
    return p;
}

TEST(WinsockErrors, MappingAndLastError) {
    EXPECT_EQ(krz_errnoToWsa(0), 0);
    EXPECT_EQ(krz_errnoToWsa(EWOULDBLOCK), 10035);
    EXPECT_EQ(krz_errnoToWsa(EINPROGRESS), 10035);
    EXPECT_EQ(krz_errnoToWsa(ECONNABORTED), 10053);
    EXPECT_EQ(krz_errnoToWsa(ECONNRESET), 10054);
    EXPECT_EQ(krz_errnoToWsa(EPIPE), 10054);
    EXPECT_EQ(krz_errnoToWsa(ENOTCONN), 10057);
    EXPECT_EQ(krz_errnoToWsa(ETIMEDOUT), 10060);
    EXPECT_EQ(krz_errnoToWsa(ECONNREFUSED), 10061);
    EXPECT_EQ(krz_errnoToWsa(EHOSTUNREACH), 10065);
    EXPECT_EQ(krz_errnoToWsa(ENETUNREACH), 10065);
    EXPECT_EQ(krz_errnoToWsa(ENOTSOCK), 10038);
    EXPECT_EQ(krz_errnoToWsa(EIO), 10000 + EIO);

    // A plain POSIX call's failure is visible through WSAGetLastError.
    EXPECT_EQ(::socket(12345, SOCK_STREAM, 0), -1);
    EXPECT_EQ(WSAGetLastError(), 10047);
    WSASetLastError(10060);
    EXPECT_EQ(WSAGetLastError(), 10060);

    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
    EXPECT_EQ(WSACleanup(), 0);

    char byte;
    EXPECT_EQ(recv(1000000, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), 10038);
}

TEST(FdSet, WinsockRules) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(5, &set);
    FD_SET(5, &set);
    EXPECT_EQ(set.fd_count, 1u);
    for (SOCKET s = 100; s < 200; ++s) {
        FD_SET(s, &set);
    }
    EXPECT_EQ(set.fd_count, 64u);  // a full set ignores more
    EXPECT_TRUE(FD_ISSET(5, &set));
    EXPECT_TRUE(FD_ISSET(162, &set));
    EXPECT_FALSE(FD_ISSET(163, &set));
    FD_CLR(100, &set);
    EXPECT_EQ(set.fd_count, 63u);
    EXPECT_EQ(set.fd_array[0], 5u);
    EXPECT_EQ(set.fd_array[1], 101u);  // the gap is closed in order
    EXPECT_EQ(set.fd_array[62], 162u);
    FD_CLR(999, &set);
    EXPECT_EQ(set.fd_count, 63u);
}

TEST(Select, RefusedConnectLandsInExceptSetOnly) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(startConnect(s, closedPort()), -1);
    ASSERT_EQ(WSAGetLastError(), 10035);
    fd_set r, w, e;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_ZERO(&e);
    FD_SET(s, &r);
    FD_SET(s, &w);
    FD_SET(s, &e);
    timeval tv{10, 0};
    EXPECT_EQ(select(0, &r, &w, &e, &tv), 1);
    EXPECT_EQ(r.fd_count, 0u);
    EXPECT_EQ(w.fd_count, 0u);
    EXPECT_TRUE(FD_ISSET(s, &e));
    // Asked again, before the error was read, it is still a failed connect.
    FD_SET(s, &r);
    FD_SET(s, &w);
    EXPECT_EQ(select(0, &r, &w, &e, &tv), 1);
    EXPECT_EQ(r.fd_count + w.fd_count, 0u);
    EXPECT_TRUE(FD_ISSET(s, &e));
    int err = 0;
    int len = sizeof err;
    EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len), 0);
    EXPECT_EQ(err, 10061);
    EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len), 0);
    EXPECT_EQ(err, 0);  // read once, as the kernel's
    closesocket(s);
}

TEST(Select, ConnectWritableDataAndEndOfStreamReadable) {
    uint16_t port = 0;
    SOCKET listener = makeListener(port);
    SOCKET client = ::socket(AF_INET, SOCK_STREAM, 0);
    int rc = startConnect(client, port);
    EXPECT_TRUE(rc == 0 || WSAGetLastError() == 10035);
    fd_set w;
    FD_ZERO(&w);
    FD_SET(client, &w);
    timeval tv{10, 0};
    EXPECT_EQ(select(0, nullptr, &w, nullptr, &tv), 1);
    SOCKET server = ::accept(static_cast<int>(listener), nullptr, nullptr);
    ASSERT_NE(server, INVALID_SOCKET);

    char buffer[16];
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), 10035);
    fd_set r;
    FD_ZERO(&r);
    FD_SET(client, &r);
    timeval zero{0, 0};
    EXPECT_EQ(select(0, &r, nullptr, nullptr, &zero), 0);
    EXPECT_EQ(r.fd_count, 0u);

    EXPECT_EQ(send(server, "hello", 5, 0), 5);
    FD_ZERO(&r);
    FD_SET(client, &r);
    EXPECT_EQ(select(0, &r, nullptr, nullptr, &tv), 1);
    unsigned long waiting = 0;
    EXPECT_EQ(ioctlsocket(client, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 5u);
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 5);

    closesocket(server);
    FD_ZERO(&r);
    FD_SET(client, &r);
    EXPECT_EQ(select(0, &r, nullptr, nullptr, &tv), 1);
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 0);
    closesocket(client);
    closesocket(listener);
}

TEST(Select, HighDescriptorNumbersAndTimeouts) {
    Pair p = connectedPair();
    if (!krztest::duplicateAt(p.client, 1500)) {
        GTEST_SKIP() << "descriptor limit below 1501";
    }
    EXPECT_EQ(send(p.server, "x", 1, 0), 1);
    fd_set r;
    FD_ZERO(&r);
    FD_SET(1500, &r);
    timeval tv{10, 0};
    EXPECT_EQ(select(0, &r, nullptr, nullptr, &tv), 1);
    EXPECT_TRUE(FD_ISSET(1500, &r));

    // Nothing to wait for is an error, as on Windows; an idle socket times out with 0.
    EXPECT_EQ(select(0, nullptr, nullptr, nullptr, &tv), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), 10022);
    char c;
    EXPECT_EQ(recv(1500, &c, 1, 0), 1);
    FD_ZERO(&r);
    FD_SET(1500, &r);
    timeval shortWait{0, 50000};
    EXPECT_EQ(select(0, &r, nullptr, nullptr, &shortWait), 0);
    closesocket(1500);
    closesocket(p.client);
    closesocket(p.server);
}

// Readable in a select from the first wake until clear, several wakes being one; another
// thread's wake ends a select that would otherwise wait a minute.
TEST(Select, WakeHandleEndsAWaitFromAnotherThread) {
    KRZWakeHandle wake;
    EXPECT_FALSE(wake.clear());  // never opened: nothing to drain
    SOCKET handle = wake.handle();
    ASSERT_NE(handle, INVALID_SOCKET);
    auto readable = [&](long seconds) {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(handle, &r);
        timeval tv{seconds, 0};
        return select(0, &r, nullptr, nullptr, &tv) == 1 && FD_ISSET(handle, &r);
    };
    EXPECT_FALSE(readable(0));
    wake.wake();
    wake.wake();
    EXPECT_TRUE(readable(0));
    EXPECT_TRUE(readable(0));  // stays readable until cleared
    EXPECT_TRUE(wake.clear());
    EXPECT_FALSE(readable(0));
    EXPECT_FALSE(wake.clear());

    std::thread waker([&] { wake.wake(); });
    EXPECT_TRUE(readable(60));
    waker.join();
    EXPECT_EQ(wake.handle(), handle);  // opened once
}

TEST(Send, ToClosedPeerFailsWithoutSignal) {
    Pair p = connectedPair();
    // An orderly close: the first send draws a reset, a later one meets the broken pipe that
    // would raise SIGPIPE and end the test program.
    closesocket(p.server);
    int rc = 0;
    char block[4096] = {};
    for (int i = 0; i < 100 && rc != SOCKET_ERROR; ++i) {
        rc = send(p.client, block, sizeof block, 0);
    }
    EXPECT_EQ(rc, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), 10054);
    closesocket(p.client);
}

}  // namespace
