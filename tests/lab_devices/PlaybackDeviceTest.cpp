// A played recording over loopback, as curl sees it: the login it accepts, the form state it keeps,
// the token and the script-filled field its forms must carry, and a reply cut as it was recorded.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"
#include "lab/devices/LostAnswers.h"
#include "recording/Recording.h"

using namespace krzlab;
using namespace krztest;

namespace {

// An answer the HAR lost, for a check of a description: as the description's step expects and
// captures it, with the tokens the later requests carried; nothing else is touched.
TEST(LostAnswers, TheDescriptionsStepShapesTheAnswer) {
    using nlohmann::json;
    const json login = {{"path", "/api/auth/login"},
                        {"expect", {{"status", 200}, {"json", {{"/result", "ok"}}}}},
                        {"capture", {{"token", {{"json", "/data/token"}}}}}};
    const json apply = {{"path", "/api/auth/login"}, {"expect", {{"json", {{"/applied", true}}}}}};
    auto inLogin = [](const json& step) { return json{{"login", {{"steps", {step}}}}}; };
    const struct {
        const char* name;
        json description;
        std::string target;
        std::string rebuilt;
        std::string body;  // as played
    } cases[] = {
        {"nested, with what is expected", inLogin(login), "/api/auth/login",
         R"({"session":"SECRET-0001"})", R"({"data":{"token":"SECRET-0001"},"result":"ok"})"},
        {"a capture named as the token, another in order",
         inLogin(
             {{"path", "/login?x={user}"},
              {"capture",
               {{"sid", {{"json", "/s"}}}, {"a", {{"json", "/t/0"}}}, {"c", {{"cookie", "c"}}}}}}),
         "/login?x=admin", R"({"sid":"SECRET-0002","token":"SECRET-0001"})",
         R"({"s":"SECRET-0002","t":["SECRET-0001"]})"},
        {"a member of the capture's name that is no token",
         inLogin({{"path", "/l"}, {"capture", {{"sid", {{"json", "/s"}}}}}}), "/l",
         R"({"sid":5,"token":"SECRET-0001"})", R"({"s":"SECRET-0001"})"},
        {"more captures than tokens", inLogin(login), "/api/auth/login", "{}",
         R"({"data":{"token":"filled-token"},"result":"ok"})"},
        {"no step sends to its path", inLogin(login), "/api/other", R"({"token":"SECRET-0001"})",
         R"({"token":"SECRET-0001"})"},
        {"a path the step makes of values", inLogin({{"path", "/{page}/login"}}), "/x/login",
         R"({"token":"SECRET-0001"})", R"({"token":"SECRET-0001"})"},
        {"a change's step, no login",
         {{"changes", {{{"steps", {apply}}}}}},
         "/api/auth/login",
         R"({"token":"SECRET-0001"})",
         R"({"applied":true})"},
        {"the logout's, after the login's steps: the first step to the path shapes it",
         {{"login", {{"steps", json::array()}, {"logout", {apply}}}},
          {"changes", {{{"confirm", {login}}}}}},
         "/api/auth/login",
         R"({"token":"SECRET-0001"})",
         R"({"applied":true})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recording r;
        Exchange kept, lost;
        kept.request.target = c.target;
        kept.reply.body = "{}";
        lost.request.method = "POST";
        lost.request.target = c.target;
        lost.reply.body = c.rebuilt;
        lost.reply.rebuilt = true;
        r.exchanges = {kept, lost};
        std::vector<std::string> filled = fillLostAnswers(r, c.description);
        EXPECT_EQ(r.exchanges[0].reply.body, "{}");
        EXPECT_EQ(r.exchanges[1].reply.body, c.body);
        EXPECT_EQ(filled.size(), c.body == c.rebuilt ? 0u : 1u);
    }
}

Exchange exchange(const std::string& method, const std::string& target, bool credentials,
                  const std::string& body, HeaderList form = {}) {
    Exchange e;
    e.request = {method, target, {}, std::move(form), false, credentials, {}};
    e.reply.headers = {{"Content-Type", "text/html"}};
    e.reply.body = body;
    return e;
}

// A Basic-login device with one settings form (a token, a field its script fills), a page that
// shows the SSID as text, and a restart reply that was cut short.
Recording sample(bool withRefusal) {
    Recording r;
    r.address = "192.168.1.1";
    r.mac = "02:00:00:00:00:01";
    r.login.kind = "basic";
    r.login.user = "admin";
    r.login.password = "PW-0001";
    if (withRefusal) {
        Exchange refusal = exchange("GET", "/", false, "no");
        refusal.reply.status = 401;
        refusal.reply.reason = "Unauthorized";
        refusal.reply.headers.push_back({"WWW-Authenticate", "Basic realm=\"Wren WR-1\""});
        r.exchanges.push_back(refusal);
    }
    r.exchanges.push_back(exchange(
        "GET", "/wl.htm", true,
        "<form action=\"/wl.cgi\" method=\"post\"><input name=\"ssid\" value=\"Caf&amp;e\">"
        "<input type=\"hidden\" name=\"tok\" value=\"T123\"><input type=\"hidden\" name=\"h_ssid\" "
        "value=\"\"></form>"));
    r.exchanges.push_back(exchange("GET", "/st.htm", true, "<td>Caf&amp;e</td>"));
    r.exchanges.push_back(exchange("POST", "/wl.cgi", true, "Saved.",
                                   {{"ssid", "Caf&e"}, {"tok", "T123"}, {"h_ssid", "Caf&e"}}));
    Exchange cut = exchange("GET", "/restart.htm", true, "Restarting now");
    cut.reply.cutShort = true;
    r.exchanges.push_back(cut);
    return r;
}

std::unique_ptr<Device> played(const Recording& recording, const std::string& file) {
    std::ofstream(file) << recording.toText();
    DeviceSpec profile;
    profile.name = "played-1";
    profile.recording = file;
    auto device = Device::create(profile);
    device->start();
    return device;
}

}  // namespace

TEST(PlaybackDevice, AnswersAsRecordedAndKeepsTheFormsState) {
    const std::string file =
        ::testing::TempDir() + "playback_" + std::to_string(getpid()) + ".json";
    auto device = played(sample(true), file);
    const uint16_t port = device->port();
    auto get = [port](const std::string& path, const std::string& user = "admin:PW-0001") {
        return curl({"-s", "-u", user, "-w", "\n%{http_code}", url(port, path)}).out;
    };
    auto post = [port](const std::string& body) {
        return curl({"-s", "-u", "admin:PW-0001", "-w", "\n%{http_code}", "--data-binary", body,
                     url(port, "/wl.cgi")})
            .out;
    };
    EXPECT_NE(std::string::npos, get("/wl.htm", "admin:wrong").find("\n401")) << "recorded refusal";
    EXPECT_NE(std::string::npos, get("/not-recorded.htm").find("\n404"));
    struct {
        const char* what;
        std::string body;
        const char* reply;
    } const submissions[] = {
        {"no token", "ssid=Lake&h_ssid=Lake", "\n403"},
        {"another token", "ssid=Lake&tok=T999&h_ssid=Lake", "\n403"},
        {"the script's field not filled", "ssid=Lake&tok=T123&h_ssid=", "\n403"},
        {"the script's field not the visible one", "ssid=Lake&tok=T123&h_ssid=Pond", "\n403"},
        {"as the page's script sends it", "ssid=Lake%26Co&tok=T123&h_ssid=Lake%26Co",
         "Saved.\n200"},
    };
    for (const auto& s : submissions)
        EXPECT_NE(std::string::npos, post(s.body).find(s.reply)) << s.what;
    // Later pages show the posted value where the recorded one stood, in the field and as text.
    EXPECT_NE(std::string::npos, get("/wl.htm").find("value=\"Lake&amp;Co\"")) << get("/wl.htm");
    EXPECT_NE(std::string::npos, get("/st.htm").find(">Lake&amp;Co<")) << get("/st.htm");
    // A reply recorded cut short arrives whole but cut (curl: 18, partial file).
    CurlRun cut = curl({"-s", "-u", "admin:PW-0001", url(port, "/restart.htm")});
    EXPECT_EQ(18, cut.exitCode);
    EXPECT_EQ("Restarting now", cut.out);
    device->stop();

    // Without a recorded refusal, a client without the login still gets a 401 with a realm.
    auto bare = played(sample(false), file);
    CurlRun refused = curl({"-s", "-i", url(bare->port(), "/wl.htm")});
    EXPECT_NE(std::string::npos, refused.out.find(" 401 ")) << refused.out;
    EXPECT_NE(std::string::npos, refused.out.find("WWW-Authenticate: Basic realm=")) << refused.out;
    bare->stop();
    std::remove(file.c_str());
}

// Forms of two pages posting to one action, each with hidden fields of its own: a submission
// must carry them as the recorded one of its own form did, whichever form it is.
TEST(PlaybackDevice, FormsOfSeveralPagesPostingToOneAction) {
    Recording r = sample(false);
    r.exchanges.clear();
    auto form = [](const char* page, const char* hidden, const char* visible) {
        return std::string(
                   "<form action=\"/apply.cgi\" method=\"post\"><input type=\"hidden\" "
                   "name=\"page\" value=\"") +
               page + "\">" + hidden + visible + "</form>";
    };
    r.exchanges.push_back(exchange(
        "GET", "/a.htm", true,
        form("A", "<input type=\"hidden\" name=\"fa\" value=\"1\">", "<input name=\"ssid\">")));
    r.exchanges.push_back(exchange(
        "GET", "/b.htm", true,
        form("B", "<input type=\"hidden\" name=\"fb\" value=\"2\">", "<input name=\"psk\">")));
    r.exchanges.push_back(exchange("POST", "/apply.cgi", true, "Saved.",
                                   {{"page", "A"}, {"fa", "1"}, {"ssid", "Old"}}));
    r.exchanges.push_back(exchange("POST", "/apply.cgi", true, "Saved.",
                                   {{"page", "B"}, {"fb", "2"}, {"psk", "old-key-1"}}));
    const std::string file =
        ::testing::TempDir() + "playback_forms_" + std::to_string(getpid()) + ".json";
    auto device = played(r, file);
    struct {
        const char* body;
        const char* reply;
    } const submissions[] = {
        {"page=A&fa=1&ssid=Lake", "Saved.\n200"},
        {"page=B&fb=2&psk=new-key-2", "Saved.\n200"},
        {"page=A&ssid=Lake", "\n403"},
        {"page=B&fb=9&psk=new-key-2", "\n403"},
    };
    for (const auto& s : submissions)
        EXPECT_NE(std::string::npos,
                  curl({"-s", "-u", "admin:PW-0001", "-w", "\n%{http_code}", "--data-binary",
                        s.body, url(device->port(), "/apply.cgi")})
                      .out.find(s.reply))
            << s.body;
    device->stop();
    std::remove(file.c_str());
}

// Pages as devices write them: unquoted values, numeric and unknown entities, options without a
// value attribute. The recorded values must be read as a browser reads them, or the posted ones
// would not replace them in later pages.
TEST(PlaybackDevice, ReadsRecordedValuesAsABrowserDoes) {
    Recording r = sample(true);
    r.exchanges.push_back(exchange(
        "GET", "/more.htm", true,
        "<form action=\"/more.cgi\" method=\"post\"><input name=owner value=O&#39;Hara&x;>"
        "<select name=\"band\"><option>2.4 GHz</option><option selected> 5 GHz </option></select>"
        "</form><p>Owner: <b>O&#39;Hara&amp;x;</b></p>"));
    r.exchanges.push_back(
        exchange("POST", "/more.cgi", true, "Saved.", {{"owner", "O'Hara&x;"}, {"band", "5 GHz"}}));
    const std::string file =
        ::testing::TempDir() + "playback_more_" + std::to_string(getpid()) + ".json";
    auto device = played(r, file);
    const uint16_t port = device->port();
    CurlRun posted = curl({"-s", "-u", "admin:PW-0001", "--data-binary", "owner=Lake&band=2.4+GHz",
                           url(port, "/more.cgi")});
    EXPECT_EQ("Saved.", posted.out);
    const std::string page = curl({"-s", "-u", "admin:PW-0001", url(port, "/more.htm")}).out;
    EXPECT_NE(std::string::npos, page.find("value=\"Lake\"")) << page;
    EXPECT_NE(std::string::npos, page.find("<b>Lake</b>")) << page;
    EXPECT_NE(std::string::npos, page.find("<option selected>2.4 GHz")) << page;
    EXPECT_EQ(std::string::npos, page.find("<option selected> 5 GHz")) << page;
    device->stop();
    std::remove(file.c_str());
}

// JSON-RPC: every call goes to one path, so a call is known by its body: the method, then what
// it has most in common with a recorded call (the object and method called, the section read),
// whatever session id it carries. A call never recorded gets no other call's reply.
TEST(PlaybackDevice, TellsCallsToOnePathApartByTheirBodies) {
    Recording r = sample(true);
    auto call = [](const std::string& session, const std::string& rest) {
        return R"({"jsonrpc":"2.0","id":1,"method":"call","params":[")" + session + "\"," + rest +
               "]}";
    };
    const std::pair<std::string, std::string> recorded[] = {
        {call("S1", R"("uci","get",{"config":"wireless","section":"radio0"})"), "R-radio"},
        {call("S1", R"("uci","get",{"config":"wireless","section":"default_radio0"})"), "R-iface"},
        {call("S1", R"("uci","set",{"config":"wireless","section":"default_radio0",)"
                    R"("values":{"ssid":"Pond"}})"),
         "R-set"},
        {R"({"jsonrpc":"2.0","id":1,"method":"list","params":["S1","*"]})", "R-list"}};
    for (const auto& c : recorded) {
        Exchange e = exchange("POST", "/ubus", true, c.second);
        e.request.body = c.first;
        r.exchanges.push_back(e);
    }
    // A device that takes numbers and booleans refuses them as text, and text as numbers.
    Exchange wifi = exchange("POST", "/api/wifi", true, "R-wifi");
    wifi.request.body = R"({"ssid":"Pond","channel":11,"hidden":true,"radio":{"band":"5"}})";
    wifi.request.headers.emplace_back("X-Csrf-Token", "SECRET-0001");
    r.exchanges.push_back(wifi);
    r.placeholders.push_back({"SECRET-0001", "secret", nullptr});
    const std::string file =
        ::testing::TempDir() + "playback_rpc_" + std::to_string(getpid()) + ".json";
    auto device = played(r, file);
    const std::pair<std::string, const char*> asked[] = {
        {call("S9", R"("uci","get",{"config":"wireless","section":"default_radio0"})"), "R-iface"},
        {call("S9", R"("uci","get",{"config":"wireless","section":"radio0"})"), "R-radio"},
        {call("S9", R"("uci","set",{"config":"wireless","section":"default_radio0",)"
                    R"("values":{"ssid":"Lake"}})"),
         "R-set"},
        {R"({"jsonrpc":"2.0","id":7,"method":"list","params":["S9","*"]})", "R-list"},
        {R"({"jsonrpc":"2.0","id":1,"method":"login","params":[]})", "404"},
        {R"({"ssid":"Lake","channel":6.0,"hidden":false,"radio":{"band":"2.4"},"new":1})",
         "R-wifi"},
        {R"({"ssid":"Lake","channel":"6","hidden":false})", "/channel must be a number"},
        {R"({"ssid":"Lake","hidden":"false"})", "/hidden must be true or false"},
        {R"({"ssid":7})", "/ssid must be text"},
        {R"({"radio":{"band":5}})", "/radio/band must be text"}};
    for (const auto& a : asked) {
        const std::string path =
            a.first.find("jsonrpc") != std::string::npos ? "/ubus" : "/api/wifi";
        CurlRun run = curl({"-s", "-u", "admin:PW-0001", "-w", "\n%{http_code}", "-H",
                            "Content-Type: application/json", "-H", "X-CSRF-Token: SECRET-0001",
                            "--data-binary", a.first, url(device->port(), path)});
        EXPECT_NE(std::string::npos, run.out.find(a.second)) << a.first << " -> " << run.out;
    }
    // The token header the browser sent is asked for, with the value handed out.
    for (const std::string token : {"", "X-CSRF-Token: SECRET-0002"}) {
        std::vector<std::string> args = {"-s",
                                         "-u",
                                         "admin:PW-0001",
                                         "-H",
                                         "Content-Type: application/json",
                                         "--data-binary",
                                         R"({"ssid":"Lake"})",
                                         url(device->port(), "/api/wifi")};
        if (!token.empty())
            args.insert(args.begin(), {"-H", token});
        EXPECT_NE(std::string::npos, curl(args).out.find("X-Csrf-Token is missing")) << token;
    }
    device->stop();
    // The body is kept through the recording's text.
    Recording again = Recording::fromFile(file);
    EXPECT_EQ(recorded[0].first, again.exchanges[again.exchanges.size() - 5].request.body);
    std::remove(file.c_str());
}

