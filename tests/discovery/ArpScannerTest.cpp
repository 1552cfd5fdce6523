#include "DiscoveryTestSupport.h"

#include "discovery/KRZPArpScanner.h"
#include "testsupport/krzchild.h"
#include "platform/krzplatform.h"

#include <chrono>
#include <cstdio>
#include <fstream>

using namespace krztest;

namespace {

const char* kAdapterMac = "02:00:00:00:00:01";
const KRZMacAddress kMacA = FakeNetworkBackend::mac("02:aa:00:00:00:0a");
const KRZMacAddress kMacB = FakeNetworkBackend::mac("02:bb:00:00:00:0b");

KRZAdapterInfo adapter(const std::string& address, const std::string& mask) {
    return KRZAdapterInfo("eth0", 7, FakeNetworkBackend::hostOrder(address),
                          FakeNetworkBackend::hostOrder(mask),
                          FakeNetworkBackend::mac(kAdapterMac));
}

class ArpScannerTest : public FakeNetworkTest {
  protected:
    void SetUp() override {
        FakeNetworkTest::SetUp();
        net.addAdapter("eth0", 7, "192.168.1.20", "255.255.255.0",
                       FakeNetworkBackend::mac(kAdapterMac));
    }

    boost::shared_ptr<KRZPArpScanner> scanner(const std::string& mask = "255.255.255.0") {
        boost::shared_ptr<KRZPArpScanner> s = KRZPArpScanner::createInstance();
        s->setInterface(adapter("192.168.1.20", mask));
        return s;
    }

    std::vector<std::string> asked() {
        std::vector<std::string> out;
        for (uint32_t a : net.askedAddresses()) {
            out.push_back(dotted(in_addr{a}));
        }
        return out;
    }
};

std::vector<std::string> range(const std::string& prefix, int first, int last) {
    std::vector<std::string> out;
    for (int i = first; i <= last; ++i) {
        out.push_back(prefix + std::to_string(i));
    }
    return out;
}

TEST_F(ArpScannerTest, RequestFrameIsByteExact) {
    boost::shared_ptr<KRZPArpScanner> s = scanner();
    s->addIp(inAddr("192.168.1.77"));
    const unsigned char expected[42] = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06,
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01,
        0xc0, 0xa8, 0x01, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc0, 0xa8, 0x01, 0x4d};
    std::vector<FakeNetworkBackend::SentFrame> frames = net.sentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].frame, KRZBuf(expected, sizeof expected));
    EXPECT_EQ(frames[0].adapterMac, FakeNetworkBackend::mac(kAdapterMac));
    EXPECT_EQ(KRZBuf(s->getRequestFrame(), 42), KRZBuf(expected, sizeof expected));
    EXPECT_EQ(net.invalidFrameCount(), 0u);

    // A copy asks through the same adapter with the same frame.
    KRZPArpScanner copy(*s);
    copy.addIp(inAddr("192.168.1.78"));
    frames = net.sentFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].adapterMac, FakeNetworkBackend::mac(kAdapterMac));
    EXPECT_EQ(KRZBuf(copy.getRequestFrame(), 38), KRZBuf(expected, 38));

    // The adapter can be named by its MAC; an unknown MAC is an internal error.
    boost::shared_ptr<KRZPArpScanner> byMac = KRZPArpScanner::createInstance();
    byMac->setInterface(FakeNetworkBackend::mac(kAdapterMac));
    EXPECT_EQ(KRZBuf(byMac->getRequestFrame(), 38), KRZBuf(expected, 38));
    LogCapture log;
    KRZPAPCException e =
        thrownBy([&] { byMac->setInterface(FakeNetworkBackend::mac("02:00:00:00:00:99")); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(e.getMessage(), L"");
    EXPECT_TRUE(log.contains(
        "KRZPArpScanner::setInterface(): no interface found with the given MAC address"));
}

TEST_F(ArpScannerTest, AdapterNetworkIsTheLastOctetBlock) {
    struct Case {
        const char* address;
        const char* mask;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"192.168.1.20", "255.255.255.0", range("192.168.1.", 1, 254)},
        {"192.168.1.20", "255.255.0.0", range("192.168.1.", 1, 254)},
        {"192.168.1.200", "255.255.255.128", range("192.168.1.", 129, 254)},
        {"192.168.1.6", "255.255.255.252", range("192.168.1.", 5, 6)},
        {"192.168.1.6", "255.255.255.254", {}},
    };
    for (const Case& c : cases) {
        net.clearRecords();
        boost::shared_ptr<KRZPArpScanner> s = KRZPArpScanner::createInstance();
        s->setInterface(adapter(c.address, c.mask));
        s->addNet(adapter(c.address, c.mask));
        EXPECT_EQ(asked(), c.expected) << c.address << "/" << c.mask;
    }

    net.clearRecords();
    boost::shared_ptr<KRZPArpScanner> s = scanner();
    s->addNet(inAddr("10.0.0.1"), 0);
    s->addNet(inAddr("10.0.0.1"), -3);
    EXPECT_EQ(net.sendCount(), 0u);
    s->addNet(inAddr("10.0.0.254"), 3);  // carries into the next octet
    EXPECT_EQ(asked(), (std::vector<std::string>{"10.0.0.254", "10.0.0.255", "10.0.1.0"}));
}

