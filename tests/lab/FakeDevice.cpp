#include "FakeDevice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace labtest {

FakeDevice::FakeDevice(const krzlab::DeviceSpec& profile) : spec_(profile) {}

FakeDevice::~FakeDevice() {
    stop();
}

std::string FakeDevice::page(const std::string& name) {
    return "<html><head><title>" + name + "</title></head><body>" + name + "</body></html>";
}

void FakeDevice::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    if (listenFd_ >= 0 || spec_.family == "nohttp")
        return;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(lastPort_);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        a.sin_port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("fake device: bind");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::listen(fd, 16);
    if (::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("fake device: pipe");
    listenFd_ = fd;
    port_ = lastPort_ = ntohs(a.sin_port);
    thread_ = std::thread([this, fd, w = wake_[0]] { serve(fd, w); });
}

void FakeDevice::stop() {
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        if (listenFd_ < 0)
            return;
        char c = 0;
        (void)!::write(wake_[1], &c, 1);
        t = std::move(thread_);
    }
    t.join();
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(listenFd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    listenFd_ = -1;
    port_ = 0;
}

void FakeDevice::serve(int listener, int wake) {
    for (;;) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        // One request, one reply, then close: enough for the link and for curl.
        char buf[2048];
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            request.append(buf, static_cast<size_t>(n));
        }
        std::string body = page(state().name);
        std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(c);
    }
}

bool FakeDevice::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

uint16_t FakeDevice::port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
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
