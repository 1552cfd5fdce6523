// Helpers for the transport tests: a connection whose server end the test holds in its own hands,
// so that reply bytes arrive at the reader in exactly the pieces the test chooses.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <dirent.h>

#include <gtest/gtest.h>

#include "http/KRZPAPComm.h"

#include <stdexcept>
#include <string>
#include <vector>

// Reaches the private read steps of KRZPAPComm.
class KRZPAPCommTestAccess {
  public:
    static KRZPAPCReadStatus appendBytes(KRZPAPComm& comm, std::string& out, int count) {
        return comm.appendBytes(out, count);
    }
    static KRZPAPCReadStatus fillBuffer(KRZPAPComm& comm) { return comm.fillBuffer(); }
};

inline bool waitReadable(unsigned int fd, int timeoutMs = 2000) {
    pollfd p{static_cast<int>(fd), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

inline int openDescriptorCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (::readdir(dir) != nullptr)
        ++count;
    ::closedir(dir);
    return count;
}

// Connects `comm` (which must hold 127.0.0.1) to a private listener and keeps the accepted end.
class LoopbackPair {
  public:
    explicit LoopbackPair(KRZPAPComm& comm) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            ::listen(listenFd_, 4) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            throw std::runtime_error("listener set-up failed");
        }
        comm.openConnection(ntohs(a.sin_port), false);
        serverFd_ = ::accept(listenFd_, nullptr, nullptr);
    }
    ~LoopbackPair() {
        if (serverFd_ >= 0)
            ::close(serverFd_);
        ::close(listenFd_);
    }
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;

    void write(const std::string& bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = ::send(serverFd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return;  // the reader has closed its end
            at += static_cast<size_t>(n);
        }
    }
    // Ends the reply (FIN); the descriptor stays open so that nothing turns into a reset.
    void close() { ::shutdown(serverFd_, SHUT_WR); }
    void reset() {
        linger l{1, 0};
        ::setsockopt(serverFd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        ::close(serverFd_);
        serverFd_ = -1;
    }
    std::string readRequest() {
        std::string got;
        char buf[4096];
        while (waitReadable(static_cast<unsigned int>(serverFd_), 200)) {
            ssize_t n = ::recv(serverFd_, buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

  private:
    int listenFd_ = -1;
    int serverFd_ = -1;
};

struct ReplyResult {
    KRZPAPCReadStatus status = KRZPAPC_READ_PENDING;
    bool completeBeforeClose = false;
    std::string headers;
    std::string body;
};

// Sends `reply` cut at `cuts` (ascending offsets), calling readResponse after each piece has
// arrived, then closes and reads on until the reply is over.
inline ReplyResult readInPieces(const std::string& reply, const std::vector<size_t>& cuts) {
    KRZPAPComm comm(std::string("127.0.0.1"));
    LoopbackPair pair(comm);
    ReplyResult r;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(reply.size());
    for (size_t end : ends) {
        if (end <= from)
            continue;
        pair.write(reply.substr(from, end - from));
        from = end;
        if (!waitReadable(comm.getFD()))
            throw std::runtime_error("piece did not arrive");
        r.status = comm.readResponse();
        if (r.status != KRZPAPC_READ_PENDING) {
            r.completeBeforeClose = true;
            break;
        }
    }
    if (r.status == KRZPAPC_READ_PENDING) {
        pair.close();
        for (int i = 0; i < 1000 && r.status == KRZPAPC_READ_PENDING; ++i) {
            if (!waitReadable(comm.getFD()))
                throw std::runtime_error("close did not arrive");
            r.status = comm.readResponse();
        }
    }
    r.headers = comm.getResponseHeaders();
    r.body = comm.getResponseBody();
    return r;
}