// Gaps between consecutive frames; the pause after every 40th makes its gap at least 167 ms.
std::vector<long> gapsMs(const std::vector<FakeNetworkBackend::SentFrame>& frames) {
    std::vector<long> gaps;
    for (size_t i = 1; i < frames.size(); ++i) {
        gaps.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             frames[i].when - frames[i - 1].when)
                                             .count()));
    }
    return gaps;
}

TEST_F(ArpScannerTest, BurstsOfFortyAndCancelAtThePause) {
    std::vector<uint32_t> addresses;
    for (int i = 1; i <= 85; ++i) {
        addresses.push_back(FakeNetworkBackend::ip("10.0.0." + std::to_string(i)));
    }
    boost::shared_ptr<KRZPArpScanner> s = scanner();
    s->addIps(addresses);
    std::vector<FakeNetworkBackend::SentFrame> frames = net.sentFrames();
    ASSERT_EQ(frames.size(), 85u);
    std::vector<long> gaps = gapsMs(frames);
    EXPECT_GE(gaps[39], 160);  // between the 40th and the 41st
    EXPECT_GE(gaps[79], 160);  // between the 80th and the 81st

    // Cancelled after the first pause: the sweep stops at the second.
    net.clearRecords();
    boost::shared_ptr<KRZPArpScanner> cancelled = scanner();
    net.setSendHook([&](size_t count) {
        if (count == 41) {
            cancelled->cancel();
        }
    });
    cancelled->addIps(std::set<uint32_t>(addresses.begin(), addresses.end()));
    net.setSendHook(nullptr);
    EXPECT_EQ(net.sendCount(), 80u);

    // A cancelled scanner stops every later sweep at its first pause; addIp is not paced.
    net.clearRecords();
    cancelled->addNet(inAddr("10.0.1.1"), 85);
    EXPECT_EQ(net.sendCount(), 40u);
    cancelled->addIp(inAddr("10.0.2.1"));
    EXPECT_EQ(net.sendCount(), 41u);
}

