// "acme": Basic authentication on every page, replies with a content length, settings in a form
// that carries a one-time token and is posted url-encoded.
#pragma once

#include <deque>
#include <random>

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

class AcmeDevice final : public EmulatedDevice {
  public:
    explicit AcmeDevice(const DeviceSpec& profile);
    ~AcmeDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;
    void resetExtras() override;

  private:
    bool authorized(const HttpRequest& request) const;
    HttpReply unauthorized() const;
    HttpReply notFound() const;
    HttpReply homePage() const;
    HttpReply wirelessPage();
    HttpReply adminPage();
    HttpReply applyWireless(const FormFields& form);
    HttpReply applyAdmin(const FormFields& form);
    HttpReply resultPage(const std::string& title, const std::string& message, bool ok) const;
    std::string layout(const std::string& title, const std::string& content) const;
    std::string issueToken();
    bool takeToken(const FormFields& form);

    bool broadcastSsid_ = true;
    std::string band_ = "2g";
    std::string channel_ = "auto";
    std::deque<std::string> tokens_;
    std::mt19937 random_;
};

}  // namespace krzlab
