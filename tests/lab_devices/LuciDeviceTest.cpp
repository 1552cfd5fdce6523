// The LuCI router: its login form and session cookie, the 403 that asks for a login, the form
// token, the JSON-RPC endpoint's answers and rights, staged changes that only an apply makes
// real, and the rollback that undoes an apply nobody confirmed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

#include "DeviceProbe.h"
#include "lab/LabDevice.h"

using namespace krzlab;
using namespace krztest;
using nlohmann::json;

namespace {

const char kNull[] = "00000000000000000000000000000000";

struct Reply {
    int status = 0;
    std::string head, body;
    bool has(const std::string& text) const {
        return head.find(text) != std::string::npos || body.find(text) != std::string::npos;
    }
};

Reply exchange(uint16_t port, const std::string& method, const std::string& path,
               const std::string& body = "", const std::string& headers = "") {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    RawRun run = rawExchange(port, request);
    Reply reply;
    reply.head = headPart(run.bytes);
    reply.body = bodyPart(run.bytes);
    if (reply.head.size() > 12)
        reply.status = std::atoi(reply.head.c_str() + 9);
    return reply;
}

class LuciDevice : public ::testing::Test {
  protected:
    std::unique_ptr<Device> make(const std::map<std::string, std::string>& options) {
        DeviceSpec profile = labSpec("luci", "LB-1");
        profile.username = "root";
        profile.password = "luci-pass";
        profile.wireless = {"Lab Net", "wpa2-psk", "aes", "lab key 1"};
        profile.options = options;
        auto made = Device::create(profile);
        made->start();
        return made;
    }
    void SetUp() override {
        device = make({});
        port = device->port();
    }
    // The "result" (or "error") of one call over /ubus.
    json call(const std::string& sid, const std::string& object, const std::string& method,
              const json& args = json::object()) {
        json request = {{"jsonrpc", "2.0"},
                        {"id", 7},
                        {"method", "call"},
                        {"params", {sid, object, method, args}}};
        json answer = json::parse(exchange(port, "POST", "/ubus", request.dump()).body);
        EXPECT_EQ(7, answer.value("id", 0));
        return answer.contains("result") ? answer["result"] : answer["error"];
    }
    std::string ubusLogin(const std::string& password = "luci-pass") {
        json result =
            call(kNull, "session", "login", {{"username", "root"}, {"password", password}});
        return result.size() == 2 ? result[1].value("ubus_rpc_session", "") : "";
    }
    std::unique_ptr<Device> device;
    uint16_t port = 0;
};

TEST_F(LuciDevice, TheWebLoginSetsTheSessionCookieAndPagesCarryTheToken) {
    Reply root = exchange(port, "GET", "/");
    EXPECT_TRUE(root.has("URL=cgi-bin/luci/"));
    const struct {
        const char* body;  // posted, or null for a GET
        int status;
        const char* shows;
    } cases[] = {
        {nullptr, 403, "X-LuCI-Login-Required: yes"},
        {"luci_username=root&luci_password=guess", 403, "Invalid username and/or password"},
        {"luci_username=root", 403, "name=\"luci_password\""},
        {"luci_username=admin&luci_password=luci-pass", 403, "X-LuCI-Login-Required: yes"},
        {"luci_username=root&luci_password=luci-pass", 302, "Location: /cgi-bin/luci/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body ? c.body : "GET");
        Reply r = c.body ? exchange(port, "POST", "/cgi-bin/luci/", c.body)
                         : exchange(port, "GET", "/cgi-bin/luci/");
        EXPECT_EQ(c.status, r.status);
        EXPECT_TRUE(r.has(c.shows));
        EXPECT_EQ(c.status == 302, r.has("Set-Cookie: sysauth_http="));
    }
    Reply in = exchange(port, "POST", "/cgi-bin/luci/admin/network/wireless",
                        "luci_username=root&luci_password=luci-pass");
    std::string sid = between(in.head, "sysauth_http=", ";");
    ASSERT_EQ(32u, sid.size());
    EXPECT_TRUE(in.has("Location: /cgi-bin/luci/admin/network/wireless"));
    std::string cookie = "Cookie: sysauth_http=" + sid + "\r\n";
    Reply wireless = exchange(port, "GET", "/cgi-bin/luci/admin/network/wireless", "", cookie);
    EXPECT_EQ(200, wireless.status);
    EXPECT_TRUE(wireless.has("<title>OpenWrt - Network - Wireless - LuCI</title>"));
    EXPECT_TRUE(wireless.has("\"sessionid\":\"" + sid + "\""));
    EXPECT_EQ(32u, between(wireless.body, "\"token\":\"", "\"").size());
    EXPECT_FALSE(wireless.has("Lab Net"));  // the view reads the settings over /ubus
    EXPECT_EQ(404, exchange(port, "GET", "/cgi-bin/luci/admin/nothing", "", cookie).status);
    // The web session works over /ubus too; one made there has no form token for the pages.
    EXPECT_EQ(0, call(sid, "uci", "get", {{"config", "wireless"}})[0]);
    std::string rpc = ubusLogin();
    Reply page = exchange(port, "GET", "/cgi-bin/luci/admin/network/wireless", "",
                          "Cookie: sysauth_http=" + rpc + "\r\n");
    EXPECT_EQ(403, page.status);
    // After the logout the cookie opens nothing.
    EXPECT_EQ(302, exchange(port, "GET", "/cgi-bin/luci/admin/logout", "", cookie).status);
    Reply gone = exchange(port, "GET", "/cgi-bin/luci/admin/network/wireless", "", cookie);
    EXPECT_EQ(403, gone.status);
    EXPECT_TRUE(gone.has("X-LuCI-Login-Required: yes"));
    EXPECT_EQ(-32002, call(sid, "uci", "get", {{"config", "wireless"}}).value("code", 0));
}

TEST_F(LuciDevice, TheRpcEndpointAnswersWithUbusStatesAndJsonRpcErrors) {
    std::string sid = ubusLogin();
    ASSERT_EQ(32u, sid.size());
    const struct {
        std::string sid;
        const char* object;
        const char* method;
        json args;
        json expected;  // the result, or the error's code
    } cases[] = {
        {kNull, "session", "login", {{"username", "root"}, {"password", "guess"}}, {6}},
        {kNull, "session", "login", {{"username", "admin"}, {"password", "luci-pass"}}, {6}},
        {kNull, "uci", "get", {{"config", "wireless"}}, -32002},
        {"ffffffffffffffffffffffffffffffff", "uci", "get", {{"config", "wireless"}}, -32002},
        {kNull, "session", "access", json::object(), {0, {{"access", false}}}},
        {sid, "session", "access", json::object(), {0, {{"access", true}}}},
        {sid, "nothing", "get", json::object(), -32000},
        {sid, "uci", "nothing", json::object(), -32601},
        {sid, "uci", "get", {{"config", "nothing"}}, {4}},
        {sid, "uci", "get", {{"config", "wireless"}, {"section", "nothing"}}, {4}},
        {sid,
         "uci",
         "get",
         {{"config", "wireless"}, {"section", "default_radio0"}, {"option", "ssid"}},
         {0, {{"value", "Lab Net"}}}},
        {sid,
         "uci",
         "get",
         {{"config", "wireless"}, {"section", "default_radio0"}, {"option", "encryption"}},
         {0, {{"value", "psk2"}}}},
        {sid,
         "uci",
         "set",
         {{"config", "wireless"}, {"section", "nothing"}, {"values", json::object()}},
         {4}},
        {sid, "uci", "set", {{"config", "wireless"}, {"section", "default_radio0"}}, {2}},
        {sid, "uci", "confirm", json::object(), {5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.object) + "." + c.method + " " + c.args.dump());
        json got = call(c.sid, c.object, c.method, c.args);
        if (c.expected.is_number())
            EXPECT_EQ(c.expected, got.value("code", 0)) << got;
        else
            EXPECT_EQ(c.expected, got);
    }
    json board = call(sid, "system", "board");
    EXPECT_EQ("23.05.3", board[1]["release"]["version"]);
    EXPECT_EQ("LB-1", board[1]["model"]);
    // Requests that are not JSON-RPC calls.
    const struct {
        const char* body;
        int code;
    } broken[] = {
        {"{not json", -32700},
        {"{\"jsonrpc\":\"1.0\",\"id\":1,\"method\":\"call\",\"params\":[]}", -32600},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"list\",\"params\":[]}", -32601},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"call\",\"params\":[\"x\",\"uci\"]}", -32602},
    };
    for (const auto& b : broken) {
        SCOPED_TRACE(b.body);
        json answer = json::parse(exchange(port, "POST", "/ubus", b.body).body);
        EXPECT_EQ(b.code, answer["error"].value("code", 0));
    }
    EXPECT_EQ(400, exchange(port, "GET", "/ubus").status);
}

