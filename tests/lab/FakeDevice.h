// A stand-in device for link tests: answers every HTTP request with a small page that names the
// device, keeps its port across stop/start, and reports address changes like an emulator.
#pragma once

#include "lab/LabDevice.h"
#include "lab/devices/LoopbackServer.h"

#include <memory>
#include <mutex>

namespace labtest {

class FakeDevice : public krzlab::Device {
  public:
    explicit FakeDevice(const krzlab::DeviceSpec& profile);
    ~FakeDevice() override;

    void start() override;
    void stop() override;
    bool running() const override;
    uint16_t port() const override;
    krzlab::DeviceSpec state() const override;
    void setFault(krzlab::Fault fault, int faultParam) override;
    void factoryReset() override;
    void setAddressListener(std::function<void(const std::string&)> listener) override;

    // The page every request gets.
    static std::string page(const std::string& name);

  private:
    // One request, one reply, then close: enough for the link and for curl.
    void serve(int fd);

    mutable std::mutex mutex_;
    krzlab::DeviceSpec spec_;
    std::function<void(const std::string&)> listener_;
    bool running_ = false;
    uint16_t lastPort_ = 0;
    krzlab::LoopbackServer server_;  // last: stopped before the rest goes
};

// Makes FakeDevices; for LabNetwork::create.
std::unique_ptr<krzlab::Device> makeFake(const krzlab::DeviceSpec& profile);

}  // namespace labtest
