#include "FakeDevice.h"

#include "platform/krzplatform.h"

namespace krztest {

std::string FakeDevice::page(const std::string& name) {
    return "<html><head><title>" + name + "</title></head><body>" + name + "</body></html>";
}

void FakeDevice::start() {
    state_.start();
    if (state_.state().family != "nohttp")
        lastPort_ = server_.startListening(lastPort_);
}

void FakeDevice::stop() {
    state_.stop();
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

std::unique_ptr<krzlab::Device> makeFake(const krzlab::DeviceSpec& profile) {
    return std::make_unique<FakeDevice>(profile);
}

}  // namespace krztest
