// The "system" network backend: this machine's real adapters on Linux.
//
//  - adapters: every interface with an IPv4 address (getifaddrs), with its index and MAC;
//  - sendPacketDown: the frame goes out unchanged through an AF_PACKET socket bound to the
//    interface with that MAC (needs CAP_NET_RAW); the first frame sent through an interface
//    starts a capture of its ARP replies, which fill the driver's ARP table;
//  - host ARP table: the kernel's neighbour table (/proc/net/arp);
//  - connections: a plain connect goes by the kernel's routing; a connection "via" an adapter and
//    a destination MAC is bound to that adapter (SO_BINDTODEVICE) and then left to the kernel's
//    neighbour resolution. The destination MAC is NOT honoured exactly: when the kernel already
//    knows another MAC for the address, the connection goes to that one, and two devices that
//    share one address cannot be told apart (the lab backend can).
//
// It is only ever chosen by name (KRZ_NETWORK=system): nothing in this project's tests runs it in
// the machine's own network namespace.
#pragma once

#include "krznetlib/KRZNetworkBackend.h"

#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class KRZNETLIB_API KRZSystemNetworkBackend : public KRZNetworkBackend {
  public:
    KRZSystemNetworkBackend();
    ~KRZSystemNetworkBackend() override;

    std::vector<KRZAdapterInfo> adapters() override;
    KRZNdisStatus sendPacketDown(const KRZBuf& frame, const KRZMacAddress& adapterMac) override;
    bool driverArpTable(std::map<uint32_t, uint64_t>& table) override;
    std::vector<MIB_IPNETROW> hostArpTable() override;
    int connect(SOCKET s, const sockaddr_in& address, int& lastError) override;
    int connectVia(SOCKET s, const sockaddr_in& address, const KRZMacAddress& interfaceMac,
                   const KRZMacAddress& destinationMac, int& lastError) override;
    bool lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs,
                         int timeoutMs, KRZMacAddress& interfaceMac) override;

  private:
    struct Capture;
    bool interfaceByMac(const KRZMacAddress& mac, int& index, std::string& name);
    void startCapture(int ifindex);

    std::mutex mutex_;
    std::map<uint32_t, uint64_t> driverTable_;
    std::map<int, std::unique_ptr<Capture>> captures_;
};