TEST_F(LuciDevice, ChangesAreStagedPerSessionAndAnApplyNobodyConfirmsIsUndone) {
    // The wait for the rollback time is spent once, for both devices.
    auto brief = make({{"sessionSeconds", "1"}});
    port = brief->port();
    std::string shortSid = ubusLogin();
    device = make({{"rollbackSeconds", "1"}});
    port = device->port();
    std::string sid = ubusLogin(), other = ubusLogin();
    json iface = {{"config", "wireless"}, {"section", "default_radio0"}};
    json set = iface;
    set["values"] = {{"ssid", "Staged"}, {"encryption", "psk-mixed"}, {"key", "mixed key 2"}};
    ASSERT_EQ(json{0}, call(sid, "uci", "set", set));
    EXPECT_EQ("Staged", call(sid, "uci", "get", iface)[1]["values"]["ssid"]);
    EXPECT_EQ("Lab Net", call(other, "uci", "get", iface)[1]["values"]["ssid"]);
    EXPECT_EQ(3u, call(sid, "uci", "changes")[1]["changes"]["wireless"].size());
    EXPECT_EQ("Lab Net", device->state().wireless.ssid);
    // An apply that cannot work changes nothing and keeps the changes staged.
    json bad = iface;
    bad["values"] = {{"key", "short"}};
    ASSERT_EQ(json{0}, call(other, "uci", "set", bad));
    EXPECT_EQ(json{2}, call(other, "uci", "apply", {{"rollback", true}}));
    EXPECT_EQ(json{0}, call(other, "uci", "revert", {{"config", "wireless"}}));
    // The apply makes the change real; a second apply waits for the first one's confirm.
    EXPECT_EQ(json{0}, call(sid, "uci", "apply", {{"rollback", true}, {"timeout", 90}}));
    WirelessSettings applied = device->state().wireless;
    EXPECT_EQ((WirelessSettings{"Staged", "wpa-wpa2-psk", "tkip-aes", "mixed key 2"}), applied);
    EXPECT_EQ(json::object(), call(sid, "uci", "changes")[1]["changes"]);
    EXPECT_EQ(json{6}, call(other, "uci", "apply", {{"rollback", true}}));
    EXPECT_EQ(json{6}, call(other, "uci", "confirm"));
    EXPECT_EQ(json{0}, call(sid, "uci", "confirm"));
    // The web interface's apply: the form token first, then a confirm with the apply's own token.
    Reply in =
        exchange(port, "POST", "/cgi-bin/luci/", "luci_username=root&luci_password=luci-pass");
    std::string web = between(in.head, "sysauth_http=", ";"),
                cookie = "Cookie: sysauth_http=" + web + "\r\n";
    std::string token =
        between(exchange(port, "GET", "/cgi-bin/luci/admin/network/wireless", "", cookie).body,
                "\"token\":\"", "\"");
    set["values"] = {{"ssid", "Rolled"}};
    ASSERT_EQ(json{0}, call(web, "uci", "set", set));
    const std::string apply = "/cgi-bin/luci/admin/uci/apply_rollback";
    EXPECT_EQ(405, exchange(port, "GET", apply, "", cookie).status);
    EXPECT_EQ(403, exchange(port, "POST", apply, "sid=" + web + "&token=f00", cookie).status);
    EXPECT_EQ(403, exchange(port, "POST", apply, "sid=" + web + "&token=" + token).status);
    Reply applied2 = exchange(port, "POST", apply, "sid=" + web + "&token=" + token, cookie);
    ASSERT_EQ(200, applied2.status);
    std::string confirmToken = json::parse(applied2.body).value("token", "");
    EXPECT_EQ(32u, confirmToken.size());
    EXPECT_EQ("Rolled", device->state().wireless.ssid);
    EXPECT_EQ(403,
              exchange(port, "POST", "/cgi-bin/luci/admin/uci/confirm", "token=" + token).status);
    // A session left unused ends; an apply left unconfirmed is undone.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ("Staged", call(sid, "uci", "get", iface)[1]["values"]["ssid"]);
    EXPECT_EQ(applied, device->state().wireless);
    EXPECT_EQ(
        204,
        exchange(port, "POST", "/cgi-bin/luci/admin/uci/confirm", "token=" + confirmToken).status);
    port = brief->port();
    EXPECT_EQ(-32002, call(shortSid, "uci", "get", iface).value("code", 0));
}

