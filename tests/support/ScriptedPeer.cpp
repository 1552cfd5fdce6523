#include "ScriptedPeer.h"

#include "platform/krzplatform.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace krztest {

sockaddr_in loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

unsigned short boundPort(int fd) {
    sockaddr_in a{};
    int length = sizeof a;
    if (::getsockname(static_cast<SOCKET>(fd), reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw std::runtime_error("getsockname() failed");
    return ntohs(a.sin_port);
}

int boundLoopbackSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket() failed");
    sockaddr_in a = loopback(0);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        closesocket(s);
        throw std::runtime_error("bind() failed");
    }
    return static_cast<int>(s);  // socket handles are small numbers on both systems
}

int listeningLoopbackSocket(int backlog) {
    int fd = boundLoopbackSocket();
    if (::listen(static_cast<SOCKET>(fd), backlog) != 0) {
        closesocket(static_cast<SOCKET>(fd));
        throw std::runtime_error("listen() failed");
    }
    return fd;
}

bool waitReadable(SOCKET fd, int timeoutMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(fd, &readSet);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return ::select(0, &readSet, nullptr, nullptr, &wait) > 0;
}

}  // namespace krztest

using krztest::boundLoopbackSocket;
using krztest::boundPort;
using krztest::listeningLoopbackSocket;
using krztest::loopback;

namespace {

using Clock = std::chrono::steady_clock;

// The header keeps handles as int: socket handles are small numbers on both systems.
SOCKET sock(int fd) {
    return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

void setNonBlocking(int fd) {
    u_long on = 1;
    ioctlsocket(sock(fd), FIONBIO, &on);
}

void closeSocket(int fd) {
    closesocket(sock(fd));
}

// Waits up to `ms` for `fd` to become readable (and writable when asked); the result tells which.
struct Readiness {
    bool readable = false;
    bool writable = false;
};
Readiness waitFor(int fd, bool read, bool write, int ms) {
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    if (read)
        FD_SET(sock(fd), &readSet);
    if (write)
        FD_SET(sock(fd), &writeSet);
    FD_SET(sock(fd), &exceptSet);
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    Readiness r;
    if (::select(0, &readSet, &writeSet, &exceptSet, &wait) > 0) {
        // An error on the socket shows as readable: the next recv reports it.
        r.readable = FD_ISSET(sock(fd), &readSet) || FD_ISSET(sock(fd), &exceptSet);
        r.writable = FD_ISSET(sock(fd), &writeSet) != 0;
    }
    return r;
}

// Waits are cut into slices this long, so that a peer being destroyed stops them soon.
const int kSliceMs = 20;

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
    listenFd_ = listeningLoopbackSocket(16);
    setNonBlocking(listenFd_);
    port_ = boundPort(listenFd_);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ScriptedPeer::~ScriptedPeer() {
    stopping_ = true;
    acceptThread_.join();
    for (auto& c : connections_) {
        if (c->thread.joinable())
            c->thread.join();
        if (c->fd >= 0)
            closeSocket(c->fd);
    }
    closeSocket(listenFd_);
}

void ScriptedPeer::acceptLoop() {
    for (size_t index = 0; index < scripts_.size(); ++index) {
        int fd = -1;
        while (fd < 0) {
            if (stopping_)
                return;
            if (waitFor(listenFd_, true, false, kSliceMs).readable) {
                SOCKET s = ::accept(sock(listenFd_), nullptr, nullptr);
                fd = s == INVALID_SOCKET ? -1 : static_cast<int>(s);
            }
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
            if (stopping_) {
                stopped = true;
                return false;
            }
            Readiness ready_ = waitFor(c.fd, !c.clientClosed, wantWrite, std::min(left, kSliceMs));
            if (!c.clientClosed && ready_.readable) {
                char buf[4096];
                int got = ::recv(sock(c.fd), buf, sizeof(buf), 0);
                if (got > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    c.received.append(buf, static_cast<size_t>(got));
                } else if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
                    c.clientClosed = true;
                }
            }
            if (wantWrite && ready_.writable)
                return true;
        }
        return false;
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
                    int sent = ::send(sock(c.fd), step.bytes.data() + at,
                                      static_cast<int>(step.bytes.size() - at), 0);
                    if (sent > 0) {
                        at += static_cast<size_t>(sent);
                    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
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
                    int sent = ::send(sock(c.fd), step.bytes.data() + at,
                                      static_cast<int>(step.bytes.size() - at), 0);
                    if (sent > 0) {
                        total += static_cast<size_t>(sent);
                        at = (at + static_cast<size_t>(sent)) % step.bytes.size();
                    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
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
            case Script::CLOSE:
                open = false;
                break;
            case Script::RESET: {
                linger l{1, 0};
                ::setsockopt(sock(c.fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                             sizeof(l));
                closeSocket(c.fd);
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
        ::shutdown(sock(c.fd), SD_SEND);
        pump(
            stepDeadline(), [&] { return c.clientClosed; }, false);
        closeSocket(c.fd);
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
    // A backlog of 0 still admits one connection; once the queue is full the kernel drops
    // further SYNs, so a connect attempt stays in SYN_SENT.
    listenFd_ = listeningLoopbackSocket(0);
    port_ = boundPort(listenFd_);
    for (int i = 0; i < 8; ++i) {
        int fd = static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
        setNonBlocking(fd);
        sockaddr_in a = loopback(port_);
        ::connect(sock(fd), reinterpret_cast<sockaddr*>(&a), sizeof(a));
        fillers_.push_back(fd);
        if (!waitFor(fd, false, true, 200).writable)
            break;  // this one is pending: the queue is full
    }
}

FullBacklogListener::~FullBacklogListener() {
    for (int fd : fillers_)
        closeSocket(fd);
    closeSocket(listenFd_);
}

// ---- RefusingPort ----

RefusingPort::RefusingPort() {
    fd_ = boundLoopbackSocket();
    port_ = boundPort(fd_);
}

RefusingPort::~RefusingPort() {
    closeSocket(fd_);
}
