// The packet link's list of the machine's Ethernet adapters with an IPv4 address (getifaddrs),
// cached: listed again only when asked to or when a MAC is not in the cache.
//
// Internal to the network library, Linux only (KRZInterfaceList_linux.cpp).
#pragma once

#include "krznetlib/KRZPacketLinks.h"

#include <mutex>
#include <vector>

class KRZInterfaceList {
  public:
    using Adapter = KRZPacketLinks::Adapter;

    // Every adapter with an IPv4 address, in the system's order; `refresh` lists them again.
    std::vector<Adapter> adapters(bool refresh);
    // The adapter with this MAC (cached list first, listed again on a miss).
    bool byMac(const unsigned char mac[6], Adapter& adapter);

  private:
    static std::vector<Adapter> list();

    std::mutex mutex_;  // a leaf: nothing else is locked while it is held
    std::vector<Adapter> adapters_;
    bool listed_ = false;
};
