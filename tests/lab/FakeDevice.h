// A stand-in device for link tests: answers every HTTP request with a small page that names the
// device, keeps its port across stop/start, and reports address changes like an emulator.
#pragma once

#include "lab/LabDevice.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

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
    void serve(int listener, int wake);

    mutable std::mutex mutex_;
    krzlab::DeviceSpec spec_;
    std::function<void(const std::string&)> listener_;
    bool running_ = false;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    uint16_t lastPort_ = 0;
    std::thread thread_;
};

// Makes FakeDevices; for LabNetwork::create.
std::unique_ptr<krzlab::Device> makeFake(const krzlab::DeviceSpec& profile);

}  // namespace labtest
