// "borealis": a login form that sets a session cookie, chunked pages, settings in JavaScript
// string literals, multipart posts, and a reboot after a wireless change; with the profile's
// lockoutAfter, a login locked after that many failures in a row, until a factory reset.
#pragma once

#include <random>
#include <set>

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

class BorealisDevice final : public EmulatedDevice {
  public:
    explicit BorealisDevice(const DeviceSpec& profile);
    ~BorealisDevice() override;

    // What a test observes: logins refused so far, and the sessions open now.
    int failedLogins() const;
    size_t openSessions() const;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    void resetExtras() override;
    void onReboot() override;

  private:
    bool hasSession(const HttpRequest& request) const;
    HttpReply loginPage(const std::string& notice) const;
    HttpReply login(const FormFields& form);
    HttpReply logout(const HttpRequest& request);
    HttpReply redirectToLogin() const;
    HttpReply statusPage() const;
    HttpReply wirelessPage() const;
    HttpReply adminPage() const;
    HttpReply applyWireless(const FormFields& form);
    HttpReply applyAdmin(const FormFields& form);
    HttpReply page(const std::string& title, const std::string& content) const;

    std::set<std::string> sessions_;
    std::mt19937 random_;
    int failedLogins_ = 0;
    int failuresInARow_ = 0;
};

}  // namespace krzlab
