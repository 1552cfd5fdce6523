// The TLS session on Windows (Schannel) under Wine, on real loopback sockets: against OpenSSL's
// s_server (its ports, certificate fingerprints and served file's digest come from
// tls_schannel.sh), through a relay that spoils the server's stream after the handshake, and
// against hostile servers run in this process that stall, send garbage, an alert, an oversized
// record or close in the middle of the handshake.
#include "krzutil/KRZCryptoUtil.h"
#include "platform/krztls.h"
#include "platform/krzwake.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Session = KRZTlsSession;
using Status = KRZTlsSession::Status;

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
        const Status status = session.recv(chunk.data(), chunk.size(), moved);
        out.append(chunk.data(), moved);
        if (status == Status::Done) {
            EXPECT_GT(moved, 0u);
            continue;
        }
        EXPECT_EQ(moved, 0u);
        if (waiting(status) && session.pending() > 0) {
            ADD_FAILURE() << "waits on the socket while the session holds " << session.pending();
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
        const Status status = session.send(text.data() + offset, text.size() - offset, moved);
        offset += moved;
        if (waiting(status)) {
            waitFor(s, status, 10000);
        } else if (status != Status::Done) {
            return status;
        }
    }
    return Status::Done;
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
    const char* serverName;           // what the user wrote as the device's host
    const char* fingerprintVariable;  // the certificate the server shows for it
};

class AgainstOpenSsl : public ::testing::TestWithParam<Served> {};

// The handshake completes with each kind of key a device generates, and the peer certificate is
// the one the server holds (its fingerprint as `openssl x509 -fingerprint -sha256` gives it). The
// ECDSA server shows its RSA certificate to a client that names device.lan: a host name goes out
// as SNI, an address does not.
TEST_P(AgainstOpenSsl, HandshakeShowsTheServersCertificate) {
    const std::string port = environment(GetParam().portVariable);
    ASSERT_FALSE(port.empty()) << "run through tls_schannel.sh";
    SOCKET s = connectTo(static_cast<unsigned short>(std::stoi(port)));
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s, GetParam().serverName);
    EXPECT_TRUE(session.peerCertificate().empty());
    ASSERT_EQ(handshake(session, s), Status::Done) << session.error();
    const std::vector<unsigned char>& der = session.peerCertificate();
    EXPECT_EQ(sha256(der.data(), der.size()), environment(GetParam().fingerprintVariable));
    EXPECT_EQ(session.protocol(), "TLSv1.2");
    EXPECT_TRUE(session.error().empty());
    closesocket(s);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, AgainstOpenSsl,
    ::testing::Values(
        Served{"ecdsa", "KRZ_TLS_EC_PORT", "127.0.0.1", "KRZ_TLS_EC_FINGERPRINT"},
        Served{"ecdsa_v6_literal", "KRZ_TLS_EC_PORT", "::1", "KRZ_TLS_EC_FINGERPRINT"},
        Served{"rsa", "KRZ_TLS_RSA_PORT", "", "KRZ_TLS_RSA_FINGERPRINT"},
        Served{"sni", "KRZ_TLS_EC_PORT", "device.lan", "KRZ_TLS_RSA_FINGERPRINT"},
        Served{"asks_client_certificate", "KRZ_TLS_ASKING_PORT", "", "KRZ_TLS_ASKING_FINGERPRINT"}),
    [](const ::testing::TestParamInfo<Served>& param) { return std::string(param.param.name); });

// An 8 MiB reply crosses hundreds of records, split and joined by the reads, and arrives intact;
// the server's close_notify then ends the session as a close, not an error.
TEST(SchannelSession, LargeBodyArrivesIntactAndEndsWithTheServersClose) {
    const std::string port = environment("KRZ_TLS_RSA_PORT");
    ASSERT_FALSE(port.empty()) << "run through tls_schannel.sh";
    SOCKET s = connectTo(static_cast<unsigned short>(std::stoi(port)));
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s, "127.0.0.1");
    ASSERT_EQ(handshake(session, s), Status::Done) << session.error();
    ASSERT_EQ(writeAll(session, s, "GET /body.bin HTTP/1.0\r\n\r\n"), Status::Done);
    std::string reply;
    EXPECT_EQ(readAll(session, s, reply), Status::Closed) << session.error();
    size_t moved = 1;
    char byte;
    EXPECT_EQ(session.recv(&byte, 1, moved), Status::Closed);
    EXPECT_EQ(moved, 0u);
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
    Session session(s, "127.0.0.1");
    EXPECT_EQ(handshake(session, s), Status::Failed);
    EXPECT_NE(session.error().find(GetParam().sentence), std::string::npos) << session.error();
    EXPECT_TRUE(session.peerCertificate().empty());
    size_t moved = 1;
    char byte;
    EXPECT_EQ(session.recv(&byte, 1, moved), Status::Failed);
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
        Hostile{"VersionAlert", record(21, std::string("\x02\x46", 2)), true, false,
                "alert 70 (protocol_version)"},
        Hostile{"InternalAlert", record(21, std::string("\x02\x50", 2)), true, false,
                "alert 80 (internal_error)"},
        Hostile{"UnnamedAlert", record(21, std::string("\x02\x2a", 2)), true, false, "alert 42"},
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
    Session session(s, "127.0.0.1");
    EXPECT_EQ(handshake(session, s, kStallMs), Status::WantRead);
    EXPECT_TRUE(session.error().empty());
    EXPECT_TRUE(session.peerCertificate().empty());
    size_t moved = 1;
    EXPECT_EQ(session.send("x", 1, moved), Status::Failed);
    EXPECT_EQ(moved, 0u);
    closesocket(s);
}

