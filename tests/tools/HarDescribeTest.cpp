// describe on recordings made from a browser's HAR: the login and the change as the browser made
// them, written as format-2 steps with the values it carried named.
#include "app/Describer.h"
#include "app/HarImport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

json entry(const std::string& method, const std::string& path, int status, const std::string& reply,
           json headers = json::array(), json post = nullptr) {
    json request{{"method", method}, {"url", "http://192.168.77.30" + path}, {"headers", headers}};
    if (!post.is_null())
        request["postData"] = post;
    return json{{"request", request},
                {"response",
                 {{"status", status},
                  {"headers", json::array()},
                  {"content", {{"size", reply.size()}, {"text", reply}}}}}};
}

json jsonPost(const json& body) {
    return json{{"mimeType", "application/json"}, {"text", body.dump()}};
}

json describe(const std::vector<json>& entries) {
    std::string har = json{{"log", {{"entries", entries}}}}.dump();
    krzlab::Recording r = krzpap::importHar(har, "", "", false).recording;
    EXPECT_EQ(r.source, "har");
    // Read back as a file would be: describe sees what a recording file holds.
    return json::parse(
        krzpap::draftDescription(krzlab::Recording::fromText(r.toText()), "test.har").dump());
}

bool marked(const json& draft, const char* list, const std::string& pointer) {
    for (const auto& m : draft["draft"][list])
        if (m["pointer"] == pointer)
            return true;
    return false;
}

const char kPage[] = "<html><title>Sorrel Router</title><body>admin</body></html>";

TEST(HarDescribeTest, JsonLoginTokenChangeConfirmAndReadBack) {
    json token = {{"name", "X-Token"}, {"value", "tok-0123456789"}};
    auto draft = describe({
        entry("GET", "/", 200, kPage),
        entry("GET", "/api/challenge", 200, R"({"nonce":"abcdef123456"})"),
        entry("POST", "/api/login", 200,
              R"({"ok":true,"token":"tok-0123456789","psk":"old-key-12345"})", json::array(),
              jsonPost({{"user", "admin"}, {"nonce", "abcdef123456"}, {"password", "pw-secret"}})),
        entry("POST", "/api/wireless", 202, R"({"ok":true})", json::array({token}),
              jsonPost({{"ssid", "NewName"}, {"passphrase", "newkey-999"}, {"channel", 6}})),
        entry("POST", "/api/confirm", 200, "{}", json::array({token}), jsonPost(json::object())),
        entry("GET", "/api/wireless", 200, R"({"list":[1,2],"radio":{"ssid":"NewName"}})",
              json::array({token})),
    });
    EXPECT_EQ(draft["format"], 2);
    const auto& steps = draft["login"]["steps"];
    ASSERT_EQ(steps.size(), 2u) << draft.dump(1);
    EXPECT_EQ(steps[0]["path"], "/api/challenge");
    EXPECT_EQ(steps[0]["capture"]["nonce"]["json"], "/nonce");
    EXPECT_EQ(
        steps[1]["json"],
        (json{{"user", "{loginUser}"}, {"nonce", "{nonce}"}, {"password", "{currentPassword}"}}));
    EXPECT_EQ(steps[1]["capture"], (json{{"token", {{"json", "/token"}}}}));
    EXPECT_EQ(steps[1]["expect"]["status"], 200);
    EXPECT_EQ(draft["login"]["headers"]["X-Token"], "{token}");
    const auto& change = draft["changes"][0];
    EXPECT_EQ(change["change"], "wireless");
    EXPECT_EQ(change["steps"][0]["json"],
              (json{{"ssid", "{ssid}"}, {"passphrase", "{key}"}, {"channel", 6}}));
    EXPECT_EQ(change["steps"][0]["expect"]["status"], 202);
    EXPECT_EQ(change["confirm"][0]["path"], "/api/confirm");
    EXPECT_EQ(draft["settings"]["ssid"],
              (json{{"page", "/api/wireless"}, {"json", "/radio/ssid"}}));
    EXPECT_TRUE(marked(draft, "guesses", "/settings/ssid"));
    EXPECT_TRUE(marked(draft, "gaps", "/changes/1/steps"));
    EXPECT_FALSE(marked(draft, "gaps", "/login/kind"));  // the crawl's mark, replaced
    // The crawl's other marks stay.
    EXPECT_TRUE(marked(draft, "guesses", "/vendor") || marked(draft, "gaps", "/vendor"));
    EXPECT_FALSE(steps[0].contains("method"));
    EXPECT_FALSE(steps[1].contains("method"));
}

