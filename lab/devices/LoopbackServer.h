// A TCP listener on 127.0.0.1 that hands each accepted connection to its own thread. Listening
// and serving are separate, so that a device can stop listening (as while it reboots) from inside
// one of its own connections, and open again on the same port later.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace krzlab {

class LoopbackServer {
  public:
    // Serves one accepted socket; the server closes it afterwards.
    using Serve = std::function<void(int fd)>;

    explicit LoopbackServer(Serve serve);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listens on another address than 127.0.0.1 (network order), as a device daemon does on its
    // link; there only `preferredPort` will do. Takes effect at the next startListening.
    void setAddress(uint32_t address);
    // Listens on `preferredPort` when it is free, else on an ephemeral port; returns the port.
    // Throws std::runtime_error when no socket can be bound. No effect while listening.
    uint16_t startListening(uint16_t preferredPort);
    // Closes the listener; connections being served go on. Safe from a serving thread.
    void stopListening();
    // Cuts every connection being served and waits for their threads. Not from a serving thread.
    void closeConnections();

    // Serves `fd`, accepted elsewhere (the plain side of an HTTPS connection), with `serve` on a
    // thread of this server as if it had accepted it: closeConnections cuts it too, pause wakes
    // for it, and the server closes it afterwards.
    void adopt(int fd, Serve serve);

    // The listening port, 0 when not listening.
    uint16_t port() const;

    // Waits `ms` milliseconds unless the connections are being closed; false when they are.
    bool pause(int ms);

  private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void acceptLoop(int listenFd, int wakeFd);
    void serveOne(int fd, const Serve& serve, std::shared_ptr<std::atomic<bool>> done);
    // Starts a worker for `fd`; mutex_ is held.
    void startWorker(int fd, Serve serve);
    void reapFinished();

    Serve serve_;
    mutable std::mutex mutex_;
    std::condition_variable closing_;
    bool closingConnections_ = false;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    uint32_t address_;
    std::thread acceptThread_;
    std::list<Worker> workers_;
    std::set<int> openFds_;
};

}  // namespace krzlab
