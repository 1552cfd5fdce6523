// The one way an ARP request frame is built here: a broadcast "who has" for IPv4 over Ethernet,
// 42 bytes without padding (the adapter pads it on the wire). The ARP sweep, the system backend's
// question to every adapter and the packet link's address probes all send this frame.
#pragma once

#include "krzcompat/krzexport.h"

#include <cstddef>
#include <cstdint>

class KRZUTIL_API KRZArpFrame {
  public:
    static constexpr size_t kRequestSize = 42;

    // Fills `frame` with a request from `senderMac` (Ethernet source and ARP sender) asking who
    // has `target`. Addresses are in network byte order; a `sender` of 0 makes it an address
    // probe that teaches nobody a mapping. The target's hardware address is left zero.
    static void buildRequest(unsigned char frame[kRequestSize], const unsigned char senderMac[6],
                             uint32_t sender, uint32_t target);
    // Changes only the asked address (network byte order) of a built request.
    static void setTarget(unsigned char frame[kRequestSize], uint32_t target);
};