// The token the login's answer handed out, carried by the very next request only.
TEST(HarDescribeTest, TokenCarriedRightAfterTheLogin) {
    auto draft = describe({
        entry("GET", "/", 200, kPage),
        entry("POST", "/api/login", 200, R"({"token":"tok-9876543210"})", json::array(),
              jsonPost({{"user", "admin"}, {"password", "pw-secret"}})),
        entry("GET", "/api/status", 200, "{}",
              json::array({{{"name", "X-Auth"}, {"value", "tok-9876543210"}}})),
    });
    EXPECT_EQ(draft["login"]["headers"]["X-Auth"], "{token}") << draft["login"];
}

TEST(HarDescribeTest, FormLoginAndFormChange) {
    auto form = [](const std::string& text) {
        return json{{"mimeType", "application/x-www-form-urlencoded"}, {"text", text}};
    };
    auto draft = describe({
        entry("GET", "/", 200, kPage),
        entry("POST", "/login.cgi", 302, "",
              json::array({{{"name", "Referer"}, {"value", "http://192.168.77.30/login.htm"}}}),
              form("user=root&pass=hunter2-pw&nonce=never-seen-before")),
        entry("POST", "/apply.cgi", 200, "<p>saved</p>", json::array(),
              form("wl_ssid=Cafe%7BX%7D&wl_wpa_psk=k3y-k3y-k3y&wl_channel=11")),
    });
    const auto& login = draft["login"]["steps"][0];
    EXPECT_EQ(login["path"], "/login.cgi");
    EXPECT_EQ(login["urlencoded"], (json{{"user", "{loginUser}"},
                                         {"pass", "{currentPassword}"},
                                         {"nonce", "never-seen-before"}}));
    EXPECT_EQ(draft["login"]["steps"].size(), 1u);
    EXPECT_EQ(login["expect"]["status"], 302);
    EXPECT_EQ(login["referer"], "/login.htm");
    const auto& post = draft["changes"][0]["steps"][0];
    EXPECT_EQ(post["urlencoded"],
              (json{{"wl_ssid", "{ssid}"}, {"wl_wpa_psk", "{key}"}, {"wl_channel", "11"}}));
    EXPECT_FALSE(draft["changes"][0].contains("confirm"));
}

// A form sent with GET carries its fields in the query: that request is the change, and the
// new name and key are templated where they stand, still encoded.
TEST(HarDescribeTest, FormSentWithGetIsTheChange) {
    json basic =
        json::array({{{"name", "Authorization"}, {"value", "Basic YWRtaW46cHctc2VjcmV0LTE="}}});
    auto draft = describe({
        entry("GET", "/", 200, kPage, basic),
        entry("GET", "/wireless.htm?tab=2", 200, "<form><input name=wl_ssid></form>", basic),
        entry("GET", "/wlset.cgi?wl_ssid=Two+Words&wl_psk=k3y-k3y-k3y&go=Apply", 200, "applied",
              basic),
    });
    EXPECT_EQ(draft["changes"][0]["steps"][0]["path"],
              "/wlset.cgi?wl_ssid={ssid}&wl_psk={key}&go=Apply")
        << draft["changes"].dump();
    EXPECT_FALSE(draft["changes"][0]["steps"][0].contains("method"));
}

// The login's user field under the names login forms give it: its value becomes {loginUser}.
TEST(HarDescribeTest, TheLoginsUserFieldByItsNames) {
    for (const char* name : {"username", "uname", "login", "login_name"}) {
        SCOPED_TRACE(name);
        auto draft = describe({
            entry("GET", "/", 200, kPage),
            entry("POST", "/login.cgi", 200, "ok", json::array(),
                  json{{"mimeType", "application/x-www-form-urlencoded"},
                       {"text", std::string(name) + "=root&upass=hunter2-pw&lang=en"}}),
        });
        EXPECT_EQ(draft["login"]["steps"][0]["urlencoded"],
                  (json{{name, "{loginUser}"}, {"upass", "{currentPassword}"}, {"lang", "en"}}));
    }
}

