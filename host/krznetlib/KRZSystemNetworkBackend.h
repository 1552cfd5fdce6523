// The "system" network backend: this machine's real adapters on Linux
// (KRZSystemNetworkBackend_linux.cpp).
//
//  - adapters: every interface with an IPv4 address (getifaddrs), with its index and MAC;
//  - sendPacketDown: the frame goes out unchanged through the adapter's packet socket, opened
//    once and kept (needs CAP_NET_RAW); ARP answers captured on it fill the driver's ARP table;
//  - host ARP table: the kernel's neighbour table (/proc/net/arp);
//  - connections: a plain connect goes by the kernel's routing; a connection "via" an adapter and
//    a destination MAC reaches exactly that MAC: a kernel socket bound to the adapter where the
//    kernel's neighbour entry already names that MAC there, else a connection carried by the
//    packet driver's own TCP/IP (KRZPacketLinks), which never touches the kernel's tables.
//
// On Windows (KRZSystemNetworkBackend_win.cpp) it is what IP Helper offers without a packet driver:
// GetAdaptersInfo, GetIpNetTable, plain connects; sendPacketDown fails with the driver's failure
// status and no connection is carried to an exact MAC.
//
// It is only ever chosen by name (KRZ_NETWORK=system): nothing in this project's tests runs it in
// the machine's own network namespace.
#pragma once

#include "krznetlib/KRZNetworkBackend.h"

#include <memory>
#include <vector>

class KRZPacketLinks;

class KRZNETLIB_API KRZSystemNetworkBackend : public KRZNetworkBackend {
  public:
    KRZSystemNetworkBackend();
    ~KRZSystemNetworkBackend() override;

    std::vector<KRZAdapterInfo> adapters() override;
    KRZNdisStatus sendPacketDown(const KRZBuf& frame, const KRZMacAddress& adapterMac) override;
    bool driverArpTable(std::map<uint32_t, uint64_t>& table) override;
    std::vector<MIB_IPNETROW> hostArpTable() override;
    uint32_t defaultGateway() override;
    int connect(SOCKET s, const sockaddr_in& address, int& lastError) override;
    int connectVia(SOCKET s, const sockaddr_in& address, const KRZMacAddress& interfaceMac,
                   const KRZMacAddress& destinationMac, int& lastError) override;
    bool lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs,
                         int timeoutMs, KRZMacAddress& interfaceMac) override;
    std::vector<KRZMacAddress> answersAt(const in_addr& address,
                                         const KRZMacAddress& interfaceMac) override;

  private:
    std::unique_ptr<KRZPacketLinks> links_;
};
