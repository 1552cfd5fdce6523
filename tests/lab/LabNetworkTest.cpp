// The simulated link through the network library's own entry points: ARP frames in, driver and
// host tables out, and MAC-exact connections carried to the devices' loopback endpoints.
#include "FakeDevice.h"
#include "LabTestSupport.h"

#include "lab/net/LabBackend.h"
#include "lab/net/LabNetwork.h"

#include "krznetlib/KRZGetArpTable.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krznetlib/KRZNetworkLibrary.h"
#include "krznetlib/KRZVirtualIpLookup.h"
#include "krznetlib/KRZVirtualSocket.h"
#include "platform/krziphlp.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace krztest;
using krzlab::Fault;
using krzlab::MacBytes;

namespace {

const char* kLabJson = R"({
  "adapters": [
    {"name": "lab0", "index": 7, "address": "192.168.77.2", "mask": "255.255.255.0",
     "mac": "02:4B:5A:00:00:02"},
    {"name": "lab1", "index": 9, "address": "10.9.0.2", "mask": "255.255.255.0",
     "mac": "02:4B:5A:00:01:02", "gateway": "10.9.0.1"}],
  "devices": [
    {"name": "acme", "family": "acme", "address": "192.168.77.10", "mac": "02:4B:5A:00:00:10"},
    {"name": "twin-a", "family": "corvid", "address": "192.168.77.1", "mac": "02:4B:5A:00:00:A1"},
    {"name": "twin-b", "family": "corvid", "address": "192.168.77.1", "mac": "02:4B:5A:00:00:B1"},
    {"name": "refusing", "family": "acme", "address": "192.168.77.11", "mac": "02:4B:5A:00:00:11",
     "fault": "refusing"},
    {"name": "silent", "family": "acme", "address": "192.168.77.12", "mac": "02:4B:5A:00:00:12",
     "fault": "silent"},
    {"name": "down", "family": "acme", "address": "192.168.77.13", "mac": "02:4B:5A:00:00:13",
     "fault": "down"},
    {"name": "bare", "family": "nohttp", "address": "192.168.77.14", "mac": "02:4B:5A:00:00:14"},
    {"name": "mover", "family": "corvid", "address": "192.168.77.15", "mac": "02:4B:5A:00:00:15",
     "factory": {"address": "10.0.0.138"}},
    {"name": "far", "family": "acme", "address": "10.9.0.5", "mac": "02:4B:5A:00:01:05"}]
})";

const MacBytes kLab0 = mac("02:4B:5A:00:00:02");
const MacBytes kLab1 = mac("02:4B:5A:00:01:02");

KRZMacAddress krzMac(const MacBytes& m) {
    return KRZMacAddress(m.data());
}

class LabNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lab = krzlab::LabNetwork::create(krzlab::LabDescription::fromText(kLabJson), makeFake);
        lab->install();
    }
    void TearDown() override {
        KRZNetworkBackend::setActive(
            boost::shared_ptr<KRZNetworkBackend>(new KRZNullNetworkBackend));
    }

    KRZNdisStatus sendFrame(const std::string& frame, const MacBytes& adapter = kLab0) {
        KRZNetworkLibrary driver;
        return KRZNetworkLibrary::sendPacketDown(KRZBuf(frame), krzMac(adapter));
    }
    std::map<uint32_t, uint64_t> driverTable() {
        KRZNetworkLibrary driver;
        KRZGetArpTable table;
        KRZNetworkLibrary::getArpTable(table);
        return table.table.entries;
    }
    std::vector<MIB_IPNETROW> hostTable() {
        ULONG size = 0;
        if (GetIpNetTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER)
            return {};
        std::vector<char> buf(size);
        auto* table = reinterpret_cast<MIB_IPNETTABLE*>(buf.data());
        if (GetIpNetTable(table, &size, TRUE) != NO_ERROR)
            return {};
        return std::vector<MIB_IPNETROW>(table->table, table->table + table->dwNumEntries);
    }
    static std::string fetch(const char* address, const MacBytes* device = nullptr) {
        return krztest::fetch(address, device, kLab0);
    }

    std::shared_ptr<krzlab::LabNetwork> lab;
};

