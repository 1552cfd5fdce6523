// The scripts the firmware emulators' pages load, as a browser fetches them: each page names its
// script, the script is served as JavaScript (with the credentials the page needs, or none where
// the firmware serves it so), and it calls the endpoints and fields the device answers to. The
// browser itself drives them in tests/ui/har-families.mjs.
#include <gtest/gtest.h>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krztest;

namespace {

struct ScriptCase {
    const char* family;
    const char* model;
    const char* page;    // a page that loads the script
    const char* script;  // as the page names it
    const char* path;    // where the browser fetches it
    bool basic;          // the script asks for the Basic credentials too
    std::vector<const char*> calls;
};

TEST(PageScripts, EachPageLoadsAScriptThatCallsWhatTheDeviceAnswers) {
    const ScriptCase cases[] = {
        {"ddwrt",
         "LB-2",
         "/Wireless_Basic.asp",
         "src=\"common.js\"",
         "/common.js",
         false,
         {"function apply(F)", "function applytake(F)", "'ApplyTake'", "F.submit()"}},
        {"freshtomato",
         "TM-4",
         "/basic-network.asp",
         "src=\"tomato.js\"",
         "/tomato.js",
         true,
         {"'tomato.cgi'", "'_ajax=1'", "'_http_id='", "nvram.http_id", "'wl0_ssid'",
          "'wl0_wpa_psk'", "function E(id)"}},
        {"sorrelby",
         "SR-300",
         "/wireless.html",
         "src=\"/app.js\"",
         "/app.js",
         false,
         {"'/api/challenge?user='", "'/api/login'", "'/api/wireless'", "'X-Sorrelby-Token'",
          "name: 'PBKDF2', hash: 'SHA-256'", "'HMAC'", "status == 202"}},
        {"luci",
         "LB-1",
         "/cgi-bin/luci/",
         "src=\"/luci-static/resources/luci.js\"",
         "/luci-static/resources/luci.js",
         false,
         {"function LuCI(env)", "instantiateView", "'uci', 'get'", "'uci', 'set'",
          "'/admin/uci/apply_rollback'", "'/admin/uci/confirm'", "this.env.sessionid",
          "self.env.token", "'default_radio0'"}},
    };
    for (const ScriptCase& c : cases) {
        SCOPED_TRACE(c.family);
        DeviceSpec profile = labSpec(c.family, c.model);
        auto device = Device::create(profile);
        device->start();
        const uint16_t port = device->port();
        std::vector<std::string> login = {"-u", profile.username + ":" + profile.password};
        auto get = [&](const char* path, bool withLogin) {
            std::vector<std::string> args = {"-s", "-i"};
            if (withLogin)
                args.insert(args.end(), login.begin(), login.end());
            args.push_back(url(port, path));
            return curl(args).out;
        };
        EXPECT_NE(std::string::npos, get(c.page, true).find(c.script));
        std::string served = get(c.path, c.basic);
        EXPECT_EQ(0u, served.find("HTTP/1.")) << served.substr(0, 200);
        EXPECT_NE(std::string::npos, served.find(" 200 ")) << served.substr(0, 200);
        EXPECT_NE(std::string::npos, served.find("javascript")) << served.substr(0, 300);
        for (const char* call : c.calls)
            EXPECT_NE(std::string::npos, served.find(call)) << call;
        if (c.basic) {
            EXPECT_NE(std::string::npos, get(c.path, false).find(" 401 "));
        }
        device->stop();
    }
}

}  // namespace
