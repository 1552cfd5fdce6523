// "corvid": password-only Basic authentication, pages read to the close (some HTTP/1.0, one with
// no status line at all), a settings form submitted by GET, and a factory reset that moves the
// device to its factory address. Its models share the home page and differ in their logo.
#pragma once

#include "lab/devices/EmulatedDevice.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

class CorvidDevice final : public EmulatedDevice {
  public:
    explicit CorvidDevice(const DeviceSpec& profile);
    ~CorvidDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;

  private:
    bool authorized(const HttpRequest& request) const;
    HttpReply unauthorized() const;
    HttpReply notFound() const;
    HttpReply homePage() const;
    HttpReply logo() const;
    HttpReply styleSheet() const;
    HttpReply statusPage() const;
    HttpReply wirelessPage() const;
    HttpReply passwordPage() const;
    HttpReply resetPage() const;
    HttpReply applyWireless(const FormFields& form);
    HttpReply applyPassword(const FormFields& form);
    HttpReply applyReset(const FormFields& form);
    HttpReply message(const std::string& text) const;
};

}  // namespace krzlab
