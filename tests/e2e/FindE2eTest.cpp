// Finding known devices again by MAC after their addresses changed, and talking to them there.
#include "E2eTestSupport.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPAPFinder.h"
#include "discovery/KRZPDefaultsRecognizer.h"
#include "krzutil/KRZAccessPointWlanInfo.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

using namespace krztest;

namespace {

class FindTest : public LabTest {
  protected:
    krzlab::DeviceSpec profile(const std::string& name) { return lab->status(name).state; }
    // A configurator for the device as a host keeps it: by its MAC, at its current address.
    boost::shared_ptr<KRZPAPConfigurator> known(const std::wstring& vendor,
                                                const std::wstring& model,
                                                const std::string& name) {
        krzlab::DeviceSpec p = profile(name);
        auto conf = KRZPAPModule::createConf(vendor, model, {KRZMacAddress::fromUtf8String(p.mac)},
                                             L"", L"");
        if (conf) {
            conf->setAddr(inAddr(p.address));
            conf->setCredentials(p.username, p.password);
        }
        return conf;
    }
};

// Acme moves inside the adapter's network, Corvid to a factory address outside every adapter's
// network: one search over both finds each by its MAC, the latter through the module's
// registered factory addresses.
TEST_F(FindTest, ResetDevicesFoundInsideTheNetworkAndAtTheirFactoryAddress) {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    for (auto& entry : description.devices)
        if (entry.profile.name == "acme-1")
            entry.profile.factoryAddress = "192.168.77.111";
    startLab(description);
    auto acme = known(L"Acme", L"AP-100", "acme-1");
    auto corvid = known(L"Corvid", L"CV-20", "corvid-2");
    ASSERT_TRUE(acme && corvid);

    lab->factoryReset("acme-1");
    lab->factoryReset("corvid-2");
    ASSERT_EQ("192.168.77.111", profile("acme-1").address);
    ASSERT_EQ("10.0.0.138", profile("corvid-2").address);
    EXPECT_EQ(KRZP_AP_UNREACHABLE, corvid->validate());

    KRZPAPConfiguratorVector wanted = {corvid, acme};
    KRZPAPConfiguratorVector located = KRZPAPFinder::findAllAps(wanted);
    ASSERT_EQ(2u, located.size());
    EXPECT_EQ("10.0.0.138", dotted(corvid->getAddr()));
    EXPECT_EQ("192.168.77.111", dotted(acme->getAddr()));

    // The configurators now talk to the devices at their new addresses, with factory settings.
    acme->setCredentials(profile("acme-1").username, profile("acme-1").password);
    EXPECT_EQ(KRZP_AP_OK, acme->validate());
    std::pair<std::string, std::string> factory = corvid->getDefaultCredentials();
    corvid->setCredentials(factory.first, factory.second);
    EXPECT_EQ(KRZP_AP_OK, corvid->validate());
    corvid->retrieveAttributes();
    EXPECT_EQ("corvid", corvid->getSSID().getBytes());
    EXPECT_EQ(KRZP_SECURITY_NONE, corvid->getSecurityMode());
    auto info = boost::make_shared<KRZAccessPointWlanInfo>();
    info->ssid = corvid->getSSID();
    EXPECT_GT(KRZPDefaultsRecognizer::isFactoryDefaultsAccessPoint(info), 0);
}

}  // namespace
