#include <gtest/gtest.h>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krzlab_test;

namespace {

class AcmeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device = Device::create(labSpec("acme", "AP-200"));
        device->start();
        port = device->port();
    }
    CurlRun get(const std::string& path, const std::string& credentials = "admin:secret") {
        return curl({"-i", "-u", credentials, url(port, path)});
    }
    std::string freshToken(const std::string& page = "/wireless.htm") {
        return between(get(page).out, "name=\"token\" value=\"", "\"");
    }
    std::unique_ptr<Device> device;
    uint16_t port = 0;
};

}  // namespace

TEST_F(AcmeTest, EveryPageAsksForBasicCredentialsNamingTheModel) {
    for (const char* path : {"/", "/wireless.htm", "/admin.htm", "/nope"}) {
        CurlRun anonymous = curl({"-i", url(port, path)});
        EXPECT_EQ(anonymous.out.compare(0, 25, "HTTP/1.1 401 Unauthorized"), 0) << path;
        EXPECT_NE(anonymous.out.find("WWW-Authenticate: Basic realm=\"Acme AP-200\""),
                  std::string::npos);
        CurlRun wrong = get(path, "admin:Secret");
        EXPECT_NE(wrong.out.find(" 401 "), std::string::npos) << path;
    }
    CurlRun home = get("/");
    EXPECT_EQ(home.out.compare(0, 15, "HTTP/1.1 200 OK"), 0);
    for (const char* text : {"Acme Networks", "AP-200", "1.2.3 build 4711", "LabNet"}) {
        EXPECT_NE(home.out.find(text), std::string::npos) << text;
    }
    // Framed by its length, as the raw bytes show.
    RawRun raw = rawExchange(port, getRequest("/", "Authorization: Basic YWRtaW46c2VjcmV0\r\n"));
    std::string length = between(raw.bytes, "Content-Length: ", "\r\n");
    EXPECT_EQ(length, std::to_string(bodyPart(raw.bytes).size()));
    EXPECT_EQ(headPart(raw.bytes).find("chunked"), std::string::npos);
}

TEST_F(AcmeTest, WirelessFormChangesStateAndPage) {
    CurlRun page = get("/wireless.htm");
    for (const char* field :
         {"type=\"hidden\" name=\"token\"", "type=\"text\" name=\"ssid\"",
          "type=\"password\" name=\"psk\"", "<select name=\"sec_mode\"", "<select name=\"cipher\"",
          "type=\"checkbox\" name=\"ssid_bcast\" value=\"1\" checked",
          "type=\"radio\" name=\"band\" value=\"2g\" checked", "type=\"submit\" name=\"apply\"",
          "<option value=\"3\" selected>WPA2-PSK", "value=\"initial-key-1\"", "<script"}) {
        EXPECT_NE(page.out.find(field), std::string::npos) << field;
    }
    std::string token = between(page.out, "name=\"token\" value=\"", "\"");
    ASSERT_EQ(token.size(), 16u);

    CurlRun post =
        curl({"-u", "admin:secret", "--data-urlencode", "token=" + token, "--data-urlencode",
              "ssid=Cafe & \"Bar\"", "--data-urlencode", "sec_mode=2", "--data-urlencode",
              "cipher=tkip", "--data-urlencode", "psk=a new passphrase", "--data-urlencode",
              "band=5g", "--data-urlencode", "apply=Apply", url(port, "/goform/wireless")});
    ASSERT_EQ(post.exitCode, 0) << post.err;
    EXPECT_NE(post.out.find("Settings saved successfully"), std::string::npos) << post.out;
    WirelessSettings expected{"Cafe & \"Bar\"", "wpa-psk", "tkip", "a new passphrase"};
    EXPECT_EQ(device->state().wireless, expected);

    CurlRun after = get("/wireless.htm");
    EXPECT_NE(after.out.find("value=\"Cafe &amp; &quot;Bar&quot;\""), std::string::npos);
    EXPECT_NE(after.out.find("<option value=\"2\" selected>"), std::string::npos);
    EXPECT_NE(after.out.find("<option value=\"tkip\" selected>"), std::string::npos);
    EXPECT_NE(after.out.find("name=\"ssid_bcast\" value=\"1\">"), std::string::npos);
    EXPECT_NE(after.out.find("value=\"5g\" checked"), std::string::npos);
    EXPECT_NE(get("/").out.find("Cafe &amp; &quot;Bar&quot;"), std::string::npos);
}

TEST_F(AcmeTest, RejectedPostsLeaveTheSettingsAlone) {
    WirelessSettings before = device->state().wireless;
    auto post = [this](const std::string& body) {
        return curl({"-u", "admin:secret", "--data-binary", body, url(port, "/goform/wireless")});
    };
    std::string ok = "&ssid=Other&sec_mode=4&cipher=aes&psk=longenough";
    EXPECT_NE(post("x=1" + ok).out.find("Error: Session expired"), std::string::npos);
    EXPECT_NE(post("token=0123456789abcdef" + ok).out.find("Error:"), std::string::npos);
    std::string token = freshToken();
    EXPECT_NE(post("token=" + token + "&ssid=Other&sec_mode=1&cipher=wep64&psk=abc")
                  .out.find("Error: a 64 bit WEP key"),
              std::string::npos);
    // A token is good for one post only, even a rejected one.
    EXPECT_NE(post("token=" + token + ok).out.find("Error: Session"), std::string::npos);
    EXPECT_NE(post("token=" + freshToken() + "&ssid=&sec_mode=0&cipher=off").out.find("Error:"),
              std::string::npos);
    EXPECT_NE(post("token=" + freshToken() + "&ssid=X&sec_mode=2&cipher=wep128&psk=longenough")
                  .out.find("Error:"),
              std::string::npos);
    EXPECT_EQ(device->state().wireless, before);

    // An open network drops the key it was sent.
    CurlRun open = post("token=" + freshToken() + "&ssid=Open&sec_mode=0&cipher=off&psk=zzz");
    EXPECT_NE(open.out.find("Settings saved successfully"), std::string::npos);
    WirelessSettings none{"Open", "none", "none", ""};
    EXPECT_EQ(device->state().wireless, none);
}

TEST_F(AcmeTest, AdministratorChangeTakesEffectOnTheNextRequest) {
    std::string admin = get("/admin.htm").out;
    EXPECT_NE(admin.find("name=\"admin_user\" maxlength=\"15\" value=\"admin\""),
              std::string::npos);
    std::string token = between(admin, "name=\"token\" value=\"", "\"");
    CurlRun mismatch = curl({"-u", "admin:secret", "--data",
                             "token=" + token + "&admin_user=boss&admin_pass=a&admin_pass2=b",
                             url(port, "/goform/admin")});
    EXPECT_NE(mismatch.out.find("do not match"), std::string::npos);
    CurlRun change = curl({"-u", "admin:secret", "--data",
                           "token=" + freshToken("/admin.htm") +
                               "&admin_user=boss&admin_pass=n3w%21&admin_pass2=n3w%21&save=Save",
                           url(port, "/goform/admin")});
    EXPECT_NE(change.out.find("Settings saved successfully"), std::string::npos);
    EXPECT_EQ(device->state().username, "boss");
    EXPECT_EQ(device->state().password, "n3w!");
    EXPECT_NE(get("/").out.find(" 401 "), std::string::npos);
    EXPECT_EQ(get("/", "boss:n3w!").out.compare(0, 15, "HTTP/1.1 200 OK"), 0);
}
