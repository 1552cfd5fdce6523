// The DD-WRT router: Basic credentials on every page but the status page, the cross-site check on
// the Referer, posts that keep what they leave out, the placeholder that keeps the administrator's
// credentials, the restart after ApplyTake and the block after repeated refused logins.
#include <gtest/gtest.h>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"
#include "lab/devices/EmulatedDevice.h"
#include "recording/Recording.h"

using namespace krzlab;
using namespace krztest;

namespace {

class DdwrtDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceSpec profile = labSpec("ddwrt", "LB-2");
        profile.firmware = "v3.0-r55630";
        profile.username = "root";
        profile.password = "dd-pass";
        profile.wireless = {"Lab DD", "wpa2-psk", "aes", "dd key 123"};
        profile.restartMs = 100;
        device = Device::create(profile);
        device->start();
        port = device->port();
        host = "127.0.0.1:" + std::to_string(port);
    }
    std::string auth(const std::string& user = "root", const std::string& pass = "dd-pass") {
        return "Authorization: Basic " + base64Encode(user + ":" + pass) + "\r\n";
    }
    std::string same(const std::string& page) {
        return "Referer: http://" + host + "/" + page + "\r\n";
    }
    // The raw reply to one request with `headers` (each ending in CRLF).
    std::string send(const std::string& method, const std::string& path, const std::string& headers,
                     const std::string& body = "") {
        return rawExchange(port, method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" +
                                     headers + "Content-Length: " + std::to_string(body.size()) +
                                     "\r\n\r\n" + body)
            .bytes;
    }
    std::string apply(const std::string& body, const std::string& page = "Wireless_Basic.asp") {
        return send("POST", "/apply.cgi", auth() + same(page), body);
    }
    std::unique_ptr<Device> device;
    uint16_t port = 0;
    std::string host;
};

