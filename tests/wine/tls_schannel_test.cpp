// The Schannel TLS session under Wine, on real loopback sockets: against OpenSSL's s_server (its
// port, certificate fingerprints and served file's digest come from tls_schannel.sh), and against
// hostile servers run in this process that stall, send garbage, an alert, an oversized record or
// close in the middle of the handshake.
#include "krzutil/KRZCryptoUtil.h"
#include "platform/krzschannel_win.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using krzschannel::Session;
using krzschannel::Status;

namespace {

// The one fixed wait of these tests: how long a step may leave the socket idle before the test
// calls it stalled. Every other wait ends on an event.
constexpr long kStallMs = 300;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

SOCKET connectTo(unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return s;
}

// Waits for the direction a step asked for; false when nothing happened within `ms`.
bool waitFor(SOCKET s, Status wanted, long ms) {
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(s, wanted == Status::WantRead ? &readable : &writable);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return select(0, &readable, &writable, nullptr, &limit) > 0;
}

bool waiting(Status status) {
    return status == Status::WantRead || status == Status::WantWrite;
}

// Drives the handshake as the connection does; a step left idle for `idleMs` stops the drive.
Status handshake(Session& session, SOCKET s, long idleMs = 10000) {
    Status status;
    while (waiting(status = session.handshake())) {
        if (!waitFor(s, status, idleMs)) {
            return status;
        }
    }
    return status;
}

// Reads until the session ends; the status that ended it.
Status readAll(Session& session, SOCKET s, std::string& out) {
    std::vector<char> chunk(7000);  // not a record's size: records are split and joined
    for (;;) {
        size_t moved = 0;
        const Status status = session.read(chunk.data(), chunk.size(), &moved);
        out.append(chunk.data(), moved);
        if (status == Status::Done) {
            continue;
        }
        if (!waiting(status) || !waitFor(s, status, 10000)) {
            return status;
        }
    }
}

Status writeAll(Session& session, SOCKET s, const std::string& text) {
    size_t offset = 0;
    while (offset < text.size()) {
        size_t moved = 0;
        const Status status = session.write(text.data() + offset, text.size() - offset, &moved);
        offset += moved;
        if (waiting(status)) {
            waitFor(s, status, 10000);
        } else if (status != Status::Done) {
            return status;
        }
    }
    Status status;
    while (waiting(status = session.flush())) {
        waitFor(s, status, 10000);
    }
    return status;
}

std::string colonHex(const KRZBuf& digest) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < digest.size(); ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X",
                      static_cast<unsigned>(static_cast<unsigned char>(digest.data()[i])));
        text += pair;
    }
    return text;
}

std::string sha256(const void* data, size_t size) {
    return colonHex(KRZCryptoUtil::hash(KRZCryptoUtil::Digest::SHA256,
                                        KRZBuf(static_cast<const char*>(data), size)));
}

struct Served {
    const char* name;
    const char* portVariable;
    const char* fingerprintVariable;
};

class AgainstOpenSsl : public ::testing::TestWithParam<Served> {};

// The handshake completes with each kind of key a device generates, and the peer certificate is
// the one the server holds (its fingerprint as `openssl x509 -fingerprint -sha256` gives it).
TEST_P(AgainstOpenSsl, HandshakeShowsTheServersCertificate) {
    const std::string port = environment(GetParam().portVariable);
    ASSERT_FALSE(port.empty()) << "run through tls_schannel.sh";
    SOCKET s = connectTo(static_cast<unsigned short>(std::stoi(port)));
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s);
    ASSERT_EQ(handshake(session, s), Status::Done) << session.error();
    const std::vector<uint8_t> der = session.peerCertificate();
    EXPECT_EQ(sha256(der.data(), der.size()), environment(GetParam().fingerprintVariable));
    EXPECT_NE(session.describe().find("TLS 1.2"), std::string::npos) << session.describe();
    session.close();
    closesocket(s);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, AgainstOpenSsl,
    ::testing::Values(Served{"ecdsa", "KRZ_TLS_EC_PORT", "KRZ_TLS_EC_FINGERPRINT"},
                      Served{"rsa", "KRZ_TLS_RSA_PORT", "KRZ_TLS_RSA_FINGERPRINT"}),
    [](const ::testing::TestParamInfo<Served>& param) { return std::string(param.param.name); });

