#include "krznetlib/KRZAdapterInfo.h"
#include "krznetlib/KRZGetArpTable.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krznetlib/KRZNetworkLibrary.h"
#include "krznetlib/KRZSystemNetworkBackend.h"
#include "krznetlib/KRZVirtualIpLookup.h"
#include "krznetlib/KRZVirtualSocket.h"
#include "platform/krziphlp.h"
#include "platform/krzprocess.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <boost/make_shared.hpp>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The null backend with a host ARP table and one reachable device, to watch delegation.
class TableBackend : public KRZNullNetworkBackend {
  public:
    std::vector<MIB_IPNETROW> rows;
    std::vector<MIB_IPNETROW> hostArpTable() override { return rows; }
    bool lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs, int,
                         KRZMacAddress& interfaceMac) override {
        if (address.s_addr != inet_addr("10.9.8.7") || macs.empty()) {
            return false;
        }
        interfaceMac = KRZMacAddress::fromUtf8String("02:00:00:00:00:01");
        return true;
    }
};

MIB_IPNETROW arpRow(const char* ip, unsigned char last) {
    MIB_IPNETROW row;
    std::memset(&row, 0, sizeof row);
    row.dwIndex = 3;
    row.dwPhysAddrLen = 6;
    row.bPhysAddr[5] = last;
    row.dwAddr = inet_addr(ip);
    row.dwType = MIB_IPNET_TYPE_DYNAMIC;
    return row;
}

// A listening loopback socket and its address.
SOCKET listener(sockaddr_in& address) {
    int s = krztest::listeningLoopbackSocket(2);
    address = krztest::loopback(krztest::boundPort(s));
    return static_cast<SOCKET>(s);
}

class Netlib : public ::testing::Test {
  protected:
    void TearDown() override {
        KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
        krzprocess::unsetEnvironment("KRZ_NETWORK");
    }
};

TEST_F(Netlib, BackendChosenBySetting) {
    // Made, never used: the system backend would reach this machine's real network.
    krzprocess::setEnvironment("KRZ_NETWORK", "system");
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
    EXPECT_NE(dynamic_cast<KRZSystemNetworkBackend*>(KRZNetworkBackend::active().get()), nullptr);
    for (const char* choice : {"none", "bogus", ""}) {
        krzprocess::setEnvironment("KRZ_NETWORK", choice);
        KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
        auto backend = KRZNetworkBackend::active();
        EXPECT_NE(dynamic_cast<KRZNullNetworkBackend*>(backend.get()), nullptr) << choice;
        EXPECT_EQ(KRZNetworkBackend::active(), backend);  // kept once chosen
    }
    auto installed = boost::make_shared<TableBackend>();
    KRZNetworkBackend::setActive(installed);
    EXPECT_EQ(KRZNetworkBackend::active(), installed);
}

TEST_F(Netlib, NullBackendReachesNothing) {
    KRZNetworkBackend::setActive(boost::make_shared<KRZNullNetworkBackend>());
    EXPECT_TRUE(KRZAdapterInfo::getAdapterInfo()->empty());

    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    KRZVirtualSocket vs;
    sockaddr_in device = krztest::loopback(80);
    device.sin_addr = krztest::inAddr("192.0.2.10");
    EXPECT_EQ(vs.connect(s, reinterpret_cast<sockaddr*>(&device), sizeof device), -1);
    EXPECT_EQ(vs.getLastError(), 10065);
    KRZMacAddress mac = KRZMacAddress::fromUtf8String("02:00:00:00:00:02");
    EXPECT_EQ(vs.connect(s, reinterpret_cast<sockaddr*>(&device), sizeof device, mac, mac), -1);
    EXPECT_EQ(vs.getLastError(), 10065);
    // The socket was never used: it is still unconnected.
    sockaddr_in peer;
    int len = sizeof peer;
    EXPECT_NE(::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len), 0);
    closesocket(s);

    KRZNetworkLibrary driver;
    KRZGetArpTable table;
    table.table.entries[1] = 2;
    EXPECT_TRUE(KRZNetworkLibrary::getArpTable(table));
    EXPECT_TRUE(table.table.entries.empty());
    KRZBuf frame(42);
    EXPECT_NE(KRZNetworkLibrary::sendPacketDown(frame, mac), KRZ_NDIS_STATUS_SUCCESS);
    ULONG size = 0;
    EXPECT_EQ(GetIpNetTable(nullptr, &size, TRUE), static_cast<DWORD>(ERROR_NO_DATA));
    KRZVirtualIpLookup lookup;
    lookup.setIpAddress(device.sin_addr);
    EXPECT_FALSE(lookup.lookup(10, {mac}));
}

