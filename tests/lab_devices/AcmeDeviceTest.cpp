// The Acme emulator's form checks: the module tests drive its pages; only what no module sends
// is checked here.
#include <gtest/gtest.h>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krztest;

TEST(AcmeDevice, RejectedPostsLeaveTheSettingsAlone) {
    auto device = Device::create(labSpec("acme", "AP-200"));
    device->start();
    const uint16_t port = device->port();
    auto post = [port](const std::string& form, const std::string& body) {
        return curl({"-u", "admin:secret", "--data-binary", body, url(port, "/goform/" + form)})
            .out;
    };
    // "{T}": a fresh token from the form's page.
    auto token = [port](const std::string& form) {
        std::string page = curl({"-u", "admin:secret", url(port, "/" + form + ".htm")}).out;
        return between(page, "name=\"token\" value=\"", "\"");
    };
    const std::string ok = "&ssid=Other&sec_mode=4&cipher=aes&psk=longenough";
    const struct {
        const char* form;
        std::string body;
        const char* error;
    } cases[] = {
        {"wireless", "x=1" + ok, "Error: Session expired"},
        {"wireless", "token=0123456789abcdef" + ok, "Error:"},
        {"wireless", "{T}&ssid=Other&sec_mode=1&cipher=wep64&psk=abc", "Error: a 64 bit WEP key"},
        {"wireless", "{T}&ssid=&sec_mode=0&cipher=off", "Error:"},
        {"wireless", "{T}&ssid=X&sec_mode=2&cipher=wep128&psk=longenough", "Error:"},
        {"admin", "{T}&admin_user=boss&admin_pass=a&admin_pass2=b", "do not match"},
    };
    const DeviceSpec before = device->state();
    std::string used;
    for (const auto& c : cases) {
        std::string body = c.body;
        if (body.compare(0, 3, "{T}") == 0)
            body = "token=" + (used = token(c.form)) + body.substr(3);
        EXPECT_NE(post(c.form, body).find(c.error), std::string::npos) << body;
    }
    // A token is good for one post only, even a rejected one.
    EXPECT_NE(post("admin", "token=" + used + "&admin_user=boss&admin_pass=a&admin_pass2=a")
                  .find("Error: Session"),
              std::string::npos);
    EXPECT_EQ(device->state().wireless, before.wireless);
    EXPECT_EQ(device->state().username, before.username);
    EXPECT_EQ(device->state().password, before.password);

    // An open network drops the key it was sent.
    std::string open =
        post("wireless", "token=" + token("wireless") + "&ssid=Open&sec_mode=0&cipher=off&psk=zzz");
    EXPECT_NE(open.find("Settings saved successfully"), std::string::npos);
    WirelessSettings none{"Open", "none", "none", ""};
    EXPECT_EQ(device->state().wireless, none);
}
