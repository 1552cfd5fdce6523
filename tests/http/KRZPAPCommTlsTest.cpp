// HTTPS under the connection, over loopback: replies of every framing through a real TLS server,
// the certificate check deciding before any request byte leaves, and devices whose TLS is hostile
// (each ends with a sentence within the time-out, which only the stalled one waits, once).
#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "http/KRZPAPComm.h"
#include "testsupport/krztlsserver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Outcome {
    int code = 0;
    std::string message;
    std::string body;
};

template <typename Fn>
Outcome attempt(Fn&& fn) {
    Outcome out;
    try {
        fn();
    } catch (const KRZPAPCException& e) {
        out.code = e.getAPCErrorCode();
        std::wstring w = e.getMessage();
        out.message.assign(w.begin(), w.end());
    }
    return out;
}

Outcome fetch(KRZPAPComm& comm, unsigned short port, bool noWait = false) {
    Outcome out = attempt([&] {
        comm.openConnection(port, noWait);
        comm.writeGetRequest("/status.htm");
        comm.readResponseSynchronous();
    });
    if (out.code == 0)
        out.body = comm.getResponseBody();
    return out;
}

KRZPAPComm tlsComm() {
    KRZPAPComm comm(std::string("127.0.0.1"));
    comm.setTls(true, "127.0.0.1");
    return comm;
}

TEST(KRZPAPCommTls, RepliesOfEveryFramingArriveWhole) {
    std::string big(3 * 1024 * 1024 + 7, 'x');
    for (size_t i = 0; i < big.size(); i += 997)
        big[i] = static_cast<char>('a' + i % 26);
    struct Case {
        const char* name;
        std::string reply;
        std::string body;
    } cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello"},
        {"chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
         "abcde"},
        {"close-framed", "HTTP/1.1 200 OK\r\n\r\nuntil the end", "until the end"},
        {"large, held decrypted between reads",
         "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big,
         big},
        {"large, chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n300007\r\n" + big + "\r\n0\r\n\r\n",
         big},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        krztest::TlsServer server(c.reply);
        KRZPAPComm comm = tlsComm();
        Outcome out = fetch(comm, server.port());
        ASSERT_EQ(out.code, 0) << out.message;
        EXPECT_TRUE(out.body == c.body) << out.body.size() << " bytes, wanted " << c.body.size();
        EXPECT_EQ(comm.getPeerCertificate(), server.certificate());
        ASSERT_TRUE(server.waitServed());
        EXPECT_EQ(server.received().rfind("GET /status.htm HTTP/1.1\r\n", 0), 0u)
            << server.received();
    }
}

// Many devices end with the TCP close alone: a reply framed by the close is whole, one framed by
// its length and cut short is refused, as over plain HTTP.
TEST(KRZPAPCommTls, CloseWithoutCloseNotifyEndsLikeAPlainClose) {
    struct Case {
        const char* name;
        std::string reply;
        int code;
        std::string body;
    } cases[] = {
        {"close-framed", "HTTP/1.1 200 OK\r\n\r\nuntil the end", 0, "until the end"},
        {"length cut short", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhalf", KRZPAPC_IO_ERROR,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        krztest::TlsServer server(c.reply, 1, false);
        KRZPAPComm comm = tlsComm();
        Outcome out = fetch(comm, server.port());
        EXPECT_EQ(out.code, c.code) << out.message;
        EXPECT_EQ(out.body, c.body);
    }
}

// The server name goes out for a host name only: an address literal is no name (RFC 6066).
TEST(KRZPAPCommTls, ServerNameOnlyForHostNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"router.lan", "router.lan"},  {"127.0.0.1", ""}, {"[::1]", ""}, {"::1", ""}, {"", ""},
        {"[router.lan", "[router.lan"}};
    krztest::TlsServer server("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
                              static_cast<int>(cases.size()));
    for (const auto& c : cases) {
        KRZPAPComm comm(std::string("127.0.0.1"));
        comm.setTls(true, c.first);
        EXPECT_EQ(fetch(comm, server.port()).code, 0) << c.first;
    }
    ASSERT_TRUE(server.waitServed());
    std::vector<std::string> sent;
    for (const auto& c : cases)
        sent.push_back(c.second);
    EXPECT_EQ(server.serverNames(), sent);
}

