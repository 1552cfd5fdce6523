// "nohttp": a device on the link without any web server. It only keeps its state.
#pragma once

#include <mutex>

#include "lab/LabDevice.h"

namespace krzlab {

class NoHttpDevice final : public Device {
  public:
    explicit NoHttpDevice(const DeviceSpec& profile);

    void start() override;
    void stop() override;
    bool running() const override;
    uint16_t port() const override;
    DeviceSpec state() const override;
    void setFault(Fault fault, int faultParam) override;
    void factoryReset() override;
    void setAddressListener(std::function<void(const std::string&)> listener) override;
    void adoptState(const DeviceSpec& stored) override;

  private:
    mutable std::mutex mutex_;
    DeviceSpec spec_;
    bool running_ = false;
    std::function<void(const std::string&)> listener_;
};

}  // namespace krzlab
