// Helpers for the lab tests: ARP frames, HTTP over a connected socket, child processes.
#pragma once

#include "lab/net/LabAddress.h"
#include "testsupport/krzchild.h"

#include <cstdint>
#include <string>
#include <vector>

namespace labtest {

// A 42-byte ARP request as the ARP scanner builds it.
std::string arpRequest(const krzlab::MacBytes& adapterMac, uint32_t senderHostOrder,
                       uint32_t targetHostOrder);
uint32_t ip(const char* dotted);  // host order
krzlab::MacBytes mac(const char* text);

// Waits (up to `timeoutMs`) for a non-blocking connect to finish; the socket error as a Winsock
// number (0: connected), or -1 when it is still pending.
int finishConnect(int fd, int timeoutMs);
// Sends "GET / HTTP/1.0" on a connected socket and reads the reply until the peer closes.
std::string httpGet(int fd);

// Programs started with their stdout on a pipe.
using krztest::Child;
using krztest::run;

// The states of the kernel's TCP sockets on this local port (from /proc/net/tcp).
std::vector<int> kernelTcpStates(uint16_t localPort);

}  // namespace labtest