TEST_F(Netlib, LoopbackPassesThroughWhateverTheBackend) {
    KRZNetworkBackend::setActive(boost::make_shared<KRZNullNetworkBackend>());
    sockaddr_in a;
    SOCKET server = listener(a);

    KRZMacAddress mac = KRZMacAddress::fromUtf8String("02:00:00:00:00:03");
    for (int form = 0; form < 2; ++form) {
        SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
        KRZVirtualSocket vs;
        int rc = form == 0 ? vs.connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a)
                           : vs.connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a, mac, mac);
        EXPECT_TRUE(rc == 0 || (rc == -1 && vs.getLastError() == 10035)) << vs.getLastError();
        fd_set w;
        FD_ZERO(&w);
        FD_SET(s, &w);
        timeval tv = {10, 0};
        EXPECT_EQ(select(0, nullptr, &w, nullptr, &tv), 1);
        SOCKET accepted = ::accept(static_cast<int>(server), nullptr, nullptr);
        EXPECT_NE(accepted, INVALID_SOCKET);
        closesocket(accepted);
        closesocket(s);
    }
    closesocket(server);
}

TEST_F(Netlib, TcpTableShowsOwnLoopbackConnection) {
    sockaddr_in a;
    SOCKET server = listener(a);
    SOCKET client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(static_cast<int>(client), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    sockaddr_in local;
    int len = sizeof local;
    ::getsockname(static_cast<int>(client), reinterpret_cast<sockaddr*>(&local), &len);

    ULONG size = 0;
    ASSERT_EQ(GetTcpTable(nullptr, &size, TRUE), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GE(size, sizeof(DWORD) + 2 * sizeof(MIB_TCPROW));
    // Other programs' connections come and go between calls: a short buffer is refused with
    // the size needed, and the caller retries with it.
    ULONG tooSmall = sizeof(DWORD) + sizeof(MIB_TCPROW);
    std::vector<unsigned char> small(tooSmall);
    EXPECT_EQ(GetTcpTable(reinterpret_cast<PMIB_TCPTABLE>(small.data()), &tooSmall, TRUE),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GE(tooSmall, sizeof(DWORD) + 2 * sizeof(MIB_TCPROW));
    std::vector<DWORD> storage;
    PMIB_TCPTABLE table = nullptr;
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 5 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        storage.assign(size / sizeof(DWORD) + 1, 0);
        table = reinterpret_cast<PMIB_TCPTABLE>(storage.data());
        rc = GetTcpTable(table, &size, TRUE);
    }
    ASSERT_EQ(rc, static_cast<DWORD>(NO_ERROR));

    bool sawClient = false, sawListener = false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW& row = table->table[i];
        if (i > 0) {
            const MIB_TCPROW& prev = table->table[i - 1];
            EXPECT_LE(ntohl(prev.dwLocalAddr), ntohl(row.dwLocalAddr));
        }
        // The same local port may also show in an older connection's TIME_WAIT row.
        if (row.dwLocalAddr == a.sin_addr.s_addr && row.dwLocalPort == local.sin_port &&
            row.dwRemoteAddr == a.sin_addr.s_addr && row.dwRemotePort == a.sin_port) {
            sawClient = true;
            EXPECT_EQ(row.dwState, static_cast<DWORD>(MIB_TCP_STATE_ESTAB));
        }
        if (row.dwLocalPort == a.sin_port && row.dwState == MIB_TCP_STATE_LISTEN) {
            sawListener = true;
        }
    }
    EXPECT_TRUE(sawClient);
    EXPECT_TRUE(sawListener);
    closesocket(client);
    closesocket(server);
}

TEST_F(Netlib, IpNetTableFromBackendWithSizeProtocol) {
    auto backend = boost::make_shared<TableBackend>();
    backend->rows = {arpRow("192.168.1.20", 2), arpRow("10.0.0.1", 1), arpRow("192.168.1.3", 3)};
    KRZNetworkBackend::setActive(backend);
    ULONG size = 0;
    ASSERT_EQ(GetIpNetTable(nullptr, &size, TRUE), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, sizeof(DWORD) + 3 * sizeof(MIB_IPNETROW));
    std::vector<DWORD> storage(size / sizeof(DWORD));
    auto* table = reinterpret_cast<PMIB_IPNETTABLE>(storage.data());
    ASSERT_EQ(GetIpNetTable(table, &size, TRUE), static_cast<DWORD>(NO_ERROR));
    ASSERT_EQ(table->dwNumEntries, 3u);
    EXPECT_EQ(table->table[0].dwAddr, inet_addr("10.0.0.1"));
    EXPECT_EQ(table->table[1].dwAddr, inet_addr("192.168.1.3"));
    EXPECT_EQ(table->table[2].bPhysAddr[5], 2);
    ASSERT_EQ(GetIpNetTable(table, &size, FALSE), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(table->table[0].dwAddr, inet_addr("192.168.1.20"));

    KRZVirtualIpLookup lookup;
    in_addr device;
    device.s_addr = inet_addr("10.9.8.7");
    lookup.setIpAddress(device);
    EXPECT_TRUE(lookup.lookup(100, {KRZMacAddress::fromUtf8String("02:00:00:00:00:09")}));
    EXPECT_EQ(lookup.getInterfaceMac().toHexString(), L"02:00:00:00:00:01");
}

}  // namespace
