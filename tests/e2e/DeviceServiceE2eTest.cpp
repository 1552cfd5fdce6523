// The device service against the emulated devices, as a host uses it: a device named by address,
// MAC or host name comes back recognized and reachable, or with the verdict that says why not;
// two routers reset to one factory address are told apart by their MACs.
#include "E2eTestSupport.h"

#include "krznetlib/KRZNetworkBackend.h"
#include "service/KRZPDeviceService.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace krztest;

namespace {

const char kCorvid1[] = "02:4B:5A:00:00:30";
const char kCorvid2[] = "02:4B:5A:00:00:31";
const char kFactory[] = "10.0.0.138";

struct Row {
    const char* device;
    const char* mac;  // given with it, or empty
    // What comes back: the lab device's configurator, with this description at this address...
    const char* labName;
    const char* description;
    const char* address;
    // ... or this verdict (0: none), with these MACs named in it.
    int error;
    std::vector<std::string> errorMacs;
};

// Both Corvid routers are at their factory address, off the adapter's network.
const Row kRows[] = {
    {kFactory, "", "", "", "", KRZP_DEVICE_SEVERAL, {kCorvid1, kCorvid2}},
    {"192.168.77.10", "", "acme-1", "Acme AP-100", "192.168.77.10", 0, {}},
    // By MAC alone: found by the sweep, then reached there.
    {"02:4b:5a:00:00:20", "", "borealis-1", "Borealis BR-5400", "192.168.77.20", 0, {}},
    {kFactory, kCorvid1, "corvid-1", "Corvid CV-10", kFactory, 0, {}},
    {kFactory, kCorvid2, "corvid-2", "Corvid CV-20", kFactory, 0, {}},
    // A MAC given pins the address, but says nothing about the next device asked for.
    {kFactory, "", "", "", "", KRZP_DEVICE_SEVERAL, {kCorvid1, kCorvid2}},
    {kFactory, "02:4B:5A:00:00:10", "", "", "", KRZP_DEVICE_MAC_NOT_THERE, {}},
    {"192.168.77.40", "", "", "", "", KRZP_DEVICE_NOT_RECOGNIZED, {"02:4B:5A:00:00:40"}},
    {"192.168.77.50", "", "", "", "", KRZP_DEVICE_NO_WEB_SERVER, {"02:4B:5A:00:00:50"}},
    // A host name resolves (here to loopback: a server on this computer, asked without ARP,
    // where the lab holds none).
    {"localhost", "", "", "", "", KRZP_DEVICE_NO_WEB_SERVER, {}},
    {"0.0.0.0", "", "", "", "", KRZP_DEVICE_BAD_NAME, {}},
    {"", "", "", "", "", KRZP_DEVICE_BAD_NAME, {}},
};

class DeviceServiceTest : public LabTest {
  protected:
    void SetUp() override {
        LabTest::SetUp();
        startLab(krzlab::LabDescription::defaultLab());
        lab->factoryReset("corvid-1");
        lab->factoryReset("corvid-2");
    }
    KRZPDeviceService service;
};

TEST_F(DeviceServiceTest, OpensEachDeviceOrSaysWhyNot) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::string(row.device) + " " + row.mac);
        KRZMacAddress mac = *row.mac ? KRZMacAddress::fromUtf8String(row.mac) : KRZMacAddress();
        if (row.error != 0) {
            try {
                service.open(row.device, mac);
                ADD_FAILURE() << "no error";
            } catch (const KRZPDeviceError& e) {
                EXPECT_EQ(row.error, e.code()) << e.what();
                std::vector<std::string> named;
                for (const KRZPDeviceSighting& s : e.devices())
                    named.push_back(s.mac.toUtf8String());
                EXPECT_EQ(row.errorMacs, named) << e.what();
            }
            continue;
        }
        boost::shared_ptr<KRZPAPConfigurator> conf = service.open(row.device, mac);
        ASSERT_TRUE(conf);
        EXPECT_EQ(row.description, conf->getDescription());
        EXPECT_EQ(row.address, dotted(conf->getAddr()));
        krzlab::DeviceSpec device = lab->status(row.labName).state;
        EXPECT_EQ(device.mac, macText(*conf));
        // Ready to log in, and talking to that very device.
        conf->setCredentials(device.username, device.password);
        EXPECT_EQ(KRZP_AP_OK, conf->validate());
    }
}

