// The simulated link as the lab backend sees it, whether the lab runs in this process
// (LabNetwork) or in a krzlab process reached through its control endpoint (LabControlClient).
#pragma once

#include "lab/net/LabAddress.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace krzlab {

// Driver statuses, as the packet driver reports them (same numbers as KRZNdisStatus).
const uint32_t kStatusSuccess = 0;
const uint32_t kStatusFailure = 0xFFFFFFFFu;
const uint32_t kStatusInvalidPacket = 0xC0010011u;
const uint32_t kStatusAdapterNotFound = 0xC0010006u;

struct LabAdapter {
    std::string name;
    uint32_t index = 0;
    uint32_t address = 0;  // host order
    uint32_t mask = 0;     // host order
    MacBytes mac{};
    uint32_t gateway = 0;  // host order; 0: no router on this network
};

struct HostArpRow {
    uint32_t index = 0;    // adapter index
    uint32_t address = 0;  // host order
    MacBytes mac{};
};

// Where a connection to a lab address goes: a loopback port, or nowhere (unreachable host).
struct Route {
    bool reachable = false;
    uint16_t port = 0;  // on 127.0.0.1
};

class LabLink {
  public:
    virtual ~LabLink() = default;

    virtual std::vector<LabAdapter> adapters() = 0;
    // One Ethernet frame out through the adapter with that MAC; a driver status.
    virtual uint32_t sendFrame(const std::string& frame, const MacBytes& adapterMac) = 0;
    // Address (network order) to MAC (macToUint64 form); false when it cannot be read.
    virtual bool driverTable(std::map<uint32_t, uint64_t>& table) = 0;
    virtual std::vector<HostArpRow> hostTable() = 0;
    // A TCP connection to `address` (host order) port `port`; through the adapter with
    // `interfaceMac` to the device with `deviceMac` when they are given.
    virtual Route resolve(uint32_t address, uint16_t port, const MacBytes* interfaceMac,
                          const MacBytes* deviceMac) = 0;
    // Which adapter reaches a device with one of `macs` at `address`.
    virtual bool lookup(uint32_t address, const std::vector<MacBytes>& macs,
                        MacBytes& interfaceMac) = 0;
    // The MACs of the live devices at `address` on the adapter's link; false where the link
    // cannot tell (a lab reached through its control endpoint).
    virtual bool devicesAt(uint32_t address, const MacBytes& adapterMac,
                           std::vector<MacBytes>& macs) {
        return false;
    }
};

// A link with neither adapters nor devices: what a host sees when its lab cannot be set up.
class NoLink : public LabLink {
  public:
    std::vector<LabAdapter> adapters() override { return {}; }
    uint32_t sendFrame(const std::string&, const MacBytes&) override {
        return kStatusAdapterNotFound;
    }
    bool driverTable(std::map<uint32_t, uint64_t>& table) override {
        table.clear();
        return true;
    }
    std::vector<HostArpRow> hostTable() override { return {}; }
    Route resolve(uint32_t, uint16_t, const MacBytes*, const MacBytes*) override { return {}; }
    bool lookup(uint32_t, const std::vector<MacBytes>&, MacBytes&) override { return false; }
};

// Checks an ARP request frame: 42 bytes, broadcast, ARP over Ethernet for IPv4, operation 1,
// sender MAC (Ethernet and ARP) equal to `adapterMac`. On success `target` is the target
// protocol address (host order).
bool checkArpRequest(const std::string& frame, const MacBytes& adapterMac, uint32_t& target);

}  // namespace krzlab
