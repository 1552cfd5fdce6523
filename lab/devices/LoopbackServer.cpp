#include "lab/devices/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace krzlab {

namespace {

// A listening socket on address:port (network order address), or -1. The address need not be
// configured yet: a device daemon binds before its interface moves to it.
int bindLoopback(uint32_t address, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = address;
    addr.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

}  // namespace

LoopbackServer::LoopbackServer(Serve serve)
    : serve_(std::move(serve)), address_(htonl(INADDR_LOOPBACK)) {}

LoopbackServer::~LoopbackServer() {
    stopListening();
    closeConnections();
}

void LoopbackServer::setAddress(uint32_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    address_ = address;
}

uint16_t LoopbackServer::startListening(uint16_t preferredPort) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listenFd_ >= 0) {
        return port_;
    }
    int fd = preferredPort != 0 ? bindLoopback(address_, preferredPort) : -1;
    if (fd < 0 && address_ == htonl(INADDR_LOOPBACK)) {
        fd = bindLoopback(address_, 0);
    }
    if (fd < 0) {
        throw std::runtime_error(std::string("cannot listen: ") + std::strerror(errno));
    }
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot create wake pipe");
    }
    listenFd_ = fd;
    port_ = boundPort(fd);
    closingConnections_ = false;
    acceptThread_ = std::thread(&LoopbackServer::acceptLoop, this, fd, wakePipe_[0]);
    return port_;
}

void LoopbackServer::stopListening() {
    std::thread accepting;
    int fds[3];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listenFd_ < 0) {
            return;
        }
        ::close(wakePipe_[1]);  // wakes the accept loop
        accepting = std::move(acceptThread_);
        fds[0] = listenFd_;
        fds[1] = wakePipe_[0];
        listenFd_ = -1;
        wakePipe_[0] = wakePipe_[1] = -1;
        port_ = 0;
    }
    accepting.join();
    ::close(fds[0]);
    ::close(fds[1]);
}

void LoopbackServer::closeConnections() {
    std::list<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closingConnections_ = true;
        for (int fd : openFds_) {
            ::shutdown(fd, SHUT_RDWR);
        }
        workers.swap(workers_);
    }
    closing_.notify_all();
    for (Worker& w : workers) {
        w.thread.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    closingConnections_ = false;
}

uint16_t LoopbackServer::port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
}

bool LoopbackServer::pause(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !closing_.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return closingConnections_; });
}

void LoopbackServer::acceptLoop(int listenFd, int wakeFd) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(mutex_);
        startWorker(fd, serve_);
    }
}

void LoopbackServer::adopt(int fd, Serve serve) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closingConnections_) {
        ::close(fd);
        return;
    }
    startWorker(fd, std::move(serve));
}

void LoopbackServer::startWorker(int fd, Serve serve) {
    reapFinished();
    openFds_.insert(fd);
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back(
        {std::thread([this, fd, serve = std::move(serve), done] { serveOne(fd, serve, done); }),
         done});
}

void LoopbackServer::serveOne(int fd, const Serve& serve, std::shared_ptr<std::atomic<bool>> done) {
    serve(fd);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        openFds_.erase(fd);
        ::close(fd);
    }
    done->store(true);
}

void LoopbackServer::reapFinished() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace krzlab