TEST_F(ArpScannerTest, DriverStatuses) {
    device("192.168.1.30", kMacA);
    boost::shared_ptr<KRZPArpScanner> s = scanner();

    // Out of resources three times, then taken: the address is asked and answered.
    net.failNextSends(KRZ_NDIS_STATUS_RESOURCES, 3);
    s->addIp(inAddr("192.168.1.30"));
    EXPECT_EQ(net.sendCount(), 4u);
    ArpResponseMap answers = s->getAllResponses(2000);
    ASSERT_EQ(answers->size(), 1u);
    EXPECT_EQ(answers->at(FakeNetworkBackend::ip("192.168.1.30")), kMacA);

    // -1: an internal error without message, the address is not pending.
    net.failNextSends(KRZ_NDIS_STATUS_FAILURE, 1);
    KRZPAPCException e = thrownBy([&] { s->addIp(inAddr("192.168.1.31")); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(e.getMessage(), L"");
    net.addDriverArpEntry("192.168.1.31", kMacB);
    size_t reads = net.tableReadCount();
    EXPECT_TRUE(s->getAllResponses(2000)->empty());
    EXPECT_LE(net.tableReadCount() - reads, 2u);  // nothing pending: no polling

    // Any other status counts as taken.
    net.failNextSends(KRZ_NDIS_STATUS_ADAPTER_NOT_FOUND, 1);
    s->addIp(inAddr("192.168.1.30"));
    EXPECT_EQ(s->getAllResponses(2000)->size(), 1u);

    // Out of resources fifty times (each retry after a pause): an error.
    net.clearRecords();
    net.failNextSends(KRZ_NDIS_STATUS_RESOURCES, 50);
    e = thrownBy([&] { s->addIp(inAddr("192.168.1.30")); });
    EXPECT_EQ(e.getAPCErrorCode(), KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(e.getMessage(), L"Failed to send ARP due to KRZ_NDIS_STATUS_RESOURCES");
    EXPECT_EQ(e.getSourceFile(), "KRZPArpScanner");
    EXPECT_EQ(net.sendCount(), 50u);

    // Cancelled while retrying: a quiet return, the address not recorded.
    net.clearRecords();
    net.failNextSends(KRZ_NDIS_STATUS_RESOURCES, 10);
    net.setSendHook([&](size_t count) {
        if (count == 2) {
            s->cancel();
        }
    });
    s->addIp(inAddr("192.168.1.30"));
    net.setSendHook(nullptr);
    EXPECT_EQ(net.sendCount(), 2u);
    EXPECT_TRUE(s->getResponses()->empty());
}

TEST_F(ArpScannerTest, EveryLiveScannerIsFedFromOneReading) {
    device("192.168.1.10", kMacA);
    device("192.168.1.11", kMacB);
    boost::shared_ptr<KRZPArpScanner> first = scanner();
    boost::shared_ptr<KRZPArpScanner> second = scanner();
    first->addIp(inAddr("192.168.1.10"));
    second->addIp(inAddr("192.168.1.11"));

    ArpResponseMap firstAnswers = first->getResponses();
    ASSERT_EQ(firstAnswers->size(), 1u);  // only what it asked for
    EXPECT_EQ(firstAnswers->begin()->second, kMacA);

    net.setDriverTableReadable(false);  // the second scanner can only have the first's reading
    ArpResponseMap secondAnswers = second->getResponses();
    ASSERT_EQ(secondAnswers->size(), 1u);
    EXPECT_EQ(secondAnswers->begin()->first, FakeNetworkBackend::ip("192.168.1.11"));
    EXPECT_EQ(secondAnswers->begin()->second, kMacB);
    net.setDriverTableReadable(true);

    // An answered address is handed out once, though the table still holds it.
    EXPECT_TRUE(first->getResponses()->empty());

    // The first MAC seen is kept until the map is handed out.
    LogCapture log;
    boost::shared_ptr<KRZPArpScanner> third = scanner();
    third->addIp(inAddr("192.168.1.12"));
    net.addDriverArpEntry("192.168.1.12", kMacA);
    KRZPArpScanner::createInstance();  // reads the table for every live scanner
    EXPECT_TRUE(
        log.contains("KRZPArpScanner::_handleResponses(): got ARP response from "
                     "192.168.1.12\n"));
    net.addDriverArpEntry("192.168.1.12", kMacB);
    EXPECT_EQ(third->getResponses()->at(FakeNetworkBackend::ip("192.168.1.12")), kMacA);
}

TEST_F(ArpScannerTest, WaitEndsWhenEveryAskedAddressAnswered) {
    device("192.168.1.40", kMacA, 200);
    device("192.168.1.41", kMacB);
    boost::shared_ptr<KRZPArpScanner> s = scanner();
    size_t reads = net.tableReadCount();
    EXPECT_TRUE(s->getAllResponses(2000)->empty());  // nothing asked: at once
    EXPECT_LE(net.tableReadCount() - reads, 2u);

    s->addIp(inAddr("192.168.1.40"));
    s->addIp(inAddr("192.168.1.41"));
    reads = net.tableReadCount();
    ArpResponseMap answers = s->getAllResponses(2000);
    EXPECT_EQ(answers->size(), 2u);
    // Polled every 50 ms until the late answer came, far fewer readings than 2 s would take.
    EXPECT_LT(net.tableReadCount() - reads, 30u);
}

// The frames as a capture file, read back by tshark's ARP dissector.
TEST_F(ArpScannerTest, FramesDecodeAsArpRequestsInTshark) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed; frame decoding not cross-checked";
    }
    boost::shared_ptr<KRZPArpScanner> s = scanner("255.255.255.252");
    s->addNet(adapter("192.168.1.6", "255.255.255.252"));
    s->addIp(inAddr("10.9.8.7"));
    std::vector<FakeNetworkBackend::SentFrame> frames = net.sentFrames();
    ASSERT_EQ(frames.size(), 3u);

    std::string path = "/tmp/krz_arp_" + std::to_string(getpid()) + ".pcap";
    {
        std::ofstream out(path, std::ios::binary);
        const uint32_t header[6] = {0xa1b2c3d4u, 0x00040002u, 0, 0, 65535, 1};  // Ethernet
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        for (const auto& f : frames) {
            const uint32_t record[4] = {1, 0, static_cast<uint32_t>(f.frame.size()),
                                        static_cast<uint32_t>(f.frame.size())};
            out.write(reinterpret_cast<const char*>(record), sizeof record);
            out.write(reinterpret_cast<const char*>(f.frame.data()),
                      static_cast<std::streamsize>(f.frame.size()));
        }
    }
    int status = -1;
    std::string output = krztest::run(
        {"/usr/bin/tshark", "-r", path, "-Y",
         "arp.opcode == 1 && eth.dst == ff:ff:ff:ff:ff:ff && !_ws.malformed && !_ws.expert", "-T",
         "fields", "-e", "arp.src.hw_mac", "-e", "arp.src.proto_ipv4", "-e", "arp.dst.hw_mac", "-e",
         "arp.dst.proto_ipv4"},
        status);
    std::remove(path.c_str());
    EXPECT_EQ(output,
              "02:00:00:00:00:01\t192.168.1.20\t00:00:00:00:00:00\t192.168.1.5\n"
              "02:00:00:00:00:01\t192.168.1.20\t00:00:00:00:00:00\t192.168.1.6\n"
              "02:00:00:00:00:01\t192.168.1.20\t00:00:00:00:00:00\t10.9.8.7\n");
}

}  // namespace
