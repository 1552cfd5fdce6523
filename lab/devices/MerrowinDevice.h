// "merrowin": a form login with a session cookie and a per-session token every form posts back; a
// wireless page whose fields are empty in the HTML and filled in by the page's script, in the
// shape the device's option "script" names ("vars": one variable a value, "object": members of
// one object, "element": values set by element id, "json": a JSON reply the page fetches,
// "opaque": base64 text that no reader follows without running the script); a password page that
// asks for the old password; a save that drops every connection for the restart (option
// "restartMs", 3000 unless set) and applies. A post that empties or leaves out a setting is
// rejected and changes nothing.
#pragma once

#include <map>
#include <random>

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

class MerrowinDevice final : public EmulatedDevice {
  public:
    explicit MerrowinDevice(const DeviceSpec& profile);
    ~MerrowinDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    void onReboot() override { sessions_.clear(); }

  private:
    // The session's token, or "" without a valid session.
    std::string sessionToken(const HttpRequest& request) const;
    HttpReply page(const std::string& title, const std::string& content, int status = 200) const;
    HttpReply loginPage(const std::string& note, int status = 200) const;
    HttpReply login(const FormFields& form);
    HttpReply statusPage() const;
    HttpReply wirelessPage(const std::string& token) const;
    HttpReply wirelessJson() const;
    HttpReply passwordPage(const std::string& token) const;
    HttpReply applyWireless(const FormFields& form);
    HttpReply applyPassword(const FormFields& form);

    std::string shape_;
    std::map<std::string, std::string> sessions_;  // cookie value -> token
    std::mt19937 random_;
};

}  // namespace krzlab