TEST_F(LabNetworkTest, ArpRequestPutsTheAnswerInTheDriverAndHostTablesAfterItsDelay) {
    auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(KRZ_NDIS_STATUS_SUCCESS, arp("192.168.77.10", kLab0));
    std::string early = driverMac("192.168.77.10");
    if (std::chrono::steady_clock::now() - sent < lab->arpDelay("acme")) {
        EXPECT_EQ("", early) << "an answer never arrives before the device's delay";
    }
    EXPECT_GE(lab->arpDelay("acme").count(), 5);
    EXPECT_LE(lab->arpDelay("acme").count(), 50);
    waitForArpAnswers();
    EXPECT_EQ("02:4B:5A:00:00:10", driverMac("192.168.77.10"));
    EXPECT_EQ(1u, driverTable().size()) << "only the address asked for answers";

    auto rows = hostTable();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(7u, rows[0].dwIndex);
    EXPECT_EQ(htonl(ip("192.168.77.10")), rows[0].dwAddr);
    EXPECT_EQ(6u, rows[0].dwPhysAddrLen);
    EXPECT_EQ(0x10, rows[0].bPhysAddr[5]);

    // Nobody holds .99; a Down device and a stopped one do not answer either. A Silent device and
    // a host without a web server are alive at the link level.
    lab->stopDevice("refusing");
    const std::pair<const char*, const char*> answers[] = {{"192.168.77.99", ""},
                                                           {"192.168.77.13", ""},
                                                           {"192.168.77.11", ""},
                                                           {"192.168.77.12", "02:4B:5A:00:00:12"},
                                                           {"192.168.77.14", "02:4B:5A:00:00:14"}};
    for (const auto& [address, answer] : answers)
        EXPECT_EQ(KRZ_NDIS_STATUS_SUCCESS, arp(address, kLab0)) << address;
    waitForArpAnswers();
    for (const auto& [address, answer] : answers)
        EXPECT_EQ(answer, driverMac(address)) << address;
}

TEST_F(LabNetworkTest, MalformedFramesAreRefusedWithoutEffect) {
    const std::string good = arpRequest(kLab0, ip("192.168.77.2"), ip("192.168.77.10"));
    auto broken = [&good](size_t at, char value) {
        std::string f = good;
        f[at] = value;
        return f;
    };
    const std::vector<std::pair<const char*, std::string>> frames = {
        {"short", good.substr(0, 41)},
        {"padded to 60", good + std::string(18, '\0')},
        {"reply (op 2)", broken(21, 2)},
        {"IPv4 ethertype", broken(13, 0x00)},
        {"unicast destination", broken(0, 0x02)},
        {"hardware type 6", broken(15, 6)},
        {"protocol type IPv6", broken(17, static_cast<char>(0xDD))},
        {"hardware length 8", broken(18, 8)},
        {"protocol length 16", broken(19, 16)},
        {"other Ethernet source", broken(11, 0x7F)},
        {"other ARP sender", arpRequest(mac("02:00:00:00:00:99"), 0, ip("192.168.77.10"))},
        {"empty", ""}};
    for (const auto& [what, frame] : frames)
        EXPECT_EQ(KRZ_NDIS_STATUS_INVALID_PACKET, sendFrame(frame)) << what;
    EXPECT_EQ(KRZ_NDIS_STATUS_ADAPTER_NOT_FOUND,
              sendFrame(arpRequest(mac("02:00:00:00:00:99"), 0, ip("192.168.77.10")),
                        mac("02:00:00:00:00:99")));
    waitForArpAnswers();
    EXPECT_TRUE(driverTable().empty());
    EXPECT_TRUE(hostTable().empty());
}

TEST_F(LabNetworkTest, DevicesSharingAnAddressAreReachedByTheirMac) {
    const MacBytes a = mac("02:4B:5A:00:00:A1"), b = mac("02:4B:5A:00:00:B1");
    EXPECT_NE(std::string::npos, fetch("192.168.77.1", &b).find(FakeDevice::page("twin-b")));
    EXPECT_NE(std::string::npos, fetch("192.168.77.1", &a).find(FakeDevice::page("twin-a")));
    EXPECT_NE(std::string::npos, fetch("192.168.77.1").find(FakeDevice::page("twin-a")))
        << "a plain connect goes to the first device at the address";

    // The driver keeps the answer that came first.
    arp("192.168.77.1", kLab0);
    waitForArpAnswers();
    bool aFirst = lab->arpDelay("twin-a") <= lab->arpDelay("twin-b");
    EXPECT_EQ(aFirst ? "02:4B:5A:00:00:A1" : "02:4B:5A:00:00:B1", driverMac("192.168.77.1"));

    // A MAC that is not at that address reaches nothing.
    const MacBytes acme = mac("02:4B:5A:00:00:10");
    Attempt wrong;
    virtualConnect(wrong, "192.168.77.1", 80, &acme, kLab0);
    EXPECT_EQ(SOCKET_ERROR, wrong.result);
    EXPECT_EQ(WSAEHOSTUNREACH, wrong.error);
}

