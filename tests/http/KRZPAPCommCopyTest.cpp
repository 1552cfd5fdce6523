// A copy of a connection, made by construction or by assignment over a connection with settings of
// its own, carries every setting of the original: the address, the time-out, the credentials, the
// cookies, the space coding and both MACs that carry the next connection. Each setting is seen
// where it matters, in the connect the backend is asked for and in the request bytes sent.
#include "HttpTestSupport.h"
#include "ScriptedPeer.h"

#include "FakeNetworkBackend.h"

#include <memory>

namespace {

const char* const kAddress = "10.20.30.40";

class KRZPAPCommCopy : public ::testing::Test {
  protected:
    void SetUp() override {
        backend.reset(new FakeNetworkBackend());
        FakeNetworkBackend::Device d;
        d.address = kAddress;
        d.mac = FakeNetworkBackend::mac("02:00:00:00:00:99");
        d.port = peer.port();
        backend->addDevice(d);
        backend->install();
    }
    void TearDown() override { FakeNetworkBackend::uninstall(); }

    // The original: every setting differs from a fresh connection's.
    static std::unique_ptr<KRZPAPComm> configured() {
        auto comm = std::make_unique<KRZPAPComm>(std::string(kAddress));
        comm->setTimeout(7);
        comm->setSpacePlus(false);
        comm->setAuthInfo("admin", "s3cret");
        comm->setCookie("Cookie", "sid=42");
        comm->setInterfaceMac(FakeNetworkBackend::mac("02:00:00:00:00:01"));
        comm->setDestinationMac(FakeNetworkBackend::mac("02:00:00:00:00:99"));
        return comm;
    }

    // Sends one GET with a spaced parameter through `comm` to the device and returns the
    // request's bytes, with the connect attempt the backend saw.
    std::string requestThrough(KRZPAPComm& comm, FakeNetworkBackend::ConnectAttempt& attempt) {
        backend->clearRecords();
        comm.openConnection(80, false);
        comm.writeGetRequest("/p", std::map<std::string, std::string>{{"n", "a b"}});
        comm.readResponseSynchronous();
        EXPECT_EQ(backend->connectAttempts().size(), 1u);
        if (!backend->connectAttempts().empty())
            attempt = backend->connectAttempts().front();
        return peer.received(requests++);
    }

    void expectCarriesEverySetting(KRZPAPComm& copy) {
        EXPECT_EQ(copy.getTimeout(), 7);
        EXPECT_FALSE(copy.getSpacePlus());
        EXPECT_EQ(copy.getUsername(), "admin");
        EXPECT_EQ(copy.getPassword(), "s3cret");
        EXPECT_EQ(copy.getAddr().s_addr, FakeNetworkBackend::ip(kAddress));

        FakeNetworkBackend::ConnectAttempt attempt{};
        std::string request = requestThrough(copy, attempt);
        EXPECT_EQ(attempt.address, FakeNetworkBackend::ip(kAddress));
        EXPECT_EQ(attempt.interfaceMac, FakeNetworkBackend::mac("02:00:00:00:00:01"));
        EXPECT_EQ(attempt.destinationMac, FakeNetworkBackend::mac("02:00:00:00:00:99"));
        EXPECT_NE(request.find("GET /p?n=a%20b HTTP/1.1\r\n"), std::string::npos) << request;
        EXPECT_NE(request.find("\r\nCookie: sid=42\r\n"), std::string::npos) << request;
        // "admin:s3cret" in base64.
        EXPECT_NE(request.find("\r\nAuthorization: Basic YWRtaW46czNjcmV0\r\n"), std::string::npos)
            << request;
    }

    // The device's web server, one connection for each copy.
    ScriptedPeer peer{ScriptedPeer::Script().awaitRequest().write("HTTP/1.1 204 No\r\n\r\n"), 2};
    int requests = 0;
    boost::shared_ptr<FakeNetworkBackend> backend;
};

TEST_F(KRZPAPCommCopy, ConstructionAndAssignmentCarryEverySetting) {
    std::unique_ptr<KRZPAPComm> original = configured();

    KRZPAPComm constructed(*original);
    expectCarriesEverySetting(constructed);

    // Assigned over a connection whose own settings all differ, so a field left out keeps them.
    KRZPAPComm assigned(std::string("10.1.1.1"));
    assigned.setTimeout(3);
    assigned.setAuthInfo("other", "pw");
    assigned.setCookie("Cookie", "old=1");
    assigned.setInterfaceMac(FakeNetworkBackend::mac("02:00:00:00:00:02"));
    assigned.setDestinationMac(FakeNetworkBackend::mac("02:00:00:00:00:03"));
    assigned = *original;
    original.reset();  // the copy owns what it holds
    expectCarriesEverySetting(assigned);
}

}  // namespace
