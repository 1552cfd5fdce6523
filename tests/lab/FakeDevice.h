// A stand-in device for link tests: answers every HTTP request with a small page that names the
// device, keeps its port across stop/start, and keeps its state as the bare "nohttp" device does.
#pragma once

#include "lab/LabDevice.h"
#include "lab/devices/LoopbackServer.h"
#include "lab/devices/NoHttpDevice.h"

#include <memory>

namespace krztest {

class FakeDevice : public krzlab::Device {
  public:
    explicit FakeDevice(const krzlab::DeviceSpec& profile)
        : state_(profile), server_([this](int fd) { serve(fd); }) {}
    ~FakeDevice() override { stop(); }

    void start() override;
    void stop() override;
    bool running() const override { return state_.running(); }
    uint16_t port() const override { return server_.port(); }
    krzlab::DeviceSpec state() const override { return state_.state(); }
    void setFault(krzlab::Fault fault, int faultParam) override {
        state_.setFault(fault, faultParam);
    }
    void factoryReset() override { state_.factoryReset(); }
    void setAddressListener(std::function<void(const std::string&)> listener) override {
        state_.setAddressListener(std::move(listener));
    }
    void adoptState(const krzlab::DeviceSpec& stored) override { state_.adoptState(stored); }

    // The page every request gets.
    static std::string page(const std::string& name);

  private:
    // One request, one reply, then close: enough for the link and for curl.
    void serve(int fd);

    krzlab::NoHttpDevice state_;
    uint16_t lastPort_ = 0;
    krzlab::LoopbackServer server_;  // last: stopped before the rest goes
};

// Makes FakeDevices; for LabNetwork::create.
std::unique_ptr<krzlab::Device> makeFake(const krzlab::DeviceSpec& profile);

}  // namespace krztest