// Also for a connection opened without waiting (as the scanner opens them): its handshake, and
// so the check, comes with the first write.
TEST(KRZPAPCommTls, CertificateCheckDecidesBeforeTheRequestIsSent) {
    for (bool noWait : {false, true}) {
        SCOPED_TRACE(noWait ? "opened without waiting" : "opened");
        krztest::TlsServer server("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 2);
        KRZPAPComm comm = tlsComm();
        comm.setAuthInfo("admin", "secret");
        std::vector<unsigned char> seen;
        comm.setCertificateCheck([&](const std::vector<unsigned char>& der) {
            seen = der;
            throw KRZPAPCException(const_cast<char*>("test"), 1, "certificate refused",
                                   KRZPAPC_CONNECT_ERROR);
        });
        Outcome refused = fetch(comm, server.port(), noWait);
        EXPECT_EQ(refused.code, KRZPAPC_CONNECT_ERROR);
        EXPECT_EQ(refused.message, "certificate refused");
        EXPECT_EQ(seen, server.certificate());

        comm.setCertificateCheck([](const std::vector<unsigned char>&) {});
        Outcome taken = fetch(comm, server.port(), noWait);
        EXPECT_EQ(taken.code, 0) << taken.message;
        EXPECT_EQ(taken.body, "ok");
        ASSERT_TRUE(server.waitServed());
        // Only the second connection carried a request (and with it the password).
        std::string received = server.received();
        EXPECT_EQ(received.find("GET"), received.rfind("GET"));
        EXPECT_NE(received.find("Authorization: Basic"), std::string::npos);
    }
}

// A copy, made or assigned, connects as its original would: over TLS, with the same check.
TEST(KRZPAPCommTls, CopiesCarryTheHttpsSettings) {
    krztest::TlsServer server("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 2);
    KRZPAPComm original = tlsComm();
    int checks = 0;
    original.setCertificateCheck([&](const std::vector<unsigned char>&) { ++checks; });
    KRZPAPComm constructed(original);
    KRZPAPComm assigned(std::string("127.0.0.1"));
    assigned = original;
    for (KRZPAPComm* copy : {&constructed, &assigned}) {
        Outcome out = fetch(*copy, server.port());
        EXPECT_EQ(out.code, 0) << out.message;
        EXPECT_EQ(out.body, "ok");
        EXPECT_TRUE(copy->getTls());
        EXPECT_EQ(copy->getPeerCertificate(), server.certificate());
    }
    EXPECT_EQ(checks, 2);
}

TEST(KRZPAPCommTls, HostileDevicesEndWithASentence) {
    std::string oversized = std::string("\x16\x03\x03\x48\x01", 5) + std::string(0x4801, 'A');
    struct Case {
        const char* name;
        ScriptedPeer::Script script;
        std::string sentence;
    } cases[] = {
        {"plain HTTP instead of a handshake",
         ScriptedPeer::Script().pause(50).write("HTTP/1.1 200 OK\r\n\r\nhello"),
         "the device's TLS was refused during the TLS handshake (wrong version number)"},
        {"an alert",
         ScriptedPeer::Script().pause(50).write(std::string("\x15\x03\x03\x00\x02\x02\x28", 7)),
         "the device ended the session during the TLS handshake with TLS alert 40 (handshake "
         "failure)"},
        {"a close before any answer", ScriptedPeer::Script().pause(50).close(),
         "the device closed the connection during the TLS handshake"},
        {"an oversized record", ScriptedPeer::Script().pause(50).write(oversized),
         "the device's TLS was refused during the TLS handshake (packet length too long)"},
        {"a stalled handshake", ScriptedPeer::Script().silent(),
         "the device did not complete the TLS handshake within 1 seconds"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(c.script);
        KRZPAPComm comm = tlsComm();
        comm.setTimeout(1);  // waited out by the stalled case only
        Outcome out = fetch(comm, peer.port());
        EXPECT_EQ(out.code, KRZPAPC_CONNECT_ERROR);
        EXPECT_NE(out.message.find(c.sentence), std::string::npos) << out.message;
        EXPECT_EQ(out.body, "");
    }
}

}  // namespace
