#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"
#include "lab/devices/EmulatedDevice.h"

using namespace krzlab;
using namespace krzlab_test;

namespace {

class BorealisTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceSpec profile = labSpec("borealis", "BR-5400");
        profile.wireless.ssid = "My'Net \\ \"5G\"";
        device = Device::create(profile);
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
    // The session cookie's value from curl's jar (the last field of its line).
    std::string sessionId() const {
        std::ifstream in(jar);
        std::string line, value;
        while (std::getline(in, line)) {
            if (line.find("\tBRSID\t") != std::string::npos) {
                value = line.substr(line.rfind('\t') + 1);
            }
        }
        return value;
    }
    std::unique_ptr<Device> device;
    uint16_t port = 0;
    std::string jar;
};

}  // namespace

TEST_F(BorealisTest, LoginFormSetsTheSessionCookie) {
    CurlRun first = curl({url(port, "/")});
    EXPECT_NE(first.out.find("action=\"/login.cgi\""), std::string::npos);
    EXPECT_NE(first.out.find("name=\"upass\""), std::string::npos);
    EXPECT_NE(first.out.find("BOREALIS BR-5400"), std::string::npos);
    CurlRun guarded = curl({"-i", url(port, "/wireless.html")});
    EXPECT_EQ(guarded.out.compare(0, 18, "HTTP/1.1 302 Found"), 0);
    EXPECT_NE(guarded.out.find("Location: /login.html"), std::string::npos);

    CurlRun wrong = login("admin", "secrets");
    EXPECT_EQ(wrong.out.find("Set-Cookie"), std::string::npos);
    EXPECT_NE(wrong.out.find("Invalid user name or password."), std::string::npos);
    EXPECT_EQ(withCookie({"-i", url(port, "/status.html")}).out.compare(0, 12, "HTTP/1.1 302"), 0);

    CurlRun right = login("admin", "secret");
    EXPECT_NE(right.out.find("Set-Cookie: BRSID="), std::string::npos);
    CurlRun status = withCookie({url(port, "/status.html")});
    EXPECT_NE(status.out.find("var sysModel = 'BR-5400';"), std::string::npos);
    EXPECT_NE(withCookie({url(port, "/")}).out.find("var sysFirmware = 'V2.0.14_EU';"),
              std::string::npos);

    // Logging out ends the session.
    withCookie({url(port, "/logout.cgi")});
    EXPECT_EQ(withCookie({"-i", url(port, "/status.html")}).out.compare(0, 12, "HTTP/1.1 302"), 0);
}

TEST_F(BorealisTest, PagesAreChunkedWithSettingsInScriptLiterals) {
    ASSERT_EQ(login("admin", "secret").exitCode, 0);
    CurlRun page = withCookie({"-v", url(port, "/wireless.html")});
    EXPECT_NE(page.err.find("< Transfer-Encoding: chunked"), std::string::npos);
    EXPECT_EQ(page.err.find("Content-Length"), std::string::npos);
    EXPECT_NE(page.out.find("var wlanSsid = 'My\\'Net \\\\ \\\"5G\\\"';"), std::string::npos)
        << page.out;
    EXPECT_NE(page.out.find("var wlanSecurity = 'wpa2psk';"), std::string::npos);
    EXPECT_NE(page.out.find("var wlanKey = 'initial-key-1';"), std::string::npos);
    EXPECT_NE(page.out.find("enctype=\"multipart/form-data\""), std::string::npos);
    EXPECT_EQ(page.out.find("value=\"My"), std::string::npos) << "settings only in the script";

    // On the wire: uneven chunks, some with an extension, closed by the last chunk.
    RawRun raw =
        rawExchange(port, getRequest("/wireless.html", "Cookie: BRSID=" + sessionId() + "\r\n"));
    EXPECT_NE(headPart(raw.bytes).find("Transfer-Encoding: chunked"), std::string::npos);
    std::string chunked = bodyPart(raw.bytes);
    EXPECT_NE(chunked.find(";seq="), std::string::npos);
    std::string body;
    ASSERT_TRUE(dechunk(chunked, body));
    EXPECT_EQ(body, page.out);
}