// Every device that answers for a MAC asked for, the two at one address included; reach pins an
// address to the MAC it is given.
TEST_F(DeviceServiceTest, FindsEveryDeviceByMacAndReachesOne) {
    std::vector<KRZMacAddress> macs;
    for (const char* text : {kCorvid2, "02:4B:5A:00:00:99", kCorvid1, "02:4B:5A:00:00:10"})
        macs.push_back(KRZMacAddress::fromUtf8String(text));
    std::vector<std::pair<std::string, std::string>> found;
    for (const KRZPDeviceSighting& s : service.findByMac(macs))
        found.emplace_back(s.mac.toUtf8String(), dotted(*s.address));
    std::vector<std::pair<std::string, std::string>> expected = {
        {kCorvid2, kFactory}, {kCorvid1, kFactory}, {"02:4B:5A:00:00:10", "192.168.77.10"}};
    EXPECT_EQ(expected, found);

    KRZPDeviceSighting reached = service.reach(kFactory, macs[0]);
    KRZMacAddress interfaceMac, carried;
    ASSERT_TRUE(KRZNetworkBackend::carriedTo(inAddr(kFactory), interfaceMac, carried));
    EXPECT_EQ(macs[0], carried);
    EXPECT_EQ(interfaceMac, reached.interfaceMac);
    EXPECT_EQ("02:4B:5A:00:00:02", interfaceMac.toUtf8String());

    // A cancel ends the next operation at once, until it is taken back.
    service.cancel();
    try {
        service.findByMac(macs);
        ADD_FAILURE() << "not cancelled";
    } catch (const KRZPAPCException& e) {
        EXPECT_EQ(KRZPAPC_CANCELLED, e.getAPCErrorCode());
    }
    service.uncancel();
    EXPECT_EQ(macs[2], service.reach(kFactory, macs[2]).mac);
}

// The MAC of the one device at an address, asked without recognizing it; the verdicts where
// there is none to give.
TEST_F(DeviceServiceTest, TellsADevicesMacOrWhyNot) {
    struct MacRow {
        const char* device;
        const char* mac;  // expected, or empty for none
        int error;
    };
    const MacRow rows[] = {
        {"192.168.77.10", "02:4B:5A:00:00:10", 0},
        {"192.168.77.50", "02:4B:5A:00:00:50", 0},  // no web server needed
        {"localhost", "", 0},                       // this computer: no MAC to tell
        {kFactory, "", KRZP_DEVICE_SEVERAL},
        {"192.168.77.99", "", KRZP_DEVICE_NOTHING_ANSWERED},
        {"not a device", "", KRZP_DEVICE_BAD_NAME},
    };
    for (const MacRow& row : rows) {
        SCOPED_TRACE(row.device);
        try {
            KRZMacAddress mac = service.macOf(row.device);
            EXPECT_EQ(0, row.error);
            EXPECT_EQ(row.mac, mac.isSet() ? mac.toUtf8String() : std::string());
        } catch (const KRZPDeviceError& e) {
            EXPECT_EQ(row.error, e.code()) << e.what();
        }
    }
}

using Clock = std::chrono::steady_clock;

