// Trust on first use: a device's first certificate is pinned, a changed one is refused before the
// request leaves (both fingerprints and the way to accept it in the sentence), and a store that is
// not what krzpap wrote is an error, never "trust everything".
#include "app/KRZPTlsTrust.h"
#include "core/KRZPAPCException.h"
#include "http/KRZPAPComm.h"
#include "platform/krzplatform.h"
#include "testsupport/krztlsserver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using krzpapp::TlsTrust;

namespace {

std::string scratchFile(const char* name) {
    std::string path = ::testing::TempDir() + name;
    std::remove(path.c_str());
    return path;
}

std::string refusal(TlsTrust& trust, const std::string& key,
                    const std::vector<unsigned char>& der) {
    try {
        trust.check(key, "https://192.0.2.7", der);
    } catch (const KRZPAPCException& e) {
        EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_CONNECT_ERROR);
        std::wstring w = e.getMessage();
        return std::string(w.begin(), w.end());
    }
    return "";
}

TEST(TlsTrust, FirstCertificateIsPinnedAndAChangedOneRefused) {
    std::string path = scratchFile("trust-pin.json");
    TlsTrust trust(path);
    std::vector<unsigned char> first = {1, 2, 3}, second = {1, 2, 4};
    EXPECT_EQ(refusal(trust, "mac 02:00:5e:10:00:01", first), "");  // pinned now
    EXPECT_EQ(refusal(trust, "mac 02:00:5e:10:00:01", first), "");  // the same again
    EXPECT_EQ(refusal(trust, "127.0.0.1:8443", second), "");        // another device
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    TlsTrust reopened(path);  // what was pinned is kept in the file
    std::string sentence = refusal(reopened, "mac 02:00:5e:10:00:01", second);
    EXPECT_NE(sentence.find("trusted SHA-256 " + TlsTrust::fingerprint(first)), std::string::npos)
        << sentence;
    EXPECT_NE(sentence.find("shown now " + TlsTrust::fingerprint(second)), std::string::npos);
    // How to accept it is the host's to say.
    EXPECT_EQ(sentence.find("krzpap"), std::string::npos) << sentence;

    EXPECT_EQ(reopened.pin("mac 02:00:5e:10:00:01", second), TlsTrust::fingerprint(first));
    EXPECT_EQ(refusal(reopened, "mac 02:00:5e:10:00:01", second), "");
    EXPECT_NE(refusal(reopened, "mac 02:00:5e:10:00:01", first), "");
}

TEST(TlsTrust, FingerprintIsTheCertificatesSha256) {
    // SHA-256 of "abc" (FIPS 180-2's example).
    EXPECT_EQ(TlsTrust::fingerprint({'a', 'b', 'c'}),
              "BA:78:16:BF:8F:01:CF:EA:41:41:40:DE:5D:AE:22:23:B0:03:61:A3:96:17:7A:9C:B4:10:FF:"
              "61:F2:00:15:AD");
}

TEST(TlsTrust, AStoreNotWrittenByKrzpapIsAnError) {
    std::string good = std::string(95, 'A');
    const char* const stores[] = {
        "not json",
        "[]",
        "{\"version\":2,\"devices\":{}}",
        "{\"version\":1}",
        "{\"version\":1,\"devices\":[]}",
        "{\"version\":1,\"devices\":{\"k\":{\"sha256\":\"AB:CD\"}}}",
        "{\"version\":1,\"devices\":{\"k\":{\"sha256\":7}}}",
        "{\"version\":1,\"devices\":{\"k\":\"x\"}}",
    };
    for (const char* text : stores) {
        SCOPED_TRACE(text);
        std::string path = scratchFile("trust-bad.json");
        std::ofstream(path) << text;
        TlsTrust trust(path);
        std::string sentence = refusal(trust, "k", {1});
        EXPECT_NE(sentence.find("cannot be read"), std::string::npos) << sentence;
        std::ifstream in(path);
        std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(kept, text);  // left as it was
    }
    std::string path = scratchFile("trust-good.json");
    std::ofstream(path) << "{\"version\":1,\"devices\":{\"k\":{\"sha256\":\"" + good + "\"}}}";
    TlsTrust trust(path);
    EXPECT_NE(refusal(trust, "k", {1}).find("trusted SHA-256 " + good), std::string::npos);
}

// The host's check over a real connection: a device whose certificate changed (a factory reset
// makes a new one) gets no request, so no password, until the user trusts it again.
TEST(TlsTrust, ChangedDeviceGetsNoRequest) {
    std::string path = scratchFile("trust-e2e.json");
    TlsTrust trust(path);
    KRZPAPComm::setHostCertificateCheck(
        [&](const in_addr&, unsigned short, const std::vector<unsigned char>& der) {
            trust.check("device", "https://127.0.0.1", der);
        });
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    auto fetch = [&](krztest::TlsServer& server) {
        KRZPAPComm comm(std::string("127.0.0.1"));
        KRZPAPComm::setTlsFor(comm.getAddr(), server.port(), true);
        comm.setAuthInfo("admin", "secret");
        int code = 0;
        try {
            comm.openConnection(server.port(), false);
            comm.writeGetRequest("/");
            comm.readResponseSynchronous();
        } catch (const KRZPAPCException& e) {
            code = e.getAPCErrorCode();
        }
        KRZPAPComm::setTlsFor(comm.getAddr(), server.port(), false);
        server.waitServed();
        return code;
    };
    {
        krztest::TlsServer before(reply);
        EXPECT_EQ(fetch(before), 0);
        EXPECT_NE(before.received().find("Authorization"), std::string::npos);
    }
    krztest::TlsServer after(reply);  // a new key and certificate
    EXPECT_EQ(fetch(after), KRZPAPC_CONNECT_ERROR);
    EXPECT_EQ(after.received(), "");
    KRZPAPComm::setHostCertificateCheck(nullptr);
}

}  // namespace
