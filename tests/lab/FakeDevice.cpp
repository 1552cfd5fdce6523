#include "FakeDevice.h"

#include "platform/krzplatform.h"

namespace labtest {

FakeDevice::FakeDevice(const krzlab::DeviceSpec& profile)
    : spec_(profile), server_([this](int fd) { serve(fd); }) {}

FakeDevice::~FakeDevice() {
    stop();
}

std::string FakeDevice::page(const std::string& name) {
    return "<html><head><title>" + name + "</title></head><body>" + name + "</body></html>";
}

void FakeDevice::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    if (spec_.family != "nohttp")
        lastPort_ = server_.startListening(lastPort_);
}

void FakeDevice::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    server_.stopListening();
    server_.closeConnections();
}

void FakeDevice::serve(int fd) {
    char buf[2048];
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos) {
        int n = ::recv(static_cast<SOCKET>(fd), buf, sizeof buf, 0);
        if (n <= 0)
            break;
        request.append(buf, static_cast<size_t>(n));
    }
    std::string body = page(state().name);
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    ::send(static_cast<SOCKET>(fd), reply.data(), static_cast<int>(reply.size()), 0);
}

bool FakeDevice::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

uint16_t FakeDevice::port() const {
    return server_.port();
}

krzlab::DeviceSpec FakeDevice::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return spec_;
}

void FakeDevice::setFault(krzlab::Fault fault, int faultParam) {
    std::lock_guard<std::mutex> lock(mutex_);
    spec_.fault = fault;
    spec_.faultParam = faultParam;
}

void FakeDevice::factoryReset() {
    std::function<void(const std::string&)> listener;
    std::string address;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        spec_.username = spec_.factoryUsername;
        spec_.password = spec_.factoryPassword;
        spec_.wireless = spec_.factoryWireless;
        if (!spec_.factoryAddress.empty() && spec_.factoryAddress != spec_.address) {
            spec_.address = address = spec_.factoryAddress;
            listener = listener_;
        }
    }
    if (listener)
        listener(address);
}

void FakeDevice::setAddressListener(std::function<void(const std::string&)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

std::unique_ptr<krzlab::Device> makeFake(const krzlab::DeviceSpec& profile) {
    return std::make_unique<FakeDevice>(profile);
}

}  // namespace labtest
