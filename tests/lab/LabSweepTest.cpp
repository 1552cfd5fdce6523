// The library's own ARP scanner sweeping lab links: its frames are accepted, and every live
// device, and only those, comes back with its MAC.
#include "FakeDevice.h"
#include "LabTestSupport.h"

#include "lab/net/LabNetwork.h"

#include "discovery/KRZPArpScanner.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

using namespace krztest;

namespace {

class LabSweepTest : public ::testing::Test {
  protected:
    void TearDown() override {
        KRZNetworkBackend::setActive(
            boost::shared_ptr<KRZNetworkBackend>(new KRZNullNetworkBackend));
    }

    // Address (dotted) -> MAC text, as a sweep of the first adapter finds them.
    std::map<std::string, std::string> sweep() {
        auto adapters = KRZAdapterInfo::getAdapterInfo();
        EXPECT_FALSE(adapters->empty());
        auto scanner = KRZPArpScanner::createInstance();
        scanner->setInterface(adapters->at(0));
        scanner->addNet(adapters->at(0));
        std::map<std::string, std::string> found;
        // Far longer than any device's ARP delay: the sweep need not wait the scanner's usual 2 s.
        ArpResponseMap answers = scanner->getAllResponses(500);
        for (const auto& [address, mac] : *answers)
            found[krzlab::formatIpv4(ntohl(address))] = mac.toUtf8String();
        return found;
    }
};

// Fifty devices of every family: all answer but the one whose link is down and the stopped one;
// a device silent on TCP still answers ARP.
TEST_F(LabSweepTest, EveryLiveDeviceAnswers) {
    krzlab::LabDescription fifty = krzlab::LabDescription::generated(50);
    auto lab = krzlab::LabNetwork::create(fifty, makeFake);
    lab->install();
    const std::string down = fifty.devices[3].profile.name,
                      stopped = fifty.devices[17].profile.name;
    lab->setFault(down, krzlab::Fault::Down, 0);
    lab->stopDevice(stopped);
    lab->setFault(fifty.devices[30].profile.name, krzlab::Fault::Silent, 0);
    std::map<std::string, std::string> expected;
    for (const auto& e : fifty.devices)
        if (e.profile.name != down && e.profile.name != stopped)
            expected[e.profile.address] = e.profile.mac;
    EXPECT_EQ(48u, expected.size());
    EXPECT_EQ(expected, sweep());
}

}  // namespace