// A post that no form of the recording sends, built by the page's script: it must carry the
// session ids a page served (in either quotes), and what it sets shows in the page's script and,
// under the unit's name, in JSON replies, which keep the device's member order.
TEST(PlaybackDevice, KeepsTheStateOfAPostAScriptBuilds) {
    Recording r = sample(true);
    r.exchanges.push_back(exchange("GET", "/net.asp", true,
                                   "<script>nvram = {http_id: 'TID0a1b2c3d', wl0_ssid: "
                                   "'Pond'};</script>"));
    r.exchanges.push_back(exchange("GET", "/id.js", true, "var sid = \"SID9f8e7d\";"));
    Exchange json = exchange("GET", "/get.cgi", true, R"({"z_mode":"psk2","wl0_ssid":"Pond"})");
    json.reply.headers = {{"Content-Type", "application/json"}};
    r.exchanges.push_back(json);
    // The change, then the restore: the last post holds the original values.
    for (const char* ssid : {"Lake0", "Pond"})
        r.exchanges.push_back(exchange("POST", "/apply.cgi", true, "@msg:Settings saved.",
                                       {{"_ajax", "1"},
                                        {"_http_id", "TID0a1b2c3d"},
                                        {"sid", "SID9f8e7d"},
                                        {"_service", "restart_wl"},
                                        {"wl_ssid", ssid}}));
    const std::string file =
        ::testing::TempDir() + "playback_script_" + std::to_string(getpid()) + ".json";
    auto device = played(r, file);
    auto get = [&](const std::string& path) {
        return curl({"-s", "-u", "admin:PW-0001", url(device->port(), path)}).out;
    };
    struct Case {
        const char* body;
        const char* status;
        const char* ssid;  // what the page and the JSON show afterwards
    } const cases[] = {
        {"_ajax=1&_http_id=TID0a1b2c3e&sid=SID9f8e7d&wl_ssid=Lake", "403", "Pond"},
        {"_ajax=1&sid=SID9f8e7d&wl_ssid=Lake", "403", "Pond"},
        {"_ajax=1&_http_id=TID0a1b2c3d&sid=SID9f8e7e&wl_ssid=Lake", "403", "Pond"},
        // A value every post sent but no page served is no session id.
        {"_ajax=1&_http_id=TID0a1b2c3d&sid=SID9f8e7d&_service=other&wl_ssid=Lake", "200", "Lake"},
        {"_ajax=1&_http_id=TID0a1b2c3d&sid=SID9f8e7d&wl_ssid=Pond", "200", "Pond"},
    };
    for (const Case& c : cases) {
        CurlRun run = curl({"-s", "-u", "admin:PW-0001", "-w", "\n%{http_code}", "--data-binary",
                            c.body, url(device->port(), "/apply.cgi")});
        EXPECT_EQ(c.status, run.out.substr(run.out.rfind('\n') + 1)) << c.body;
        EXPECT_NE(std::string::npos, get("/net.asp").find(std::string("wl0_ssid: '") + c.ssid))
            << c.body;
        EXPECT_EQ(std::string(R"({"z_mode":"psk2","wl0_ssid":")") + c.ssid + "\"}", get("/get.cgi"))
            << c.body;
    }
    device->stop();
    std::remove(file.c_str());
}

