// The open firmware with a token cookie: login_authorization logs in, wrong credentials count up
// to a lock that refuses even the right ones, settings come as JSON from appGet.cgi, and a post to
// applyapp.cgi without the token or a Referer of the same host changes nothing; one with both sets
// only the variables it names and restarts the radio while the web server keeps serving.
#include <gtest/gtest.h>

#include <thread>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"
#include "lab/devices/AsusWrtDevice.h"
#include "recording/Recording.h"

using namespace krzlab;
using namespace krztest;

namespace {

class AsusWrtDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        DeviceSpec profile = labSpec("asuswrt", "RT-LAB1");
        profile.password = "why-pass";
        profile.wireless = {"Why Net", "wpa2-psk", "aes", "why key's 1"};
        profile.lockoutAfter = 3;
        profile.restartMs = 300;
        profile.options = {{"lockMs", "60000"}};
        device = Device::create(profile);
        device->start();
        port = device->port();
    }
    // A login as the login page's script sends it; `referer` "" sends none.
    CurlRun login(const std::string& userColonPassword, const std::string& referer = "page") {
        std::vector<std::string> args = {"-s", "-i", "--data-urlencode",
                                         "login_authorization=" + base64Encode(userColonPassword)};
        if (!referer.empty()) {
            args.push_back("-e");
            args.push_back(referer == "page" ? url(port, "/Main_Login.asp") : referer);
        }
        args.push_back(url(port, "/login.cgi"));
        return curl(args);
    }
    std::string token() { return between(login("admin:why-pass").out, "asus_token=", ";"); }
    std::string appGet(const std::string& hook, const std::string& token, bool referer = true) {
        std::vector<std::string> args = {"-s", "-b", "asus_token=" + token};
        if (referer) {
            args.push_back("-e");
            args.push_back(url(port, "/Advanced_Wireless_Content.asp"));
        }
        args.push_back(url(port, "/appGet.cgi?hook=" + hook));
        return curl(args).out;
    }
    std::string apply(const std::string& token, const std::string& referer,
                      const std::string& body) {
        std::vector<std::string> args = {"-s", "-b", "asus_token=" + token, "--data-binary", body};
        if (!referer.empty()) {
            args.push_back("-e");
            args.push_back(referer);
        }
        args.push_back(url(port, "/applyapp.cgi"));
        return curl(args).out;
    }
    std::unique_ptr<Device> device;
    uint16_t port = 0;
};

const char kToLogin[] = "window.top.location.href='/Main_Login.asp'";

TEST_F(AsusWrtDevice, TheTokenCookieOpensPagesAndLocksCountFailures) {
    CurlRun page = curl({"-s", "-i", url(port, "/Main_Login.asp")});
    EXPECT_NE(std::string::npos, page.out.find("Server: httpd/2.0\r\n"));
    EXPECT_NE(std::string::npos, page.out.find("<title>ASUS Login</title>"));
    EXPECT_NE(std::string::npos, page.out.find("name=\"login_authorization\""));
    EXPECT_NE(std::string::npos, page.out.find("<div class=\"prod_madelName\">RT-LAB1</div>"));
    for (const char* path : {"/", "/appGet.cgi?hook=nvram_get(wl0_ssid)",
                             "/Advanced_Wireless_Content.asp", "/Logout.asp"})
        EXPECT_NE(std::string::npos, curl({"-s", url(port, path)}).out.find(kToLogin)) << path;
    EXPECT_NE(std::string::npos, appGet("nvram_get(wl0_ssid)", "forged").find(kToLogin));

    std::string t = token();
    EXPECT_EQ(30u, t.size());
    EXPECT_NE(std::string::npos, login("admin:why-pass").out.find("HttpOnly"));
    EXPECT_NE(std::string::npos,
              curl({"-s", "-b", "asus_token=" + t, url(port, "/")}).out.find("RT-LAB1"));
    // Logging out ends that token only.
    std::string other = token();
    curl({"-s", "-b", "asus_token=" + t, url(port, "/Logout.asp")});
    EXPECT_NE(std::string::npos, appGet("nvram_get(wl0_ssid)", t).find(kToLogin));
    EXPECT_EQ("{\"wl0_ssid\":\"Why Net\"}", appGet("nvram_get(wl0_ssid)", other));

    // The CGIs want a Referer naming the host they are sent to.
    EXPECT_NE(std::string::npos, appGet("nvram_get(wl0_ssid)", other, false).find(kToLogin));
    const struct {
        const char* credentials;
        const char* answer;
        const char* referer = "page";
    } attempts[] = {
        {"no colon", kToLogin},  // none of these is counted
        {"admin:guess", kToLogin, ""},
        {"admin:guess", kToLogin, "http://10.9.9.9/Main_Login.asp"},
        {"admin:guess", "Main_Login.asp?error_status=3'"},
        {"root:why-pass", "Main_Login.asp?error_status=3'"},
        {"admin:why-pass", "asus_token="},  // a success starts the count again
        {"admin:guess", "Main_Login.asp?error_status=3'"},
        {"admin:guess", "Main_Login.asp?error_status=3'"},
        {"admin:guess", "Main_Login.asp?error_status=7&lock_time=60'"},
        {"admin:why-pass", "Main_Login.asp?error_status=7&lock_time=60'"},
    };
    for (const auto& a : attempts) {
        SCOPED_TRACE(a.credentials);
        std::string out = login(a.credentials, a.referer).out;
        EXPECT_NE(std::string::npos, out.find(a.answer)) << out;
        EXPECT_EQ(std::string(a.answer) == "asus_token=",
                  out.find("Set-Cookie") != std::string::npos);
    }
    EXPECT_NE(std::string::npos,
              curl({"-s", url(port, "/Main_Login.asp?error_status=7")}).out.find("Too many"));
    // While the lock lasts, tokens open nothing either.
    EXPECT_NE(std::string::npos, appGet("nvram_get(wl0_ssid)", other).find(kToLogin));
    // A factory reset ends the lock, with the factory's credentials.
    device->factoryReset();
    EXPECT_NE(std::string::npos, login("admin:secret").out.find("asus_token="));
}

