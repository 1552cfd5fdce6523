// Every firmware family described in format 2, end to end against its emulator in the lab: `show`
// reads what the device holds; a configure of the network name, the security mode, the key and
// the administrator's password is confirmed; and a fresh configurator, logging in with the new
// password, reads back every change. One row per family: its lab file, device and description,
// and the lab options that shorten its restart for the test.
#include "E2eTestSupport.h"

#include "KRZPDescribedConfigurator.h"
#include "KRZPDescribedFamily.h"
#include "KRZPDescription.h"

#include "lab/devices/AsusWrtDevice.h"
#include "lab/net/LabDescription.h"

#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include <map>

using namespace krztest;
using nlohmann::json;

namespace {

struct Family {
    const char* lab;                             // in lab/labs
    const char* device;                          // its name in that lab
    const char* description;                     // in modules/descriptions/families
    std::map<std::string, std::string> options;  // the device's lab options, for the test
    const char* password;                        // a new one the device's rules take
};

std::ostream& operator<<(std::ostream& out, const Family& f) {
    return out << f.device;
}

std::string rowName(const ::testing::TestParamInfo<Family>& row) {
    std::string name = row.param.device;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

class FirmwareFamily : public LabTest, public ::testing::WithParamInterface<Family> {
  protected:
    void SetUp() override {
        LabTest::SetUp();
        json file = json::parse(fileText(std::string(KRZ_LABS_SOURCE) + "/" + GetParam().lab));
        json devices = json::array();
        for (json device : file["devices"])
            if (device["name"] == GetParam().device) {
                for (const auto& option : GetParam().options)
                    device["options"][option.first] = option.second;
                devices.push_back(device);
            }
        ASSERT_EQ(1u, devices.size()) << GetParam().device << " is not in " << GetParam().lab;
        file["devices"] = devices;
        startLab(krzlab::LabDescription::fromJson(file));
        description = krzdesc::parseDescription(
            fileText(std::string(KRZ_DESCRIPTIONS_SOURCE) + "/" + GetParam().description),
            GetParam().description);
    }
    boost::shared_ptr<KRZPDescribedConfigurator> open(const std::string& password) {
        const auto device = lab->status(GetParam().device).state;
        auto conf = boost::make_shared<KRZPDescribedConfigurator>(
            description, device.model, std::vector<KRZMacAddress>(), device.username, password);
        conf->setAddr(inAddr(device.address));
        return conf;
    }
    std::shared_ptr<const krzdesc::Description> description;
};

TEST_P(FirmwareFamily, ShowConfigureAndReadBack) {
    const krzlab::DeviceSpec before = lab->status(GetParam().device).state;
    auto conf = open(before.password);
    conf->retrieveAttributes();
    EXPECT_EQ(before.firmware, conf->getFirmwareRevision());
    EXPECT_EQ(before.wireless.ssid, conf->getSSID().getBytes());
    EXPECT_NE(KRZP_SECURITY_UNSET, conf->getSecurityMode());
    ASSERT_TRUE(conf->getKey());
    EXPECT_EQ(before.wireless.key, conf->getKey()->getKey());

    conf->startConfiguration();
    conf->changeSSID(KRZSsid("Family Test"));
    conf->changeSecurityMode(KRZP_SECURITY_WPA_WPA2_PSK,
                             boost::make_shared<KRZPKey>("family-test-key"),
                             KRZP_ENCRYPTION_TKIP_AES);
    conf->changeCredentials(before.username, GetParam().password);
    EXPECT_TRUE(conf->completeConfiguration());

    // The device holds every change, and a fresh configurator reads them with the new password.
    krzlab::DeviceSpec after = lab->status(GetParam().device).state;
    EXPECT_EQ("Family Test", after.wireless.ssid);
    EXPECT_EQ("wpa-wpa2-psk", after.wireless.security);
    EXPECT_EQ("tkip-aes", after.wireless.encryption);
    EXPECT_EQ("family-test-key", after.wireless.key);
    EXPECT_EQ(GetParam().password, after.password);
    auto again = open(GetParam().password);
    again->retrieveAttributes();
    EXPECT_EQ("Family Test", again->getSSID().getBytes());
    EXPECT_EQ(KRZP_SECURITY_WPA_WPA2_PSK, again->getSecurityMode());
    EXPECT_EQ(KRZP_ENCRYPTION_TKIP_AES, again->getEncryptionMode());
    ASSERT_TRUE(again->getKey());
    EXPECT_EQ("family-test-key", again->getKey()->getKey());
    EXPECT_FALSE(open(before.password)->testLogin());
}

// A family of many models is named by the model its login page shows, not by the family's name.
class ManyModelsFamily : public FirmwareFamily {};

TEST_P(ManyModelsFamily, RecognizedAsTheModelItsPagesShow) {
    const auto device = lab->status(GetParam().device).state;
    KRZPDescribedRecognizer recognizer(description);
    auto conf =
        recognizer.recognize(inAddr(device.address), "HTTP/1.1 200 OK\r\nServer: httpd/2.0\r\n",
                             "<HTML></HTML>", KRZMacAddress());
    ASSERT_TRUE(conf);
    EXPECT_EQ("RT-LAB1", device.model);
    EXPECT_EQ(device.model, conf->getModelName());
}

INSTANTIATE_TEST_SUITE_P(
    Named, ManyModelsFamily,
    ::testing::Values(Family{
        "firmware.json", "asuswrt-1", "asuswrt.json", {{"restartMs", "200"}}, "fresh-pass1"}),
    rowName);

// WEP where the firmware offers it: set only when asked, and a change of the network name alone
// keeps what the device holds (WPA2 before, WEP after) rather than raising or lowering it.
class WepFamily : public FirmwareFamily {
  protected:
    void changeSsidOnly(const std::string& password, const std::string& ssid) {
        auto conf = open(password);
        conf->retrieveAttributes();
        conf->startConfiguration();
        conf->changeSSID(KRZSsid(ssid));
        EXPECT_TRUE(conf->completeConfiguration());
    }
};

TEST_P(WepFamily, SetOnlyWhenAskedAndKeptUnasked) {
    const krzlab::DeviceSpec before = lab->status(GetParam().device).state;
    ASSERT_NE("wep", before.wireless.security);
    changeSsidOnly(before.password, "Named Only");
    krzlab::WirelessSettings held = lab->status(GetParam().device).state.wireless;
    EXPECT_EQ("Named Only", held.ssid);
    EXPECT_EQ(before.wireless.security, held.security);
    EXPECT_EQ(before.wireless.encryption, held.encryption);
    EXPECT_EQ(before.wireless.key, held.key);

    // Each change waits out the device's restart (seconds): one WEP change, the longer key.
    auto conf = open(before.password);
    conf->startConfiguration();
    conf->changeSecurityMode(KRZP_SECURITY_WEP, boost::make_shared<KRZPKey>("wep-key-13chr"),
                             KRZP_ENCRYPTION_WEP128);
    EXPECT_TRUE(conf->completeConfiguration());
    held = lab->status(GetParam().device).state.wireless;
    EXPECT_EQ("wep", held.security);
    EXPECT_EQ("wep128", held.encryption);
    EXPECT_EQ("wep-key-13chr", held.key);
    auto again = open(before.password);
    again->retrieveAttributes();
    EXPECT_EQ(KRZP_SECURITY_WEP, again->getSecurityMode());
    EXPECT_EQ(KRZP_ENCRYPTION_WEP128, again->getEncryptionMode());
    ASSERT_TRUE(again->getKey());
    EXPECT_EQ("wep-key-13chr", again->getKey()->getKey());

    changeSsidOnly(before.password, "Still WEP");
    held = lab->status(GetParam().device).state.wireless;
    EXPECT_EQ("Still WEP", held.ssid);
    EXPECT_EQ("wep", held.security);
    EXPECT_EQ("wep128", held.encryption);
    EXPECT_EQ("wep-key-13chr", held.key);
}

INSTANTIATE_TEST_SUITE_P(
    Offered, WepFamily,
    ::testing::Values(
        Family{"firmware.json", "ddwrt-1", "ddwrt.json", {{"restartMs", "200"}}, "fresh-pass1"},
        Family{"firmware.json",
               "freshtomato-1",
               "freshtomato.json",
               {{"restartMs", "200"}},
               "fresh-pass1"},
        Family{
            "firmware.json", "asuswrt-1", "asuswrt.json", {{"restartMs", "200"}}, "fresh-pass1"}),
    rowName);

// ASUSWRT's WEP key in a slot other than the first (wl0_key 3): the mode, key length and key read,
// and a change is refused before anything is sent, since its post would move the key to slot 1.
class KeySlotFamily : public FirmwareFamily {};

TEST_P(KeySlotFamily, AnotherWepKeySlotIsNeverWritten) {
    krzlab::Device& device = lab->device(GetParam().device);
    krzlab::DeviceSpec held = device.state();
    held.wireless = {"Slot Three", "wep", "wep64", "abcde"};
    device.adoptState(held);
    auto conf = open(held.password);
    conf->retrieveAttributes();
    EXPECT_EQ(KRZP_SECURITY_WEP, conf->getSecurityMode());
    EXPECT_EQ(KRZP_ENCRYPTION_WEP64, conf->getEncryptionMode());
    ASSERT_TRUE(conf->getKey());
    EXPECT_EQ("abcde", conf->getKey()->getKey());  // from the slot in use, not the first
    conf->startConfiguration();
    conf->changeSSID(KRZSsid("Moved"));
    EXPECT_EQ(KRZPAPC_PARSE_ERROR,
              thrownBy([&] { conf->completeConfiguration(); }).getAPCErrorCode());
    EXPECT_TRUE(held.wireless == lab->status(GetParam().device).state.wireless);
}

// From WEP to an open network where both keep one security value: the second value is written
// as the open network's, and the device reads as open.
class SharedValueFamily : public FirmwareFamily {};

TEST_P(SharedValueFamily, WepToOpenWritesTheSecondValue) {
    krzlab::Device& device = lab->device(GetParam().device);
    krzlab::DeviceSpec held = device.state();
    held.wireless = {"Was WEP", "wep", "wep128", "abcdefghijklm"};
    device.adoptState(held);
    auto conf = open(held.password);
    conf->startConfiguration();
    conf->changeSecurityMode(KRZP_SECURITY_NONE, boost::shared_ptr<KRZPKey>(),
                             KRZP_ENCRYPTION_NONE);
    EXPECT_TRUE(conf->completeConfiguration());
    krzlab::WirelessSettings now = lab->status(GetParam().device).state.wireless;
    EXPECT_EQ("Was WEP", now.ssid);
    EXPECT_EQ("none", now.security);
    auto again = open(held.password);
    again->retrieveAttributes();
    EXPECT_EQ(KRZP_SECURITY_NONE, again->getSecurityMode());
    EXPECT_EQ(KRZP_ENCRYPTION_NONE, again->getEncryptionMode());
}

// A device on shared-key WEP: a change of the network name alone posts the authentication the
// device holds, so that it stays shared-key, as its owner set it.
class SharedKeyFamily : public WepFamily {};

TEST_P(SharedKeyFamily, ANameChangeKeepsSharedKeyAuthentication) {
    krzlab::Device& device = lab->device(GetParam().device);
    krzlab::DeviceSpec held = device.state();
    held.wireless = {"Shared Key", "wep", "wep64", "abcde"};
    device.adoptState(held);
    auto& asus = dynamic_cast<krzlab::AsusWrtDevice&>(device);
    ASSERT_EQ("shared", asus.nvram("wl0_auth_mode_x"));
    changeSsidOnly(held.password, "Renamed Shared");
    krzlab::WirelessSettings now = lab->status(GetParam().device).state.wireless;
    EXPECT_EQ("Renamed Shared", now.ssid);
    EXPECT_EQ("abcde", now.key);
    EXPECT_EQ("shared", asus.nvram("wl0_auth_mode_x"));
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedKeyFamily,
                         ::testing::Values(Family{"firmware.json",
                                                  "asuswrt-1",
                                                  "asuswrt.json",
                                                  {{"restartMs", "200"}, {"wepAuth", "shared"}},
                                                  "fresh-pass1"}),
                         rowName);

INSTANTIATE_TEST_SUITE_P(
    Open, SharedValueFamily,
    ::testing::Values(Family{
        "firmware.json", "asuswrt-1", "asuswrt.json", {{"restartMs", "200"}}, "fresh-pass1"}),
    rowName);

INSTANTIATE_TEST_SUITE_P(Slot3, KeySlotFamily,
                         ::testing::Values(Family{"firmware.json",
                                                  "asuswrt-1",
                                                  "asuswrt.json",
                                                  {{"restartMs", "200"}, {"wepKeySlot", "3"}},
                                                  "fresh-pass1"}),
                         rowName);

INSTANTIATE_TEST_SUITE_P(
    Every, FirmwareFamily,
    ::testing::Values(
        Family{"firmware.json",
               "sorrelby-1",
               "sorrelby.json",
               {{"restartMs", "200"}, {"iterations", "1000"}},
               "fresh-pass1"},
        Family{
            "firmware.json", "luci-1", "openwrt.json", {{"rollbackSeconds", "90"}}, "fresh-pass1"},
        Family{"firmware.json", "ddwrt-1", "ddwrt.json", {{"restartMs", "200"}}, "fresh-pass1"},
        Family{"firmware.json",
               "freshtomato-1",
               "freshtomato.json",
               {{"restartMs", "200"}},
               "fresh-pass1"},
        Family{
            "firmware.json", "asuswrt-1", "asuswrt.json", {{"restartMs", "200"}}, "fresh-pass1"}),
    rowName);

}  // namespace
