// The Borealis emulator's refusals and its restart: the module tests drive its pages and forms.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"
#include "lab/devices/EmulatedDevice.h"

using namespace krzlab;
using namespace krztest;

namespace {

class BorealisDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        device = Device::create(labSpec("borealis", "BR-5400"));
        device->start();
        port = device->port();
        jar = (std::filesystem::temp_directory_path() /
               ("krzlab-jar-" + std::to_string(std::random_device()())))
                  .string();
    }
    void TearDown() override { std::remove(jar.c_str()); }
    CurlRun login(const std::string& user, const std::string& password) {
        return curl({"-i", "-c", jar, "--data-urlencode", "uname=" + user, "--data-urlencode",
                     "upass=" + password, url(port, "/login.cgi")});
    }
    CurlRun withCookie(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"-b", jar};
        all.insert(all.end(), args.begin(), args.end());
        return curl(all);
    }
    std::unique_ptr<Device> device;
    uint16_t port = 0;
    std::string jar;
};

}  // namespace

TEST_F(BorealisDevice, BadSettingsAreRefusedWithoutARestart) {
    ASSERT_EQ(login("admin", "secret").exitCode, 0);
    const DeviceSpec before = device->state();
    const struct {
        const char* path;
        std::vector<std::string> fields;
        const char* error;
    } cases[] = {
        {"/wireless.cgi",
         {"ssid=X", "sec=wep", "cipher=wep128", "wpakey=short"},
         "Invalid input: a 128 bit WEP key"},
        {"/admin.cgi", {"newuser=root", "newpass=", "confirm="}, "the password must be 1 to 31"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args;
        for (const std::string& field : c.fields) {
            args.push_back("--form-string");
            args.push_back(field);
        }
        args.push_back(url(port, c.path));
        CurlRun bad = withCookie(args);
        EXPECT_EQ(bad.exitCode, 0) << c.path;
        EXPECT_NE(bad.out.find(c.error), std::string::npos) << bad.out;
    }
    EXPECT_FALSE(dynamic_cast<EmulatedDevice&>(*device).restarting());
    EXPECT_EQ(device->state().wireless, before.wireless);
    EXPECT_EQ(device->state().password, before.password);
}

// The reply to a change breaks off as the device goes down; switched off during the reboot it
// stays off at once, and started again it has the new settings and no session.
TEST_F(BorealisDevice, ChangeRestartsTheDeviceAndAStopDoesNotWaitForTheReboot) {
    auto& emulated = dynamic_cast<EmulatedDevice&>(*device);
    emulated.setRestartDelay(600000);
    ASSERT_EQ(login("admin", "secret").exitCode, 0);
    CurlRun post =
        withCookie({"--form-string", "ssid=Aurora", "--form-string", "sec=wpamixed",
                    "--form-string", "cipher=both", "--form-string", "wpakey=northern lights",
                    "--form-string", "save=Save", url(port, "/wireless.cgi")});
    EXPECT_NE(post.exitCode, 0);
    EXPECT_NE(post.out.find("Restarting"), std::string::npos) << post.out;
    EXPECT_EQ(post.out.find("</html>"), std::string::npos);
    WirelessSettings expected{"Aurora", "wpa-wpa2-psk", "tkip-aes", "northern lights"};
    EXPECT_EQ(device->state().wireless, expected);
    EXPECT_TRUE(emulated.restarting());
    EXPECT_TRUE(device->running());
    EXPECT_EQ(device->port(), 0);
    EXPECT_FALSE(rawExchange(port, getRequest("/")).connected);

    device->stop();  // must not wait for the reboot to finish
    EXPECT_FALSE(emulated.restarting());
    EXPECT_FALSE(device->running());
    device->start();
    EXPECT_EQ(device->port(), port);
    EXPECT_EQ(withCookie({"-i", url(port, "/wireless.html")}).out.compare(0, 12, "HTTP/1.1 302"),
              0);
    EXPECT_NE(login("admin", "secret").out.find("Set-Cookie"), std::string::npos);
    EXPECT_EQ(device->state().wireless, expected);
}

// A device that keeps listening through its reboot answers every connection with an empty reply
// or a reset and applies the saved change only when the reboot is over.
TEST(BorealisRestartStyles, KeepsListeningAndAppliesTheChangeAfterTheReboot) {
    const struct {
        const char* style;
        int curlExit;  // what curl makes of a connection during the reboot
    } cases[] = {{"empty", 52}, {"reset", 56}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style);
        DeviceSpec profile = labSpec("borealis", "BR-5400");
        profile.restart = c.style;
        profile.restartMs = 600000;
        std::unique_ptr<Device> device = Device::create(profile);
        auto& emulated = dynamic_cast<EmulatedDevice&>(*device);
        device->start();
        uint16_t port = device->port();
        std::string jar = (std::filesystem::temp_directory_path() /
                           ("krzlab-jar-" + std::string(c.style) + std::to_string(port)))
                              .string();
        ASSERT_EQ(curl({"-c", jar, "--data-urlencode", "uname=admin", "--data-urlencode",
                        "upass=secret", url(port, "/login.cgi")})
                      .exitCode,
                  0);
        const WirelessSettings before = device->state().wireless;
        auto save = [&](const std::string& ssid) {
            curl({"-b", jar, "--form-string", "ssid=" + ssid, "--form-string", "sec=wpamixed",
                  "--form-string", "cipher=both", "--form-string", "wpakey=northern lights",
                  "--form-string", "save=Save", url(port, "/wireless.cgi")});
        };
        save("Aurora");
        EXPECT_TRUE(emulated.restarting());
        EXPECT_EQ(device->port(), port);
        EXPECT_EQ(curl({"-s", url(port, "/")}).exitCode, c.curlExit);
        EXPECT_EQ(curl({"-s", url(port, "/")}).exitCode, c.curlExit);
        EXPECT_EQ(device->state().wireless, before);  // not applied yet

        device->stop();  // the saved change survives a switch-off during the reboot
        EXPECT_EQ(device->state().wireless.ssid, "Aurora");
        device->start();
        EXPECT_EQ(curl({"-s", url(port, "/")}).exitCode, 0);

        // A reboot left to end by itself applies the change as it ends.
        emulated.setRestartDelay(300);
        ASSERT_EQ(curl({"-c", jar, "--data-urlencode", "uname=admin", "--data-urlencode",
                        "upass=secret", url(port, "/login.cgi")})
                      .exitCode,
                  0);
        save("Aurora2");
        EXPECT_TRUE(emulated.waitWhileRestarting(20000));
        EXPECT_EQ(device->state().wireless.ssid, "Aurora2");
        EXPECT_EQ(curl({"-s", url(port, "/")}).exitCode, 0);
        std::remove(jar.c_str());
    }
}