TEST_F(DdwrtDevice, TheStatusPageIsOpenAndEveryOtherPageChecksCredentialsAndReferer) {
    const std::string basic = "/Wireless_Basic.asp";
    const struct {
        const char* what;
        std::string method, path, headers;
        const char* starts;
        const char* shows;
    } cases[] = {
        {"status page", "GET", "/", "", "HTTP/1.1 200 Ok", "<title>DD-WRT (build 55630) - Info"},
        {"its name", "GET", "/Info.htm", "", "HTTP/1.1 200", "DD-WRT v3.0-r55630 std"},
        {"no credentials", "GET", basic, "", "HTTP/1.1 401 Unauthorized",
         "WWW-Authenticate: Basic realm=\"DD-WRT\""},
        {"wrong password", "GET", basic, auth("root", "guess"), "HTTP/1.1 401", "Unauthorized"},
        {"credentials", "GET", basic, auth(), "HTTP/1.1 200", "value=\"Lab DD\""},
        {"same-host referer", "GET", basic, auth() + same("Info.htm"), "HTTP/1.1 200",
         "name=\"wl0_ssid\""},
        {"other host", "GET", basic, auth() + "Referer: http://192.0.2.1/x\r\n",
         "HTTP/1.1 400 Bad Request", "Cross Site Action detected!"},
        {"host without path", "GET", basic, auth() + "Referer: http://" + host + "\r\n",
         "HTTP/1.1 400", "Cross Site Action detected!"},
        {"host as prefix", "GET", basic, auth() + "Referer: http://" + host + "9/\r\n",
         "HTTP/1.1 400", "Cross Site Action detected!"},
        {"post without referer", "POST", "/apply.cgi", auth(), "HTTP/1.1 400",
         "Cross Site Action detected!"},
        {"post without credentials", "POST", "/apply.cgi", same("Wireless_Basic.asp"),
         "HTTP/1.1 401", "Basic realm"},
        {"unknown page", "GET", "/Nothing.asp", auth(), "HTTP/1.1 404 Not Found", "Nothing.asp"},
        {"unknown action", "POST", "/apply.cgi", auth() + same("x"), "HTTP/1.1 400",
         "Invalid action"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string reply = send(c.method, c.path, c.headers, "submit_button=Wireless_Basic");
        EXPECT_EQ(0u, reply.find(c.starts)) << reply.substr(0, 40);
        EXPECT_NE(std::string::npos, reply.find(c.shows));
        EXPECT_NE(std::string::npos, reply.find("Server: httpd"));
        EXPECT_NE(std::string::npos, reply.find("Content-Type: text/html\r\n"));
    }
    EXPECT_EQ("Lab DD", device->state().wireless.ssid);
    EXPECT_EQ(0u,
              send("POST", "/apply.cgi", auth() + same("x"), "submit_button=Nothing&action=Apply")
                  .find("HTTP/1.1 404 Not Found"));
    // The status page links every page, as the firmware's menu does.
    std::string menu = send("GET", "/", "");
    for (const char* link :
         {"index.asp", "Wireless_Basic.asp", "Wireless_Security.asp", "Management.asp"})
        EXPECT_NE(std::string::npos, menu.find(std::string("href=\"") + link + "\""));
}

TEST_F(DdwrtDevice, ThePasswordProtectedStatusPageAsksForCredentials) {
    DeviceSpec profile = device->state();
    profile.options["infoPassword"] = "1";
    device = Device::create(profile);
    device->start();
    port = device->port();
    host = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(0u, send("GET", "/", "").find("HTTP/1.1 401 Unauthorized"));
    EXPECT_EQ(0u, send("GET", "/Info.htm", "").find("HTTP/1.1 401 Unauthorized"));
    EXPECT_NE(std::string::npos, send("GET", "/", auth()).find("DD-WRT v3.0-r55630 std"));
}

TEST_F(DdwrtDevice, APostChangesWhatItCarriesAndKeepsTheRest) {
    const std::string security = "submit_button=Wireless_Security&action=Apply&";
    const struct {
        std::string body;
        WirelessSettings expected;
        const char* note;  // shown when refused, null when applied
    } cases[] = {
        {"submit_button=Wireless_Basic&action=Apply&wl0_ssid=New+Name",
         {"New Name", "wpa2-psk", "aes", "dd key 123"},
         nullptr},
        {security + "wl0_security_mode=psk+psk2&wl0_crypto=tkip%2Baes",
         {"New Name", "wpa-wpa2-psk", "tkip-aes", "dd key 123"},
         nullptr},
        {security + "wl0_wpa_psk=short",
         {"New Name", "wpa-wpa2-psk", "tkip-aes", "dd key 123"},
         "passphrase"},
        {security + "wl0_security_mode=psk9",
         {"New Name", "wpa-wpa2-psk", "tkip-aes", "dd key 123"},
         "Invalid security mode"},
        {security + "wl0_security_mode=wep&wl0_wep_bit=128&wl0_key1=thirteen+char",
         {"New Name", "wep", "wep128", "thirteen char"},
         nullptr},
        {security + "wl0_security_mode=disabled", {"New Name", "none", "none", ""}, nullptr},
        {security + "wl0_security_mode=psk2&wl0_wpa_psk=back+again",
         {"New Name", "wpa2-psk", "aes", "back again"},
         nullptr},
        {"submit_button=Wireless_Basic&action=Apply&wl0_ssid=",
         {"New Name", "wpa2-psk", "aes", "back again"},
         "SSID"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::string reply = apply(c.body);
        EXPECT_EQ(0u, reply.find("HTTP/1.1 200"));
        EXPECT_EQ(c.note != nullptr, reply.find("class=\"error\"") != std::string::npos);
        if (c.note) {
            EXPECT_NE(std::string::npos, reply.find(c.note));
        }
        EXPECT_EQ(c.expected, device->state().wireless);
        EXPECT_FALSE(static_cast<EmulatedDevice&>(*device).restarting());
    }
    std::string page = send("GET", "/Wireless_Security.asp", auth());
    EXPECT_NE(std::string::npos, page.find("<option value=\"psk2\" selected=\"selected\">"));
    EXPECT_NE(std::string::npos,
              page.find("name=\"wl0_wpa_psk\" maxlength=\"64\" value=\"back again\""));
    // The administrator's fields show a placeholder that keeps what it stands for.
    std::string management = send("GET", "/Management.asp", auth());
    EXPECT_NE(std::string::npos,
              management.find("name=\"http_passwd\" maxlength=\"63\" value=\"d6nw5v1x2pc7st9m\""));
    EXPECT_EQ(std::string::npos, management.find("dd-pass"));
    const std::string manage = "submit_button=Management&action=Apply&";
    apply(manage + "http_username=d6nw5v1x2pc7st9m&http_passwd=d6nw5v1x2pc7st9m");
    EXPECT_EQ("root", device->state().username);
    EXPECT_EQ("dd-pass", device->state().password);
    EXPECT_NE(std::string::npos,
              apply(manage + "http_username=&http_passwd=x").find("1 to 63 characters"));
    apply(manage + "http_username=d6nw5v1x2pc7st9m&http_passwd=next-pass");
    EXPECT_EQ("root", device->state().username);
    EXPECT_EQ("next-pass", device->state().password);
    EXPECT_EQ(0u, send("GET", "/Management.asp", auth()).find("HTTP/1.1 401"));
    EXPECT_EQ(0u, send("GET", "/Management.asp", auth("root", "next-pass")).find("HTTP/1.1 200"));
}

TEST_F(DdwrtDevice, ApplyTakeRestartsTheServicesAndRefusedLoginsBlockTheClient) {
    std::string reply = apply("submit_button=Wireless_Basic&action=ApplyTake&wl0_ssid=Taken");
    EXPECT_NE(std::string::npos, reply.find("value=\"Taken\""));
    EXPECT_TRUE(static_cast<EmulatedDevice&>(*device).restarting());
    ASSERT_TRUE(static_cast<EmulatedDevice&>(*device).waitWhileRestarting(5000));
    EXPECT_EQ("Taken", device->state().wireless.ssid);
    // Four refusals and a success start the count again; five in a row block every request.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(0u, send("GET", "/index.asp", auth("root", "guess")).find("HTTP/1.1 401"));
    EXPECT_EQ(0u, send("GET", "/index.asp", auth()).find("HTTP/1.1 200"));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0u, send("GET", "/index.asp", auth("root", "guess")).find("HTTP/1.1 401"));
    EXPECT_EQ("", send("GET", "/index.asp", auth()));
    EXPECT_EQ("", send("GET", "/", ""));
    device->factoryReset();
    EXPECT_EQ(0u, send("GET", "/", "").find("HTTP/1.1 200"));
}

}  // namespace
