// Opening connections: success, refusal, cancel and time-out during the connect wait, and the
// set-up errors that come before any connect.
#include "HttpTestUtil.h"
#include "ScriptedPeer.h"

#include <chrono>
#include <functional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Failure {
    int code = 0;
    unsigned int msError = 0;
    std::wstring message;
};

Failure failureOf(const std::function<void()>& f) {
    Failure out;
    try {
        f();
    } catch (const KRZPAPCException& e) {
        out.code = e.getAPCErrorCode();
        out.msError = e.getMsError();
        out.message = e.getMessage();
    }
    return out;
}

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
    pollfd p{static_cast<int>(comm.getFD()), POLLOUT, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
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
    Failure f = failureOf([&] { comm.openConnection(refusing.port(), false); });
    EXPECT_EQ(f.code, KRZPAPC_CONNECT_ERROR);
    EXPECT_EQ(f.msError, static_cast<unsigned int>(WSAECONNREFUSED));
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
    Failure f = failureOf([&] { comm.openConnection(blackhole.port(), false); });
    auto took = Clock::now() - cancelledAt;
    canceller.join();
    EXPECT_EQ(f.code, KRZPAPC_CANCELLED);
    EXPECT_EQ(f.message, L"Operation cancelled");
    EXPECT_LT(took, std::chrono::milliseconds(1500));

    comm.setTimeout(1);
    auto start = Clock::now();
    f = failureOf([&] { comm.openConnection(blackhole.port(), false); });
    auto waited = Clock::now() - start;
    EXPECT_EQ(f.code, KRZPAPC_CONNECT_ERROR);
    EXPECT_GE(waited, std::chrono::seconds(1));
    EXPECT_LT(waited, std::chrono::milliseconds(3500));
}

TEST(KRZPAPCommConnect, SetUpErrorsBeforeAnyConnect) {
    ScriptedPeer peer(ScriptedPeer::Script().silent());

    KRZPAPComm noAddress;
    EXPECT_EQ(failureOf([&] { noAddress.openConnection(peer.port(), false); }).code,
              KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(noAddress.getFD(), static_cast<unsigned int>(INVALID_SOCKET));

    KRZPAPComm interfaceOnly(std::string("127.0.0.1"));
    interfaceOnly.setInterfaceMac(KRZMacAddress::fromUtf8String("02:00:00:00:00:01"));
    Failure f = failureOf([&] { interfaceOnly.openConnection(peer.port(), false); });
    EXPECT_EQ(f.code, KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(f.message,
              L"KRZPAPComm::openConnection(): interface MAC set but no destination MAC!");
    EXPECT_NE(interfaceOnly.getFD(), static_cast<unsigned int>(INVALID_SOCKET));  // stays open

    KRZPAPComm destinationOnly(std::string("127.0.0.1"));
    destinationOnly.setDestinationMac(KRZMacAddress::fromUtf8String("02:00:00:00:00:02"));
    f = failureOf([&] { destinationOnly.openConnection(peer.port(), false); });
    EXPECT_EQ(f.code, KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(f.message,
              L"KRZPAPComm::openConnection(): destination MAC set but no interface MAC!");
    EXPECT_EQ(peer.accepted(), 0u);  // nothing was connected
}

}  // namespace
