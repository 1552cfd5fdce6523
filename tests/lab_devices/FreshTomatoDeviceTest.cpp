// The open firmware with Basic logins and a page id: the realm is the router's name, the settings
// are in the pages' nvram object only, a post without the current page id gets no reply at all and
// changes nothing, a post changes what it names and keeps the rest, `_service=*` restarts the web
// server, and only a factory reset makes a new page id.
#include <gtest/gtest.h>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"
#include "lab/devices/EmulatedDevice.h"

using namespace krzlab;
using namespace krztest;

namespace {

class FreshTomatoDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceSpec profile = labSpec("freshtomato", "TM-4");
        profile.username = "root";
        profile.password = "why-pass";
        profile.wireless = {"Why Net", "wpa2-psk", "aes", "why key's 1"};
        profile.options = {{"routerName", "Lab Tomato"}};
        profile.restartMs = 50;
        device = Device::create(profile);
        device->start();
        port = device->port();
    }
    CurlRun get(const std::string& path, const std::string& credentials = "root:why-pass") {
        return curl({"-s", "-i", "-u", credentials, url(port, path)});
    }
    std::string httpId() { return between(get("/basic-network.asp").out, "'http_id': '", "'"); }
    CurlRun post(const std::vector<std::string>& fields) {
        std::vector<std::string> args = {"-s", "-u", "root:why-pass"};
        for (const std::string& f : fields) {
            args.push_back("--data-urlencode");
            args.push_back(f);
        }
        args.push_back(url(port, "/tomato.cgi"));
        return curl(args);
    }
    std::unique_ptr<Device> device;
    uint16_t port = 0;
};

TEST_F(FreshTomatoDevice, BasicRealmIsTheRoutersNameAndPagesCarryTheNvramObject) {
    const struct {
        const char* credentials;
        const char* path;
        const char* shows;
    } cases[] = {
        {"", "/", "WWW-Authenticate: Basic realm=\"Lab Tomato\""},
        {"root:guess", "/basic-network.asp", "HTTP/1.0 401 Unauthorized"},
        {"admin:why-pass", "/", "HTTP/1.0 401 Unauthorized"},
        {"root:why-pass", "/", "<title>[Lab Tomato] Status: Overview</title>"},
        {"root:why-pass", "/", "Server: httpd\r\n"},
        {"", "/", "Expires: Thu, 31 Dec 1970 00:00:00 GMT\r\n"},
        {"", "/", "X-Frame-Options: SAMEORIGIN\r\n"},
        {"root:why-pass", "/status-overview.asp", "'t_model_name': 'TM-4'"},
        {"root:why-pass", "/basic-network.asp", "nvram = {\n\t'wl0_ssid': 'Why Net',\n"},
        {"root:why-pass", "/basic-network.asp", "'wl0_security_mode': 'wpa2_personal'"},
        {"root:why-pass", "/basic-network.asp", "'wl0_wpa_psk': 'why key\\'s 1'"},
        {"root:why-pass", "/basic-network.asp", "name=\"wl0_ssid\" id=\"wl0_ssid\" value=\"\""},
        {"root:why-pass", "/admin-access.asp", "name=\"set_password_1\" value=\"**********\""},
        {"root:why-pass", "/nothing.asp", "HTTP/1.0 404"},
        {"root:why-pass", "/index.asp", "Status: Overview"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.credentials) + c.path);
        std::string out = *c.credentials ? get(c.path, c.credentials).out
                                         : curl({"-s", "-i", url(port, c.path)}).out;
        EXPECT_NE(std::string::npos, out.find(c.shows)) << out;
    }
    EXPECT_EQ(std::string::npos, curl({"-s", url(port, "/basic-network.asp")}).out.find("Why Net"));
    std::string id = httpId();
    EXPECT_EQ(19u, id.size());
    EXPECT_EQ(0u, id.find("TID"));
    EXPECT_EQ(id, between(get("/admin-access.asp").out, "'http_id': '", "'"));
}

