// The library's own ARP scanner sweeping lab links: its frames are accepted, and every live
// device, and only those, comes back with its MAC.
#include "FakeDevice.h"
#include "LabTestSupport.h"

#include "lab/net/LabNetwork.h"

#include "discovery/KRZPArpScanner.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

using namespace labtest;

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
        ArpResponseMap answers = scanner->getAllResponses(2000);
        for (const auto& [address, mac] : *answers)
            found[krzlab::formatIpv4(ntohl(address))] = mac.toUtf8String();
        return found;
    }
};

TEST_F(LabSweepTest, FiftyDevicesAllAnswer) {
    krzlab::LabDescription fifty = krzlab::LabDescription::generated(50);
    auto lab = krzlab::LabNetwork::create(fifty, makeFake);
    lab->install();
    std::map<std::string, std::string> expected;
    for (const auto& e : fifty.devices)
        expected[e.profile.address] = e.profile.mac;
    EXPECT_EQ(expected, sweep());
}

TEST_F(LabSweepTest, OnlyLiveDevicesAnswer) {
    krzlab::LabDescription d = krzlab::LabDescription::defaultLab();
    auto lab = krzlab::LabNetwork::create(d, makeFake);
    lab->install();
    lab->setFault("acme-1", krzlab::Fault::Down, 0);
    lab->stopDevice("printer-1");
    lab->setFault("borealis-1", krzlab::Fault::Silent, 0);
    std::map<std::string, std::string> expected;
    for (const auto& e : d.devices)
        if (e.profile.name != "acme-1" && e.profile.name != "printer-1")
            expected[e.profile.address] = e.profile.mac;
    EXPECT_EQ(expected, sweep());
}

}  // namespace
