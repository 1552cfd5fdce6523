// krzpap describe: the guesser on recordings made up here, one table per kind of thing it guesses
// (settings, value maps, recognition, login, change answers), every mark pointing at a place of
// the draft; then each lab family's shipped recording described by the installed krzpap, its
// gaps filled from a small table, and the result checked against the played recording as every
// shipped description is; and bad input refused with a sentence.
#include "DescriptionCheck.h"
#include "Describer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace krztest;
using nlohmann::json;

namespace {

krzlab::Exchange get(const std::string& target, const std::string& body, bool login = true,
                     int status = 200,
                     krzlab::HeaderList headers = {{"Content-Type", "text/html"}}) {
    krzlab::Exchange e;
    e.request.method = "GET";
    e.request.target = target;
    e.request.credentials = login;
    e.reply.status = status;
    e.reply.headers = std::move(headers);
    e.reply.body = body;
    return e;
}

krzlab::Exchange post(const std::string& target, const std::string& answer, bool cut = false) {
    krzlab::Exchange e = get(target, answer);
    e.request.method = "POST";
    e.request.form = {{"ssid", "Trial"}};
    e.reply.cutShort = cut;
    return e;
}

std::string html(const std::string& title, const std::string& content) {
    return "<html><head><title>" + title + "</title></head><body>" + content + "</body></html>";
}

// A Basic-login device whose wireless page is `wireless`, with a status page and a probe reply.
krzlab::Recording device(const std::string& wireless, std::vector<krzlab::Exchange> more = {}) {
    krzlab::Recording r;
    r.address = "192.168.1.1";
    r.login.kind = "basic";
    r.exchanges.push_back(
        get("/", "denied", false, 401, {{"WWW-Authenticate", "Basic realm=\"Zephyr ZR-9\""}}));
    r.exchanges.push_back(get("/", html("Zephyr ZR-9 Status",
                                        "<table><tr><td>Model</td><td>ZR-9</td></tr>"
                                        "<tr><td>Firmware Version</td><td>3.1</td></tr></table>")));
    r.exchanges.push_back(get("/wireless.htm", html("Zephyr ZR-9 Wireless", wireless)));
    for (krzlab::Exchange& e : more)
        r.exchanges.push_back(std::move(e));
    return r;
}

// Every mark must point at a place the draft has, unless it is an optional gap (left out).
void expectMarksInPlace(const json& draft) {
    for (const char* list : {"guesses", "gaps"}) {
        for (const json& mark : draft["draft"][list]) {
            if (mark.value("optional", false))
                continue;
            std::string pointer = mark["pointer"];
            EXPECT_TRUE(draft.contains(json::json_pointer(pointer))) << list << " " << pointer;
        }
    }
}

json draftOf(const krzlab::Recording& r) {
    json draft = json::parse(krzpap::draftDescription(r, "test.json").dump());
    expectMarksInPlace(draft);
    return draft;
}

std::set<std::string> pointers(const json& draft, const char* list) {
    std::set<std::string> out;
    for (const json& mark : draft["draft"][list])
        out.insert(mark["pointer"].get<std::string>());
    return out;
}

TEST(Describer, EachSettingIsFoundByItsNameLabelOrScript) {
    const std::string sec = "<option value=\"0\">Open</option><option value=\"3\">WPA2</option>";
    const std::string enc = "<option value=\"a\">AES</option><option value=\"t\">TKIP</option>";
    struct Case {
        const char* name;
        std::string form;
        json settings;  // what the draft must say (each key checked)
    } const cases[] = {
        {"plain names",
         "<form action=\"/set\"><input name=\"ssid\" value=\"n\"><select name=\"sec_mode\">" + sec +
             "</select><select name=\"cipher\">" + enc +
             "</select><input type=\"password\" name=\"psk\"></form>",
         {{"ssid", {{"page", "/wireless.htm"}, {"field", "ssid"}}},
          {"security", {{"page", "/wireless.htm"}, {"field", "sec_mode"}}},
          {"encryption", {{"page", "/wireless.htm"}, {"field", "cipher"}}},
          {"key", {{"page", "/wireless.htm"}, {"field", "psk"}}}}},
        {"chosen by their options alone",
         "<form action=\"/set\"><input name=\"ssid\"><select name=\"mode\"><option value=\"0\">"
         "Open</option><option value=\"1\">WPA</option><option value=\"2\">WPA2</option>"
         "</select><select name=\"c\">" +
             enc + "</select></form>",
         {{"security", {{"field", "mode"}}}, {"encryption", {{"field", "c"}}}}},
        {"the network name's own form before a better one elsewhere",
         "<form name=\"other\" action=\"/x\"><select name=\"security_mode\"><option>WPA</option>"
         "<option>WPA2</option></select></form><form name=\"wl\" action=\"/set\"><input "
         "name=\"ssid\"><select name=\"auth\">" +
             sec + "</select></form>",
         {{"security", {{"form", "wl"}, {"field", "auth"}}}}},
        {"labels only",
         "<form action=\"/set\"><table><tr><td>Network Name</td><td><input name=\"f1\"></td></tr>"
         "<tr><td>Security</td><td><select name=\"f2\">" +
             sec + "</select></td></tr><tr><td>Encryption</td><td><select name=\"f3\">" + enc +
             "</select></td></tr><tr><td>Passphrase</td><td><input type=password name=f4></td>"
             "</tr></table></form>",
         {{"ssid", {{"field", "f1"}}},
          {"security", {{"field", "f2"}}},
          {"encryption", {{"field", "f3"}}},
          {"key", {{"field", "f4"}}}}},
        {"filled by scripts",
         "<script>var wS = 'Home'; var wA = '3'; function init() { var f = document.forms[0]; "
         "f.essid.value = wS; pick(f.auth, wA); }</script><form action=\"/set\">"
         "<input name=\"essid\"><select name=\"auth\">" +
             sec + "</select></form>",
         {{"ssid", {{"field", "essid"}, {"script", "wS"}}},
          {"security", {{"field", "auth"}, {"script", "wA"}}}}},
        {"decoys beside the real fields, on the second form",
         "<form name=\"find\" action=\"/search\"><input name=\"q\"></form>"
         "<form name=\"wl\" action=\"/set\"><input type=\"checkbox\" name=\"ssid_bcast\" checked>"
         "<input name=\"hide_ssid\" value=\"0\"><input name=\"wl_ssid\">"
         "<input name=\"wepkey1\"><input type=\"password\" name=\"wpa_psk\">"
         "<input name=\"search_keyword\"></form>",
         {{"ssid", {{"form", "wl"}, {"field", "wl_ssid"}}},
          {"key", {{"form", "wl"}, {"field", "wpa_psk"}}},
          {"keyFields", {{"wep", "wepkey1"}}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json draft =
            draftOf(device(c.form, {post("/set", html("Done", "<p>Settings saved.</p>"))}));
        for (const auto& item : c.settings.items())
            for (const auto& part : item.value().items())
                EXPECT_EQ(part.value(), draft["settings"][item.key()][part.key()])
                    << item.key() << "/" << part.key() << " in " << draft["settings"].dump();
        EXPECT_EQ(0u, pointers(draft, "gaps").count("/settings/ssid"));
        // Which form is said only where the page has more than one.
        bool oneForm = c.form.find("<form") == c.form.rfind("<form");
        EXPECT_EQ(oneForm, !draft["settings"]["ssid"].contains("form"));
    }
    // A page with no form at all: each place is a gap, never a guess.
    json none = draftOf(device("<p>No settings here</p>"));
    // What no recording can tell is always a gap, optional where the library has a default.
    for (const char* optional : {"/factory", "/account/password/chars"})
        EXPECT_EQ(1u, pointers(none, "gaps").count(optional)) << optional;
    for (const char* place : {"/settings/ssid", "/settings/security", "/settings/encryption"}) {
        EXPECT_EQ(1u, pointers(none, "gaps").count(place)) << place;
        EXPECT_EQ(0u, pointers(none, "guesses").count(place)) << place;
    }
}

TEST(Describer, ValueMapsComeFromTheOptionsAndSkipWhatIsNoMode) {
    struct Case {
        const char* field;
        std::vector<std::pair<const char*, const char*>> options;  // value, label
        json expected;
    } const cases[] = {
        {"security",
         {{"0", "Disabled"},
          {"1", "WEP"},
          {"2", "WPA-PSK"},
          {"3", "WPA2-PSK"},
          {"4", "WPA-PSK / WPA2-PSK (mixed)"}},
         {{"none", "0"}, {"wep", "1"}, {"wpa-psk", "2"}, {"wpa2-psk", "3"}, {"wpa-wpa2-psk", "4"}}},
        // Values that differ from their labels, and modes the library does not have.
        {"security",
         {{"o", "Open System"},
          {"m", "WPA+WPA2"},
          {"e", "WPA2 Enterprise"},
          {"x", "Auto (WPA or WPA2)"},
          {"w2", "WPA2 Personal"}},
         {{"none", "o"}, {"wpa-wpa2-psk", "m"}, {"wpa2-psk", "w2"}}},
        {"cipher",
         {{"off", "None"},
          {"64", "64 bit WEP"},
          {"128", "128 bit WEP"},
          {"ccmp", "CCMP"},
          {"both", "TKIP/AES"},
          {"t", "TKIP"}},
         {{"none", "off"},
          {"wep64", "64"},
          {"wep128", "128"},
          {"aes", "ccmp"},
          {"tkip-aes", "both"},
          {"tkip", "t"}}},
        // Two options for one mode: the first is kept.
        {"cipher", {{"a1", "AES"}, {"a2", "AES (CCMP)"}}, {{"aes", "a1"}}},
    };
    for (const Case& c : cases) {
        std::string options;
        for (const auto& o : c.options)
            options += std::string("<option value=\"") + o.first + "\">" + o.second + "</option>";
        std::string form = "<form action=\"/set\"><input name=\"ssid\"><select name=\"" +
                           std::string(c.field) + "\">" + options + "</select></form>";
        json draft = draftOf(device(form));
        const char* map = std::string(c.field) == "cipher" ? "encryption" : "security";
        EXPECT_EQ(c.expected, draft[map]) << c.options.front().second;
        // One guess per mapped mode, and the other map is not taken from the same field.
        size_t mapped = 0;
        for (const std::string& p : pointers(draft, "guesses"))
            mapped += p.rfind("/security/", 0) == 0 || p.rfind("/encryption/", 0) == 0;
        EXPECT_EQ(c.expected.size(), mapped);
        EXPECT_EQ(1u, pointers(draft, "gaps")
                          .count(std::string("/") +
                                 (map == std::string("security") ? "encryption" : "security")));
    }
}

TEST(Describer, RecognitionTakesTheModelFromWhatTheProbeSees) {
    const std::string form = "<form action=\"/set\"><input name=\"ssid\"></form>";
    struct Case {
        const char* name;
        krzlab::Exchange probe;
        std::vector<krzlab::Exchange> more;
        json recognize;  // expected exactly
    } const cases[] = {
        {"in a header",
         get("/", "denied", false, 401, {{"WWW-Authenticate", "Basic realm=\"Zephyr ZR-9\""}}),
         {},
         {{"model", {{{"header", "Basic realm=\"Zephyr ([^\\s\"<&;,]+)"}}}}}},
        {"in the login page's title",
         get("/", html("Zephyr ZR-9 Login", "<form><input type=password name=p></form>"), false),
         {},
         {{"model", {{{"text", "<title>Zephyr ([^\\s\"<&;,]+)"}}}}}},
        {"nowhere without a login: the vendor, and a style sheet's digest",
         get("/", "denied", false, 401, {{"Server", "Zephyr-httpd/2"}}),
         {get("/z.css", "body{}", false, 200, {{"Content-Type", "text/css"}})},
         {{"match", {{{"header", "Server: Zephyr"}}}},
          {"modelDigest",
           {{"page", "/z.css"}, {"models", {{"e8d87bd8b4bd7a7d46c4f3b5a4c58e5b", "ZR-9"}}}}}}},
        {"the vendor in the title of a login page",
         get("/", html("Zephyr Router", "<form><input type=password name=p></form>"), false),
         {get("/z.css", "body{}", false, 200, {{"Content-Type", "text/css"}})},
         {{"match", {{{"text", "Zephyr Router"}}}},
          {"modelDigest",
           {{"page", "/z.css"}, {"models", {{"e8d87bd8b4bd7a7d46c4f3b5a4c58e5b", "ZR-9"}}}}}}},
        {"nothing at all", get("/", "denied", false, 401, {}), {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        krzlab::Recording r = device(form, c.more);
        r.exchanges[0] = c.probe;
        json draft = draftOf(r);
        if (c.recognize.is_null()) {
            EXPECT_EQ(1u, pointers(draft, "gaps").count("/recognize/match/0/text"));
            continue;
        }
        json got = draft["recognize"];
        if (got.contains("modelDigest")) {
            // The digest is the body's MD5; the page and the model are what is guessed.
            EXPECT_EQ(32u, got["modelDigest"]["models"].begin().key().size());
            EXPECT_EQ("ZR-9", got["modelDigest"]["models"].begin().value());
            got["modelDigest"]["models"] = c.recognize["modelDigest"]["models"];
        }
        EXPECT_EQ(c.recognize, got);
        EXPECT_EQ("Zephyr", draft["vendor"]);
        EXPECT_EQ(json({"ZR-9"}), draft["models"]);
    }
}

// The scans that stand for the draft's patterns: a model word as the title pattern finds it, and
// what a prefix's model group takes, at the first place where it takes anything.
TEST(Describer, ModelScansDoWhatThePatternsDo) {
    const std::pair<const char*, const char*> titles[] = {
        {"Zephyr ZR-9 Login", ""},
        {"Zephyr ZR-90 Login", "ZR-90"},
        {"Box AB1234x-v2", "AB1234x-v2"},
        {"AB12- setup", "AB12"},
        {"ABCDEFG12 X12", "X12"},
        {"ABCDEF12", "ABCDEF12"},
        {"x9AB12 CD34", "CD34"},
        {"A_B12 (C12)", "C12"},
        {"AB12_x DE34", "DE34"},
        {"WR--12 RT12", "RT12"},
        {"9 12 router", ""},
        {"", ""},
    };
    for (const auto& t : titles)
        EXPECT_EQ(krzpap::modelWord(t.first), t.second) << t.first;
    const struct {
        const char* prefix;
        const char* text;
        const char* taken;
    } after[] = {
        {"Model: ", "Model: ZR-9<br>", "ZR-9"},
        {"Model: ", "Model: <b>Model: XR-1;", "XR-1"},  // the first place that takes something
        {"Model: ", "Model: XR-1 Model: YR-2", "XR-1"},
        {"m=", "m=\"a\" m=b&c m=d,e", "b"},
        {"m=", "m=\tx m=\fy m=\vz m=w", "w"},
        {"Model: ", "Model:", ""},
        {"Model: ", "no model here", ""},
        {"", "abc", "abc"},
    };
    for (const auto& a : after)
        EXPECT_EQ(krzpap::modelAfter(a.prefix, a.text), a.taken) << a.prefix << " in " << a.text;
}

TEST(Describer, LoginIsTakenFromTheRecordingAndTheFormsAroundIt) {
    struct Case {
        const char* name;
        const char* kind;
        std::string loginForm;
        int refusal;  // what a page answered without the login
        json login;
        std::set<std::string> gaps;
    } const cases[] = {
        {"Basic", "basic", "", 401, {{"kind", "basic"}}, {}},
        {"a form and a cookie",
         "form",
         "<form action=\"/in\"><input name=\"u\"><input type=password name=\"pw\"></form>",
         302,
         {{"kind", "form"},
          {"action", "/in"},
          {"user", "u"},
          {"password", "pw"},
          {"cookie", "SID"},
          {"expiredStatus", 302}},
         {}},
        {"a form with a token",
         "form",
         "<form action=\"/in\"><input type=hidden name=\"tok\" value=\"9\"><input name=\"u\">"
         "<input type=password name=\"pw\"></form>",
         302,
         {{"kind", "form"},
          {"action", "/in"},
          {"user", "u"},
          {"password", "pw"},
          {"cookie", "SID"},
          {"expiredStatus", 302},
          {"formPage", "/login.htm"}},
         {}},
        {"no login recorded", "none", "", 200, {{"kind", "basic"}}, {"/login/kind"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        krzlab::Recording r = device("<form action=\"/set\"><input name=\"ssid\"></form>");
        r.login.kind = c.kind;
        if (r.login.kind == "form") {
            // A form login's device shows its login page to the probe.
            r.exchanges[0] = get("/", html("Zephyr ZR-9 Login", c.loginForm), false);
            r.login.page = "/login.htm";
            r.login.path = "/in";
            r.login.userField = "u";
            r.login.passwordField = "pw";
            r.exchanges.push_back(get("/login.htm", html("Login", c.loginForm), false));
            krzlab::Exchange in = post("/in", "ok");
            in.reply.headers.emplace_back("Set-Cookie", "SID=COOKIE-0001; path=/");
            r.exchanges.push_back(in);
        }
        r.exchanges.push_back(get("/wireless.htm", "refused", false, c.refusal));
        json draft = draftOf(r);
        EXPECT_EQ(c.login, draft["login"]);
        for (const std::string& gap : c.gaps)
            EXPECT_EQ(1u, pointers(draft, "gaps").count(gap)) << gap;
        // The login form is no setting's form.
        EXPECT_EQ("/wireless.htm", draft["settings"]["ssid"]["page"]);
    }
}

TEST(Describer, ChangesSayWhatTheDeviceAnsweredAndRestartingOnesGoLast) {
    const std::string wireless =
        "<form action=\"/set\" method=\"get\"><input name=\"ssid\">"
        "<input type=submit name=\"go\" value=\"Apply\"></form>"
        "<form name=\"acct\" action=\"/acct\" enctype=\"multipart/form-data\" method=post>"
        "<input name=\"login_name\" maxlength=\"16\"><input type=password name=\"old_pw\">"
        "<input type=password name=\"new_pw\" maxlength=\"24\"><input type=password "
        "name=\"new_pw2\"></form>";
    struct Case {
        const char* name;
        std::vector<krzlab::Exchange> answers;
        int wirelessAt;  // its place in "changes"
        json answer;     // of the wireless change
    } const cases[] = {
        {"a sentence",
         {get("/set?ssid=Trial&go=Apply",
              html("Result", "<h1>Result</h1><p>Your settings have been applied.</p>"))},
         0,
         {{"text", "Your settings have been applied."}}},
        {"cut short: a restart",
         {[] {
             krzlab::Exchange e = get("/set?ssid=Trial&go=Apply", "<p>Rest");
             e.reply.cutShort = true;
             return e;
         }()},
         1,
         {{"restart", {{"polls", 20}, {"pauseMs", 500}}}}},
        {"says it restarts",
         {get("/set?ssid=Trial", html("Wait", "<p>The router restarts now.</p>"))},
         1,
         {{"restart", {{"polls", 20}, {"pauseMs", 500}}}}},
        {"nothing recorded", {}, 0, {{"text", "GAP"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        json draft = draftOf(device(wireless, c.answers));
        const json& w = draft["changes"][c.wirelessAt];
        const json& a = draft["changes"][1 - c.wirelessAt];
        EXPECT_EQ("wireless", w["change"]);
        EXPECT_EQ(c.answer, w["answer"]);
        EXPECT_EQ("/set", w["action"]);
        EXPECT_EQ("get", w["method"]);
        EXPECT_EQ(json({{"go", "Apply"}}), w["fields"]);
        EXPECT_EQ(json({{"page", "/wireless.htm"}, {"form", 0}}), w["form"]);
        EXPECT_EQ("credentials", a["change"]);
        EXPECT_EQ("multipart", a["method"]);
        EXPECT_EQ(json({{"login_name", "{user}"},
                        {"old_pw", "{currentPassword}"},
                        {"new_pw", "{password}"},
                        {"new_pw2", "{password}"}}),
                  a["fields"]);
        // Nothing was recorded of the account's change: its answer is a gap, where it stands.
        std::string at = "/changes/" + std::to_string(1 - c.wirelessAt) + "/answer/text";
        EXPECT_EQ(1u, pointers(draft, "gaps").count(at)) << at;
        EXPECT_EQ(c.answer.contains("text") && c.answer["text"] == "GAP",
                  pointers(draft, "gaps")
                          .count("/changes/" + std::to_string(c.wirelessAt) + "/answer/text") == 1);
        EXPECT_EQ(json({{"max", 16}}), draft["account"]["user"]);
        EXPECT_EQ(json({{"max", 24}}), draft["account"]["password"]);
        EXPECT_TRUE(draft["account"]["usesUsername"]);
        for (const char* rule : {"/account/user/max", "/account/password/max"})
            EXPECT_EQ(1u, pointers(draft, "guesses").count(rule)) << rule;
    }
}

// The key on a security page of its own (DD-WRT's shape) is a wireless setting, not an account
// password: that form is not the credentials form. Basic credentials name the user.
TEST(Describer, AKeyOnItsOwnPageIsNotTheCredentialsForm) {
    const std::string security =
        "<form action=\"/apply.cgi\"><select name=\"sec_mode\"><option value=\"3\">WPA2"
        "</option></select><input type=\"password\" name=\"psk\" maxlength=\"64\"></form>";
    for (const char* user : {"admin", ""}) {
        SCOPED_TRACE(user);
        krzlab::Recording r =
            device("<form action=\"/apply.cgi\"><input name=\"ssid\" value=\"n\"></form>",
                   {get("/security.htm", html("Zephyr ZR-9 Security", security))});
        r.login.user = user;
        json draft = draftOf(r);
        EXPECT_EQ("psk", draft["settings"]["key"]["field"]);
        EXPECT_EQ(0u, pointers(draft, "guesses").count("/account/password/max"));
        EXPECT_NE("/apply.cgi", draft["changes"][1].value("action", "")) << draft["changes"];
        EXPECT_EQ(*user != '\0', draft["account"]["usesUsername"]);
    }
}

TEST(Describer, WhatCannotBeDescribedIsRefusedWithAReason) {
    krzlab::Recording incomplete = device("<form><input name=ssid></form>");
    incomplete.complete = false;
    incomplete.stopReason = "interrupted";
    krzlab::Recording noPages;
    noPages.exchanges.push_back(get("/", "denied", false, 401));
    struct Case {
        const krzlab::Recording* recording;
        const char* says;
    } const cases[] = {{&incomplete, "it is incomplete (interrupted)"},
                       {&noPages, "it holds no page"}};
    for (const Case& c : cases) {
        try {
            krzpap::draftDescription(*c.recording, "x.json");
            ADD_FAILURE() << c.says;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find(c.says)) << e.what();
        }
    }
}

// Pages are a device's: long runs where a pattern repeats, markup cut off anywhere. Each is
// described, with the rest of the device still found.
TEST(Describer, HostilePagesAreDescribedWithoutFailing) {
    const std::string run(1 << 20, 'a');
    // A word repeated all over a page, where each occurrence would send a search to its end.
    auto repeated = [](const std::string& word) {
        std::string out;
        for (size_t i = 0; i < (1u << 20) / word.size(); ++i)
            out += word;
        return out;
    };
    const std::string form = "<form action=\"/set\"><input name=\"ssid\"></form>";
    const std::string cases[] = {
        html(run + " 12", form),
        "<script>f.ssid.value = " + run + "; var " + run + " = 'x';</script>" + form,
        "<script>var " + run + "model = 'x'</script><td>Firmware" + run + "</td><td>1</td>" + form,
        form + "<form action=\"/acct\"><select name=\"sec\"><option value=\"",
        form + "<select name=sec><option>WPA2<option>WPA" + std::string(100000, '<'),
        "<form action=\"/set\"><input name=\"ssid\">" + repeated("name=") + "</form>",
        form + "<p>" + repeated("model") + repeated("<input") + "</p>",
        form + "<form>" + repeated("<input name='") + "</form>",
        // Names in Latin-1, as bytes that are not UTF-8: in the draft as U+FFFD.
        form +
            "<form action=/pw><input type=password name=\"p\xe4ss\"><input type=password "
            "name=\"n\xe9w\"><input type=submit name=\"s\xe9t\" value=Set></form>",
    };
    for (const std::string& page : cases) {
        json draft = draftOf(device(page));
        EXPECT_EQ("ssid", draft["settings"]["ssid"]["field"]) << page.substr(0, 60);
    }
}

class DescribeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch =
            ::testing::TempDir() + "describe_" + std::to_string(getpid()) + "_" + info->name();
        fs::remove_all(scratch);
        fs::create_directories(scratch);
    }
    void TearDown() override {
        if (!HasFailure())
            fs::remove_all(scratch);
    }
    ProgramOutcome krzpap(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {KRZPAP_PROGRAM, "--log", scratch + "/krzpap.log"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = cleanEnvironment();
        env.push_back("XDG_STATE_HOME=" + scratch + "/state");
        return runProgram(argv, env);
    }
    std::string scratch;
};

// What no page of each family says, as its author would fill it in.
struct Filled {
    const char* family;
    const char* recording;
    std::vector<std::pair<const char*, json>> gaps;
};
const Filled kFilled[] = {
    {"acme",
     "acme-1",
     {{"/account/defaultUser", "admin"},
      {"/account/defaultPassword", "admin"},
      {"/account/user/chars", "restrictive"},
      {"/changes/1/answer/text", "Settings saved successfully."}}},
    {"borealis",
     "borealis-1",
     {{"/account/defaultUser", "root"},
      {"/account/defaultPassword", "borealis"},
      {"/account/user/chars", "restrictive"},
      {"/account/password/max", 31},
      {"/changes/0/answer/text", "Account settings saved."}}},
    {"corvid",
     "corvid-2",
     {{"/account/defaultUser", ""},
      {"/account/defaultPassword", ""},
      {"/account/password/chars", "restrictive"},
      {"/account/password/max", 12},
      {"/changes/1/answer/text", "Your settings have been applied."}}},
};

TEST_F(DescribeTest, EachFamilysDraftFilledFromATablePassesTheCheck) {
    for (const Filled& f : kFilled) {
        SCOPED_TRACE(f.family);
        std::string base =
            std::string(KRZ_INSTALLED_DESCRIPTIONS) + "/" + f.family + "/" + f.recording;
        std::string recording = base + ".recording.json";
        std::string draftFile = scratch + "/" + f.family + ".json";
        ProgramOutcome described = krzpap({"describe", recording, "-o", draftFile});
        ASSERT_EQ(0, described.status) << described.err;
        EXPECT_NE(std::string::npos, described.err.find("gaps to fill")) << described.err;
        json draft = json::parse(fileText(draftFile));
        expectMarksInPlace(draft);

        // Left as drafted, the module refuses it and says why.
        fs::path folder = fs::path(scratch) / (std::string(f.family) + "-draft");
        fs::create_directories(folder);
        {
            DescriptionCheck check(draftFile, recording, folder.string());
            EXPECT_NE(0, check.show().status);
            EXPECT_NE(std::string::npos,
                      fileText(check.folder() + "/krzpap.log").find("/draft: a draft with "));
        }

        // Every required gap is in the table, and the table fills nothing else.
        std::set<std::string> required, filled;
        for (const json& gap : draft["draft"]["gaps"])
            if (!gap.value("optional", false))
                required.insert(gap["pointer"].get<std::string>());
        for (const auto& g : f.gaps) {
            filled.insert(g.first);
            draft[json::json_pointer(g.first)] = g.second;
        }
        for (const std::string& gap : required)
            EXPECT_EQ(1u, filled.count(gap)) << "not filled: " << gap;
        draft.erase("draft");
        draft.erase("$schema");
        std::string done = scratch + "/" + f.family + "-done.json";
        std::ofstream(done) << draft.dump(1);

        fs::path checked = fs::path(scratch) / f.family;
        fs::create_directories(checked);
        DescriptionCheck check(done, recording, checked.string());
        ProgramOutcome shown = check.show();
        EXPECT_EQ(0, shown.status) << shown.err;
        EXPECT_EQ(fileText(base + ".show.txt"), shown.out);
        ProgramOutcome configured = check.configure({"--ssid", "Described"});
        EXPECT_EQ(0, configured.status) << configured.out << configured.err;
        EXPECT_NE(std::string::npos, configured.out.find("confirmed")) << configured.out;
        ProgramOutcome after = check.show();
        EXPECT_NE(std::string::npos, after.out.find("SSID:        Described")) << after.out;
    }
}

TEST_F(DescribeTest, BadInputGetsASentenceAndOutputGoesWhereAsked) {
    std::string recording =
        std::string(KRZ_INSTALLED_DESCRIPTIONS) + "/corvid/corvid-2.recording.json";
    json cut = json::parse(fileText(recording));
    cut["complete"] = false;
    cut["stopReason"] = "interrupted";
    std::ofstream(scratch + "/cut.json") << cut.dump();
    json empty = cut;
    empty["complete"] = true;
    empty["exchanges"] = json::array();
    std::ofstream(scratch + "/empty.json") << empty.dump();
    std::ofstream(scratch + "/text.json") << "<html>not a recording</html>";
    std::ofstream(scratch + "/other.json") << "{\"format\": \"something else\"}";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    } const cases[] = {
        {{"describe"}, 2, "recording is required"},
        {{"describe", "missing.json"}, 2, "cannot read"},
        {{"describe", "text.json"}, 2, "is not a recording"},
        {{"describe", "other.json"}, 2, "is not a recording"},
        {{"describe", "cut.json"}, 2, "it is incomplete (interrupted)"},
        {{"describe", "empty.json"}, 2, "it holds no page"},
        {{"describe", recording, "-o", "/nonexistent/folder/d.json"}, 1, "cannot write the draft"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        for (std::string& a : args)
            if (a.find(".json") != std::string::npos && a[0] != '/')
                a = scratch + "/" + a;
        ProgramOutcome o = krzpap(args);
        EXPECT_EQ(c.status, o.status) << args.back() << o.err;
        EXPECT_NE(std::string::npos, o.err.find(c.says)) << o.err;
        EXPECT_EQ("", o.out) << args.back();
    }
    // Standard output by default; with --json the draft inside the result; -q says nothing else.
    ProgramOutcome plain = krzpap({"-q", "describe", recording});
    EXPECT_EQ(0, plain.status);
    EXPECT_EQ("", plain.err);
    json draft = json::parse(plain.out);
    EXPECT_EQ("Corvid", draft["vendor"]);
    ProgramOutcome asJson = krzpap({"--json", "describe", recording});
    json document = json::parse(asJson.out);
    EXPECT_EQ(draft, document["result"]["description"]);
    EXPECT_EQ(draft["draft"]["gaps"].size(), document["result"]["gaps"]);
    EXPECT_EQ(draft["draft"]["guesses"].size(), document["result"]["guesses"]);
}

}  // namespace
