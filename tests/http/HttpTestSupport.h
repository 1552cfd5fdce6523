// Helpers for the transport tests: a connection whose server end the test holds in its own hands,
// so that reply bytes arrive at the reader in exactly the pieces the test chooses.
#pragma once

#include <gtest/gtest.h>

#include "http/KRZPAPComm.h"
#include "TestSupport.h"
#include "platform/krzplatform.h"
#include "testsupport/krzhandles.h"

#include <stdexcept>
#include <string>
#include <vector>

using krztest::waitReadable;

// Connects `comm` (which must hold 127.0.0.1) to a private listener and keeps the accepted end.
class LoopbackPair {
  public:
    explicit LoopbackPair(KRZPAPComm& comm) {
        listenFd_ = static_cast<SOCKET>(krztest::listeningLoopbackSocket(4));
        comm.openConnection(krztest::boundPort(static_cast<int>(listenFd_)), false);
        serverFd_ = ::accept(listenFd_, nullptr, nullptr);
    }
    ~LoopbackPair() {
        closesocket(serverFd_);
        closesocket(listenFd_);
    }
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;

    void write(const std::string& bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            int n = ::send(serverFd_, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
            if (n <= 0)
                return;  // the reader has closed its end
            at += static_cast<size_t>(n);
        }
    }
    // Ends the reply (FIN); the descriptor stays open so that nothing turns into a reset.
    void close() { ::shutdown(serverFd_, SD_SEND); }

  private:
    SOCKET listenFd_ = INVALID_SOCKET;
    SOCKET serverFd_ = INVALID_SOCKET;
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
