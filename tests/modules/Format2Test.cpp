// Format 2 of descriptions: the loader's verdict on bad ones, the transforms' answers, what each
// capture takes from a reply, and the Sorrelby router's login rules driven through the generic
// configurator (one login, lockout, another administrator, nothing sent without every value).
#include "E2eTestSupport.h"

#include "KRZPDescribedConfigurator.h"
#include "KRZPDescription.h"
#include "KRZPSteps.h"

#include "http/KRZPAPComm.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "lab/net/LabDescription.h"

#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>

using namespace krztest;
using nlohmann::json;

namespace {

json sorrelby() {
    return json::parse(fileText(std::string(KRZ_DESCRIPTIONS_SOURCE) + "/sorrelby.json"));
}

// Sorrelby's description with the value at each pointer replaced (null: removed).
json edited(const std::vector<std::pair<std::string, json>>& edits) {
    json document = sorrelby();
    for (const auto& e : edits) {
        json::json_pointer where(e.first);
        if (e.second.is_null())
            document[where.parent_pointer()].erase(where.back());
        else
            document[where] = e.second;
    }
    return document;
}

std::pair<std::string, std::string> verdict(const json& document) {
    try {
        krzdesc::parseDescription(document.dump(), "test.json");
        return {};
    } catch (const krzdesc::DescriptionError& e) {
        return {e.pointer(), e.what()};
    }
}

TEST(Format2Loader, EachBadDescriptionIsRefusedWithItsPlace) {
    struct Case {
        std::vector<std::pair<std::string, json>> edits;
        const char* where;    // null: it loads
        const char* message;  // part of the message
    };
    const json capture = {{"json", "/a"}, {"header", "b"}};
    const Case cases[] = {
        {{}, nullptr, ""},
        // the schema's places
        {{{"/format", 3}}, "/format", "must be 1 or 2"},
        {{{"/factory/scheme", "https"}}, nullptr, ""},
        {{{"/factory/scheme", "ftp"}}, "/factory/scheme", ""},
        {{{"/factory/scheme", 443}}, "/factory/scheme", ""},
        {{{"/colour", "red"}}, "", ""},
        {{{"/login/steps/0/path", "api"}}, "/login/steps/0/path", ""},
        {{{"/login/steps/1/capture/token/json", "token"}}, "/login/steps/1/capture/token/json", ""},
        {{{"/login/steps/0/capture/nonce", capture}}, "/login/steps/0/capture/nonce", ""},
        {{{"/login/steps/1/method", "FETCH"}}, "/login/steps/1/method", ""},
        {{{"/login/steps/1/text", {{"contentType", "a"}, {"body", "b"}}}}, "/login/steps/1", ""},
        {{{"/login", {{"expired", {{"status", 401}}}}}}, "/login", ""},
        {{{"/changes/1/restart/maximumMs", 0}}, "/changes/1/restart/maximumMs", ""},
        // what only the loader can tell
        {{{"/values/proof/hmacSha256/data", "{nonse}"}},
         "/values/proof/hmacSha256/data",
         "unknown value {nonse}"},
        {{{"/login/steps/1/json/proof", "{proof"}}, "/login/steps/1/json/proof", "does not close"},
        {{{"/login/headers/X-Sorrelby-Token", "{tokn}"}},
         "/login/headers/X-Sorrelby-Token",
         "unknown value {tokn}"},
        {{{"/values/a", {{"md5", "{b}"}}}, {"/values/b", {{"concat", {"x", "{a}"}}}}},
         "/values/a",
         "needs its own value"},
        {{{"/values/a", "{a}"}}, "/values/a", "needs its own value"},
        {{{"/login/steps/0/capture/nonce", {{"pattern", "nonce=("}}}},
         "/login/steps/0/capture/nonce/pattern",
         "never closed"},
        {{{"/login/steps/0/capture/nonce", {{"pattern", "nonce"}}}},
         "/login/steps/0/capture/nonce/pattern",
         "no group"},
        {{{"/login/steps/0/capture/nonce/member", "x"}},
         "/login/steps/0/capture/nonce/member",
         "needs \"script\""},
        {{{"/login/steps/0/capture/nonce/max", 8}},
         "/login/steps/0/capture/nonce/max",
         "bounds a pattern"},
        {{{"/settings/ssid/json", "/a~2"}}, "/settings/ssid/json", "JSON pointer"},
        {{{"/security/wpa2-psk~1aes", "w2"}},
         "/security/wpa2-psk~1aes",
         "without an encryption setting"},
        {{{"/settings/encryption", nullptr}, {"/encryption", nullptr}},
         "/security/wep",
         "names the encryption"},
        {{{"/settings/encryption", nullptr}}, "/encryption", "leave this out"},
        {{{"/changes/1/change", "credentials"}}, "/changes/1/change", "same kind"},
        {{{"/changes/1/restart/minimumMs", 40000}}, "/changes/1/restart/minimumMs", "above"},
        {{{"/security/wpa-psk", "wpa2"}}, "/security/wpa-psk", "two modes"},
        {{{"/security/wpa-psk", {"wpa", "wpa2"}}}, "/security/wpa-psk", "two modes"},
        {{{"/security/wep", {"wep", "wep"}}}, nullptr, ""},
        // one value that several modes share, told apart by a second one
        {{{"/security/wep", {"wep", "open"}}}, "/security/none", "encryptionFields"},
        {{{"/security/wep", {"wep", "open"}}, {"/settings/encryptionFields", {{"wep", "/w"}}}},
         "/security/none",
         "encryptionFields"},
        {{{"/security/wep", {"wep", "open"}},
          {"/settings/encryptionFields", {{"none", "/w"}, {"wep", "/w"}}}},
         nullptr,
         ""},
        {{{"/security/wep", {"wep", "open"}},
          {"/settings/encryptionFields", {{"none", "/w"}, {"wep", "/x"}}}},
         "/security/wep",
         "same field"},
        {{{"/security/wpa-psk", "wpa2"},
          {"/settings/encryptionFields", {{"wpa-psk", "/w"}, {"wpa2-psk", "/w"}}}},
         "/security/wpa-psk",
         "same encryption"},
        {{{"/security/wpa-psk", "open"},
          {"/settings/encryptionFields", {{"none", "/w"}, {"wpa-psk", "/w"}}}},
         nullptr,
         ""},
        {{{"/encryption/aes", {"aes", "ccmp"}}, {"/encryption/tkip", "ccmp"}},
         "/encryption/tkip",
         "two modes"},
        {{{"/encryption/aes", json::array()}}, "/encryption/aes", ""},
        // a mode's own fields: over a step's fields, and as a script object's members
        {{{"/changes/1/steps/1/bySecurity", {{"wep", {{"k", "{key}"}}}}}},
         "/changes/1/steps/1/bySecurity",
         "needs fields"},
        {{{"/changes/1/steps/1/bySecurity", {{"wpa3", json::object()}}}},
         "/changes/1/steps/1",
         "bySecurity"},
        {{{"/changes/1/steps/1/json", nullptr},
          {"/changes/1/steps/1/urlencoded", {{"a", "{ssid}"}}},
          {"/changes/1/steps/1/bySecurity", {{"wep", {{"a", nullptr}, {"b", "{key}"}}}}}},
         nullptr,
         ""},
        {{{"/changes/1/steps/1/json", nullptr},
          {"/changes/1/steps/1/urlencoded", {{"a", "{ssid}"}}},
          {"/changes/1/steps/1/bySecurity", {{"wep", {{"b", "{kee}"}}}}}},
         "/changes/1/steps/1/bySecurity/wep/b",
         "unknown value {kee}"},
        {{{"/settings/keyFields", {{"wep", "k"}}}}, "/settings/keyFields/wep", "JSON pointer"},
        {{{"/settings/keyFields", {{"wep", "/k"}}}}, nullptr, ""},
        {{{"/settings/key", {{"page", "/api/wireless"}, {"pattern", "k=(x)"}}},
          {"/settings/keyFields", {{"wep", "/k"}}}},
         "/settings/keyFields",
         "a JSON value"},
        {{{"/settings/key", nullptr}, {"/settings/keyFields", {{"wep", "/k"}}}},
         "/settings/keyFields",
         "needs \"key\""},
        {{{"/settings/encryptionFields", {{"wep", "k"}}}},
         "/settings/encryptionFields/wep",
         "JSON pointer"},
        {{{"/settings/encryption", nullptr},
          {"/encryption", nullptr},
          {"/security", {{"none", "open"}}},
          {"/settings/encryptionFields", {{"wep", "/k"}}}},
         "/settings/encryptionFields",
         "needs \"encryption\""},
        {{{"/settings/ssid", {{"page", "/w"}, {"form", "f"}, {"field", "ssid"}}},
          {"/settings/encryption", {{"page", "/w"}, {"form", "f"}, {"field", "cipher"}}},
          {"/settings/encryptionFields", {{"wep", "k"}}}},
         nullptr,
         ""},
        // settings read from a named request
        {{{"/settings/ssid", {{"request", "w"}, {"json", "/ssid"}}}},
         "/settings/ssid/request",
         "names no request"},
        {{{"/requests/w", {{"path", "/api/wireless"}}},
          {"/settings/ssid", {{"request", "w"}, {"json", "/ssid"}}}},
         nullptr,
         ""},
        // a model the probe's reply does not show: the one model named, for a reply matched
        {{{"/recognize/model", nullptr}}, nullptr, ""},
        {{{"/recognize/model", nullptr}, {"/recognize/match", nullptr}},
         "/recognize",
         "needs \"match\""},
        {{{"/recognize/model", nullptr}, {"/models/1", "SR-400"}}, "/recognize", "single model"},
    };
    for (const Case& c : cases) {
        json document = edited(c.edits);
        SCOPED_TRACE(json(c.edits).dump());
        auto result = verdict(document);
        if (!c.where) {
            EXPECT_EQ("", result.first + result.second);
            continue;
        }
        EXPECT_EQ(c.where, result.first) << result.second;
        EXPECT_NE(std::string::npos, result.second.find(c.message)) << result.second;
    }
}

// A family served over HTTPS: its port (443 unless named), its connections sent there over TLS
// unless the host already chose the device's port, and {scheme} and {host} as its requests name
// them. Format 1 knows no scheme.
TEST(Format2Loader, SchemeAndPort) {
    struct Case {
        json scheme;  // null: not given
        json port;
        bool https;
        int expectedPort;
    };
    const Case cases[] = {{nullptr, nullptr, false, 80},
                          {"http", 8080, false, 8080},
                          {"https", nullptr, true, 443},
                          {"https", 8443, true, 8443}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scheme.dump() + " " + c.port.dump());
        json document = edited({{"/factory/scheme", c.scheme}, {"/factory/port", c.port}});
        auto d = krzdesc::parseDescription(document.dump(), "scheme.json");
        EXPECT_EQ(c.https, d->https);
        EXPECT_EQ(c.expectedPort, d->port);
    }
    json acme = json::parse(fileText(std::string(KRZ_DESCRIPTIONS_SOURCE) + "/acme.json"));
    acme["format"] = 1;
    acme["factory"]["scheme"] = "https";
    EXPECT_THROW(krzdesc::parseDescription(acme.dump(), "acme.json"), krzdesc::DescriptionError);
}