// Stands between the session and s_server and spoils the server's first application-data record
// as the case says, so that reads after the handshake meet a hostile stream.
enum class Spoil { Nothing, FlipByte, CutRecord, PlainAlert, StopReading };

class SpoilingRelay {
  public:
    SpoilingRelay(unsigned short upstreamPort, Spoil how) : upstream(upstreamPort), spoil(how) {
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
    ~SpoilingRelay() {
        stop.wake();
        finish();
    }
    // Waits until both sides closed.
    void finish() {
        if (worker.joinable()) {
            worker.join();
            closesocket(listener);
        }
    }
    unsigned short port = 0;
    bool clientSentAlert = false;  // read after finish()

  private:
    void serve() {
        SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            return;
        }
        SOCKET server = connectTo(upstream);
        u_long blocking = 0;
        ioctlsocket(server, FIONBIO, &blocking);
        std::string fromServer;
        std::string fromClient;
        bool spoiled = false;
        for (bool open = true; open;) {
            fd_set readable;
            FD_ZERO(&readable);
            // Once the client sent data, a relay that stops reading leaves its bytes unread.
            if (spoil != Spoil::StopReading || !clientSentData) {
                FD_SET(client, &readable);
            }
            FD_SET(server, &readable);
            FD_SET(stop.handle(), &readable);
            timeval limit{10, 0};
            if (select(0, &readable, nullptr, nullptr, &limit) <= 0) {
                break;
            }
            char bytes[16384];
            if (FD_ISSET(stop.handle(), &readable)) {
                break;
            }
            if (FD_ISSET(client, &readable)) {
                const int got = recv(client, bytes, sizeof bytes, 0);
                open = got > 0 && send(server, bytes, got, 0) == got;
                fromClient.append(bytes, open ? got : 0);
                noteAlerts(fromClient);
            }
            if (open && FD_ISSET(server, &readable)) {
                const int got = recv(server, bytes, sizeof bytes, 0);
                open = got > 0;
                fromServer.append(bytes, open ? got : 0);
                open = open && forwardRecords(client, fromServer, spoiled);
            }
        }
        closesocket(server);
        closesocket(client);
    }

    void noteAlerts(std::string& buffered) {
        while (buffered.size() >= 5) {
            const size_t length = (size_t{static_cast<unsigned char>(buffered[3])} << 8) |
                                  static_cast<unsigned char>(buffered[4]);
            if (buffered.size() < 5 + length) {
                return;
            }
            clientSentAlert = clientSentAlert || buffered[0] == 21;
            clientSentData = clientSentData || buffered[0] == 23;
            buffered.erase(0, 5 + length);
        }
    }

    // Forwards each whole record, spoiling the first application-data one; false to close.
    bool forwardRecords(SOCKET client, std::string& buffered, bool& spoiled) {
        while (buffered.size() >= 5) {
            const size_t length = (size_t{static_cast<unsigned char>(buffered[3])} << 8) |
                                  static_cast<unsigned char>(buffered[4]);
            if (buffered.size() < 5 + length) {
                return true;
            }
            std::string record = buffered.substr(0, 5 + length);
            buffered.erase(0, 5 + length);
            const bool spoilThis = !spoiled && record[0] == 23;
            spoiled = spoiled || spoilThis;
            if (spoilThis && spoil == Spoil::FlipByte) {
                record[record.size() / 2] ^= 0x20;
            } else if (spoilThis && spoil == Spoil::CutRecord) {
                send(client, record.data(), static_cast<int>(record.size() / 2), 0);
                return false;
            } else if (spoilThis && spoil == Spoil::PlainAlert) {
                record = std::string("\x15\x03\x03\x00\x02\x02\x0a", 7);
            }
            if (send(client, record.data(), static_cast<int>(record.size()), 0) !=
                static_cast<int>(record.size())) {
                return false;
            }
        }
        return true;
    }

