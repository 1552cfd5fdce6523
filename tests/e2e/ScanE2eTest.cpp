// The scan driver with the library's HTTP scanner and the sample module's recognizers against
// the emulated devices: what a host sees from runScan, cancelScan and a network with nothing on it.
#include "E2eTestSupport.h"

#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPHttpRecognizer.h"
#include "discovery/KRZPHttpScanner.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krzsettings/KRZSettings.h"
#include "platform/krzprocess.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <map>
#include <tuple>

using namespace krztest;

namespace {

using ScanTest = LabTest;

// address -> (vendor, model, MAC): the default lab's routers.
using Identity = std::map<std::string, std::tuple<std::string, std::string, std::string>>;
const Identity kRouters = {{"192.168.77.10", {"Acme", "AP-100", "02:4B:5A:00:00:10"}},
                           {"192.168.77.20", {"Borealis", "BR-5400", "02:4B:5A:00:00:20"}},
                           {"192.168.77.30", {"Corvid", "CV-10", "02:4B:5A:00:00:30"}},
                           {"192.168.77.31", {"Corvid", "CV-20", "02:4B:5A:00:00:31"}}};

// The default lab with copies of the Acme router that flood or reset instead of answering.
krzlab::LabDescription labWithHostileDevices() {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    const krzlab::DeviceSpec acme = description.devices.front().profile;
    const std::pair<krzlab::Fault, int> faults[] = {{krzlab::Fault::Flood, 0},
                                                    {krzlab::Fault::Flood, 1},
                                                    {krzlab::Fault::Flood, 2},
                                                    {krzlab::Fault::Reset, 0},
                                                    {krzlab::Fault::Reset, 1}};
    int n = 0;
    for (const auto& fault : faults) {
        krzlab::DeviceSpec hostile = acme;
        hostile.name = "hostile-" + std::to_string(n);
        hostile.address = "192.168.77." + std::to_string(200 + n);
        hostile.factoryAddress = hostile.address;
        hostile.mac = "02:4B:5A:00:EE:0" + std::to_string(n);
        hostile.fault = fault.first;
        hostile.faultParam = fault.second;
        description.devices.push_back(krzlab::LabDeviceEntry{hostile, ""});
        ++n;
    }
    return description;
}

// Asked before every other recognizer; while armed, holds the sweep inside its first reply until
// the test lets it go, and claims nothing.
class GateRecognizer : public KRZPHttpRecognizer {
  public:
    std::atomic<bool> armed{false};
    std::promise<void> replyArrived;
    std::promise<void> release;

    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr&, const std::string&,
                                                    const std::string&,
                                                    const KRZMacAddress&) override {
        if (armed.exchange(false)) {
            replyArrived.set_value();
            release.get_future().wait();
        }
        return {};
    }
};

// A cancelled scan with a second one refused meanwhile; then a full scan, in which devices that
// flood or reset each lose their own probe and every well-behaved router is recognized once.
TEST_F(ScanTest, CancelledScanThenEveryRouterOnceDespiteHostileDevices) {
    startLab(labWithHostileDevices());
    // A probe that stays outstanding for a second, so the sweep still waits after the replies.
    lab->setFault("printer-1", krzlab::Fault::Silent, 0);

    auto gate = boost::make_shared<GateRecognizer>();
    KRZPHttpScanner::registerHttpRecognizer(gate, INT_MIN);
    gate->armed = true;
    auto replyArrived = gate->replyArrived.get_future();

    auto firstScan = std::async(std::launch::async, [] {
        return thrownBy([] { KRZPAPScanner::runScan(); }).getAPCErrorCode();
    });
    ASSERT_EQ(std::future_status::ready, replyArrived.wait_for(std::chrono::seconds(60)))
        << "no device reply reached the recognizers";

    // The sweep is running on the other thread: a second scan is refused at once.
    KRZPAPCException second = thrownBy([] { KRZPAPScanner::runScan(); });
    EXPECT_EQ(KRZPAPC_SCAN_IN_PROGRESS, second.getAPCErrorCode());
    EXPECT_EQ(L"Scan already in progress", second.getMessage());

    KRZPAPScanner::cancelScan();
    gate->release.set_value();

    // The HTTP scanner gives up (code 14), the driver drops its results, and with no other
    // scanner there is no connectivity left to report.
    EXPECT_EQ(KRZPAPC_NO_CONNECTIVITY, firstScan.get());
    EXPECT_EQ(1u, logCount("Caught exception while scanning\n"));
    EXPECT_EQ(0u, logCount("KRZPAPScanner::runScan(): recognized "));

    // The cancel belonged to that scan: the next one runs in full.
    lab->setFault("printer-1", krzlab::Fault::None, 0);
    const size_t mark = logText().size();
    KRZPAPConfiguratorList found = KRZPAPScanner::runScan();
    Identity seen;
    for (const auto& conf : found) {
        seen[dotted(conf->getAddr())] = {conf->getVendorName(), conf->getModelName(),
                                         macText(*conf)};
        EXPECT_EQ(1u,
                  logCount("KRZPAPScanner::runScan(): recognized " + conf->getDescription() + "\n"))
            << conf->getDescription();
    }
    // The printer's page, the address without a web server and the hostile devices give nothing.
    EXPECT_EQ(kRouters, seen);
    EXPECT_EQ(4u, found.size());
    EXPECT_EQ(found.size(), logCount("KRZPAPScanner::runScan(): recognized "));
    EXPECT_EQ(1u, logCount("Caught exception while scanning"));
    // The three floods and the reset in the middle of a reply end in errors; a reset before any
    // byte may also show as a refused connection.
    EXPECT_GE(occurrences(logText().substr(mark), "KRZPHttpScanner: reply from 192.168.77.2"), 4u);
}

// A host whose lab cannot be set up gets a network with neither adapters nor devices.
TEST_F(ScanTest, NothingOnTheNetworkIsNoConnectivity) {
    krzprocess::setEnvironment("KRZ_LAB_FILE", logPath + ".missing.json");
    KRZSettings::reload();
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
    KRZPAPCException empty = thrownBy([] { KRZPAPScanner::runScan(); });
    krzprocess::unsetEnvironment("KRZ_LAB_FILE");
    EXPECT_EQ(KRZPAPC_NO_CONNECTIVITY, empty.getAPCErrorCode());
    EXPECT_EQ(L"AP scanners failed to detect any connectivity", empty.getMessage());
    EXPECT_TRUE(KRZAdapterInfo::getAdapterInfo()->empty());
}

}  // namespace
