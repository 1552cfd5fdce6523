// Address text of the lab: dotted IPv4 and MAC addresses.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace krzlab {

using MacBytes = std::array<uint8_t, 6>;

// Dotted quad to a number with the first octet most significant; false for anything else.
bool parseIpv4(const std::string& text, uint32_t& hostOrder);
std::string formatIpv4(uint32_t hostOrder);
// The library's MAC address text: twelve hexadecimal digits, with ":-. " between them.
bool parseMac(const std::string& text, MacBytes& mac);
// "02:4B:00:00:00:0A".
std::string formatMac(const MacBytes& mac);
// The 64-bit form of the driver table: the first six bytes in memory are the address.
uint64_t macToUint64(const MacBytes& mac);
MacBytes macFromUint64(uint64_t value);

}  // namespace krzlab
