// Finding a known device again by MAC after its address changed, and talking to it there.
#include "E2eSupport.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPAPFinder.h"
#include "discovery/KRZPAPScanner.h"
#include "platform/krzplatform.h"

#include <algorithm>

using namespace e2e;

namespace {

class FindTest : public LabTest {
  protected:
    // The configurator the scan made for the device with this MAC.
    boost::shared_ptr<KRZPAPConfigurator> scanned(const std::string& mac) {
        for (const auto& conf : found)
            if (macText(*conf) == mac)
                return conf;
        ADD_FAILURE() << "the scan did not recognize " << mac;
        return {};
    }
    krzlab::DeviceSpec profile(const std::string& name) { return lab->status(name).state; }

    KRZPAPConfiguratorList found;
};

TEST_F(FindTest, MovedInsideTheNetworkFoundByItsOwnFinder) {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    for (auto& entry : description.devices)
        if (entry.profile.name == "acme-1")
            entry.profile.factoryAddress = "192.168.77.111";
    startLab(description);
    found = KRZPAPScanner::runScan();
    auto acme = scanned(profile("acme-1").mac);
    ASSERT_TRUE(acme);

    lab->factoryReset("acme-1");
    ASSERT_EQ("192.168.77.111", profile("acme-1").address);
    acme->setCredentials(profile("acme-1").username, profile("acme-1").password);

    EXPECT_TRUE(acme->findAP());
    EXPECT_EQ("192.168.77.111", dotted(acme->getAddr()));
    // The configurator now talks to the device at its new address.
    EXPECT_EQ(KRZP_AP_OK, acme->validate());
}

TEST_F(FindTest, FactoryAddressOutsideTheNetworkFoundThroughDefaultAddresses) {
    startLab(krzlab::LabDescription::defaultLab());
    found = KRZPAPScanner::runScan();
    auto corvid = scanned(profile("corvid-2").mac);
    auto acme = scanned(profile("acme-1").mac);
    ASSERT_TRUE(corvid && acme);

    lab->factoryReset("corvid-2");
    const krzlab::DeviceSpec reset = profile("corvid-2");
    ASSERT_EQ("10.0.0.138", reset.address);
    std::vector<unsigned long> defaults = KRZPAPModule::getDefaultIps();
    EXPECT_NE(defaults.end(), std::find(defaults.begin(), defaults.end(), inet_addr("10.0.0.138")));

    // The device's own finder sweeps only the adapter's network.
    EXPECT_FALSE(corvid->findAP());

    KRZPAPConfiguratorVector wanted = {corvid, acme};
    KRZPAPConfiguratorVector located = KRZPAPFinder::findAllAps(wanted);
    ASSERT_EQ(2u, located.size());
    EXPECT_EQ("10.0.0.138", dotted(corvid->getAddr()));
    EXPECT_EQ("192.168.77.10", dotted(acme->getAddr()));

    corvid->setCredentials(reset.username, reset.password);
    EXPECT_EQ(KRZP_AP_OK, corvid->validate());
}

}  // namespace