TEST_F(AsusWrtDevice, AppGetAnswersTheVariablesAsJson) {
    std::string t = token();
    const struct {
        WirelessSettings settings;
        const char* json;
    } cases[] = {
        {{"Why Net", "wpa2-psk", "aes", "why key's 1"},
         R"({"wl0_ssid":"Why Net","wl0_auth_mode_x":"psk2","wl0_crypto":"aes",)"
         R"("wl0_wpa_psk":"why key's 1","wl0_wep_x":"0"})"},
        {{"Q\"uote", "wpa-wpa2-psk", "tkip-aes", "passphrase"},
         R"({"wl0_ssid":"Q\"uote","wl0_auth_mode_x":"pskpsk2","wl0_crypto":"tkip+aes",)"
         R"("wl0_wpa_psk":"passphrase","wl0_wep_x":"0"})"},
        {{"W", "wep", "wep128", "abcdefghijklm"},
         R"({"wl0_ssid":"W","wl0_auth_mode_x":"open","wl0_crypto":"aes",)"
         R"("wl0_wpa_psk":"","wl0_wep_x":"2"})"},
        {{"N", "none", "none", ""},
         R"({"wl0_ssid":"N","wl0_auth_mode_x":"open","wl0_crypto":"aes",)"
         R"("wl0_wpa_psk":"","wl0_wep_x":"0"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.ssid);
        DeviceSpec s = device->state();
        s.wireless = c.settings;
        device->adoptState(s);
        EXPECT_EQ(c.json, appGet("nvram_get(wl0_ssid)%3Bnvram_get(wl0_auth_mode_x);nvram_get(wl0_"
                                 "crypto);nvram_get(wl0_wpa_psk);nvram_get(wl0_wep_x)",
                                 t));
    }
    EXPECT_EQ(R"({"productid":"RT-LAB1","http_username":"admin","http_passwd":"","x":""})",
              appGet("nvram_get(productid);nvram_get(http_username);nvram_get(http_passwd);"
                     "get_clientlist();nvram_get(x);nvram_get(",
                     t));
}

TEST_F(AsusWrtDevice, ApplyappSetsOnlyWhatAPostFromTheSameHostNames) {
    std::string t = token();
    const std::string page = url(port, "/Advanced_Wireless_Content.asp");
    const WirelessSettings before = device->state().wireless;
    const struct {
        const char* referer;  // "page": the wireless page of this host
        std::string body;
        const char* answer;
        WirelessSettings after;
        const char* password;
    } cases[] = {
        {"", R"({"action_mode":"apply","wl0_ssid":"X"})", kToLogin, before, "why-pass"},
        {"http://10.9.9.9/Advanced_Wireless_Content.asp",
         R"({"action_mode":"apply",)"
         R"("wl0_ssid":"X"})",
         kToLogin, before, "why-pass"},
        {"page", R"({"wl0_ssid":"X"})", R"({"modify":"0"})", before, "why-pass"},
        {"page", R"({"action_mode":"apply","wl0_wpa_psk":"short"})", R"({"modify":"0"})", before,
         "why-pass"},
        {"page", R"({"action_mode":"apply","wl0_auth_mode_x":"wpa2"})", R"({"modify":"0"})", before,
         "why-pass"},
        {"page", R"({"action_mode":"apply","wl0_auth_mode_x":"shared"})", R"({"modify":"0"})",
         before, "why-pass"},
        {"page", R"({"action_mode":"apply","http_passwd":""})", R"({"modify":"0"})", before,
         "why-pass"},
        {"page", "action_mode=apply&http_passwd=" + std::string(33, 'p'), R"({"modify":"0"})",
         before, "why-pass"},
        {"page", "action_mode=apply&wl_unit=1&wl_ssid=Radio1", R"({"modify":"0")", before,
         "why-pass"},
        {"page",
         R"({"action_mode":"apply","rc_service":"restart_wireless","wl_unit":0,)"
         R"("wl_ssid":"Lab AX","wl_auth_mode_x":"pskpsk2","wl_crypto":"tkip+aes"})",
         R"({"modify":"1","run_service":"restart_wireless"})",
         {"Lab AX", "wpa-wpa2-psk", "tkip-aes", "why key's 1"},
         "why-pass"},
        {"page",
         "action_mode=apply&wl0_auth_mode_x=open&wl0_wep_x=1&wl0_key=3&wl0_key3=abcde",
         R"({"modify":"1","run_service":""})",
         {"Lab AX", "wep", "wep64", "abcde"},
         "why-pass"},
        {"page",
         "action_mode=apply&wl0_auth_mode_x=open&wl0_wep_x=0",
         R"({"modify":"1")",
         {"Lab AX", "none", "none", ""},
         "why-pass"},
        {"page",
         "action_mode=apply&http_passwd=n%201",
         R"({"modify":"1")",
         {"Lab AX", "none", "none", ""},
         "n 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::string referer = std::string(c.referer) == "page" ? page : c.referer;
        std::string answer = apply(t, referer, c.body);
        EXPECT_NE(std::string::npos, answer.find(c.answer)) << answer;
        EXPECT_TRUE(device->state().wireless == c.after) << device->state().wireless.ssid;
        EXPECT_EQ(c.password, device->state().password);
    }
    EXPECT_NE(std::string::npos, login("admin:n 1").out.find("asus_token="));
}

// WEP's slots, the slot in use and shared-key authentication stay as posted, through changes of
// other variables and of the security mode.
TEST_F(AsusWrtDevice, WepKeepsItsSlotsAndAuthentication) {
    std::string t = token();
    const std::string page = url(port, "/Advanced_Wireless_Content.asp");
    const std::string names =
        "nvram_get(wl0_auth_mode_x);nvram_get(wl0_wep_x);nvram_get(wl0_key);"
        "nvram_get(wl0_key1);nvram_get(wl0_key3)";
    const struct {
        const char* body;
        WirelessSettings after;
        const char* nvram;
    } cases[] = {
        {"action_mode=apply&wl0_ssid=S&wl0_auth_mode_x=shared&wl0_wep_x=2&wl0_key=3&wl0_key1=abcde&"
         "wl0_key3=abcdefghijklm",
         {"S", "wep", "wep128", "abcdefghijklm"},
         R"({"wl0_auth_mode_x":"shared","wl0_wep_x":"2","wl0_key":"3","wl0_key1":"abcde",)"
         R"("wl0_key3":"abcdefghijklm"})"},
        {"action_mode=apply&wl0_ssid=T",
         {"T", "wep", "wep128", "abcdefghijklm"},
         R"({"wl0_auth_mode_x":"shared","wl0_wep_x":"2","wl0_key":"3","wl0_key1":"abcde",)"
         R"("wl0_key3":"abcdefghijklm"})"},
        {"action_mode=apply&wl0_auth_mode_x=psk2&wl0_wep_x=0&wl0_wpa_psk=passphrase",
         {"T", "wpa2-psk", "aes", "passphrase"},
         R"({"wl0_auth_mode_x":"psk2","wl0_wep_x":"0","wl0_key":"3","wl0_key1":"abcde",)"
         R"("wl0_key3":"abcdefghijklm"})"},
        {"action_mode=apply&wl0_auth_mode_x=open&wl0_wep_x=1&wl0_key=1",
         {"T", "wep", "wep64", "abcde"},
         R"({"wl0_auth_mode_x":"open","wl0_wep_x":"1","wl0_key":"1","wl0_key1":"abcde",)"
         R"("wl0_key3":"abcdefghijklm"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        apply(t, page, c.body);
        EXPECT_TRUE(device->state().wireless == c.after) << device->state().wireless.ssid;
        EXPECT_EQ(c.nvram, appGet(names, t));
    }
    device->factoryReset();
    t = between(login("admin:secret").out, "asus_token=", ";");
    EXPECT_NE(std::string::npos, appGet(names, t).find(R"("wl0_key":"1","wl0_key1":"")"));
}

TEST_F(AsusWrtDevice, RestartWirelessKeepsTheWebServerServingAndSessionsEnd) {
    device->stop();
    DeviceSpec profile = device->state();
    profile.options["sessionMs"] = "350";
    device = Device::create(profile);
    device->start();
    port = device->port();
    std::string t = token();
    auto& asus = static_cast<krzlab::AsusWrtDevice&>(*device);
    EXPECT_FALSE(asus.radioRestarting());
    apply(t, url(port, "/"), "action_mode=apply&rc_service=restart_wireless&wl0_ssid=Restarting");
    EXPECT_TRUE(asus.radioRestarting());
    EXPECT_EQ("{\"wl0_ssid\":\"Restarting\"}", appGet("nvram_get(wl0_ssid)", t));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(asus.radioRestarting());
    EXPECT_NE(std::string::npos, appGet("nvram_get(wl0_ssid)", t).find(kToLogin));
}

}  // namespace
