// What a scan observer hears while the scan runs, host by host, against the emulated devices:
// each recognized router, each web server that no module knows, each host that answered ARP only.
#include "E2eTestSupport.h"

#include "discovery/KRZPAPScanner.h"
#include "krzutil/KRZMacAddress.h"

#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

using namespace krztest;

namespace {

using ScanObserverTest = LabTest;

struct Heard {
    KRZPScanResult::Kind kind;
    std::string mac;
    std::string description;  // the configurator's, for a recognized host
    int times;
};

struct Row {
    const char* address;
    const char* copyOf;  // a default device to copy at the address, or empty for the device there
    krzlab::Fault fault;
    bool heard;
    KRZPScanResult::Kind kind;
    const char* description;
};

// The default lab's devices, and copies of the Acme router with faults.
const Row kRows[] = {
    {"192.168.77.10", "", krzlab::Fault::None, true, KRZPScanResult::RECOGNIZED, "Acme AP-100"},
    {"192.168.77.20", "", krzlab::Fault::None, true, KRZPScanResult::RECOGNIZED,
     "Borealis BR-5400"},
    {"192.168.77.30", "", krzlab::Fault::None, true, KRZPScanResult::RECOGNIZED, "Corvid CV-10"},
    {"192.168.77.31", "", krzlab::Fault::None, true, KRZPScanResult::RECOGNIZED, "Corvid CV-20"},
    // A web server whose page no module knows.
    {"192.168.77.40", "", krzlab::Fault::None, true, KRZPScanResult::UNRECOGNIZED, ""},
    // No web server at all.
    {"192.168.77.50", "", krzlab::Fault::None, true, KRZPScanResult::ARP_ONLY, ""},
    // Answers ARP, but the web server refuses, never completes the handshake, breaks off its
    // reply, or sends without end.
    {"192.168.77.60", "acme-1", krzlab::Fault::Refusing, true, KRZPScanResult::ARP_ONLY, ""},
    {"192.168.77.61", "acme-1", krzlab::Fault::Silent, true, KRZPScanResult::ARP_ONLY, ""},
    {"192.168.77.62", "acme-1", krzlab::Fault::CloseEarly, true, KRZPScanResult::ARP_ONLY, ""},
    {"192.168.77.63", "acme-1", krzlab::Fault::Flood, true, KRZPScanResult::ARP_ONLY, ""},
    // Switched off: nothing to hear.
    {"192.168.77.64", "acme-1", krzlab::Fault::Down, false, KRZPScanResult::ARP_ONLY, ""},
};

krzlab::LabDescription labOfTheTable() {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    int n = 0;
    for (const Row& row : kRows) {
        if (*row.copyOf == '\0')
            continue;
        for (const krzlab::LabDeviceEntry& entry : krzlab::LabDescription::defaultLab().devices) {
            if (entry.profile.name != row.copyOf)
                continue;
            krzlab::DeviceSpec copy = entry.profile;
            copy.name = "copy-" + std::to_string(n);
            copy.address = copy.factoryAddress = row.address;
            copy.mac = "02:4B:5A:00:EE:" + std::to_string(10 + n);
            copy.fault = row.fault;
            description.devices.push_back(krzlab::LabDeviceEntry{copy, ""});
            ++n;
        }
    }
    return description;
}

// Each host heard once, with the kind, MAC and configurator the table names; a recognized
// configurator is the very one runScan returns; an observer that throws costs nothing; one that
// is unregistered hears no more.
TEST_F(ScanObserverTest, EachHostHeardOnceAsItIsFound) {
    krzlab::LabDescription description = labOfTheTable();
    startLab(description);
    std::map<std::string, std::string> macOf;
    for (const krzlab::LabDeviceEntry& entry : description.devices)
        macOf[entry.profile.address] = entry.profile.mac;

    std::mutex mutex;
    std::map<std::string, Heard> heard;
    std::map<const KRZPAPConfigurator*, int> configurators;
    std::thread::id scanThread = std::this_thread::get_id();
    int wrongThread = 0;
    int handle = KRZPAPScanner::registerScanObserver([&](const KRZPScanResult& r) {
        std::lock_guard<std::mutex> lock(mutex);
        wrongThread += std::this_thread::get_id() == scanThread ? 0 : 1;
        Heard& h = heard[dotted(*r.address)];
        h.kind = r.kind;
        h.mac = r.mac.toUtf8String();
        h.description = r.configurator ? r.configurator->getDescription() : "";
        ++h.times;
        if (r.configurator)
            ++configurators[r.configurator.get()];
    });
    int thrower = KRZPAPScanner::registerScanObserver(
        [](const KRZPScanResult&) { throw std::runtime_error("observer trouble"); });

    KRZPAPConfiguratorList found = KRZPAPScanner::runScan();

    EXPECT_EQ(0, wrongThread);
    size_t expected = 0;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.address);
        auto h = heard.find(row.address);
        if (!row.heard) {
            EXPECT_EQ(heard.end(), h);
            continue;
        }
        ++expected;
        ASSERT_NE(heard.end(), h);
        EXPECT_EQ(row.kind, h->second.kind);
        EXPECT_EQ(1, h->second.times);
        EXPECT_EQ(macOf[row.address], h->second.mac);
        EXPECT_EQ(row.description, h->second.description);
    }
    EXPECT_EQ(expected, heard.size());
    ASSERT_EQ(4u, found.size());
    for (const auto& conf : found)
        EXPECT_EQ(1, configurators[conf.get()]) << conf->getDescription();
    EXPECT_GE(logCount("a scan observer failed: observer trouble"), expected);

    KRZPAPScanner::unregisterScanObserver(handle);
    KRZPAPScanner::unregisterScanObserver(thrower);
    heard.clear();
    lab->setFault("copy-1", krzlab::Fault::Down, 0);  // no second wait for the silent one
    EXPECT_EQ(4u, KRZPAPScanner::runScan().size());
    EXPECT_TRUE(heard.empty());
}

}  // namespace
