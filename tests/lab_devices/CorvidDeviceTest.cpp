// The Corvid emulator's login, refusals and factory reset: the module tests drive its pages.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krztest;

namespace {

std::unique_ptr<Device> started(const DeviceSpec& profile) {
    auto device = Device::create(profile);
    device->start();
    return device;
}

}  // namespace

// Any user name with the password; refused changes leave the settings and the password alone.
TEST(CorvidDevice, PasswordOnlyLoginAndRefusedChanges) {
    auto device = started(labSpec("corvid", "CV-20"));
    uint16_t port = device->port();
    for (const char* credentials : {":secret", "admin:secret", "anyone:secret"}) {
        CurlRun ok = curl({"-i", "-u", credentials, url(port, "/")});
        EXPECT_EQ(ok.out.compare(0, 15, "HTTP/1.0 200 OK"), 0) << credentials;
    }
    EXPECT_NE(curl({"-i", url(port, "/")}).out.find(" 401 "), std::string::npos);
    EXPECT_NE(curl({"-i", "-u", "admin:admin", url(port, "/wireless.htm")}).out.find(" 401 "),
              std::string::npos);

    const DeviceSpec before = device->state();
    CurlRun bad = curl({"-u", ":secret",
                        url(port,
                            "/wlset.cgi?wl_ssid=x&wl_auth=wpa&wl_crypto=aes"
                            "&wl_passphrase=short")});
    EXPECT_NE(bad.out.find("ERROR: the passphrase"), std::string::npos);
    CurlRun wrongOld = curl({"-u", ":secret", "--data", "curpw=nope&newpw=fresh&newpw2=fresh",
                             url(port, "/pwset.cgi")});
    EXPECT_NE(wrongOld.out.find("ERROR"), std::string::npos);
    EXPECT_EQ(device->state().wireless, before.wireless);
    EXPECT_EQ(device->state().password, before.password);
}

TEST(CorvidDevice, FactoryResetRestoresSettingsAndMovesToTheFactoryAddress) {
    DeviceSpec profile = labSpec("corvid", "CV-10", 7);
    profile.factoryAddress = "192.168.0.1";
    profile.factoryPassword = "";
    profile.factoryWireless = {"CORVID", "none", "none", ""};
    for (bool throughPage : {true, false}) {
        auto device = started(profile);
        std::promise<std::string> moved;
        device->setAddressListener([&moved](const std::string& a) { moved.set_value(a); });
        auto heard = moved.get_future();
        if (throughPage) {
            CurlRun reset = curl({"-u", ":secret", "--data", "restore=1&go=Restore",
                                  url(device->port(), "/reset.cgi")});
            EXPECT_NE(reset.out.find("Factory defaults restored."), std::string::npos);
            EXPECT_NE(reset.out.find("http://192.168.0.1/"), std::string::npos);
        } else {
            device->factoryReset();
        }
        ASSERT_EQ(heard.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(heard.get(), "192.168.0.1");
        DeviceSpec now = device->state();
        EXPECT_EQ(now.address, "192.168.0.1");
        EXPECT_EQ(now.password, "");
        EXPECT_EQ(now.wireless, profile.factoryWireless);
        // Without a password the router lets in requests that carry no credentials at all.
        CurlRun status = curl({"--http0.9", url(device->port(), "/status.htm")});
        EXPECT_NE(status.out.find("<td>192.168.0.1</td>"), std::string::npos);
        EXPECT_NE(status.out.find("<td>CORVID</td>"), std::string::npos);
    }
}
