// A loopback TCP peer for transport tests: listens on 127.0.0.1 with an ephemeral port, accepts
// connections and plays a script on each (send exact bytes, pause, wait for the client's request,
// close, reset, stay silent) while recording every byte the client sends.
//
// It drives its sockets through the platform layer's Winsock calls, so it serves on both systems.
//
//   ScriptedPeer peer(ScriptedPeer::Script().awaitRequest().write("HTTP/1.1 200 OK\r\n\r\nhi"));
//   comm.openConnection(peer.port(), false);  ...
//   EXPECT_EQ(peer.received(0), "GET / HTTP/1.1\r\n...");
//
// Each accepted connection is played on its own thread. A script that ends without close(),
// reset() or silent() closes gracefully, as close() does. Every wait is bounded (five seconds a
// step), so a client that misbehaves cannot hang a test.
#pragma once

#include "platform/krzplatform.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace krztest {

sockaddr_in loopback(unsigned short port);
// The local port `fd` is bound to.
unsigned short boundPort(int fd);
// A TCP socket bound to an ephemeral loopback port, not listening; throws std::runtime_error.
int boundLoopbackSocket();
// The same, listening with this backlog.
int listeningLoopbackSocket(int backlog = 16);
// Waits up to `timeoutMs` for `fd` to become readable; false on time-out.
bool waitReadable(SOCKET fd, int timeoutMs = 2000);

}  // namespace krztest

class ScriptedPeer {
  public:
    class Script {
      public:
        // Writes these exact bytes (all of them, however the kernel splits them).
        Script& write(const std::string& bytes);
        // Writes the bytes in pieces of `pieceSize`, pausing `pauseMs` after each piece.
        Script& writeInPieces(const std::string& bytes, size_t pieceSize, int pauseMs);
        // Waits this long, recording what the client sends meanwhile.
        Script& pause(int ms);
        // Waits until the client has sent a whole HTTP request: the header block and, when it
        // declares a content length (any letter case), that many body bytes.
        Script& awaitRequest();
        // Graceful close: ends sending (FIN), then keeps reading until the client closes too, so
        // that unread request bytes never turn the close into a reset.
        Script& close();
        // Abortive close (SO_LINGER 0): the client sees a connection reset.
        Script& reset();
        // Sends nothing more and keeps the connection open until the client closes it or the
        // peer is destroyed.
        Script& silent();
        // Writes `bytes` again and again, as fast as the client takes them, until the client
        // closes or resets the connection, the peer is destroyed, or `maxBytes` have been sent
        // (by default 1 GiB: far past every bound of the library, and within a 32-bit size_t,
        // where 4 GiB wrapped to nothing).
        Script& flood(const std::string& bytes, size_t maxBytes = size_t(1) << 30);

      private:
        friend class ScriptedPeer;
        enum Kind { SEND, PAUSE, AWAIT_REQUEST, CLOSE, RESET, SILENT, FLOOD };
        struct Step {
            Kind kind;
            std::string bytes;
            size_t value;
        };
        std::vector<Step> steps;
    };

    // Plays `script` on each of the first `connections` connections accepted.
    explicit ScriptedPeer(const Script& script, int connections = 1);
    // Plays scripts[i] on the i-th connection accepted.
    explicit ScriptedPeer(const std::vector<Script>& scripts);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    unsigned short port() const { return port_; }

    // The bytes the client sent on connection `index`, once that connection's script has ended
    // (waits for it, at most a minute; "" when the connection never came).
    std::string received(size_t index = 0);
    // Number of connections accepted so far.
    size_t accepted();
    // Waits until `count` connections have been accepted; false on time-out.
    bool waitAccepted(size_t count, int timeoutMs = 5000);

  private:
    struct Connection;
    void acceptLoop();
    void play(Connection& connection, const Script& script);

    std::vector<Script> scripts_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};  // set: every wait stops within a slice
    unsigned short port_ = 0;
    // Upper bound for each waiting step and for the client's close after close().
    const int stepTimeoutMs_ = 5000;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::thread acceptThread_;
};

// A loopback listener whose accept queue is full, so that a further connect to it stays pending
// (its SYN is dropped) until the connecting side gives up. For tests of connect waits.
class FullBacklogListener {
  public:
    FullBacklogListener();
    ~FullBacklogListener();
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;
    unsigned short port() const { return port_; }

  private:
    int listenFd_ = -1;
    std::vector<int> fillers_;
    unsigned short port_ = 0;
};

// A loopback port that is bound but not listening: connects to it are refused.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    unsigned short port() const { return port_; }

  private:
    int fd_ = -1;
    unsigned short port_ = 0;
};
