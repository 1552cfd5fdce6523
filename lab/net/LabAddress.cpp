#include "lab/net/LabAddress.h"

#include "krzutil/KRZException.h"
#include "krzutil/KRZMacAddress.h"
#include "platform/krzplatform.h"

#include <cstring>

namespace krzlab {

bool parseIpv4(const std::string& text, uint32_t& hostOrder) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    hostOrder = ntohl(a.s_addr);
    return true;
}

std::string formatIpv4(uint32_t hostOrder) {
    in_addr a{};
    a.s_addr = htonl(hostOrder);
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

bool parseMac(const std::string& text, MacBytes& mac) {
    try {
        KRZMacAddress parsed = KRZMacAddress::fromUtf8String(text);
        std::memcpy(mac.data(), parsed.getBytes(), mac.size());
        return true;
    } catch (const KRZException&) {
        return false;
    }
}

std::string formatMac(const MacBytes& mac) {
    return KRZMacAddress(mac.data()).toUtf8String();
}

uint64_t macToUint64(const MacBytes& mac) {
    uint64_t v = 0;
    for (int i = 5; i >= 0; --i)
        v = (v << 8) | mac[static_cast<size_t>(i)];
    return v;
}

MacBytes macFromUint64(uint64_t value) {
    MacBytes mac{};
    for (size_t i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(value >> (8 * i));
    return mac;
}

}  // namespace krzlab