long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A scan through the service: the observer hears each host as it is found, the outcome keeps the
// same, and the recognized devices come back as the driver returns them.
TEST_F(DeviceServiceTest, ScanHearsEveryHostAndReturnsTheRecognized) {
    std::vector<KRZPScanResult> observed;
    Clock::time_point start = Clock::now();
    KRZPScanOutcome outcome =
        service.scan([&](const KRZPScanResult& result) { observed.push_back(result); });
    std::cout << "[ scan took " << millisSince(start) << " ms ]\n";
    EXPECT_EQ(KRZP_SCAN_COMPLETE, outcome.end);
    ASSERT_EQ(observed.size(), outcome.heard.size());
    std::map<std::string, std::pair<KRZPScanResult::Kind, std::string>> byAddress;
    size_t recognized = 0;
    for (size_t i = 0; i < observed.size(); ++i) {
        EXPECT_EQ(observed[i].configurator, outcome.heard[i].configurator);
        byAddress[dotted(*outcome.heard[i].address)] = {outcome.heard[i].kind,
                                                        outcome.heard[i].mac.toUtf8String()};
        recognized += outcome.heard[i].kind == KRZPScanResult::RECOGNIZED;
    }
    using K = KRZPScanResult;
    std::map<std::string, std::pair<KRZPScanResult::Kind, std::string>> expected = {
        {"192.168.77.10", {K::RECOGNIZED, "02:4B:5A:00:00:10"}},
        {"192.168.77.20", {K::RECOGNIZED, "02:4B:5A:00:00:20"}},
        {"192.168.77.40", {K::UNRECOGNIZED, "02:4B:5A:00:00:40"}},
        {"192.168.77.50", {K::ARP_ONLY, "02:4B:5A:00:00:50"}}};
    for (const auto& entry : expected) {
        SCOPED_TRACE(entry.first);
        ASSERT_EQ(1u, byAddress.count(entry.first));
        EXPECT_EQ(entry.second, byAddress[entry.first]);
    }
    EXPECT_EQ(recognized, outcome.devices.size());
}

// The service's cancel ends a scan wherever it comes (before it starts, between or inside the
// scanners' steps), well before the scan's own end; the observer hears nothing once cancel has
// returned; and the cancel holds for the next scan until it is taken back.
TEST_F(DeviceServiceTest, CancelEndsAScanWhereverItComes) {
    // Far below a whole scan (seconds), far above the 200 ms a cancel takes (see bench/).
    const long long kBoundMs = 1000;
    for (int delayMs : {-1, 0, 30, 300, 1500}) {
        SCOPED_TRACE(delayMs);
        service.uncancel();
        std::atomic<bool> cancelReturned{false};
        std::atomic<int> heardAfterCancel{0};
        Clock::time_point cancelAt;
        std::thread canceller;
        if (delayMs < 0) {
            service.cancel();
            cancelReturned = true;
            cancelAt = Clock::now();
        } else {
            canceller = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                cancelAt = Clock::now();
                service.cancel();
                cancelReturned = true;
            });
        }
        KRZPScanOutcome outcome = service.scan([&](const KRZPScanResult&) {
            if (cancelReturned)
                ++heardAfterCancel;
        });
        Clock::time_point end = Clock::now();
        if (canceller.joinable())
            canceller.join();
        EXPECT_EQ(KRZP_SCAN_CANCELLED, outcome.end);
        EXPECT_TRUE(outcome.devices.empty());
        EXPECT_EQ(0, heardAfterCancel.load());
        long long tookMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - cancelAt).count();
        std::cout << "[ cancel at " << delayMs << " ms ended the scan in " << tookMs << " ms ]\n";
        EXPECT_LT(tookMs, kBoundMs);
    }
    // Still cancelled: the next scan ends at once.
    EXPECT_EQ(KRZP_SCAN_CANCELLED, service.scan().end);
}

// A scan asked of another service while one runs fails at once as "a scan is running" (code 17),
// not as a network where nothing answered; the running scan goes on to its cancel.
TEST_F(DeviceServiceTest, AScanBesideARunningOneFailsAsSuch) {
    std::promise<void> heard;
    std::promise<void> tried;
    std::shared_future<void> triedFuture = tried.get_future().share();
    std::atomic<bool> told{false};
    std::thread first([&] {
        KRZPScanOutcome outcome = service.scan([&](const KRZPScanResult&) {
            if (told.exchange(true))
                return;
            heard.set_value();
            // The first scan must still be running when the second is asked, and be cancelled
            // rather than end: its results come near its end, so it is held here (bounded, should
            // the second ever block on it) and cancelled from inside.
            triedFuture.wait_for(std::chrono::seconds(10));
            service.cancel();
        });
        EXPECT_EQ(KRZP_SCAN_CANCELLED, outcome.end);
    });
    heard.get_future().wait();
    KRZPDeviceService other;
    try {
        other.scan();
        ADD_FAILURE() << "a second scan ran beside the first";
    } catch (const KRZPAPCException& e) {
        EXPECT_EQ(KRZPAPC_SCAN_IN_PROGRESS, e.getAPCErrorCode());
    }
    tried.set_value();
    first.join();
}

}  // namespace
