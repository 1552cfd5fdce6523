// The addresses an ARP sweep of an adapter's network asks, for the scanners that send them in
// parts. Not exported.
#pragma once

#include "krznetlib/KRZAdapterInfo.h"
#include "platform/krzplatform.h"

#include <cstdint>

// The hosts of the adapter's last-octet block (at most 254): the first (network byte order) and
// how many. 32-bit arithmetic as the driver's numbers are; only the mask's last octet counts.
inline void krzArpBlock(const KRZAdapterInfo& adapter, in_addr& first, int& count) {
    uint32_t ip = static_cast<uint32_t>(adapter.getIpAddress());
    uint32_t mask = static_cast<uint32_t>(adapter.getMask());
    first.s_addr = htonl((ip & (mask | 0xFFFFFF00u)) + 1);
    count = static_cast<int>((0xFFFFFFFEu - mask) & 0xFFu);
}