// An 8 MiB reply crosses hundreds of records, split and joined by the reads, and arrives intact;
// the server's close_notify then ends the session as a close, not an error.
TEST(SchannelSession, LargeBodyArrivesIntactAndEndsWithTheServersClose) {
    const std::string port = environment("KRZ_TLS_RSA_PORT");
    ASSERT_FALSE(port.empty()) << "run through tls_schannel.sh";
    SOCKET s = connectTo(static_cast<unsigned short>(std::stoi(port)));
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s);
    ASSERT_EQ(handshake(session, s), Status::Done) << session.error();
    ASSERT_EQ(writeAll(session, s, "GET /body.bin HTTP/1.0\r\n\r\n"), Status::Done);
    std::string reply;
    EXPECT_EQ(readAll(session, s, reply), Status::Closed) << session.error();
    const size_t start = reply.find("\r\n\r\n");
    ASSERT_NE(start, std::string::npos) << reply.substr(0, 200);
    EXPECT_EQ(reply.size() - start - 4, size_t{8} << 20);
    EXPECT_EQ(sha256(reply.data() + start + 4, reply.size() - start - 4),
              environment("KRZ_TLS_BODY_SHA256"));
    session.close();
    closesocket(s);
}

// A server in this process: accepts one connection, reads the client's first flight, then does
// what the case says.
class HostileServer {
  public:
    HostileServer(std::string answer, bool readHello, bool closeThen)
        : reply(std::move(answer)), readFirst(readHello), closeAfter(closeThen) {
        listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        int length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~HostileServer() {
        closesocket(listener);
        worker.join();
        if (peer != INVALID_SOCKET) {
            closesocket(peer);
        }
    }
    unsigned short port = 0;

  private:
    void serve() {
        peer = accept(listener, nullptr, nullptr);
        if (peer == INVALID_SOCKET) {
            return;
        }
        if (readFirst) {
            char hello[4096];
            recv(peer, hello, sizeof hello, 0);
        }
        send(peer, reply.data(), static_cast<int>(reply.size()), 0);
        if (closeAfter) {
            closesocket(peer);
            peer = INVALID_SOCKET;
        }
    }

    std::string reply;
    bool readFirst;
    bool closeAfter;
    SOCKET listener = INVALID_SOCKET;
    SOCKET peer = INVALID_SOCKET;
    std::thread worker;
};

struct Hostile {
    const char* name;
    std::string reply;
    bool readFirst;
    bool closeAfter;
    const char* sentence;  // a part of the error
};

std::string record(unsigned char type, const std::string& body) {
    std::string bytes{static_cast<char>(type), 3, 3, static_cast<char>(body.size() >> 8),
                      static_cast<char>(body.size() & 0xFF)};
    return bytes + body;
}

class AgainstHostileServer : public ::testing::TestWithParam<Hostile> {};

// Each ends the handshake with a sentence, never with a session.
TEST_P(AgainstHostileServer, HandshakeFailsWithASentence) {
    HostileServer server(GetParam().reply, GetParam().readFirst, GetParam().closeAfter);
    SOCKET s = connectTo(server.port);
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s);
    EXPECT_EQ(handshake(session, s), Status::Failed);
    EXPECT_NE(session.error().find(GetParam().sentence), std::string::npos) << session.error();
    EXPECT_TRUE(session.peerCertificate().empty());
    size_t moved = 1;
    char byte;
    EXPECT_EQ(session.read(&byte, 1, &moved), Status::Failed);
    EXPECT_EQ(moved, 0u);
    closesocket(s);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AgainstHostileServer,
    ::testing::Values(
        Hostile{"PlainHttp", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", true, false,
                "answered in plain HTTP"},
        Hostile{"FatalAlert", record(21, std::string("\x02\x28", 2)), true, false,
                "alert 40 (handshake_failure)"},
        Hostile{"Garbage", std::string("\x00\xff\x13\x37 binary", 11), true, false,
                "answer is not valid TLS ("},
        Hostile{"OversizedRecord",
                record(22, "").substr(0, 3) + std::string("\x48\x01", 2) + std::string(100, 'x'),
                true, false, "more than TLS allows"},
        Hostile{"CloseAfterHello", "", true, true, "closed the connection during the TLS"},
        Hostile{"CloseInsideRecord", record(22, std::string(40, 'x')).substr(0, 20), true, true,
                "closed the connection during the TLS"}),
    [](const ::testing::TestParamInfo<Hostile>& param) { return std::string(param.param.name); });

// A server that accepts and never answers leaves the handshake waiting to read, with no session:
// the caller's time-out decides. The test's one fixed wait.
TEST(SchannelSession, StalledServerLeavesTheHandshakeWaiting) {
    HostileServer server("", true, false);
    SOCKET s = connectTo(server.port);
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s);
    EXPECT_EQ(handshake(session, s, kStallMs), Status::WantRead);
    EXPECT_TRUE(session.error().empty());
    EXPECT_TRUE(session.peerCertificate().empty());
    size_t moved = 0;
    EXPECT_EQ(session.write("x", 1, &moved), Status::Failed);
    EXPECT_EQ(moved, 0u);
    closesocket(s);
}

}  // namespace
