#include "lab/devices/NoHttpDevice.h"

namespace krzlab {

NoHttpDevice::NoHttpDevice(const DeviceSpec& profile) : spec_(profile) {}

void NoHttpDevice::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
}

void NoHttpDevice::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
}

bool NoHttpDevice::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

uint16_t NoHttpDevice::port() const {
    return 0;
}

DeviceSpec NoHttpDevice::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return spec_;
}

void NoHttpDevice::setFault(Fault fault, int faultParam) {
    std::lock_guard<std::mutex> lock(mutex_);
    spec_.fault = fault;
    spec_.faultParam = faultParam;
}

void NoHttpDevice::factoryReset() {
    std::function<void(const std::string&)> listener;
    std::string moved;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!spec_.factoryAddress.empty() && spec_.factoryAddress != spec_.address) {
            moved = spec_.factoryAddress;
            spec_.address = moved;
        }
        spec_.username = spec_.factoryUsername;
        spec_.password = spec_.factoryPassword;
        spec_.wireless = spec_.factoryWireless;
        listener = listener_;
    }
    if (!moved.empty() && listener) {
        listener(moved);
    }
}

void NoHttpDevice::setAddressListener(std::function<void(const std::string&)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

void NoHttpDevice::adoptState(const DeviceSpec& stored) {
    std::function<void(const std::string&)> listener;
    bool moved = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        moved = spec_.adoptSettings(stored);
        listener = listener_;
    }
    if (moved && listener) {
        listener(stored.address);
    }
}

}  // namespace krzlab
