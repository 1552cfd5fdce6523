// What the packet link learns from ARP on its sockets: the driver's ARP table (each address's
// latest answer and the adapter it came in on), every (address, MAC, adapter) that ever answered,
// so that one of two devices at the same address can be looked up, and when each address was
// last claimed by anyone (an answer or a request from it), which the source-address claim asks.
//
// Internal to the network library, Linux only (KRZArpCapture_linux.cpp). Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>
#include <utility>

class KRZArpCapture {
  public:
    using Clock = std::chrono::steady_clock;

    // Notes a frame that came in on the adapter: an IPv4-over-Ethernet ARP frame teaches who
    // claims its sender address; anything else is ignored.
    void note(const unsigned char* frame, size_t length, int ifindex);
    // Addresses (network order) to MACs (6 bytes in the low bytes, KRZMacAddress order).
    std::map<uint32_t, uint64_t> driverTable();
    // The adapter on which `mac` ever answered ARP for `address` (network order).
    bool capturedOn(uint32_t address, const unsigned char mac[6], int& ifindex);
    // Every MAC that answered ARP for `address` (network order) on the adapter, in MAC order.
    std::vector<uint64_t> capturedAt(uint32_t address, int ifindex);
    // Whether anyone claimed `address` (host order) at or after `since`.
    bool claimedSince(uint32_t address, Clock::time_point since);

  private:
    // A leaf: nothing else is locked while it is held. It may be taken while lwIP's core lock is
    // held (the source-address claim asks under it), never the other way round.
    std::mutex mutex_;
    std::map<uint32_t, std::pair<uint64_t, int>> driver_;     // address to MAC and adapter index
    std::map<uint32_t, Clock::time_point> seen_;              // address (host order) last claimed
    std::set<std::tuple<uint32_t, uint64_t, int>> answered_;  // every (address, MAC, adapter)
};
