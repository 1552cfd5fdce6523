// "printer": a network printer's plain status pages, without login, for a lab that holds more
// than routers.
#pragma once

#include "lab/devices/EmulatedDevice.h"

namespace krzlab {

class PrinterDevice final : public EmulatedDevice {
  public:
    explicit PrinterDevice(const DeviceSpec& profile);
    ~PrinterDevice() override;

  protected:
    HttpReply handle(const HttpRequest& request) override;

  private:
    HttpReply page(const std::string& title, const std::string& content) const;
};

}  // namespace krzlab