    unsigned short upstream;
    Spoil spoil;
    bool clientSentData = false;
    KRZWakeHandle stop;
    SOCKET listener = INVALID_SOCKET;
    std::thread worker;
};

struct Spoiled {
    const char* name;
    Spoil how;
    const char* sentence;
};

// close() sends close_notify (an alert record) once, and nothing after a failure.
TEST(SchannelSession, CloseSendsCloseNotify) {
    const std::string port = environment("KRZ_TLS_EC_PORT");
    ASSERT_FALSE(port.empty()) << "run through tls_schannel.sh";
    SpoilingRelay relay(static_cast<unsigned short>(std::stoi(port)), Spoil::Nothing);
    SOCKET s = connectTo(relay.port);
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s, "127.0.0.1");
    ASSERT_EQ(handshake(session, s), Status::Done) << session.error();
    session.close();
    session.close();
    size_t moved = 1;
    char byte;
    EXPECT_EQ(session.recv(&byte, 1, moved), Status::Closed);
    EXPECT_EQ(moved, 0u);
    closesocket(s);
    relay.finish();
    EXPECT_TRUE(relay.clientSentAlert);
}

// A device that stops reading fills the socket: send then takes nothing and wants to write, and
// the bytes it took before are all it reports.
TEST(SchannelSession, SendWantsWriteWhenTheDeviceStopsReading) {
    const std::string port = environment("KRZ_TLS_EC_PORT");
    ASSERT_FALSE(port.empty()) << "run through tls_schannel.sh";
    SpoilingRelay relay(static_cast<unsigned short>(std::stoi(port)), Spoil::StopReading);
    SOCKET s = connectTo(relay.port);
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s, "127.0.0.1");
    ASSERT_EQ(handshake(session, s), Status::Done) << session.error();
    const std::string chunk(16384, 'p');
    Status status = Status::Done;
    size_t taken = 0;
    for (size_t moved = 0; status == Status::Done && taken < (size_t{64} << 20); taken += moved) {
        status = session.send(chunk.data(), chunk.size(), moved);
        EXPECT_EQ(moved, status == Status::Done ? chunk.size() : 0u);
    }
    EXPECT_EQ(status, Status::WantWrite);
    EXPECT_TRUE(session.error().empty());
    closesocket(s);
}

// A server's request to renegotiate ends the read with a sentence (the session refuses it).
TEST(SchannelSession, RenegotiationRequestFailsWithASentence) {
    const std::string port = environment("KRZ_TLS_RENEGOTIATE_PORT");
    ASSERT_FALSE(port.empty()) << "run through tls_schannel.sh";
    SOCKET s = connectTo(static_cast<unsigned short>(std::stoi(port)));
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s, "127.0.0.1");
    ASSERT_EQ(handshake(session, s), Status::Done) << session.error();
    std::string reply;
    EXPECT_EQ(readAll(session, s, reply), Status::Failed);
    EXPECT_NE(session.error().find("renegotiate"), std::string::npos) << session.error();
    EXPECT_TRUE(reply.empty());
    closesocket(s);
}

class AfterTheHandshake : public ::testing::TestWithParam<Spoiled> {};

// A stream spoiled after the handshake ends the read with a sentence, never with a close.
TEST_P(AfterTheHandshake, SpoiledReplyFailsWithASentence) {
    const std::string port = environment("KRZ_TLS_EC_PORT");
    ASSERT_FALSE(port.empty()) << "run through tls_schannel.sh";
    SpoilingRelay relay(static_cast<unsigned short>(std::stoi(port)), GetParam().how);
    SOCKET s = connectTo(relay.port);
    ASSERT_NE(s, INVALID_SOCKET);
    Session session(s, "127.0.0.1");
    ASSERT_EQ(handshake(session, s), Status::Done) << session.error();
    ASSERT_EQ(writeAll(session, s, "GET /body.bin HTTP/1.0\r\n\r\n"), Status::Done);
    std::string reply;
    EXPECT_EQ(readAll(session, s, reply), Status::Failed);
    EXPECT_NE(session.error().find(GetParam().sentence), std::string::npos) << session.error();
    EXPECT_LT(reply.size(), size_t{8} << 20);
    // A failed session stays failed, with its first sentence.
    const std::string first = session.error();
    size_t moved = 1;
    EXPECT_EQ(session.recv(&reply[0], 1, moved), Status::Failed);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(session.error(), first);
    closesocket(s);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, AfterTheHandshake,
    ::testing::Values(Spoiled{"FlippedByte", Spoil::FlipByte, "reading from the device"},
                      Spoiled{"CutRecord", Spoil::CutRecord, "in the middle of a TLS record"},
                      Spoiled{"PlainAlert", Spoil::PlainAlert, "reading from the device"}),
    [](const ::testing::TestParamInfo<Spoiled>& param) { return std::string(param.param.name); });

}  // namespace
