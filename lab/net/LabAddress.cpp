#include "lab/net/LabAddress.h"

#include "platform/krzplatform.h"

#include <cctype>
#include <cstdio>
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

static int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool parseMac(const std::string& text, MacBytes& mac) {
    size_t pos = 0;
    for (size_t i = 0; i < 6; ++i) {
        if (i > 0 && pos < text.size() && std::strchr(":-. ", text[pos]) && text[pos] != '\0')
            ++pos;
        if (pos + 2 > text.size())
            return false;
        int hi = hexValue(text[pos]), lo = hexValue(text[pos + 1]);
        if (hi < 0 || lo < 0)
            return false;
        mac[i] = static_cast<uint8_t>(hi * 16 + lo);
        pos += 2;
    }
    return pos == text.size();
}

std::string formatMac(const MacBytes& mac) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return buf;
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