TEST_F(LabNetworkTest, UnreachableAddressesFailAt10065WithoutAnyConnection) {
    const MacBytes downMac = mac("02:4B:5A:00:00:13");
    for (const char* address : {"192.168.77.99", "192.168.77.13", "192.0.2.1"}) {
        Attempt a;
        virtualConnect(a, address, 80);
        EXPECT_EQ(SOCKET_ERROR, a.result) << address;
        EXPECT_EQ(WSAEHOSTUNREACH, a.error) << address;
        // The socket was never used: unbound, unconnected.
        sockaddr_in local{};
        int len = sizeof local;
        ASSERT_EQ(0, ::getsockname(a.fd, reinterpret_cast<sockaddr*>(&local), &len));
        EXPECT_EQ(0, local.sin_port) << address;
        EXPECT_NE(0, ::getpeername(a.fd, reinterpret_cast<sockaddr*>(&local), &len)) << address;
    }
    Attempt viaMac;
    virtualConnect(viaMac, "192.168.77.13", 80, &downMac, kLab0);
    EXPECT_EQ(WSAEHOSTUNREACH, viaMac.error);
    Attempt otherLink;
    const MacBytes far = mac("02:4B:5A:00:01:05");
    virtualConnect(otherLink, "10.9.0.5", 80, &far, kLab0);
    EXPECT_EQ(WSAEHOSTUNREACH, otherLink.error) << "a device is reached only over its own link";
}

TEST_F(LabNetworkTest, ConnectionFaultsBehaveLikeTheirHosts) {
    // Refused: a Refusing device, a host without a web server, any port but 80.
    for (auto [address, port] : std::vector<std::pair<const char*, uint16_t>>{
             {"192.168.77.11", 80}, {"192.168.77.14", 80}, {"192.168.77.10", 8080}}) {
        Attempt a;
        virtualConnect(a, address, port);
        int error = a.result == 0 ? 0 : a.error;
        if (error == WSAEWOULDBLOCK)
            error = krz_errnoToWsa(finishConnect(a.fd, 2000));
        EXPECT_EQ(WSAECONNREFUSED, error) << address << ":" << port;
    }

    // Silent: the connect stays under way, and the kernel's TCP table shows it.
    Attempt silent;
    virtualConnect(silent, "192.168.77.12", 80);
    ASSERT_EQ(SOCKET_ERROR, silent.result);
    ASSERT_EQ(WSAEWOULDBLOCK, silent.error);
    sockaddr_in local{};
    int len = sizeof local;
    ASSERT_EQ(0, ::getsockname(silent.fd, reinterpret_cast<sockaddr*>(&local), &len));
    // The table changes between calls (other programs' connections): ask again until it fits.
    std::vector<char> buf;
    ULONG size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 10 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buf.resize(size + 64 * sizeof(MIB_TCPROW));
        size = static_cast<ULONG>(buf.size());
        result = GetTcpTable(reinterpret_cast<MIB_TCPTABLE*>(buf.data()), &size, TRUE);
    }
    ASSERT_EQ(static_cast<DWORD>(NO_ERROR), result);
    auto* table = reinterpret_cast<MIB_TCPTABLE*>(buf.data());
    // Other sockets may have the same local port towards other peers.
    bool pending = false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
        pending = pending || ((table->table[i].dwLocalPort & 0xFFFF) == local.sin_port &&
                              table->table[i].dwState == MIB_TCP_STATE_SYN_SENT);
    EXPECT_TRUE(pending) << "the pending connect is listed as SYN_SENT";
    EXPECT_EQ(-1, finishConnect(silent.fd, 0)) << "still not connected";

    // Faults switched at run time take effect on the next connection.
    lab->setFault("acme", Fault::Refusing, 0);
    EXPECT_EQ("", fetch("192.168.77.10"));
    lab->setFault("acme", Fault::None, 0);
    EXPECT_NE("", fetch("192.168.77.10"));
    EXPECT_EQ(Fault::None, lab->status("acme").state.fault);
}

TEST_F(LabNetworkTest, StoppedDevicesVanishAndFactoryResetMovesTheDevice) {
    uint16_t port = lab->status("acme").port;
    lab->stopDevice("acme");
    EXPECT_EQ("", fetch("192.168.77.10"));
    lab->startDevice("acme");
    EXPECT_EQ(port, lab->status("acme").port);
    EXPECT_NE(std::string::npos, fetch("192.168.77.10").find(FakeDevice::page("acme")));

    // The factory address lies outside lab0's network, yet the device is still on lab0's link.
    lab->factoryReset("mover");
    EXPECT_EQ("10.0.0.138", lab->status("mover").state.address);
    arp("192.168.77.15", kLab0);
    arp("10.0.0.138", kLab0);
    waitForArpAnswers();
    EXPECT_EQ("", driverMac("192.168.77.15"));
    EXPECT_EQ("02:4B:5A:00:00:15", driverMac("10.0.0.138"));
    EXPECT_EQ("", fetch("192.168.77.15"));
    const MacBytes mover = mac("02:4B:5A:00:00:15");
    EXPECT_NE(std::string::npos, fetch("10.0.0.138", &mover).find(FakeDevice::page("mover")));
}

