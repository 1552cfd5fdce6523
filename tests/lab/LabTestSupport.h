// Helpers for the lab tests: ARP frames, HTTP over a connected socket, the link seen through the
// network library.
#pragma once

#include "lab/net/LabAddress.h"
#include "testsupport/krzchild.h"

#include "krznetlib/KRZNetworkLibrary.h"

#include <cstdint>
#include <string>
#include <vector>

namespace krztest {

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

// Sleeps longer than any device's ARP delay.
void waitForArpAnswers();

// Through the network library, as the library's own code reaches the active network:
// an ARP request for `target` from 192.168.77.2 sent on the adapter with MAC `adapter`;
KRZNdisStatus arp(const char* target, const krzlab::MacBytes& adapter);
// the MAC the driver's ARP table holds for `address`, formatted ("" when absent);
std::string driverMac(const char* address);
// a connect of a fresh socket through the library's virtual socket, carried over `adapter` to
// `device` when given: the socket (closed with the attempt), the Winsock result and error;
struct Attempt {
    int fd = -1;
    int result = 0;
    int error = 0;
    ~Attempt();
};
void virtualConnect(Attempt& a, const char* address, uint16_t port,
                    const krzlab::MacBytes* device = nullptr, const krzlab::MacBytes& adapter = {});
// GET / from address:80, carried over `adapter` to `device` when given ("" when unreachable).
std::string fetch(const char* address, const krzlab::MacBytes* device,
                  const krzlab::MacBytes& adapter);

}  // namespace krztest