TEST_F(BorealisTest, MultipartChangeRestartsTheDeviceWhichComesBackChanged) {
    auto* emulated = dynamic_cast<EmulatedDevice*>(device.get());
    ASSERT_NE(emulated, nullptr);
    emulated->setRestartDelay(1000);
    ASSERT_EQ(login("admin", "secret").exitCode, 0);

    CurlRun post =
        withCookie({"--form-string", "ssid=Aurora", "--form-string", "sec=wpamixed",
                    "--form-string", "cipher=both", "--form-string", "wpakey=northern lights",
                    "--form-string", "save=Save", url(port, "/wireless.cgi")});
    // The reply breaks off: the device went down in the middle of it.
    EXPECT_NE(post.exitCode, 0);
    EXPECT_NE(post.out.find("Restarting"), std::string::npos) << post.out;
    EXPECT_EQ(post.out.find("</html>"), std::string::npos);
    WirelessSettings expected{"Aurora", "wpa-wpa2-psk", "tkip-aes", "northern lights"};
    EXPECT_EQ(device->state().wireless, expected);
    EXPECT_TRUE(device->running());
    EXPECT_EQ(device->port(), 0);
    EXPECT_FALSE(rawExchange(port, getRequest("/")).connected);

    ASSERT_TRUE(emulated->waitWhileRestarting(10000));
    EXPECT_EQ(device->port(), port);
    // Sessions do not survive the reboot.
    EXPECT_EQ(withCookie({"-i", url(port, "/wireless.html")}).out.compare(0, 12, "HTTP/1.1 302"),
              0);
    login("admin", "secret");
    EXPECT_NE(withCookie({url(port, "/wireless.html")}).out.find("var wlanSsid = 'Aurora';"),
              std::string::npos);
}

TEST_F(BorealisTest, BadSettingsAndTheLibrarysMultipartLayout) {
    ASSERT_EQ(login("admin", "secret").exitCode, 0);
    CurlRun bad = withCookie({"-F", "ssid=X", "-F", "sec=wep", "-F", "cipher=wep128", "-F",
                              "wpakey=short", url(port, "/wireless.cgi")});
    EXPECT_EQ(bad.exitCode, 0);
    EXPECT_NE(bad.out.find("Invalid input: a 128 bit WEP key"), std::string::npos);
    EXPECT_FALSE(dynamic_cast<EmulatedDevice&>(*device).restarting());
    EXPECT_EQ(device->state().wireless.ssid, "My'Net \\ \"5G\"");

    // The administrator form, posted byte for byte as the library lays out a multipart body.
    std::string sid = sessionId();
    std::string body;
    for (auto [name, value] : {std::pair<const char*, const char*>{"newuser", "root"},
                               {"newpass", "p@ss word"},
                               {"confirm", "p@ss word"}}) {
        body += std::string("--KRZB1F1F--\r\nContent-Disposition: form-data; name=\"") + name +
                "\"\r\n\r\n" + value + "\r\n";
    }
    body += "--KRZB1F1F--\r\n\r\n";
    std::string request =
        "POST /admin.cgi HTTP/1.1\r\nConnection: Close\r\nHost: 10.0.0.2\r\n"
        "Referer: http://10.0.0.2/\r\nContent-Type: multipart/form-data; boundary=KRZB1F1F--\r\n"
        "Cookie: BRSID=" +
        sid + "\r\nContent-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    RawRun raw = rawExchange(port, request);
    std::string page;
    ASSERT_TRUE(dechunk(bodyPart(raw.bytes), page)) << raw.bytes;
    EXPECT_NE(page.find("Account settings saved."), std::string::npos);
    EXPECT_EQ(device->state().username, "root");
    EXPECT_EQ(device->state().password, "p@ss word");
    EXPECT_NE(login("admin", "secret").out.find("Invalid"), std::string::npos);
    EXPECT_NE(login("root", "p@ss word").out.find("Set-Cookie"), std::string::npos);
}

TEST_F(BorealisTest, SwitchedOffDuringTheRebootItStaysOffUntilStarted) {
    auto& emulated = dynamic_cast<EmulatedDevice&>(*device);
    emulated.setRestartDelay(600000);
    ASSERT_EQ(login("admin", "secret").exitCode, 0);
    withCookie(
        {"-F", "ssid=Short", "-F", "sec=open", "-F", "cipher=none", url(port, "/wireless.cgi")});
    EXPECT_TRUE(emulated.restarting());
    device->stop();  // must not wait for the reboot to finish
    EXPECT_FALSE(emulated.restarting());
    EXPECT_FALSE(device->running());
    EXPECT_EQ(device->port(), 0);
    device->start();
    EXPECT_EQ(device->port(), port);
    EXPECT_NE(login("admin", "secret").out.find("Set-Cookie"), std::string::npos);
    EXPECT_EQ(device->state().wireless.ssid, "Short");
}
