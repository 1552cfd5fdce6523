// Helpers for the lab tests: ARP frames, HTTP over a connected socket, child processes.
#pragma once

#include "lab/net/LabAddress.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace labtest {

// A 42-byte ARP request as the ARP scanner builds it.
std::string arpRequest(const krzlab::MacBytes& adapterMac, uint32_t senderHostOrder,
                       uint32_t targetHostOrder);
uint32_t ip(const char* dotted);  // host order
krzlab::MacBytes mac(const char* text);

// Waits (up to `timeoutMs`) for a non-blocking connect to finish; the socket error (0: connected),
// or -1 when it is still pending.
int finishConnect(int fd, int timeoutMs);
// Sends "GET / HTTP/1.0" on a connected socket and reads the reply until the peer closes.
std::string httpGet(int fd);

// A program started with its stdout on a pipe.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv);
    ~Child();  // ends the child (SIGTERM) if it is still running
    // The next line of its stdout (without "\n"); empty at the end.
    std::string readLine();
    // Everything it writes until it closes its stdout.
    std::string readAll();
    // Waits for it to end; its exit status.
    int wait();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
};

// Runs a program to completion; its stdout, and its exit status in `status`.
std::string run(const std::vector<std::string>& argv, int& status);

// The states of the kernel's TCP sockets on this local port (from /proc/net/tcp).
std::vector<int> kernelTcpStates(uint16_t localPort);

}  // namespace labtest
