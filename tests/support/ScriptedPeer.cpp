#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

void setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

sockaddr_in loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

unsigned short boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int boundSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    sockaddr_in a = loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        ::close(fd);
        throw std::runtime_error("bind() failed");
    }
    return fd;
}

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Length of the first complete HTTP request in `data` from `start`, or 0 when incomplete.
size_t requestLength(const std::string& data, size_t start) {
    size_t end = data.find("\r\n\r\n", start);
    if (end == std::string::npos)
        return 0;
    end += 4;
    std::string head = data.substr(start, end - start);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    size_t body = 0;
    size_t at = head.find("\r\ncontent-length:");
    if (at != std::string::npos)
        body = std::strtoul(head.c_str() + at + 17, nullptr, 10);
    return data.size() >= end + body ? end + body - start : 0;
}

}  // namespace

// ---- Script ----

ScriptedPeer::Script& ScriptedPeer::Script::write(const std::string& bytes) {
    steps.push_back({SEND, bytes, 0});
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::writeInPieces(const std::string& bytes,
                                                          size_t pieceSize, int pauseMs) {
    for (size_t at = 0; at < bytes.size(); at += pieceSize) {
        write(bytes.substr(at, pieceSize));
        pause(pauseMs);
    }
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::pause(int ms) {
    steps.push_back({PAUSE, "", static_cast<size_t>(ms)});
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::awaitRequest() {
    steps.push_back({AWAIT_REQUEST, "", 0});
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::awaitBytes(size_t count) {
    steps.push_back({AWAIT_BYTES, "", count});
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::close() {
    steps.push_back({CLOSE, "", 0});
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::reset() {
    steps.push_back({RESET, "", 0});
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::silent() {
    steps.push_back({SILENT, "", 0});
    return *this;
}

ScriptedPeer::Script& ScriptedPeer::Script::flood(const std::string& bytes, size_t maxBytes) {
    // Whole copies in one buffer, so that a short pattern still goes out in large sends.
    std::string burst = bytes;
    while (!burst.empty() && burst.size() < 65536)
        burst += bytes;
    steps.push_back({FLOOD, burst, maxBytes});
    return *this;
}

// ---- ScriptedPeer ----

struct ScriptedPeer::Connection {
    int fd = -1;
    std::string received;  // guarded by the peer's mutex
    bool clientClosed = false;
    bool done = false;  // guarded by the peer's mutex
    std::thread thread;
};

ScriptedPeer::ScriptedPeer(const Script& script, int connections)
    : ScriptedPeer(std::vector<Script>(static_cast<size_t>(connections), script)) {}

ScriptedPeer::ScriptedPeer(const std::vector<Script>& scripts) : scripts_(scripts) {
    if (::pipe(wakeFds_) != 0)
        throw std::runtime_error("pipe() failed");
    listenFd_ = boundSocket();
    if (::listen(listenFd_, 16) != 0)
        throw std::runtime_error("listen() failed");
    setNonBlocking(listenFd_);
    port_ = boundPort(listenFd_);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ScriptedPeer::~ScriptedPeer() {
    char b = 1;
    if (::write(wakeFds_[1], &b, 1) < 0) {
        // Nothing to do: the threads then end at their step time-outs.
    }
    acceptThread_.join();
    for (auto& c : connections_) {
        if (c->thread.joinable())
            c->thread.join();
        if (c->fd >= 0)
            ::close(c->fd);
    }
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
}

void ScriptedPeer::acceptLoop() {
    for (size_t index = 0; index < scripts_.size(); ++index) {
        int fd = -1;
        while (fd < 0) {
            pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents)
                return;
            if (fds[0].revents)
                fd = ::accept(listenFd_, nullptr, nullptr);
        }
        setNonBlocking(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.push_back(std::make_unique<Connection>());
        Connection& c = *connections_.back();
        c.fd = fd;
        c.thread = std::thread([this, &c, index] { play(c, scripts_[index]); });
        changed_.notify_all();
    }
}

void ScriptedPeer::play(Connection& c, const Script& script) {
    bool stopped = false;
    size_t requestStart = 0;

    // Reads what the client sends until `ready()` holds or the deadline passes; false when the
    // peer is being destroyed or the deadline passed first.
    auto pump = [&](Clock::time_point deadline, auto ready, bool wantWrite) -> bool {
        while (!stopped) {
            if (ready())
                return true;
            int left = msLeft(deadline);
            if (left == 0)
                return false;
            short events =
                static_cast<short>((c.clientClosed ? 0 : POLLIN) | (wantWrite ? POLLOUT : 0));
            pollfd fds[2] = {{c.fd, events, 0}, {wakeFds_[0], POLLIN, 0}};
            int n = ::poll(fds, 2, left);
            if (n < 0 && errno != EINTR)
                return false;
            if (fds[1].revents) {
                stopped = true;
                return false;
            }
            if (!c.clientClosed && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[4096];
                ssize_t got = ::recv(c.fd, buf, sizeof(buf), 0);
                if (got > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    c.received.append(buf, static_cast<size_t>(got));
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    c.clientClosed = true;
                }
            }
            if (wantWrite && (fds[0].revents & POLLOUT))
                return true;
        }
        return false;
    };
    auto receivedSize = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return c.received.size();
    };
    auto stepDeadline = [&] { return Clock::now() + std::chrono::milliseconds(stepTimeoutMs_); };
    auto never = [] { return false; };

    bool open = true;
    for (const Script::Step& step : script.steps) {
        if (stopped || !open)
            break;
        switch (step.kind) {
            case Script::SEND: {
                size_t at = 0;
                while (at < step.bytes.size() && !stopped) {
                    if (!pump(stepDeadline(), never, true))
                        break;
                    ssize_t sent =
                        ::send(c.fd, step.bytes.data() + at, step.bytes.size() - at, MSG_NOSIGNAL);
                    if (sent > 0) {
                        at += static_cast<size_t>(sent);
                    } else if (errno != EAGAIN && errno != EINTR) {
                        break;  // the client went away; later steps still run
                    }
                }
                break;
            }
            case Script::FLOOD: {
                size_t at = 0;
                for (size_t total = 0; total < step.value && !stopped && !c.clientClosed;) {
                    if (!pump(stepDeadline(), never, true))
                        break;
                    ssize_t sent =
                        ::send(c.fd, step.bytes.data() + at, step.bytes.size() - at, MSG_NOSIGNAL);
                    if (sent > 0) {
                        total += static_cast<size_t>(sent);
                        at = (at + static_cast<size_t>(sent)) % step.bytes.size();
                    } else if (errno != EAGAIN && errno != EINTR) {
                        break;
                    }
                }
                break;
            }
            case Script::PAUSE:
                pump(Clock::now() + std::chrono::milliseconds(static_cast<long>(step.value)), never,
                     false);
                break;
            case Script::AWAIT_REQUEST:
                pump(
                    stepDeadline(),
                    [&] {
                        std::lock_guard<std::mutex> lock(mutex_);
                        size_t n = requestLength(c.received, requestStart);
                        if (n == 0)
                            return c.clientClosed;
                        requestStart += n;
                        return true;
                    },
                    false);
                break;
            case Script::AWAIT_BYTES:
                pump(
                    stepDeadline(), [&] { return c.clientClosed || receivedSize() >= step.value; },
                    false);
                break;
            case Script::CLOSE:
                open = false;
                break;
            case Script::RESET: {
                linger l{1, 0};
                ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
                ::close(c.fd);
                c.fd = -1;
                open = false;
                break;
            }
            case Script::SILENT:
                while (!stopped && !c.clientClosed) {
                    pump(
                        stepDeadline(), [&] { return c.clientClosed; }, false);
                }
                break;
        }
    }
    if (c.fd >= 0) {
        // Graceful close: FIN first, then drain until the client closes, so that request bytes
        // still unread never make the kernel answer with a reset.
        ::shutdown(c.fd, SHUT_WR);
        pump(
            stepDeadline(), [&] { return c.clientClosed; }, false);
        ::close(c.fd);
        c.fd = -1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    c.done = true;
    changed_.notify_all();
}

std::string ScriptedPeer::received(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Bounded, so that a client that never connects fails the test instead of hanging it.
    changed_.wait_for(lock, std::chrono::seconds(60),
                      [&] { return connections_.size() > index && connections_[index]->done; });
    return connections_.size() > index ? connections_[index]->received : std::string();
}

std::string ScriptedPeer::receivedSoFar(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size() > index ? connections_[index]->received : std::string();
}

size_t ScriptedPeer::accepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

bool ScriptedPeer::waitAccepted(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return connections_.size() >= count; });
}

// ---- FullBacklogListener ----

FullBacklogListener::FullBacklogListener() {
    listenFd_ = boundSocket();
    // A backlog of 0 still admits one connection; once the queue is full the kernel drops
    // further SYNs, so a connect attempt stays in SYN_SENT.
    if (::listen(listenFd_, 0) != 0)
        throw std::runtime_error("listen() failed");
    port_ = boundPort(listenFd_);
    for (int i = 0; i < 8; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        setNonBlocking(fd);
        sockaddr_in a = loopback(port_);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        fillers_.push_back(fd);
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 200) == 0)
            break;  // this one is pending: the queue is full
    }
}

FullBacklogListener::~FullBacklogListener() {
    for (int fd : fillers_)
        ::close(fd);
    ::close(listenFd_);
}

// ---- RefusingPort ----

RefusingPort::RefusingPort() {
    fd_ = boundSocket();
    port_ = boundPort(fd_);
}

RefusingPort::~RefusingPort() {
    ::close(fd_);
}
