// Opening connections: success, refusal, cancel and time-out during the connect wait, and the
// set-up errors that come before any connect.
#include "HttpTestSupport.h"
#include "ScriptedPeer.h"
#include "TestSupport.h"

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

using krztest::thrownBy;

TEST(KRZPAPCommConnect, ConnectsAndForgetsAnEarlierCancel) {
    ScriptedPeer peer(ScriptedPeer::Script().awaitRequest().write("HTTP/1.1 204 No\r\n\r\n"), 2);
    KRZPAPComm comm(std::string("127.0.0.1"));
    comm.setCancel(true);  // given before the operation starts: forgotten
    comm.openConnection(peer.port(), false);
    EXPECT_NE(comm.getFD(), static_cast<unsigned int>(INVALID_SOCKET));
    comm.writeGetRequest("/");
    comm.readResponseSynchronous();
    EXPECT_EQ(comm.getResponseHeaders(), "HTTP/1.1 204 No\r\n");

    // Without waiting: the caller watches the socket itself, as the scanner does.
    comm.openConnection(peer.port(), true);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(comm.getFD(), &writable);
    timeval wait{2, 0};
    ASSERT_EQ(::select(0, nullptr, &writable, nullptr, &wait), 1);
    comm.writeGetRequest("/");
    KRZPAPCReadStatus status = KRZPAPC_READ_PENDING;
    while (status == KRZPAPC_READ_PENDING && waitReadable(comm.getFD())) {
        status = comm.readResponse();
    }
    EXPECT_EQ(status, KRZPAPC_READ_OK);
}

TEST(KRZPAPCommConnect, RefusedCarriesTheWinsockError) {
    RefusingPort refusing;
    KRZPAPComm comm(std::string("127.0.0.1"));
    KRZPAPCException f = thrownBy([&] { comm.openConnection(refusing.port(), false); });
    EXPECT_EQ(f.getAPCErrorCode(), KRZPAPC_CONNECT_ERROR);
    EXPECT_EQ(f.getMsError(), static_cast<unsigned int>(WSAECONNREFUSED));
}

TEST(KRZPAPCommConnect, CancelAndTimeOutDuringTheConnectWait) {
    FullBacklogListener blackhole;
    KRZPAPComm comm(std::string("127.0.0.1"));
    Clock::time_point cancelledAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        cancelledAt = Clock::now();
        comm.setCancel(true);
    });
    KRZPAPCException f = thrownBy([&] { comm.openConnection(blackhole.port(), false); });
    auto took = Clock::now() - cancelledAt;
    canceller.join();
    EXPECT_EQ(f.getAPCErrorCode(), KRZPAPC_CANCELLED);
    EXPECT_EQ(f.getMessage(), L"Operation cancelled");
    EXPECT_LT(took, std::chrono::milliseconds(1500));

    comm.setTimeout(1);
    auto start = Clock::now();
    KRZPAPCException timedOut = thrownBy([&] { comm.openConnection(blackhole.port(), false); });
    auto waited = Clock::now() - start;
    EXPECT_EQ(timedOut.getAPCErrorCode(), KRZPAPC_CONNECT_ERROR);
    EXPECT_GE(waited, std::chrono::seconds(1));
    EXPECT_LT(waited, std::chrono::milliseconds(3500));
}

TEST(KRZPAPCommConnect, SetUpErrorsBeforeAnyConnect) {
    ScriptedPeer peer(ScriptedPeer::Script().silent());

    KRZPAPComm noAddress;
    EXPECT_EQ(thrownBy([&] { noAddress.openConnection(peer.port(), false); }).getAPCErrorCode(),
              KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(noAddress.getFD(), static_cast<unsigned int>(INVALID_SOCKET));

    KRZPAPComm interfaceOnly(std::string("127.0.0.1"));
    interfaceOnly.setInterfaceMac(KRZMacAddress::fromUtf8String("02:00:00:00:00:01"));
    KRZPAPCException f = thrownBy([&] { interfaceOnly.openConnection(peer.port(), false); });
    EXPECT_EQ(f.getAPCErrorCode(), KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(f.getMessage(),
              L"KRZPAPComm::openConnection(): interface MAC set but no destination MAC!");
    EXPECT_NE(interfaceOnly.getFD(), static_cast<unsigned int>(INVALID_SOCKET));  // stays open

    KRZPAPComm destinationOnly(std::string("127.0.0.1"));
    destinationOnly.setDestinationMac(KRZMacAddress::fromUtf8String("02:00:00:00:00:02"));
    KRZPAPCException g = thrownBy([&] { destinationOnly.openConnection(peer.port(), false); });
    EXPECT_EQ(g.getAPCErrorCode(), KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(g.getMessage(),
              L"KRZPAPComm::openConnection(): destination MAC set but no interface MAC!");
    EXPECT_EQ(peer.accepted(), 0u);  // nothing was connected
}

}  // namespace
