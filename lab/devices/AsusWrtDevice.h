// "asuswrt": the open firmware's web administration as its published sources show it. A login
// form whose script posts `login_authorization` = base64 of "user:password" to login.cgi, which
// answers a token cookie `asus_token`; wrong credentials counted, and after lockoutAfter (5 unless
// set) failures in a row every login is refused for lockMs (option, 60000 unless set); a token
// lasts sessionMs from its login (option, 30 minutes unless set). Pages and CGIs without a valid
// token, and requests to the CGIs (login.cgi, appGet.cgi, apply.cgi, applyapp.cgi) whose Referer
// does not name the host they were sent to (and, after the login, the host the login named), get
// a script that sends the browser to Main_Login.asp (status 200). Settings are read with
// appGet.cgi?hook=nvram_get(name);... answering JSON, and changed by posting the variables to
// change (form or JSON, `wl_*` with `wl_unit` or `wl0_*`) with action_mode=apply and rc_service to
// applyapp.cgi: the variables are set at once (WEP's four key slots, the one in use and shared-key
// authentication kept as posted; option wepKeySlot: the slot in use at first), the radio restarts
// for restartMs (10000 unless set) while the web server keeps serving.
#pragma once

#include <chrono>
#include <map>
#include <random>
#include <string>

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

class AsusWrtDevice final : public EmulatedDevice {
  public:
    explicit AsusWrtDevice(const DeviceSpec& profile);
    ~AsusWrtDevice() override;

    // Whether the radio is restarting after an applied change (a test's view of the device).
    bool radioRestarting() const;
    // The value of nvram variable `name` now, as appGet.cgi reads it (a test's view).
    std::string nvram(const std::string& name) const;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    HttpReply httpsRedirect(const HttpRequest& request) override;
    void resetExtras() override;

  private:
    HttpReply reply(const std::string& body, const char* type = "text/html") const;
    HttpReply toLoginPage() const;
    HttpReply loginPage(const std::string& query) const;
    // A login sent to `host` (the request's Host header).
    HttpReply login(const FormFields& form, const std::string& host);
    bool validToken(const HttpRequest& request);
    // Whether the request's Referer names the host it was sent to (and `loginHost` unless empty).
    static bool sameHost(const HttpRequest& request, const std::string& loginHost);
    HttpReply appGet(const std::string& query) const;
    HttpReply wirelessPage() const;
    HttpReply systemPage() const;
    HttpReply apply(const FormFields& posted);
    // The value of nvram variable `name` as the firmware names it, "" when unknown.
    std::string nvramGet(const std::string& name) const;

    std::map<std::string, std::chrono::steady_clock::time_point> tokens_;  // -> expiry; mutex_
    std::string loginHost_;                                                // under mutex_
    std::map<std::string, std::string> wepHeld_;  // WEP's slots, as last set; under mutex_
    int failuresInARow_ = 0;
    std::chrono::steady_clock::time_point lockedUntil_{};
    std::chrono::steady_clock::time_point radioBackAt_{};
    int lockMs_ = 60000;
    int sessionMs_ = 30 * 60 * 1000;
    int radioRestartMs_ = 10000;
    std::mt19937 random_;
};

}  // namespace krzlab
