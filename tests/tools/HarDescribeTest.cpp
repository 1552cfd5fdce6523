// describe on recordings made from a browser's HAR: the login and the change as the browser made
// them, written as format-2 steps with the values it carried named.
#include "app/Describer.h"
#include "app/HarImport.h"
#include "app/PasswordTransforms.h"

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

json describe(const std::vector<json>& entries, const std::string& password = "") {
    std::string har = json{{"log", {{"entries", entries}}}}.dump();
    krzlab::Recording r = krzpap::importHar(har, "", password, false).recording;
    EXPECT_TRUE(password.empty() || r.toText().find(password) == std::string::npos);
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

// A header whose value an earlier reply handed out: captured from that reply (by JSON pointer,
// or by the text before it on a page, whatever the value's shape: the recording holds a
// placeholder) and sent again by the steps that carried it, or by every request after the login
// when the login's own steps capture it. A value nobody handed out is left out.
TEST(HarDescribeTest, HeaderValueAnEarlierReplyHandedOut) {
    const std::string meta = "<html><head><meta name=\"csrf-token\" content=\"9f2c41d07be3aa51\">";
    auto carrying = [](const char* name, const char* value) {
        return json::array({{{"name", name}, {"value", value}}});
    };
    auto login = [](json headers = json::array()) {
        return entry("POST", "/api/login", 200, R"({"ok":true})", headers,
                     jsonPost({{"user", "admin"}, {"password", "pw-secret"}}));
    };
    auto save = [](json headers, const char* path = "/api/wifi") {
        return entry("POST", path, 200, R"({"ok":true})", headers, jsonPost({{"ssid", "New"}}));
    };
    const json pageCapture = {
        {"CSRFToken", {{"pattern", "<meta name=\"csrf-token\" content=\"([^\\s\"<&;,]+)"}}}};
    const struct {
        const char* name;
        std::vector<json> entries;
        json changeCapture;  // the change's first step's capture (null: it has no capture step)
        json postHeaders;    // what the change's post sends (null: no headers)
        json loginHeaders;   // login.headers (null: none)
    } cases[] = {
        {"a page's meta, carried by the change's posts",
         {entry("GET", "/", 200, kPage), login(), entry("GET", "/wifi.html", 200, meta),
          save(carrying("X-CSRF-Token", "9f2c41d07be3aa51")),
          entry("POST", "/api/apply", 200, "{}", carrying("X-CSRF-Token", "9f2c41d07be3aa51"),
                jsonPost(json::object()))},
         pageCapture,
         {{"X-CSRF-Token", "{CSRFToken}"}},
         nullptr},
        {"a JSON member",
         {entry("GET", "/", 200, kPage), login(),
          entry("GET", "/api/session", 200, R"({"data":{"xsrf":"77c1e0a9b2d4"}})"),
          save(carrying("X-Xsrf", "77c1e0a9b2d4"))},
         {{"xsrf", {{"json", "/data/xsrf"}}}},
         {{"X-Xsrf", "{xsrf}"}},
         nullptr},
        {"the login page's, carried by the login and every request after it",
         {entry("GET", "/", 200, kPage + meta), login(carrying("X-CSRF-Token", "9f2c41d07be3aa51")),
          save(carrying("X-CSRF-Token", "9f2c41d07be3aa51"))},
         nullptr,
         nullptr,
         {{"X-CSRF-Token", "{CSRFToken}"}}},
        {"a text page without tags: the 20 characters before it",
         {entry("GET", "/", 200, kPage), login(),
          entry("GET", "/token.txt", 200, "csrf for this page : 9f2c41d07be3aa51\n"),
          save(carrying("X-CSRF-Token", "9f2c41d07be3aa51"))},
         {{"CSRFToken", {{"pattern", "srf for this page : ([^\\s\"<&;,]+)"}}}},
         {{"X-CSRF-Token", "{CSRFToken}"}},
         nullptr},
        {"handed out by a post's answer",
         {entry("GET", "/", 200, kPage), login(),
          entry("POST", "/api/session", 200, R"({"xsrf":"77c1e0a9b2d4"})", json::array(),
                jsonPost(json::object())),
          save(carrying("X-Xsrf", "77c1e0a9b2d4"))},
         nullptr,
         nullptr,
         nullptr},
        {"handed out by nobody",
         {entry("GET", "/", 200, kPage), login(), entry("GET", "/wifi.html", 200, kPage),
          save(carrying("X-Request-Id", "5d41402abc4b"))},
         nullptr,
         nullptr,
         nullptr},
        {"inside a longer word of a page",
         {entry("GET", "/", 200, kPage), login(),
          entry("GET", "/wifi.html", 200, "<p id=x9f2c41d07be3aa51>"),
          save(carrying("X-CSRF-Token", "9f2c41d07be3aa51"))},
         nullptr,
         nullptr,
         nullptr},
        {"at a page's very start",
         {entry("GET", "/", 200, kPage), login(),
          entry("GET", "/token.txt", 200, "9f2c41d07be3aa51"),
          save(carrying("X-CSRF-Token", "9f2c41d07be3aa51"))},
         nullptr,
         nullptr,
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto draft = describe(c.entries);
        const json& steps = draft["changes"][0]["steps"];
        ASSERT_EQ(steps.size(), c.changeCapture.is_null() ? 1u : c.entries.size() - 2)
            << steps.dump(1);
        const json& post = steps[c.changeCapture.is_null() ? 0 : 1];
        EXPECT_EQ(post["json"]["ssid"], "{ssid}");
        EXPECT_EQ(post.value("headers", json()), c.postHeaders);
        EXPECT_EQ(draft["login"].value("headers", json()), c.loginHeaders) << draft["login"];
        EXPECT_EQ(draft.dump().find("9f2c41d07be3aa51"), std::string::npos);
        if (!c.changeCapture.is_null()) {
            EXPECT_EQ(steps[0]["capture"], c.changeCapture);
            EXPECT_FALSE(steps[0].contains("headers"));
            EXPECT_TRUE(marked(draft, "guesses", "/changes/0/steps/0"));
            for (size_t i = 1; i < steps.size(); ++i) {
                EXPECT_EQ(steps[i]["headers"], c.postHeaders);
                EXPECT_TRUE(marked(draft, "guesses",
                                   "/changes/0/steps/" + std::to_string(i) + "/headers/" +
                                       c.postHeaders.begin().key()));
            }
        }
        if (!c.loginHeaders.is_null()) {
            const json& first = draft["login"]["steps"][0];
            EXPECT_EQ(first["path"], "/");
            EXPECT_EQ(first["capture"], pageCapture);
            EXPECT_EQ(draft["login"]["steps"][1]["headers"], c.loginHeaders);
            EXPECT_TRUE(marked(draft, "guesses", "/login/steps/1/headers/X-CSRF-Token"));
        }
    }
    // Each post sends the header, after the step that captures it.
    auto draft =
        describe({entry("GET", "/", 200, kPage), login(), entry("GET", "/wifi.html", 200, meta),
                  entry("GET", "/api/wifi", 200, R"({"ssid":"Old","band":"2.4GHz"})",
                        carrying("X-CSRF-Token", "9f2c41d07be3aa51")),
                  entry("POST", "/api/wifi", 200, R"({"ok":true})",
                        carrying("X-CSRF-Token", "9f2c41d07be3aa51"),
                        jsonPost({{"ssid", "New"}, {"band", "2.4GHz"}})),
                  save(carrying("X-CSRF-Token", "9f2c41d07be3aa51"), "/api/apply"),
                  entry("POST", "/api/confirm", 200, "{}",
                        carrying("X-CSRF-Token", "9f2c41d07be3aa51"), jsonPost(json::object()))});
    const json& steps = draft["changes"][0]["steps"];
    ASSERT_EQ(steps.size(), 4u) << steps.dump(1);
    EXPECT_EQ(steps[0]["capture"], pageCapture);
    EXPECT_EQ(steps[1]["capture"]["band"]["json"], "/band");
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(steps[i]["headers"]["X-CSRF-Token"], "{CSRFToken}") << i;
    EXPECT_EQ(draft["changes"][0]["confirm"][0]["headers"]["X-CSRF-Token"], "{CSRFToken}");
    EXPECT_TRUE(marked(draft, "guesses", "/changes/0/confirm/0/headers/X-CSRF-Token"));
    // A step's own request keeps what its reply hands out: it is not captured yet.
    draft = describe({entry("GET", "/", 200, kPage), login(),
                      entry("POST", "/api/get", 200, R"({"name":"cfg030f15"})", json::array(),
                            jsonPost({{"section", "cfg030f15"}})),
                      entry("POST", "/api/set", 200, "{}", json::array(),
                            jsonPost({{"section", "cfg030f15"}, {"ssid", "New"}}))});
    EXPECT_EQ(draft["changes"][0]["steps"][0]["json"]["section"], "cfg030f15");
    EXPECT_EQ(draft["changes"][0]["steps"][1]["json"]["section"], "{name}");
}

// A restart the browser waited for: the answer of a post said so, or the page read one path
// again and again after the posts until its answer changed. The post gets `restarts`, the change
// a `restart`, both guesses; without either sign nothing is said.
TEST(HarDescribeTest, RestartTheBrowserWaitedFor) {
    auto save = [](const std::string& answer) {
        return entry("POST", "/api/wifi", 200, answer, json::array(), jsonPost({{"ssid", "New"}}));
    };
    auto apply = [](const std::string& answer) {
        return entry("POST", "/api/apply", 200, answer, json::array(), jsonPost(json::object()));
    };
    auto status = [](int code, const std::string& answer) {
        return entry("GET", "/api/status", code, answer);
    };
    const std::string ok = R"({"ok":true})";
    const struct {
        const char* name;
        std::vector<json> after;  // after the login
        int restarts;             // the step that restarts, -1: none
        const char* why = "";     // in the restart's guess
    } cases[] = {
        {"the apply's answer",
         {save(ok), apply(R"({"ok":true,"restarting":true})")},
         1,
         "the answer to /api/apply says the device restarts"},
        {"a count of seconds", {save(R"({"result":{"rebootSeconds":30}})"), apply(ok)}, 0},
        {"deep in the answer",
         {save(ok), apply(R"({"a":{"b":{"c":{"d":{"e":{"restarting":true}}}}}})")},
         1},
        {"a status in words", {save(ok), apply(R"({"state":"Rebooting"})"), status(200, ok)}, 1},
        {"polled until back",
         {save(ok), status(503, ""), status(503, ""), status(200, ok)},
         0,
         "the browser read /api/status 3 times after the change until its answer changed"},
        {"polled until it changed",
         {save(ok), apply(ok), status(200, R"({"radio":"down"})"),
          status(200, R"({"radio":"up"})")},
         1},
        {"no restart announced", {save(R"({"restart":false,"reboot":0})"), apply(ok)}, -1},
        {"read twice, the same", {save(ok), apply(ok), status(200, ok), status(200, ok)}, -1},
        {"read once", {save(ok), status(200, ok)}, -1},
        {"other pages read", {save(ok), status(503, ""), entry("GET", "/api/wifi", 200, ok)}, -1},
        {"a page mentions rebooting", {save("<p>Rebooting</p>"), apply(ok)}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<json> entries{entry("GET", "/", 200, kPage),
                                  entry("POST", "/api/login", 200, R"({"ok":true})", json::array(),
                                        jsonPost({{"user", "admin"}, {"password", "pw-secret"}}))};
        entries.insert(entries.end(), c.after.begin(), c.after.end());
        auto draft = describe(entries);
        const json& change = draft["changes"][0];
        for (size_t i = 0; i < change["steps"].size(); ++i)
            EXPECT_EQ(change["steps"][i].contains("restarts"), int(i) == c.restarts) << i;
        EXPECT_EQ(change.contains("restart"), c.restarts >= 0) << change.dump(1);
        EXPECT_EQ(marked(draft, "guesses", "/changes/0/restart"), c.restarts >= 0);
        if (c.restarts >= 0) {
            EXPECT_EQ(change["steps"][c.restarts]["restarts"], true);
            EXPECT_GE(change["restart"]["maximumMs"], change["restart"]["minimumMs"]);
            EXPECT_TRUE(marked(draft, "guesses",
                               "/changes/0/steps/" + std::to_string(c.restarts) + "/restarts"));
            for (const auto& m : draft["draft"]["guesses"])
                if (m["pointer"] == "/changes/0/restart") {
                    EXPECT_NE(m["why"].get<std::string>().find(c.why), std::string::npos)
                        << m["why"];
                }
        }
    }
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

// The password a person typed, and what a login page's scripts may have sent instead; the
// values were computed apart from the library (Python's hashlib, hmac and base64).
const char kTyped[] = "s3cr3t pw!";
const char kNonce[] = "c0ffee1234abcd";
const char kSalt[] = "NaClNaCl";

TEST(PasswordTransformsTest, ExplainsWhatTheBrowserSent) {
    krzpap::HandedOut earlier{{"unrelated-value", kNonce, kSalt}, {"7", "1000"}};
    krzpap::PasswordTransforms transforms(kTyped, earlier);
    const std::string P = "{currentPassword}", N = kNonce;
    const json kdf = {{"pbkdf2Sha256", {{"password", P}, {"salt", kSalt}, {"iterations", "1000"}}}};
    const struct {
        const char* sent;
        json how;
        const char* user;
    } cases[] = {
        {"04e57e657db8242e4fa1d8aa8ce46c61", {{"md5", P}}, ""},
        {"4342156957D2B212DF6D41D4082B6416B076B3C5", {{"upper", {{"sha1", P}}}}, ""},
        {"09b6d42912fe0e45ef3441dab6c03b56ce0c62577d63d457f765d70cc8de4d09", {{"sha256", P}}, ""},
        {"czNjcjN0IHB3IQ==", {{"base64", P}}, ""},
        {"YWRtaW46czNjcjN0IHB3IQ==", {{"base64", "{loginUser}:" + P}}, "admin"},
        {"s3cr3t%20pw%21", {{"urlEncode", P}}, ""},
        {"e40f697855384d192745beafa283d3ef", {{"md5", {{"concat", {N, P}}}}}, ""},
        {"18c95621f6594eb1a77855190cad453083a7455e6ec344078225301fab8044c1",
         {{"sha256", {{"concat", {P, N}}}}},
         ""},
        {"c26b17df6ba929f35759afacf16e3e57", {{"md5", {{"concat", {N, {{"md5", P}}}}}}}, ""},
        {"176c09b3aa78a08f37b35a2416620e5bba8fffeb1bc69b6e1733f38e757fc297",
         {{"hmacSha256", {{"key", N}, {"data", P}}}},
         ""},
        {"0b77f2b09469b47e49d93bb042733867afd76116", {{"hmacSha1", {{"key", P}, {"data", N}}}}, ""},
        {"a542d2ba52f345fe49972a9ffec8934f68291a5ea508ea382c71f464be877492", kdf, ""},
        {"20bbf18009521bc1ce0586311ed31b144b39e6ad4dab4e6ad0311f7e3bd6cc82",
         {{"hmacSha256", {{"key", {{"fromHex", kdf}}}, {"data", N}}}},
         ""},
        // Not the password: another user's, the hash of something else, a wrong case.
        {"YWRtaW46b3RoZXI=", nullptr, ""},
        {"21232f297a57a5a743894a0e4a801fc3", nullptr, ""},
        {"04E57E657DB8242E4FA1D8AA8CE46C6", nullptr, ""},
        {kTyped, nullptr, ""},
    };
    for (const auto& c : cases) {
        std::string user;
        EXPECT_EQ(transforms.explain(c.sent, user), c.how) << c.sent;
        EXPECT_EQ(user, c.user) << c.sent;
    }
    // Counts within the bound are tried, from 1; others are not (nor is an empty user name).
    const struct {
        std::vector<std::string> numbers;
        const char* sent;
        bool explained;
    } counts[] = {
        {{"0", "1"}, "69290bd349a6d02245ce6dd0d0a40705b018d3b3e39a60c2be898f885d5ef56f", true},
        {{"0", "1"}, "124efea88b37b87c8023824459dc006716c6cc34cb5afaea255db9715de2f7ba", false},
        {{"100001", "100000"},
         "d1d8abb806886bc0b291eb746dec8ee998d44501e17cfcc4a7371f6b5dfeeaca",
         true},
        {{"100001", "100000"},
         "3548a3faeabe2462aada64641aaf2ddd8e70077114d9e62364ebabc9552a3886",
         false},
        {{}, "OnMzY3IzdCBwdyE=", false},
    };
    for (const auto& c : counts) {
        std::string user;
        krzpap::PasswordTransforms counted(kTyped, {{kSalt, kNonce}, c.numbers});
        EXPECT_EQ(c.explained, !counted.explain(c.sent, user).is_null()) << c.sent;
    }
    // Key derivation spends the caller's budget of iterations, and stops where it would pass it.
    const std::string derived = "a542d2ba52f345fe49972a9ffec8934f68291a5ea508ea382c71f464be877492";
    for (long budget : {999L, 1000L}) {
        long left = budget;
        std::string user;
        krzpap::PasswordTransforms spent(kTyped, {{kSalt}, {"1000"}}, &left);
        EXPECT_EQ(budget == 1000, !spent.explain(derived, user).is_null()) << budget;
        EXPECT_EQ(budget == 1000 ? 0 : budget, left);
    }
    // Without the typed password nothing is explained.
    std::string user;
    EXPECT_TRUE(
        krzpap::PasswordTransforms("", earlier).explain("czNjcjN0IHB3IQ==", user).is_null());
}

// What the login sent, how the draft computes it again, and what it must capture first.
TEST(HarDescribeTest, LoginSentThePasswordTransformed) {
    const std::string challenge =
        json{{"nonce", kNonce}, {"salt", kSalt}, {"iterations", 1000}}.dump();
    const struct {
        const char* name;
        json login;  // the login's JSON body
        json value;  // values.sentPassword as the draft writes it
        std::vector<std::string> captured;
        const char* field;  // the member that sent it
    } cases[] = {
        {"md5 upper case",
         {{"user", "admin"}, {"hash", "4342156957D2B212DF6D41D4082B6416B076B3C5"}},
         {{"upper", {{"sha1", "{currentPassword}"}}}},
         {},
         "hash"},
        {"base64 of user:password",
         {{"login_authorization", "YWRtaW46czNjcjN0IHB3IQ=="}},
         {{"base64", "{loginUser}:{currentPassword}"}},
         {},
         "login_authorization"},
        {"salted hash of a nonce",
         {{"user", "admin"}, {"digest", "e40f697855384d192745beafa283d3ef"}},
         {{"md5", {{"concat", {"{nonce}", "{currentPassword}"}}}}},
         {"nonce"},
         "digest"},
        {"key derived and a proof over the nonce",
         {{"user", "admin"},
          {"nonce", kNonce},
          {"proof", "20bbf18009521bc1ce0586311ed31b144b39e6ad4dab4e6ad0311f7e3bd6cc82"}},
         {{"hmacSha256",
           {{"key",
             {{"fromHex",
               {{"pbkdf2Sha256",
                 {{"password", "{currentPassword}"},
                  {"salt", "{salt}"},
                  {"iterations", "{iterations}"}}}}}}},
            {"data", "{nonce}"}}}},
         {"nonce", "salt", "iterations"},
         "proof"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto draft = describe(
            {entry("GET", "/", 200, kPage), entry("GET", "/api/challenge", 200, challenge),
             entry("POST", "/api/login", 200, R"({"ok":true})", json::array(), jsonPost(c.login))},
            kTyped);
        EXPECT_EQ(draft["values"]["sentPassword"], c.value);
        const json& steps = draft["login"]["steps"];
        ASSERT_EQ(steps.size(), c.captured.empty() ? 1u : 2u);
        EXPECT_EQ(steps.back()["json"][c.field], "{sentPassword}");
        // Each value from one ask: a second would hand out a fresh nonce.
        for (const std::string& name : c.captured)
            EXPECT_TRUE(steps[0]["capture"].contains(name)) << name;
        EXPECT_TRUE(marked(draft, "guesses", "/values/sentPassword"));
        EXPECT_FALSE(marked(draft, "gaps", "/login/steps"));
    }
}

TEST(HarDescribeTest, WhatItCannotExplainIsAGap) {
    // A nonce that came from no JSON reply (a script on a page), and a transform it does not know.
    auto draft =
        describe({entry("GET", "/login.html", 200, "<script>var n='c0ffee1234abcd'</script>"),
                  entry("POST", "/api/login", 200, "{}", json::array(),
                        jsonPost({{"digest", "e40f697855384d192745beafa283d3ef"}}))},
                 kTyped);
    EXPECT_EQ(draft["values"]["sentPassword"]["md5"]["concat"][0], kNonce);
    EXPECT_TRUE(marked(draft, "gaps", "/values/sentPassword/md5/concat/0"));
    draft = describe({entry("GET", "/", 200, kPage),
                      entry("POST", "/api/login", 200, "{}", json::array(),
                            jsonPost({{"secret", "0123456789abcdef0123456789abcdef"}}))},
                     kTyped);
    EXPECT_TRUE(marked(draft, "gaps", "/login/steps"));
    EXPECT_FALSE(draft.contains("values"));
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
        {"asuswrt", false, 1},  {"sorrelby", true, 1}, {"luci", false, 3},
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
        if (std::string(f.family) == "asuswrt") {  // its page sends base64 of user:password
            EXPECT_EQ(draft["values"]["sentPassword"],
                      json({{"base64", "{loginUser}:{currentPassword}"}}));
        }
        const json& steps = draft["changes"][0]["steps"];
        EXPECT_EQ(steps.size(), f.changeSteps) << steps;
        EXPECT_NE(steps.dump().find("{ssid}"), std::string::npos) << steps;
        EXPECT_NE(steps.dump().find("{key}"), std::string::npos) << steps;
        EXPECT_EQ(steps.dump().find("NEW-KEY"), std::string::npos) << steps;
    }
}

}  // namespace
