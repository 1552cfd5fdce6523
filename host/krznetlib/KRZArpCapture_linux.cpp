#define KRZ_PLATFORM_IMPLEMENTATION
#include "krznetlib/KRZArpCapture.h"

#include <arpa/inet.h>
#include <net/ethernet.h>

#include <cstring>

namespace {

uint64_t macValue(const unsigned char* bytes) {
    uint64_t value = 0;
    unsigned char raw[8] = {0};
    std::memcpy(raw, bytes, 6);
    std::memcpy(&value, raw, 8);
    return value;
}

uint16_t be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t be32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

void KRZArpCapture::note(const unsigned char* frame, size_t length, int ifindex) {
    if (length < 42 || be16(frame + 12) != ETH_P_ARP) {
        return;
    }
    // IPv4 over Ethernet only; every claim of an address is noted, every answer recorded.
    if (be16(frame + 14) != 1 || be16(frame + 16) != ETH_P_IP || frame[18] != 6 || frame[19] != 4) {
        return;
    }
    uint32_t sender = be32(frame + 28);
    if (sender == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    seen_[sender] = Clock::now();
    if (be16(frame + 20) == 2) {
        driver_[htonl(sender)] = {macValue(frame + 22), ifindex};
        answered_.emplace(htonl(sender), macValue(frame + 22), ifindex);
    }
}

std::map<uint32_t, uint64_t> KRZArpCapture::driverTable() {
    std::map<uint32_t, uint64_t> table;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : driver_) {
        table[entry.first] = entry.second.first;
    }
    return table;
}

bool KRZArpCapture::capturedOn(uint32_t address, const unsigned char mac[6], int& ifindex) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = answered_.lower_bound(std::make_tuple(address, macValue(mac), 0));
    if (found == answered_.end() || std::get<0>(*found) != address ||
        std::get<1>(*found) != macValue(mac)) {
        return false;
    }
    ifindex = std::get<2>(*found);
    return true;
}

std::vector<uint64_t> KRZArpCapture::capturedAt(uint32_t address, int ifindex) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint64_t> macs;
    for (auto it = answered_.lower_bound(std::make_tuple(address, uint64_t(0), 0));
         it != answered_.end() && std::get<0>(*it) == address; ++it) {
        if (std::get<2>(*it) == ifindex) {
            macs.push_back(std::get<1>(*it));
        }
    }
    return macs;
}

bool KRZArpCapture::claimedSince(uint32_t address, Clock::time_point since) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto seen = seen_.find(address);
    return seen != seen_.end() && seen->second >= since;
}