// The name saved on one page, the key on another: both posts are steps of the change, in order,
// and the page read between them is not.
TEST(HarDescribeTest, SettingsSavedFromTwoPages) {
    auto form = [](const std::string& text) {
        return json{{"mimeType", "application/x-www-form-urlencoded"}, {"text", text}};
    };
    auto draft = describe({
        entry("GET", "/", 200, kPage),
        entry("POST", "/login.cgi", 200, "ok", json::array(), form("user=root&pass=hunter2-pw")),
        entry("POST", "/apply.cgi", 200, "saved", json::array(),
              form("page=Basic&wl_ssid=Split&action=Apply")),
        entry("GET", "/Security.asp", 200, "<input name=wl_psk value='old-key-4567'>"),
        entry("GET", "/Status.asp", 200, "<p>up</p>"),
        entry("POST", "/apply.cgi", 200, "saved", json::array(),
              form("page=Security&wl_psk=n3w-key-890&action=ApplyTake")),
        entry("GET", "/Status.asp", 200, "<p>up</p>"),
    });
    const json& steps = draft["changes"][0]["steps"];
    ASSERT_EQ(steps.size(), 2u) << steps.dump();
    EXPECT_EQ(steps[0]["urlencoded"]["wl_ssid"], "{ssid}");
    EXPECT_EQ(steps[1]["urlencoded"],
              (json{{"page", "Security"}, {"wl_psk", "{key}"}, {"action", "ApplyTake"}}));
    EXPECT_TRUE(marked(draft, "gaps", "/changes/0/steps/1"));
    EXPECT_TRUE(marked(draft, "guesses", "/changes/0/steps/1"));
}

TEST(HarDescribeTest, SavedWithoutTheLogin) {
    auto draft = describe({
        entry("GET", "/", 200, kPage),
        entry("PUT", "/apply", 200, "ok", json::array(),
              json{{"mimeType", "text/plain"}, {"text", "ssid=Plain"}}),
    });
    EXPECT_EQ(draft["login"]["steps"][0]["path"], "/GAP");
    EXPECT_TRUE(marked(draft, "gaps", "/login/steps"));
    EXPECT_EQ(draft["changes"][0]["steps"][0]["text"]["body"], "ssid={ssid}");
    EXPECT_EQ(draft["changes"][0]["steps"][0]["method"], "PUT");
}

// A browser's HAR of a Basic device may hold no credentials form: the Basic credentials say
// whether the device takes a user name.
TEST(HarDescribeTest, BasicCredentialsSayWhetherAUserNameIsTaken) {
    const struct {
        const char* credentials;  // base64 of USER:pw-secret-1
        bool usesUsername;
    } cases[] = {{"YWRtaW46cHctc2VjcmV0LTE=", true}, {"OnB3LXNlY3JldC0x", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.credentials);
        json basic = json::array(
            {{{"name", "Authorization"}, {"value", std::string("Basic ") + c.credentials}}});
        auto draft = describe({
            entry("GET", "/wireless.htm", 200, kPage, basic),
            entry("POST", "/apply.cgi", 200, "<p>saved</p>", basic,
                  json{{"mimeType", "application/x-www-form-urlencoded"},
                       {"text", "ssid=Cafe&psk=k3y-k3y-k3y"}}),
        });
        EXPECT_EQ(draft["login"]["basic"], true);
        EXPECT_EQ(draft["account"]["usesUsername"], c.usesUsername);
    }
}

// HARs headless Chromium recorded through each lab family (tests/ui/har-families.mjs, passwords
// and keys replaced: the password by PASSWORD, the new key by NEW-KEY): each becomes a format-2
// draft whose change carries the new name and key, and whose login is drafted unless the page
// transformed the password.
TEST(HarDescribeTest, BrowserHarsOfEachLabFamily) {
    const struct {
        const char* family;
        bool loginGap;
        size_t changeSteps;
    } families[] = {
        {"acme", false, 1},     {"corvid", false, 1},  {"borealis", false, 1},
        {"merrowin", false, 1}, {"ddwrt", false, 2},   {"freshtomato", false, 1},
        {"asuswrt", true, 1},   {"sorrelby", true, 1}, {"luci", false, 3},
    };
    for (const auto& f : families) {
        SCOPED_TRACE(f.family);
        std::ifstream in(std::string(KRZ_HAR_FIXTURES) + "/" + f.family + ".har");
        ASSERT_TRUE(in) << "no fixture";
        std::stringstream text;
        text << in.rdbuf();
        krzlab::Recording r = krzpap::importHar(text.str(), "", "PASSWORD", false).recording;
        json draft = json::parse(
            krzpap::draftDescription(krzlab::Recording::fromText(r.toText()), "f.har").dump());
        EXPECT_EQ(draft["format"], 2);
        EXPECT_EQ(marked(draft, "gaps", "/login/steps"), f.loginGap) << draft["login"];
        const json& steps = draft["changes"][0]["steps"];
        EXPECT_EQ(steps.size(), f.changeSteps) << steps;
        EXPECT_NE(steps.dump().find("{ssid}"), std::string::npos) << steps;
        EXPECT_NE(steps.dump().find("{key}"), std::string::npos) << steps;
        EXPECT_EQ(steps.dump().find("NEW-KEY"), std::string::npos) << steps;
    }
}

}  // namespace
