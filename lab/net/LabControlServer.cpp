#include "lab/net/LabControlServer.h"

#include "lab/net/LabControl.h"
#include "lab/net/LineSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace krzlab {

struct LabControlServer::Impl {
    std::shared_ptr<LabNetwork> lab;
    std::function<void()> onShutdown;
    int listener = -1;
    uint16_t port = 0;
    std::thread acceptor;
    std::mutex mutex;
    bool stopping = false;
    std::set<int> clients;
    struct Worker {
        std::thread thread;
        bool done = false;
    };
    std::list<Worker> workers;

    void acceptLoop();
    void serve(int fd, bool& done);
};

LabControlServer::LabControlServer(std::shared_ptr<LabNetwork> lab,
                                   std::function<void()> onShutdown)
    : impl_(new Impl) {
    impl_->lab = std::move(lab);
    impl_->onShutdown = std::move(onShutdown);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        int err = errno;
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error(std::string("lab control: cannot listen: ") + std::strerror(err));
    }
    impl_->listener = fd;
    impl_->port = ntohs(a.sin_port);
    impl_->acceptor = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
}

LabControlServer::~LabControlServer() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        // shutdown wakes the threads blocked in accept and recv.
        ::shutdown(impl_->listener, SHUT_RDWR);
        for (int fd : impl_->clients)
            ::shutdown(fd, SHUT_RDWR);
    }
    impl_->acceptor.join();
    for (Impl::Worker& w : impl_->workers)
        w.thread.join();
    ::close(impl_->listener);
}

uint16_t LabControlServer::port() const {
    return impl_->port;
}

std::string LabControlServer::address() const {
    return "127.0.0.1:" + std::to_string(impl_->port);
}

void LabControlServer::Impl::acceptLoop() {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE)
                continue;
            return;
        }
        // Finished workers are joined here, so a long-running lab does not collect threads.
        for (auto it = workers.begin(); it != workers.end();) {
            if (!it->done) {
                ++it;
                continue;
            }
            it->thread.join();
            it = workers.erase(it);
        }
        clients.insert(fd);
        workers.emplace_back();
        Worker& w = workers.back();
        w.thread = std::thread([this, fd, &w] { serve(fd, w.done); });
    }
}

void LabControlServer::Impl::serve(int fd, bool& done) {
    LineSocket conn(fd);
    std::string line;
    bool shutdown = false;
    while (!shutdown && conn.readLine(line)) {
        nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
        nlohmann::json answer = request.is_discarded()
                                    ? nlohmann::json{{"ok", false}, {"error", "not JSON"}}
                                    : handleControlRequest(*lab, request, shutdown);
        if (!conn.writeLine(answer.dump()))
            break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        clients.erase(fd);
    }
    conn.close();
    if (shutdown && onShutdown)
        onShutdown();
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
}

}  // namespace krzlab
