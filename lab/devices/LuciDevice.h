// "luci": the open firmware with the LuCI web interface, as its published sources behave. Any page
// under /cgi-bin/luci/ takes a login posted to it (luci_username, luci_password): the session id
// comes back in the cookie "sysauth_http" with a 302, a refusal is 403 with the login form again.
// Without a session every page is 403 with "X-LuCI-Login-Required: yes". Pages carry the session
// id and the session's form token in their script (new LuCI({...})); settings are read and
// changed through the JSON-RPC endpoint /ubus (session.login, uci get/set/changes/revert/apply/
// confirm, luci.setPassword, system.board, session.destroy): a call outside the session's rights
// is error -32002 "Access denied", a refused login the ubus status 6. An apply with rollback
// undoes itself unless a confirm comes within the rollback time (option "rollbackSeconds"
// overrides the time the caller asks for; the web interface asks for 90 s). Sessions end after
// option "sessionSeconds" (300) unused. The web server keeps answering through an apply.
#pragma once

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

class LuciDevice final : public EmulatedDevice {
  public:
    explicit LuciDevice(const DeviceSpec& profile);
    ~LuciDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    HttpReply httpsRedirect(const HttpRequest& request) override;
    void onReboot() override;
    void resetExtras() override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Change {
        std::string config, section, option, value;
    };
    struct Session {
        std::string token;  // the web form token; "" for a session made over /ubus
        std::string username;
        Clock::time_point lastUse;
        std::vector<Change> staged;
    };
    // The settings an apply with rollback replaced, until confirmed or rolled back.
    struct Rollback {
        std::string session;
        std::string token;  // what the web interface's confirm posts
        Clock::time_point deadline;
        WirelessSettings wireless;
        std::map<std::string, std::string> extras;
    };

    HttpReply web(const HttpRequest& request, const std::string& subpath);
    HttpReply ubus(const HttpRequest& request);
    nlohmann::json ubusCall(const nlohmann::json& id, const nlohmann::json& params);
    // One ubus method of an object with the caller's session (mutex_ held): the "result" array.
    nlohmann::json callLocked(const std::string& sid, const std::string& object,
                              const std::string& method, const nlohmann::json& args);
    nlohmann::json uciCall(const std::string& sid, const std::string& method,
                           const nlohmann::json& args);

    // mutex_ held for all of these.
    Session* liveSession(const std::string& sid);
    std::string newSession(const std::string& username, bool web);
    nlohmann::json uciTree(const Session* session) const;
    // Applies `changes` to the running settings; "" or why they cannot be applied.
    std::string applyChanges(const std::vector<Change>& changes);
    void expireRollback();
    std::string randomHex(int bytes);

    HttpReply page(const std::string& title, const std::string& content, int status,
                   const Session* session, const std::string& sid) const;
    HttpReply loginPage(bool failed) const;
    HttpReply plain(int status, const std::string& reason, const std::string& text) const;

    std::map<std::string, Session> sessions_;
    // Options of the configuration beyond the lab's wireless settings: "config.section.option".
    std::map<std::string, std::string> extras_;
    std::unique_ptr<Rollback> rollback_;
    int rollbackSeconds_ = 0;  // 0: the caller's
    int sessionSeconds_ = 300;
    std::mt19937 random_;
};

}  // namespace krzlab