TEST_F(LabNetworkTest, AdaptersLinksAndLookup) {
    auto adapters = KRZAdapterInfo::getAdapterInfo();
    ASSERT_EQ(2u, adapters->size());
    EXPECT_EQ("lab0", (*adapters)[0].getName());
    EXPECT_EQ(ip("192.168.77.2"), (*adapters)[0].getIpAddress());
    EXPECT_EQ(0xFFFFFF00ul, (*adapters)[0].getMask());
    EXPECT_EQ(7ul, (*adapters)[0].getIndex());
    EXPECT_EQ(krzMac(kLab1), (*adapters)[1].getMacAddress());
    EXPECT_EQ(ip("10.9.0.1"), KRZAdapterInfo::getDefaultGateway())
        << "the first adapter's that has one";

    // An ARP request goes only to its adapter's link; the host table row names that adapter.
    arp("10.9.0.5", kLab0);
    waitForArpAnswers();
    EXPECT_EQ("", driverMac("10.9.0.5"));
    arp("10.9.0.5", kLab1);
    waitForArpAnswers();
    EXPECT_EQ("02:4B:5A:00:01:05", driverMac("10.9.0.5"));
    auto rows = hostTable();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(9u, rows[0].dwIndex);

    KRZVirtualIpLookup lookup;
    in_addr address{};
    address.s_addr = htonl(ip("10.9.0.5"));
    lookup.setIpAddress(address);
    ASSERT_TRUE(lookup.lookup(100, {KRZMacAddress::fromUtf8String("02:00:00:00:00:77"),
                                    KRZMacAddress::fromUtf8String("02:4B:5A:00:01:05")}));
    EXPECT_EQ(krzMac(kLab1), lookup.getInterfaceMac());
    EXPECT_FALSE(lookup.lookup(100, {KRZMacAddress::fromUtf8String("02:4B:5A:00:00:10")}));
}

// A lab is closed: a loopback server the lab does not hold is never reached through a test lab's
// backend (it accepts nothing), only through one made open to loopback as the built-in user lab is.
TEST_F(LabNetworkTest, OnlyALabOpenToLoopbackReachesALoopbackServerItDoesNotHold) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    ASSERT_EQ(0, ::bind(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&at), size));
    ASSERT_EQ(0, ::listen(static_cast<SOCKET>(listener), 4));
    ASSERT_EQ(
        0, ::getsockname(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&at), &size));
    // Waits for a connection when `wait`, else takes one only if it is there already.
    auto accepted = [&](bool wait) {
        u_long nonBlocking = wait ? 0 : 1;
        ioctlsocket(static_cast<SOCKET>(listener), FIONBIO, &nonBlocking);
        SOCKET peer = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
        if (peer == INVALID_SOCKET)
            return false;
        closesocket(peer);
        return true;
    };
    const struct {
        bool open;
        const char* address;
    } cases[] = {{false, "127.0.0.1"}, {false, "127.1.2.3"}, {true, "127.0.0.1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.open ? "open " : "closed ") + c.address);
        boost::shared_ptr<KRZNetworkBackend> backend =
            c.open ? boost::shared_ptr<KRZNetworkBackend>(new krzlab::LabBackend(lab, true))
                   : lab->backend();
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = at;
        to.sin_addr.s_addr = htonl(ip(c.address));
        int error = 0;
        int result = backend->connect(static_cast<SOCKET>(fd), to, error);
        if (c.open) {
            EXPECT_TRUE(result == 0 || error == WSAEWOULDBLOCK);
            EXPECT_EQ(0, finishConnect(fd, 2000));
            EXPECT_TRUE(accepted(true));
        } else {
            EXPECT_EQ(-1, result);
            EXPECT_EQ(WSAEHOSTUNREACH, error);
            EXPECT_FALSE(accepted(false));
        }
        ::close(fd);
    }
    // The lab's own devices stay reachable through the closed backend.
    EXPECT_NE(std::string::npos, fetch("192.168.77.10").find(FakeDevice::page("acme")));
    ::close(listener);
}

}  // namespace