TEST_F(FreshTomatoDevice, APostChangesWhatItNamesOnlyWithTheCurrentPageId) {
    const DeviceSpec before = device->state();
    std::string id = httpId();
    // Without the page id, or with another, the connection closes with not one byte.
    for (const std::vector<std::string>& fields :
         {std::vector<std::string>{"_ajax=1", "wl0_ssid=Other"},
          std::vector<std::string>{"_ajax=1", "_http_id=TID0000000000000000", "wl0_ssid=Other"},
          std::vector<std::string>{"_ajax=1", "_http_id=", "wl0_ssid=Other"}}) {
        CurlRun none = post(fields);
        EXPECT_EQ(52, none.exitCode);  // curl: empty reply from server
        EXPECT_EQ("", none.out);
    }
    EXPECT_TRUE(device->state().wireless == before.wireless);

    const std::string pid = "_http_id=" + id;
    const struct {
        std::vector<std::string> fields;
        const char* answer;
        WirelessSettings after;
        const char* password;
    } cases[] = {
        // Refused as a whole: nothing changes.
        {{"wl0_ssid=Other", "wl0_wpa_psk=short"},
         "wl0_wpa_psk was refused",
         before.wireless,
         "why-pass"},
        {{"wl0_ssid="}, "wl0_ssid was refused", before.wireless, "why-pass"},
        {{"wl0_security_mode=wpa3"}, "wl0_security_mode", before.wireless, "why-pass"},
        {{"wl0_crypto=ccmp"}, "wl0_crypto", before.wireless, "why-pass"},
        {{"wl0_security_mode=wep", "wl0_wep_bit=40"}, "wl0_wep_bit", before.wireless, "why-pass"},
        {{"wl0_security_mode=wep", "wl0_key=5", "wl0_key1=abcde"},
         "wl0_key was refused",
         before.wireless,
         "why-pass"},
        {{"set_password_1=n1", "set_password_2=n2"}, "password", before.wireless, "why-pass"},
        {{"http_username=" + std::string(33, 'u')}, "http_username", before.wireless, "why-pass"},
        {{"wl0_ssid=Fine", "set_password_1=", "set_password_2="},
         "password",
         before.wireless,
         "why-pass"},
        // What a post leaves out, the device keeps.
        {{"wl0_ssid=Only SSID"},
         "@msg:Settings saved.",
         {"Only SSID", "wpa2-psk", "aes", "why key's 1"},
         "why-pass"},
        {{"wl0_security_mode=wpaX_personal", "wl0_crypto=tkip+aes"},
         "@msg:Settings saved.",
         {"Only SSID", "wpa-wpa2-psk", "tkip-aes", "why key's 1"},
         "why-pass"},
        {{"wl0_security_mode=wpa_personal", "wl0_crypto=tkip", "wl0_wpa_psk=new passphrase"},
         "@msg:Settings saved.",
         {"Only SSID", "wpa-psk", "tkip", "new passphrase"},
         "why-pass"},
        {{"wl0_security_mode=wep", "wl0_wep_bit=64", "wl0_key=2", "wl0_key2=abcde"},
         "@msg:Settings saved.",
         {"Only SSID", "wep", "wep64", "abcde"},
         "why-pass"},
        {{"wl0_security_mode=disabled"},
         "@msg:Settings saved.",
         {"Only SSID", "none", "none", ""},
         "why-pass"},
        {{"set_password_1=**********", "set_password_2=**********"},
         "@msg:Settings saved.",
         {"Only SSID", "none", "none", ""},
         "why-pass"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields[0]);
        std::vector<std::string> fields = c.fields;
        fields.push_back("_ajax=1");
        fields.push_back(pid);
        std::string answer = post(fields).out;
        EXPECT_NE(std::string::npos, answer.find(c.answer)) << answer;
        EXPECT_EQ(0u, answer.find("@msg:"));
        EXPECT_TRUE(device->state().wireless == c.after) << device->state().wireless.ssid;
        EXPECT_EQ(c.password, device->state().password);
    }
    // A post without _ajax answers a page; the new password then is the only one let in.
    EXPECT_NE(std::string::npos,
              post({pid, "set_password_1=n1", "set_password_2=n1", "_service=admin-restart"})
                  .out.find("<title>[Lab Tomato] Saved</title>"));
    EXPECT_EQ("n1", device->state().password);
    EXPECT_NE(std::string::npos, get("/", "root:why-pass").out.find("401 Unauthorized"));
    // An empty user name is the firmware's default name.
    EXPECT_EQ("@msg:Settings saved.",
              curl({"-s", "-u", "root:n1", "-d", "_ajax=1&http_username=&" + pid,
                    url(port, "/tomato.cgi")})
                  .out);
    EXPECT_EQ("root", device->state().username);
    EXPECT_EQ("@msg:Settings saved.",
              curl({"-s", "-u", "root:n1", "-d", "_ajax=1&http_username=admin2&" + pid,
                    url(port, "/tomato.cgi")})
                  .out);
    EXPECT_EQ("admin2", device->state().username);
    EXPECT_FALSE(static_cast<EmulatedDevice&>(*device).restarting());
    // The page id may also come in the query.
    EXPECT_EQ(
        "@msg:Settings saved.",
        curl({"-s", "-u", "admin2:n1", url(port, "/tomato.cgi?_ajax=1&wl0_ssid=Q&" + pid)}).out);
    EXPECT_EQ("Q", device->state().wireless.ssid);
}

TEST_F(FreshTomatoDevice, ServiceStarRestartsTheWebServerAndAResetMakesANewPageId) {
    std::string id = httpId();
    EXPECT_EQ("@msg:Settings saved.",
              post({"_ajax=1", "_http_id=" + id, "_service=*", "wl0_ssid=Restarted"}).out);
    EXPECT_EQ("Restarted", device->state().wireless.ssid);
    auto& emulated = static_cast<EmulatedDevice&>(*device);
    ASSERT_TRUE(emulated.waitWhileRestarting(5000));
    EXPECT_EQ(id, httpId());  // kept in nvram across the restart
    device->factoryReset();
    std::string next = between(get("/basic-network.asp", "admin:secret").out, "'http_id': '", "'");
    EXPECT_EQ(19u, next.size());
    EXPECT_NE(id, next);
}

}  // namespace