TEST_F(LuciDevice, TheWebApplyRefusesWhatTheRadioCannotTakeAndShowsWepAsItsOwnOptions) {
    Reply in =
        exchange(port, "POST", "/cgi-bin/luci/", "luci_username=root&luci_password=luci-pass");
    std::string web = between(in.head, "sysauth_http=", ";");
    std::string cookie = "Cookie: sysauth_http=" + web + "\r\n";
    std::string token =
        between(exchange(port, "GET", "/cgi-bin/luci/", "", cookie).body, "\"token\":\"", "\"");
    json set = {
        {"config", "wireless"}, {"section", "default_radio0"}, {"values", {{"key", "short"}}}};
    ASSERT_EQ(json{0}, call(web, "uci", "set", set));
    const std::string apply = "/cgi-bin/luci/admin/uci/apply_rollback";
    EXPECT_EQ(400, exchange(port, "POST", apply, "sid=" + web + "&token=" + token, cookie).status);
    EXPECT_EQ("lab key 1", device->state().wireless.key);
    EXPECT_EQ(
        200,
        exchange(port, "POST", "/cgi-bin/luci/admin/uci/revert", "token=" + token, cookie).status);
    EXPECT_EQ(json::object(), call(web, "uci", "changes")[1]["changes"]);
    // The least recently used session makes room for a new one.
    std::string second = ubusLogin();
    for (int i = 0; i < 14; ++i)
        ubusLogin();
    EXPECT_EQ(json({0, {{"access", true}}}), call(web, "session", "access"));
    ubusLogin();
    EXPECT_EQ(json({0, {{"access", true}}}), call(web, "session", "access"));
    EXPECT_EQ(json({0, {{"access", false}}}), call(second, "session", "access"));
    DeviceSpec profile = labSpec("luci", "LB-1");
    profile.username = "root";
    profile.wireless = {"Old Net", "wep", "wep64", "abcde"};
    device = Device::create(profile);
    device->start();
    port = device->port();
    json values = call(ubusLogin(profile.password), "uci", "get",
                       {{"config", "wireless"}, {"section", "default_radio0"}})[1]["values"];
    EXPECT_EQ("wep-open", values["encryption"]);
    EXPECT_EQ("1", values["key"]);
    EXPECT_EQ("s:abcde", values["key1"]);
}

TEST_F(LuciDevice, ThePasswordChangesOnlyForTheAdministratorAndOnlyWithASession) {
    std::string sid = ubusLogin();
    const struct {
        std::string sid;
        json args;
        json expected;
    } cases[] = {
        {kNull, {{"username", "root"}, {"password", "new-pass"}}, json()},
        {sid, {{"username", "admin"}, {"password", "new-pass"}}, {0, {{"result", false}}}},
        {sid, {{"username", "root"}, {"password", ""}}, {0, {{"result", false}}}},
        {sid, {{"username", "root"}, {"password", "new-pass"}}, {0, {{"result", true}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.dump());
        json got = call(c.sid, "luci", "setPassword", c.args);
        if (c.expected.is_null())
            EXPECT_EQ(-32002, got.value("code", 0));
        else
            EXPECT_EQ(c.expected, got);
    }
    EXPECT_EQ("new-pass", device->state().password);
    EXPECT_EQ("", ubusLogin("luci-pass"));
    EXPECT_EQ(32u, ubusLogin("new-pass").size());
}

}  // namespace
