// The router whose forms its script fills in: each shape shows the settings only in the script
// (or the JSON it fetches), never in the form's HTML; a post without the session's token, or one
// that empties or leaves out a setting, changes nothing; a save restarts the device and applies.
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

class MerrowinDevice : public ::testing::Test {
  protected:
    void start(const std::string& shape) {
        DeviceSpec profile = labSpec("merrowin", "MW-4");
        profile.username = "admin";
        profile.password = "why-pass";
        profile.wireless = {"Why Net", "wpa2-psk", "aes", "why key's 1"};
        profile.options = {{"script", shape}, {"restartMs", "50"}};
        device = Device::create(profile);
        device->start();
        port = device->port();
        jar = (std::filesystem::temp_directory_path() /
               ("krzlab-jar-" + std::to_string(std::random_device()())))
                  .string();
        ASSERT_EQ(0, curl({"-s", "-c", jar, "-d", "username=admin", "-d", "password=why-pass",
                           url(port, "/login.cgi")})
                         .exitCode);
        token = between(get("/wireless.html"), "name=\"token\" value=\"", "\"");
        ASSERT_EQ(16u, token.size());
    }
    void TearDown() override { std::remove(jar.c_str()); }
    std::string get(const std::string& path) {
        return curl({"-s", "-b", jar, url(port, path)}).out;
    }
    std::string post(const std::string& path, const std::vector<std::string>& fields) {
        std::vector<std::string> args = {"-s", "-b", jar};
        for (const std::string& f : fields) {
            args.push_back("--data-urlencode");
            args.push_back(f);
        }
        args.push_back(url(port, path));
        return curl(args).out;
    }
    std::unique_ptr<Device> device;
    uint16_t port = 0;
    std::string jar, token;
};

TEST_F(MerrowinDevice, EachShapeShowsTheSettingsOnlyInItsScript) {
    const struct {
        const char* shape;
        const char* page;  // the page that holds the values
        const char* shows;
    } cases[] = {
        {"vars", "/wireless.html", "var wlSsid = 'Why Net';\nvar wlSec = '3';"},
        {"object", "/wireless.html", "var cfg = {ssid: 'Why Net', sec: '3', enc: 'a', key: "},
        {"element", "/wireless.html", "document.getElementById('wl_key').value = 'why key\\'s 1';"},
        {"json", "/wireless.json", "{\"wireless\":{\"enc\":\"a\",\"key\":\"why key's 1\","},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shape);
        start(c.shape);
        std::string page = get("/wireless.html");
        EXPECT_NE(std::string::npos, get(c.page).find(c.shows));
        EXPECT_NE(std::string::npos, page.find("name=\"wl_ssid\" id=\"wl_ssid\" value=\"\""));
        EXPECT_EQ(std::string::npos, page.find("selected"));
        // Without the session, nothing but the login.
        EXPECT_EQ(std::string::npos, curl({"-s", url(port, c.page)}).out.find("Why Net"));
        device->stop();
    }
}

TEST_F(MerrowinDevice, APostThatEmptiesOrDropsASettingChangesNothing) {
    start("vars");
    const DeviceSpec before = device->state();
    std::vector<std::string> good = {"token=" + token, "wl_ssid=Other", "wl_sec=3", "wl_enc=a",
                                     "wl_key=other key 1"};
    const struct {
        size_t field;          // of `good`
        const char* replaced;  // null: left out
        const char* answer;
    } cases[] = {
        {0, "0000000000000000", "the form has expired"},
        {0, nullptr, "the form has expired"},
        {1, nullptr, "wl_ssid is missing"},
        {1, "wl_ssid=", "SSID"},
        {2, nullptr, "wl_sec is missing"},
        {2, "wl_sec=", "unknown security"},
        {3, "wl_enc=", "unknown security"},
        {4, nullptr, "wl_key is missing"},
        {4, "wl_key=", "passphrase must be"},
        {2, "wl_sec=9", "unknown security"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.field) + (c.replaced ? c.replaced : " left out"));
        std::vector<std::string> fields;
        for (size_t i = 0; i < good.size(); ++i)
            if (i != c.field || c.replaced)
                fields.push_back(i == c.field ? c.replaced : good[i]);
        EXPECT_NE(std::string::npos, post("/apply.cgi", fields).find(c.answer));
        EXPECT_TRUE(device->state().wireless == before.wireless);
        EXPECT_FALSE(static_cast<EmulatedDevice&>(*device).restarting());
    }
    // A wrong login opens no session.
    CurlRun refused =
        curl({"-s", "-i", "-d", "username=admin", "-d", "password=guess", url(port, "/login.cgi")});
    EXPECT_NE(std::string::npos, refused.out.find("Wrong user name or password"));
    EXPECT_EQ(std::string::npos, refused.out.find("Set-Cookie"));
    // The old password is asked for, on its own page.
    EXPECT_NE(std::string::npos, get("/password.html").find("name=\"old_password\""));
    EXPECT_NE(std::string::npos, get("/nothing.html").find("No such page"));
    EXPECT_NE(std::string::npos, curl({"-s", "-o", "/dev/null", "-w", "%{http_code}", "-b", jar,
                                       "-d", "token=" + token, url(port, "/apply.cgi")})
                                     .out.find("400"));
    EXPECT_NE(std::string::npos, post("/password.cgi", {"token=" + token, "old_password=guess",
                                                        "new_password=n1", "new_password2=n1"})
                                     .find("old password is wrong"));
    EXPECT_NE(std::string::npos, post("/password.cgi", {"token=" + token, "old_password=why-pass",
                                                        "new_password=n1", "new_password2=n1"})
                                     .find("has been changed"));
    EXPECT_EQ("n1", device->state().password);
    // A whole post is applied, and the device restarts: the session ends with it.
    EXPECT_NE(std::string::npos, post("/apply.cgi", good).find("Settings saved"));
    EXPECT_EQ("Other", device->state().wireless.ssid);
    EXPECT_EQ("other key 1", device->state().wireless.key);
    ASSERT_TRUE(static_cast<EmulatedDevice&>(*device).waitWhileRestarting(5000));
    EXPECT_EQ(std::string::npos, get("/wireless.html").find("var wlSsid"));
}

}  // namespace
