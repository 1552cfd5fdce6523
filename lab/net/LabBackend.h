// The "lab" network backend: adapters, packet driver, ARP tables and MAC-exact connections of a
// lab link. Connections to lab addresses become loopback connections to the ports that the link
// names; an address the link does not hold fails as unreachable (10065) without any packet
// leaving the machine. A lab is closed: a loopback destination the link does not hold fails the
// same way, so that a check or test run in a lab reaches nothing but the lab's own devices. Only
// the built-in user lab is made open to loopback, so that a router emulated on the user's own
// machine at 127.0.0.1:PORT stays reachable.
#pragma once

#include "lab/net/LabLink.h"

#include "krznetlib/KRZNetworkBackend.h"

#include <memory>

namespace krzlab {

class LabBackend : public KRZNetworkBackend {
  public:
    explicit LabBackend(std::shared_ptr<LabLink> link, bool openToLoopback = false);

    std::vector<KRZAdapterInfo> adapters() override;
    KRZNdisStatus sendPacketDown(const KRZBuf& frame, const KRZMacAddress& adapterMac) override;
    bool driverArpTable(std::map<uint32_t, uint64_t>& table) override;
    std::vector<MIB_IPNETROW> hostArpTable() override;
    int connect(SOCKET s, const sockaddr_in& address, int& lastError) override;
    int connectVia(SOCKET s, const sockaddr_in& address, const KRZMacAddress& interfaceMac,
                   const KRZMacAddress& destinationMac, int& lastError) override;
    bool lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs,
                         int timeoutMs, KRZMacAddress& interfaceMac) override;
    // Every live device at the address on that adapter's link, where the link can tell; else
    // the driver table's one.
    std::vector<KRZMacAddress> answersAt(const in_addr& address,
                                         const KRZMacAddress& interfaceMac) override;

    bool passesLoopback() const override { return openToLoopback_; }
    uint32_t defaultGateway() override;

    LabLink& link() { return *link_; }

  private:
    int connectRoute(SOCKET s, const sockaddr_in& address, const MacBytes* interfaceMac,
                     const MacBytes* deviceMac, int& lastError);

    std::shared_ptr<LabLink> link_;
    bool openToLoopback_;
};

}  // namespace krzlab
