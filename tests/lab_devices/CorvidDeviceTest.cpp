#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krzlab_test;

namespace {

const char kAuth[] = "Authorization: Basic OnNlY3JldA==\r\n";  // ":secret"

std::unique_ptr<Device> started(const DeviceSpec& profile) {
    auto device = Device::create(profile);
    device->start();
    return device;
}

}  // namespace

TEST(Corvid, ModelsShareTheHomePageAndDifferInLogoAndStyle) {
    auto cv10 = started(labSpec("corvid", "CV-10", 3));
    auto cv20 = started(labSpec("corvid", "CV-20", 4));
    for (const char* auth : {"", kAuth}) {
        RawRun a = rawExchange(cv10->port(), getRequest("/", auth));
        RawRun b = rawExchange(cv20->port(), getRequest("/", auth));
        EXPECT_FALSE(a.bytes.empty());
        EXPECT_EQ(a.bytes, b.bytes) << "the same '/' with auth '" << auth << "'";
        EXPECT_EQ(a.bytes.find("CV-"), std::string::npos);
    }
    for (const char* path : {"/images/logo.gif", "/style.css"}) {
        CurlRun a = curl({url(cv10->port(), path)});
        CurlRun b = curl({url(cv20->port(), path)});
        ASSERT_EQ(a.exitCode, 0) << a.err;
        EXPECT_FALSE(a.out.empty());
        EXPECT_NE(a.out, b.out) << path;
        EXPECT_EQ(a.out, curl({url(cv10->port(), path)}).out) << "stable bytes for " << path;
    }
    EXPECT_EQ(curl({url(cv20->port(), "/images/logo.gif")}).out.compare(0, 6, "GIF89a"), 0);
}

TEST(Corvid, PasswordOnlyLoginAndPagesReadToTheClose) {
    auto device = started(labSpec("corvid", "CV-10"));
    uint16_t port = device->port();
    for (const char* credentials : {":secret", "admin:secret", "anyone:secret"}) {
        CurlRun ok = curl({"-i", "-u", credentials, url(port, "/")});
        EXPECT_EQ(ok.out.compare(0, 15, "HTTP/1.0 200 OK"), 0) << credentials;
    }
    EXPECT_NE(curl({"-i", url(port, "/")}).out.find(" 401 "), std::string::npos);
    CurlRun wrong = curl({"-i", "-u", "admin:admin", url(port, "/wireless.htm")});
    EXPECT_NE(wrong.out.find(" 401 "), std::string::npos);
    EXPECT_NE(wrong.out.find("WWW-Authenticate: Basic realm=\"Corvid Router\""), std::string::npos);

    // Neither a length nor chunks: the close ends the page.
    RawRun home = rawExchange(port, getRequest("/", kAuth));
    std::string head = headPart(home.bytes);
    EXPECT_EQ(head.find("Content-Length"), std::string::npos);
    EXPECT_EQ(head.find("chunked"), std::string::npos);
    EXPECT_NE(head.find("Connection: close"), std::string::npos);
    EXPECT_EQ(bodyPart(home.bytes).substr(bodyPart(home.bytes).size() - 8), "</html>\n");
    RawRun form = rawExchange(port, getRequest("/wireless.htm", kAuth));
    EXPECT_EQ(form.bytes.compare(0, 15, "HTTP/1.1 200 OK"), 0);

    // The status page comes without a status line; curl reads it only when allowed to.
    RawRun status = rawExchange(port, getRequest("/status.htm", kAuth));
    EXPECT_EQ(status.bytes.compare(0, 6, "<html>"), 0);
    EXPECT_NE(status.bytes.find("<td>CV-10</td>"), std::string::npos);
    EXPECT_NE(curl({"-u", ":secret", url(port, "/status.htm")}).exitCode, 0);
    CurlRun bare = curl({"--http0.9", "-u", ":secret", url(port, "/status.htm")});
    EXPECT_EQ(bare.exitCode, 0) << bare.err;
    EXPECT_EQ(bare.out, status.bytes);
}

TEST(Corvid, SettingsByGetAndPasswordByPost) {
    auto device = started(labSpec("corvid", "CV-20"));
    uint16_t port = device->port();
    std::string page = curl({"-u", ":secret", url(port, "/wireless.htm")}).out;
    EXPECT_NE(page.find("method=\"get\""), std::string::npos);
    EXPECT_NE(page.find("<option value=\"wpa2\" selected>"), std::string::npos);
    EXPECT_NE(page.find("name=wl_passphrase size=40 maxlength=64 value=\"initial-key-1\""),
              std::string::npos);

    CurlRun change = curl({"-G", "-u", ":secret", "--data-urlencode", "wl_ssid=Crow's Nest",
                           "--data-urlencode", "wl_auth=wep", "--data-urlencode", "wl_crypto=128",
                           "--data-urlencode", "wl_passphrase=0123456789abcdef0123456789",
                           "--data-urlencode", "wl_apply=Apply", url(port, "/wlset.cgi")});
    EXPECT_NE(change.out.find("Your settings have been applied."), std::string::npos);
    WirelessSettings expected{"Crow's Nest", "wep", "wep128", "0123456789abcdef0123456789"};
    EXPECT_EQ(device->state().wireless, expected);
    std::string after = curl({"-u", ":secret", url(port, "/wireless.htm")}).out;
    EXPECT_NE(after.find("value=\"Crow&#39;s Nest\""), std::string::npos);
    EXPECT_NE(after.find("<option value=\"128\" selected>"), std::string::npos);

    CurlRun bad = curl({"-u", ":secret",
                        url(port,
                            "/wlset.cgi?wl_ssid=x&wl_auth=wpa&wl_crypto=aes"
                            "&wl_passphrase=short")});
    EXPECT_NE(bad.out.find("ERROR: the passphrase"), std::string::npos);
    EXPECT_EQ(device->state().wireless, expected);

    CurlRun wrongOld = curl({"-u", ":secret", "--data", "curpw=nope&newpw=fresh&newpw2=fresh",
                             url(port, "/pwset.cgi")});
    EXPECT_NE(wrongOld.out.find("ERROR"), std::string::npos);
    CurlRun pw = curl({"-u", ":secret", "--data", "curpw=secret&newpw=fresh&newpw2=fresh",
                       url(port, "/pwset.cgi")});
    EXPECT_NE(pw.out.find("Your settings have been applied."), std::string::npos);
    EXPECT_EQ(device->state().password, "fresh");
    EXPECT_NE(curl({"-i", "-u", ":secret", url(port, "/")}).out.find(" 401 "), std::string::npos);
    EXPECT_EQ(curl({"-i", "-u", ":fresh", url(port, "/")}).out.compare(0, 12, "HTTP/1.0 200"), 0);
}

TEST(Corvid, FactoryResetRestoresSettingsAndMovesToTheFactoryAddress) {
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
            std::string form = curl({"-u", ":secret", url(device->port(), "/reset.htm")}).out;
            EXPECT_NE(form.find("<input type=hidden name=restore value=1>"), std::string::npos);
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