TEST(Format2Loader, ImpliedEncryptionAndFormatOneMarked) {
    auto d =
        krzdesc::parseDescription(edited({{"/settings/encryption", nullptr},
                                          {"/encryption", nullptr},
                                          {"/security",
                                           {{"none", "open"},
                                            {"wpa2-psk/aes", "psk2+ccmp"},
                                            {"wpa-wpa2-psk/tkip-aes", "psk-mixed+tkip+ccmp"}}}})
                                      .dump(),
                                  "implied.json");
    ASSERT_EQ(3u, d->impliedSecurity.size());
    for (const krzdesc::SecurityValue& v : d->impliedSecurity) {
        SCOPED_TRACE(v.value);
        EXPECT_EQ(v.value == "open"        ? KRZP_SECURITY_NONE
                  : v.value == "psk2+ccmp" ? KRZP_SECURITY_WPA2_PSK
                                           : KRZP_SECURITY_WPA_WPA2_PSK,
                  v.mode);
        EXPECT_EQ(v.value == "open"        ? KRZP_ENCRYPTION_NONE
                  : v.value == "psk2+ccmp" ? KRZP_ENCRYPTION_AES
                                           : KRZP_ENCRYPTION_TKIP_AES,
                  v.encryption);
    }
    json acme = json::parse(fileText(std::string(KRZ_DESCRIPTIONS_SOURCE) + "/acme.json"));
    acme["format"] = 1;
    EXPECT_EQ(1, krzdesc::parseDescription(acme.dump(), "acme.json")->format);
}