// A browser's recording holds the change alone, with the value the person typed, and no read
// after it: the value the device held before is the one the pages read before the change show,
// wherever their scripts keep it, and a later read shows what was posted since in its place.
TEST(PlaybackDevice, ABrowsersOneChangeShowsInEveryLaterRead) {
    auto json = [](const std::string& method, const std::string& target, const std::string& body) {
        Exchange e = exchange(method, target, true, body);
        e.reply.headers = {{"Content-Type", "application/json"}};
        return e;
    };
    auto jsonPost = [&](const std::string& target, const std::string& sent) {
        Exchange e = json("POST", target, "{}");
        e.request.body = sent;
        return e;
    };
    const std::string form =
        "<form name=\"f\" action=\"/set.cgi\" method=\"post\">"
        "<input name=\"ssid\"><input name=\"sec\"></form>";
    struct Case {
        const char* what;
        std::vector<Exchange> recorded;  // the pages, then the browser's change
        const char* type;                // of the test's own post
        const char* body;
        const char* read;     // the page read after it
        const char* shows;    // what that page shows
        const char* showsNo;  // and no longer shows
    } const cases[] = {
        {"a form its script fills from a variable",
         {exchange("GET", "/wl.htm", true,
                   form + "<script>var wlSsid = 'Old Pond'; var f = document.forms.f;\n"
                          "f.ssid.value = wlSsid; f.sec.value = 'wpa';</script>"),
          exchange("POST", "/set.cgi", true, "Saved", {{"ssid", "Browser"}, {"sec", "wpa"}})},
         "application/x-www-form-urlencoded",
         "ssid=Lake&sec=wpa",
         "/wl.htm",
         "'Lake'",
         "Old Pond"},
        {"a mode of one character, kept in a variable",
         {exchange("GET", "/wl.htm", true,
                   form + "<script>var wlSec = '3';\nvar wlSecond = '3';\n"
                          "document.forms.f.sec.value = wlSec;</script>"),
          exchange("POST", "/set.cgi", true, "Saved", {{"ssid", "Browser"}, {"sec", "3"}})},
         "application/x-www-form-urlencoded",
         "ssid=Lake&sec=2",
         "/wl.htm",
         "var wlSec = '2';\nvar wlSecond = '3';",
         "wlSec = '3'"},
        {"a form its script fills with a literal",
         {exchange("GET", "/wl.htm", true,
                   form + "<script>document.getElementById('ssid').value = \"Old Pond\";"
                          "</script>"),
          exchange("POST", "/set.cgi", true, "Saved", {{"ssid", "Browser"}})},
         "application/x-www-form-urlencoded",
         "ssid=Lake",
         "/wl.htm",
         "Lake",
         "Old Pond"},
        {"a script's post, the setting a member of the page's object",
         {exchange("GET", "/net.asp", true,
                   "<script>var order = ['wl0_ssid', 'wl0_mode'];\n"
                   "nvram = {\n'wl0_ssid': 'Old Pond',\n'wl0_mode': 'ap'};</script>"),
          exchange("POST", "/tomato.cgi", true, "@msg:Saved",
                   {{"wl0_ssid", "Browser"}, {"wl0_mode", "ap"}})},
         "application/x-www-form-urlencoded",
         "wl0_ssid=Lake&wl0_mode=st",
         "/net.asp",
         "'wl0_ssid': 'Lake',\n'wl0_mode': 'st'",
         "Old Pond"},
        {"a JSON post, shown under the unit's name",
         {json("GET", "/get.cgi", R"({"wl0_ssid":"Old Pond","wl0_auth":"psk2"})"),
          jsonPost("/apply.cgi", R"({"wl_unit":"0","wl_ssid":"Browser","wl_auth":"psk2"})")},
         "application/json",
         R"({"wl_unit":"0","wl_ssid":"Lake","wl_auth":"psk2"})",
         "/get.cgi",
         R"({"wl0_ssid":"Lake","wl0_auth":"psk2"})",
         "Old Pond"},
        {"a JSON post whose unit the replies do not tell",
         {json("GET", "/get.cgi", R"({"wl0_ssid":"Old Pond","wl1_ssid":"Old Lake"})"),
          jsonPost("/apply.cgi", R"({"wl_ssid":"Browser"})")},
         "application/json",
         R"({"wl_ssid":"Lake"})",
         "/get.cgi",
         R"({"wl0_ssid":"Old Pond","wl1_ssid":"Old Lake"})",
         "\"Lake\""},
    };
    int n = 0;
    for (const Case& c : cases) {
        // A login the import could not name (a script's): the recording's pages are open.
        Recording r = sample(false);
        r.login = RecordedLogin();
        r.login.kind = "none";
        r.exchanges = c.recorded;
        const std::string file = ::testing::TempDir() + "playback_har_" + std::to_string(getpid()) +
                                 "_" + std::to_string(n++) + ".json";
        auto device = played(r, file);
        const std::string target = c.recorded.back().request.target;
        CurlRun posted =
            curl({"-s", "-w", "\n%{http_code}", "-H", std::string("Content-Type: ") + c.type,
                  "--data-binary", c.body, url(device->port(), target)});
        EXPECT_EQ("200", posted.out.substr(posted.out.rfind('\n') + 1)) << c.what;
        std::string page = curl({"-s", url(device->port(), c.read)}).out;
        EXPECT_NE(std::string::npos, page.find(c.shows)) << c.what << ": " << page;
        EXPECT_EQ(std::string::npos, page.find(c.showsNo)) << c.what << ": " << page;
        device->stop();
        std::remove(file.c_str());
    }
}
