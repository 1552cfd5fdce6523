#include <cstring>
#include <stdexcept>

#include "lab/net/LabBackend.h"

namespace krzlab {

namespace {

MacBytes bytesOf(const KRZMacAddress& mac) {
    MacBytes b{};
    std::memcpy(b.data(), mac.getBytes(), 6);
    return b;
}

}  // namespace

LabBackend::LabBackend(std::shared_ptr<LabLink> link, bool openToLoopback)
    : link_(std::move(link)), openToLoopback_(openToLoopback) {}

std::vector<KRZAdapterInfo> LabBackend::adapters() {
    std::vector<KRZAdapterInfo> out;
    for (const LabAdapter& a : link_->adapters())
        out.emplace_back(a.name, a.index, a.address, a.mask, KRZMacAddress(a.mac.data()));
    return out;
}

// The lab's router: the gateway of the first adapter that has one.
uint32_t LabBackend::defaultGateway() {
    for (const LabAdapter& a : link_->adapters())
        if (a.gateway != 0)
            return a.gateway;
    return 0;
}

KRZNdisStatus LabBackend::sendPacketDown(const KRZBuf& frame, const KRZMacAddress& adapterMac) {
    if (!adapterMac.isSet())
        return KRZ_NDIS_STATUS_ADAPTER_NOT_FOUND;
    return link_->sendFrame(frame.bytes(), bytesOf(adapterMac));
}

bool LabBackend::driverArpTable(std::map<uint32_t, uint64_t>& table) {
    return link_->driverTable(table);
}

std::vector<MIB_IPNETROW> LabBackend::hostArpTable() {
    std::vector<MIB_IPNETROW> rows;
    for (const HostArpRow& r : link_->hostTable()) {
        MIB_IPNETROW row{};
        row.dwIndex = r.index;
        row.dwPhysAddrLen = 6;
        std::memcpy(row.bPhysAddr, r.mac.data(), 6);
        row.dwAddr = htonl(r.address);
        row.dwType = MIB_IPNET_TYPE_DYNAMIC;
        rows.push_back(row);
    }
    return rows;
}

int LabBackend::connectRoute(SOCKET s, const sockaddr_in& address, const MacBytes* interfaceMac,
                             const MacBytes* deviceMac, int& lastError) {
    sockaddr_in target = address;
    uint32_t host = ntohl(address.sin_addr.s_addr);
    Route route = link_->resolve(host, ntohs(address.sin_port), interfaceMac, deviceMac);
    if (route.reachable) {
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(route.port);
    } else if (!openToLoopback_ || (host >> 24) != 127) {
        lastError = WSAEHOSTUNREACH;
        return -1;
    }
    // Always a non-blocking connect, as the packet driver's carriage would be.
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        lastError = WSAGetLastError();
        return -1;
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
        return 0;
    lastError = WSAGetLastError();
    return -1;
}

int LabBackend::connect(SOCKET s, const sockaddr_in& address, int& lastError) {
    return connectRoute(s, address, nullptr, nullptr, lastError);
}

int LabBackend::connectVia(SOCKET s, const sockaddr_in& address, const KRZMacAddress& interfaceMac,
                           const KRZMacAddress& destinationMac, int& lastError) {
    MacBytes ifBytes = bytesOf(interfaceMac), devBytes = bytesOf(destinationMac);
    return connectRoute(s, address, interfaceMac.isSet() ? &ifBytes : nullptr,
                        destinationMac.isSet() ? &devBytes : nullptr, lastError);
}

bool LabBackend::lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs,
                                 int timeoutMs, KRZMacAddress& interfaceMac) {
    std::vector<MacBytes> wanted;
    for (const KRZMacAddress& m : macs)
        if (m.isSet())
            wanted.push_back(bytesOf(m));
    MacBytes found{};
    if (!link_->lookup(ntohl(address.s_addr), wanted, found))
        return false;
    interfaceMac = KRZMacAddress(found.data());
    return true;
}

std::vector<KRZMacAddress> LabBackend::answersAt(const in_addr& address,
                                                 const KRZMacAddress& interfaceMac) {
    std::vector<MacBytes> devices;
    if (!link_->devicesAt(ntohl(address.s_addr), bytesOf(interfaceMac), devices))
        return KRZNetworkBackend::answersAt(address, interfaceMac);
    std::vector<KRZMacAddress> macs;
    for (const MacBytes& mac : devices)
        macs.emplace_back(mac.data());
    return macs;
}

}  // namespace krzlab