TEST(Format2Values, TransformsGiveTheirPublishedAnswers) {
    struct Case {
        json expression;
        const char* value;  // null: no value (a MissingValue)
    };
    const Case cases[] = {
        {"{a}-{{b}", "abc-{b}"},
        {{{"md5", "{a}"}}, "900150983cd24fb0d6963f7d28e17f72"},
        {{{"sha1", "{a}"}}, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {{{"upper", {{"md5", "{a}"}}}}, "900150983CD24FB0D6963F7D28E17F72"},
        {{{"sha256", "{a}"}}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {{{"base64", "user:pass"}}, "dXNlcjpwYXNz"},
        {{{"base64", "ab"}}, "YWI="},
        {{{"base64", "a"}}, "YQ=="},
        {{{"hex", "AB\n"}}, "41420a"},
        {{{"fromHex", "414243"}}, "ABC"},
        {{{"fromHex", "4A4b"}}, "JK"},
        {{{"fromHex", "41G"}}, nullptr},
        {{{"fromHex", "zz"}}, nullptr},
        {{{"urlEncode", "a b&c/\xc3\xa9~"}}, "a%20b%26c%2F%C3%A9~"},
        {{{"concat", {"{a}", {{"hex", "!"}}, "z"}}}, "abc21z"},
        {{{"hmacMd5", {{"key", "Jefe"}, {"data", "what do ya want for nothing?"}}}},
         "750c783e6ab0b503eaa86e310a5db738"},
        {{{"hmacSha1", {{"key", "Jefe"}, {"data", "what do ya want for nothing?"}}}},
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {{{"hmacSha256", {{"key", "Jefe"}, {"data", "what do ya want for nothing?"}}}},
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {{{"pbkdf2Sha256", {{"password", "password"}, {"salt", "salt"}, {"iterations", "{one}"}}}},
         "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {{{"pbkdf2Sha256",
           {{"password", "password"}, {"salt", "salt"}, {"iterations", 1}, {"length", 16}}}},
         "120fb6cffcf8b32c43e7225256c4f837"},
        {{{"pbkdf2Sha256", {{"password", "p"}, {"salt", "s"}, {"iterations", "{a}"}}}}, nullptr},
        {{{"pbkdf2Sha256", {{"password", "p"}, {"salt", "s"}, {"iterations", "{zero}"}}}}, nullptr},
        {{{"md5", "{later}"}}, nullptr},
        // the challenge answer Sorrelby's page computes, from one nested transform
        {{{"hmacSha256",
           {{"key",
             {{"fromHex",
               {{"pbkdf2Sha256",
                 {{"password", "password"}, {"salt", "salt"}, {"iterations", 1}}}}}}},
            {"data", "{a}"}}}},
         "a4e7d405caf05dc1eda9679a913ae957c914de051b70e4e0b856a041090aef89"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expression.dump());
        json document = edited({{"/values/t", c.expression},
                                {"/values/later", "{nonce}"},
                                {"/values/a", "abc"},
                                {"/values/one", "1"},
                                {"/values/zero", "0"}});
        auto d = krzdesc::parseDescription(document.dump(), "values.json");
        krzdesc::Values values(&d->values);
        if (!c.value) {
            EXPECT_THROW(values.get("t"), krzdesc::MissingValue);
            continue;
        }
        EXPECT_EQ(c.value, values.get("t"));
    }
    krzdesc::Values plain;
    plain.set("v", "a b/c");
    EXPECT_EQ("/x?u=a%20b%2Fc&w={v}", plain.expand("/x?u={v}&w={{v}", true));
    EXPECT_EQ(json({{"u", "a b/c"}, {"n", 1}, {"l", {"a b/c", true}}}),
              plain.expand(json({{"u", "{v}"}, {"n", 1}, {"l", {"{v}", true}}})));
}

krzdesc::Capture capture(krzdesc::CaptureKind kind, const std::string& what,
                         const std::string& member = std::string()) {
    krzdesc::Capture c;
    c.kind = kind;
    c.what = what;
    c.member = member;
    return c;
}

TEST(Format2Captures, EachSourceAndWhatTheReplyLacks) {
    using K = krzdesc::CaptureKind;
    krzdesc::Reply page;
    page.status = 200;
    page.headers =
        "HTTP/1.1 200 OK\r\nx-token: t1\r\nSet-Cookie: sysauth=s1; path=/\r\n"
        "Set-Cookie: other=o2\r\nSet-Cookie: broken\r\nX-Empty:\r\n";
    page.body =
        "<form name=a><input name=tok value=ta></form><form id=b><input name=tok value=tb>"
        "<input name=n value=nb></form>\n<script>\nvar nvram = {'wl0_ssid': 'Home', "
        "wl0_key: 'k\\'ey'};\nvar plain = 'p';\ndocument.cookie = 'other=x';\n"
        "document.cookie = 'asus_token=T0k; path=/';\n"
        "document.getElementById('k').value = 'kv';\nvar nonce = \"0123456789abcdef\";\n"
        "</script>";
    krzdesc::Reply data;
    data.status = 200;
    data.body = R"({"result": [0, {"ubus_rpc_session": "S", "n": 1000, "o": {}}]})";
    krzdesc::Capture second = capture(K::Field, "tok");
    second.formIndex = 1;
    krzdesc::Capture named = capture(K::Field, "tok");
    named.formName = "b";
    krzdesc::Capture outside = capture(K::Field, "n");
    outside.formName = "a";
    auto nonce = std::make_shared<krzdesc::Pattern>();
    nonce->source = "nonce = \"([0-9a-f]+)\"";
    nonce->matcher = krzdesc::Matcher(nonce->source);
    krzdesc::Capture bounded = capture(K::Pattern, "");
    bounded.pattern = nonce;
    krzdesc::Capture tooLong = bounded;
    tooLong.max = 15;
    struct Case {
        krzdesc::Capture capture;
        const krzdesc::Reply* reply;
        const char* value;  // null: not found
    };
    const Case cases[] = {
        {capture(K::Header, "X-Token"), &page, "t1"},
        {capture(K::Header, "X-Empty"), &page, ""},
        {capture(K::Header, "Token"), &page, nullptr},
        {capture(K::Cookie, "sysauth"), &page, "s1"},
        {capture(K::Cookie, "other"), &page, "o2"},
        {capture(K::Cookie, "sys"), &page, nullptr},
        {capture(K::Cookie, "broken"), &page, nullptr},
        {capture(K::BodyCookie, "asus_token"), &page, "T0k"},
        {capture(K::BodyCookie, "asus"), &page, nullptr},
        {capture(K::Field, "tok"), &page, "ta"},
        {second, &page, "tb"},
        {named, &page, "tb"},
        {outside, &page, nullptr},
        {capture(K::Script, "plain"), &page, "p"},
        {capture(K::Script, "nvram", "wl0_ssid"), &page, "Home"},
        {capture(K::Script, "nvram", "wl0_key"), &page, "k'ey"},
        {capture(K::Script, "nvram", "wl1_ssid"), &page, nullptr},
        {capture(K::Element, "k"), &page, "kv"},
        {capture(K::Json, "/result/1/ubus_rpc_session"), &data, "S"},
        {capture(K::Json, "/result/1/n"), &data, "1000"},
        {capture(K::Json, "/result/1/o"), &data, nullptr},
        {capture(K::Json, "/result/2"), &data, nullptr},
        {capture(K::Json, "/result/1/n"), &page, nullptr},
        {bounded, &page, "0123456789abcdef"},
        {tooLong, &page, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capture.what + " " + c.capture.member);
        std::string value = "unset", why;
        bool found = c.capture.take(*c.reply, value, why);
        EXPECT_EQ(c.value != nullptr, found) << why;
        if (c.value && found) {
            EXPECT_EQ(c.value, value);
        }
        if (!c.value) {
            EXPECT_FALSE(why.empty());
        }
    }
}

// A value a JSON reply held goes back into a JSON post as the device gave it: a device that
// takes a number or a boolean refuses it as text.
TEST(Format2Values, JsonCapturesKeepTheirType) {
    krzdesc::Reply held;
    held.status = 200;
    held.body = R"({"data": {"channel": 11, "hidden": true, "band": "5", "width": 40.5}})";
    krzdesc::Values values;
    for (const char* name : {"channel", "hidden", "band", "width"}) {
        krzdesc::Capture c = capture(krzdesc::CaptureKind::Json, std::string("/data/") + name);
        c.name = name;
        std::string why;
        ASSERT_TRUE(c.takeInto(held, values, why)) << why;
    }
    EXPECT_EQ("11", values.get("channel"));  // as text in every other template
    EXPECT_EQ(json({{"channel", 11},
                    {"hidden", true},
                    {"band", "5"},
                    {"width", 40.5},
                    {"label", "ch 11"},
                    {"list", {11, "{"}}}),
              values.expand(json({{"channel", "{channel}"},
                                  {"hidden", "{hidden}"},
                                  {"band", "{band}"},
                                  {"width", "{width}"},
                                  {"label", "ch {channel}"},
                                  {"list", {"{channel}", "{{"}}})));
    values.set("channel", "6");  // a value given later is text again
    EXPECT_EQ(json("6"), values.expand(json("{channel}")));
    EXPECT_EQ("x{channel}y", values.expand(std::string("x{{channel}y")));
}

TEST(Format2Captures, AnAnswerHoldsWhenEveryConditionDoes) {
    krzdesc::Reply reply;
    reply.status = 403;
    reply.headers = "HTTP/1.1 403 Forbidden\r\nX-LuCI-Login-Required: yes\r\n";
    reply.body = R"({"error": {"code": -32002, "message": "Access denied"}, "ok": false})";
    struct Case {
        json answer;
        bool holds;
    };
    const Case cases[] = {
        {{{"status", 403}}, true},
        {{{"status", {200, 403}}}, true},
        {{{"status", 401}}, false},
        {{{"header", "x-luci-login-required"}}, true},
        {{{"header", "X-LuCI"}}, false},
        {{{"text", "Access denied"}}, true},
        {{{"text", "access denied"}}, false},
        {{{"json", {{"/error/code", -32002}, {"/ok", false}}}}, true},
        {{{"json", {{"/error/code", "-32002"}}}}, false},
        {{{"json", {{"/missing", nullptr}}}}, false},
        {{{"status", 403}, {"text", "Access denied"}, {"header", "Server"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer.dump());
        auto d = krzdesc::parseDescription(edited({{"/login/expired", c.answer}}).dump(), "a.json");
        std::string why;
        EXPECT_EQ(c.holds, d->session.expired.heldBy(reply, why)) << why;
        EXPECT_EQ(c.holds, why.empty());
    }
}

// The Sorrelby router in a lab of its own, its restart short.
class SorrelbyTest : public LabTest {
  protected:
    void SetUp() override {
        LabTest::SetUp();
        json file = json::parse(fileText(std::string(KRZ_LABS_SOURCE) + "/firmware.json"));
        json devices = json::array();
        for (json device : file["devices"])
            if (device["family"] == "sorrelby") {
                device["options"]["restartMs"] = "200";
                devices.push_back(device);
            }
        file["devices"] = devices;
        startLab(krzlab::LabDescription::fromJson(file));
    }
    boost::shared_ptr<KRZPDescribedConfigurator> open(const json& description,
                                                      const std::string& password) {
        auto d = krzdesc::parseDescription(description.dump(), "sorrelby.json");
        krzlab::DeviceSpec device = lab->status("sorrelby-1").state;
        auto conf = boost::make_shared<KRZPDescribedConfigurator>(
            d, device.model, std::vector<KRZMacAddress>(), device.username, password);
        conf->setAddr(inAddr(device.address));
        return conf;
    }
    size_t posts(const std::string& target) const {
        std::vector<std::string> posted = lab->status("sorrelby-1").posted;
        return std::count(posted.begin(), posted.end(), target);
    }
};

TEST_F(SorrelbyTest, OneLoginLockoutAndAnotherAdministrator) {
    const std::string right = lab->status("sorrelby-1").state.password;
    // A refused login is tried once.
    EXPECT_FALSE(open(sorrelby(), "wrong")->testLogin());
    EXPECT_EQ(1u, posts("/api/login"));
    EXPECT_EQ(KRZPAPC_AUTH_ERROR,
              thrownBy([&] { open(sorrelby(), "wrong")->retrieveAttributes(); }).getAPCErrorCode());
    EXPECT_EQ(2u, posts("/api/login"));
    EXPECT_FALSE(open(sorrelby(), "wrong")->testLogin());
    // Locked now: the right password gets the lockout sentence, and no second attempt.
    EXPECT_EQ(KRZPAPC_AUTH_ERROR,
              thrownBy([&] { open(sorrelby(), right)->testLogin(); }).getAPCErrorCode());
    EXPECT_EQ(4u, posts("/api/login"));
    EXPECT_EQ(1u, logCount("login locked: the device said \"Too many failed logins\"; try "
                           "again in 5 minutes"));
}

// An https family's configurator goes to the device's HTTPS port over TLS (this lab device
// serves only plain HTTP on port 80, so nothing answers there and no login is posted); a port the
// host chose for the device is kept as it is.
TEST_F(SorrelbyTest, AnHttpsFamilyConnectsOverTls) {
    const std::string right = lab->status("sorrelby-1").state.password;
    const in_addr address = inAddr(lab->status("sorrelby-1").state.address);
    EXPECT_EQ(KRZPAPC_CONNECT_ERROR,
              thrownBy([&] {
                  open(edited({{"/factory/scheme", "https"}}), right)->retrieveAttributes();
              }).getAPCErrorCode());
    EXPECT_EQ(443, KRZNetworkBackend::portFor(address, 80));
    EXPECT_TRUE(KRZPAPComm::tlsFor(address, 443));
    EXPECT_EQ(0u, posts("/api/login"));
    // Sent there already (by the host, or a scan that followed the device's redirect): kept.
    KRZNetworkBackend::redirectPort(address, 80, 8443);
    EXPECT_EQ(KRZPAPC_CONNECT_ERROR,
              thrownBy([&] {
                  open(edited({{"/factory/scheme", "https"}}), right)->retrieveAttributes();
              }).getAPCErrorCode());
    EXPECT_EQ(8443, KRZNetworkBackend::portFor(address, 80));
    EXPECT_FALSE(KRZPAPComm::tlsFor(address, 8443));
    KRZNetworkBackend::redirectPort(address, 80, 80);
    KRZPAPComm::setTlsFor(address, 443, false);
}

TEST_F(SorrelbyTest, AnotherAdministratorAndASessionThatEnds) {
    const std::string right = lab->status("sorrelby-1").state.password;
    // Without its logout, a session stays; the next login meets "another administrator".
    json noLogout = edited({{"/login/logout", nullptr}});
    open(noLogout, right)->retrieveAttributes();
    EXPECT_EQ(KRZPAPC_AUTH_ERROR,
              thrownBy([&] { open(sorrelby(), right)->retrieveAttributes(); }).getAPCErrorCode());
    EXPECT_EQ(1u, logCount("another administrator is logged in: the device said \"Another "
                           "administrator is logged in\""));
    // An operation that logs in logs out at its end: the next one gets in.
    EXPECT_EQ(0u, posts("/api/logout"));
}

TEST_F(SorrelbyTest, EachOperationLogsOutAtItsEnd) {
    const std::string right = lab->status("sorrelby-1").state.password;
    auto conf = open(sorrelby(), right);
    conf->retrieveAttributes();
    conf->retrieveAttributes();
    EXPECT_TRUE(conf->testLogin());
    EXPECT_EQ(3u, posts("/api/logout"));
    EXPECT_EQ(3u, posts("/api/login"));
    EXPECT_EQ("SorrelbyHome", conf->getSSID().getBytes());
}

// Settings read once from a named request, and a table whose mode has several device values:
// each reads as the mode, the first is written.
TEST_F(SorrelbyTest, NamedRequestsAndSeveralValuesForAMode) {
    const std::string right = lab->status("sorrelby-1").state.password;
    json named = edited({{"/requests/w", {{"path", "/api/wireless"}}},
                         {"/security/wpa2-psk", {"wpa2", "wpa2-personal"}},
                         {"/encryption/aes", {"aes", "ccmp"}}});
    for (const char* setting : {"ssid", "security", "encryption", "key"})
        named["settings"][setting]["request"] = "w";
    for (const char* setting : {"ssid", "security", "encryption", "key"})
        named["settings"][setting].erase("page");
    auto conf = open(named, right);
    conf->retrieveAttributes();
    EXPECT_EQ("SorrelbyHome", conf->getSSID().getBytes());
    EXPECT_EQ(KRZP_SECURITY_WPA2_PSK, conf->getSecurityMode());
    EXPECT_EQ(KRZP_ENCRYPTION_AES, conf->getEncryptionMode());
    EXPECT_EQ(5u, logCount("Connecting to "));  // challenge, login, status, wireless, logout
    // The second value reads as the mode too; the first is what a change writes.
    json second = edited({{"/security/wpa2-psk", {"wpa2-personal", "wpa2"}}});
    auto other = open(second, right);
    other->retrieveAttributes();
    EXPECT_EQ(KRZP_SECURITY_WPA2_PSK, other->getSecurityMode());
    other->startConfiguration();
    other->changeSecurityMode(KRZP_SECURITY_WPA2_PSK, boost::make_shared<KRZPKey>("another-key"),
                              KRZP_ENCRYPTION_AES);
    EXPECT_EQ(KRZPAPC_PARSE_ERROR,
              thrownBy([&] { other->completeConfiguration(); }).getAPCErrorCode());
    EXPECT_EQ(1u, logCount("/changes/1/steps/1: status 400"));
}

TEST_F(SorrelbyTest, NothingIsSentWithoutEveryValueItCarries) {
    const std::string right = lab->status("sorrelby-1").state.password;
    struct Case {
        std::vector<std::pair<std::string, json>> edits;
        const char* logged;
    };
    const Case cases[] = {
        // a value the device holds that the reply lacks: the post is not made
        {{{"/changes/1/steps/0/capture/channel/json", "/chan"}},
         "no single JSON value at \"/chan\""},
        // a device security value the description does not name
        {{{"/security/wpa2-psk", "wpa2-personal"}}, "is not one the description names"},
        // a change the device did not take fails at its read-back (here the post goes nowhere)
        {{{"/changes/1/steps/1/path", "/api/status"},
          {"/changes/1/steps/1/method", "GET"},
          {"/changes/1/steps/1/expect/status", 200},
          {"/changes/1/steps/1/restarts", false},
          {"/changes/1/restart", nullptr}},
         "did not take the new settings"},
        // a step whose answer is not the one expected ends the change (the last: it was sent)
        {{{"/changes/1/steps/1/expect/status", 200}}, "/changes/1/steps/1: status 202"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        size_t before = posts("/api/wireless");
        auto conf = open(edited(c.edits), right);
        conf->startConfiguration();
        conf->changeSSID(KRZSsid("Never"));
        EXPECT_EQ(KRZPAPC_PARSE_ERROR,
                  thrownBy([&] { conf->completeConfiguration(); }).getAPCErrorCode());
        EXPECT_EQ(1u, logCount(c.logged)) << logText();
        bool sent = c.edits[0].first.find("expect") != std::string::npos;
        EXPECT_EQ(before + (sent ? 1 : 0), posts("/api/wireless"));
    }
}

}  // namespace
