// The "system" network backend on Windows, from what IP Helper offers without a packet driver:
//
//  - adapters: GetAdaptersInfo (first IPv4 address and mask of each adapter, its index and MAC);
//  - sendPacketDown: there is no packet driver here, so no frame goes out: every frame is refused
//    with the driver's failure status. The driver's ARP table is instead the system's own
//    (GetIpNetTable), so a sweep still finds the devices Windows has already talked to;
//  - host ARP table: GetIpNetTable;
//  - default gateway: the next hop of the best route to 0.0.0.0 (GetBestRoute);
//  - connections: a plain connect, left to the system's routing and neighbour resolution. No
//    connection is carried to an exact MAC (that needs the packet driver's own TCP/IP): the
//    destination MAC of a connection "via" an adapter is not honoured (the lab backend does);
//  - lookupInterface: SendARP for the address, accepted when the answering MAC is one of those
//    asked for, from the adapter whose network holds the address.
//
// It is only ever chosen by name (KRZ_NETWORK=system).
#include "krznetlib/KRZSystemNetworkBackend.h"

#include <cstring>
#include <vector>

// The packet links exist only where a packet driver does; here the backend holds none.
class KRZPacketLinks {};

namespace {

std::vector<unsigned char> adapterInfoBuffer() {
    ULONG size = 0;
    std::vector<unsigned char> buffer;
    for (int attempt = 0; attempt < 3; ++attempt) {
        PIP_ADAPTER_INFO info =
            buffer.empty() ? nullptr : reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
        DWORD result = GetAdaptersInfo(info, &size);
        if (result == ERROR_SUCCESS && info != nullptr) {
            return buffer;
        }
        if (result != ERROR_BUFFER_OVERFLOW) {
            return {};
        }
        buffer.assign(size, 0);
    }
    return {};
}

std::vector<MIB_IPNETROW> systemArpTable() {
    ULONG size = 0;
    std::vector<unsigned char> buffer;
    for (int attempt = 0; attempt < 3; ++attempt) {
        PMIB_IPNETTABLE table =
            buffer.empty() ? nullptr : reinterpret_cast<PMIB_IPNETTABLE>(buffer.data());
        DWORD result = GetIpNetTable(table, &size, TRUE);
        if (result == NO_ERROR && table != nullptr) {
            return std::vector<MIB_IPNETROW>(table->table, table->table + table->dwNumEntries);
        }
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            return {};
        }
        buffer.assign(size, 0);
    }
    return {};
}

int plainConnect(SOCKET s, const sockaddr_in& address, int& lastError) {
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return 0;
    }
    lastError = WSAGetLastError();
    return SOCKET_ERROR;
}

}  // namespace

KRZSystemNetworkBackend::KRZSystemNetworkBackend() = default;
KRZSystemNetworkBackend::~KRZSystemNetworkBackend() = default;

std::vector<KRZAdapterInfo> KRZSystemNetworkBackend::adapters() {
    std::vector<KRZAdapterInfo> result;
    std::vector<unsigned char> buffer = adapterInfoBuffer();
    if (buffer.empty()) {
        return result;
    }
    for (auto info = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()); info != nullptr;
         info = info->Next) {
        unsigned long address = ntohl(inet_addr(info->IpAddressList.IpAddress.String));
        unsigned long mask = ntohl(inet_addr(info->IpAddressList.IpMask.String));
        if (address == 0 || address == 0xFFFFFFFFul || info->AddressLength != 6) {
            continue;
        }
        result.emplace_back(info->AdapterName, info->Index, address, mask,
                            KRZMacAddress(info->Address));
    }
    return result;
}

KRZNdisStatus KRZSystemNetworkBackend::sendPacketDown(const KRZBuf&, const KRZMacAddress&) {
    return KRZ_NDIS_STATUS_FAILURE;  // no packet driver on this system
}

bool KRZSystemNetworkBackend::driverArpTable(std::map<uint32_t, uint64_t>& table) {
    table.clear();
    for (const MIB_IPNETROW& row : systemArpTable()) {
        if (row.dwPhysAddrLen == 6 &&
            (row.dwType == MIB_IPNET_TYPE_DYNAMIC || row.dwType == MIB_IPNET_TYPE_STATIC)) {
            table[row.dwAddr] = KRZMacAddress(row.bPhysAddr).toUint64();
        }
    }
    return true;
}

std::vector<MIB_IPNETROW> KRZSystemNetworkBackend::hostArpTable() {
    return systemArpTable();
}

int KRZSystemNetworkBackend::connect(SOCKET s, const sockaddr_in& address, int& lastError) {
    return plainConnect(s, address, lastError);
}

int KRZSystemNetworkBackend::connectVia(SOCKET s, const sockaddr_in& address, const KRZMacAddress&,
                                        const KRZMacAddress&, int& lastError) {
    return plainConnect(s, address, lastError);
}

bool KRZSystemNetworkBackend::lookupInterface(const in_addr& address,
                                              const std::vector<KRZMacAddress>& macs, int,
                                              KRZMacAddress& interfaceMac) {
    ULONG mac[2] = {0, 0};
    ULONG length = 6;
    if (SendARP(address.s_addr, 0, mac, &length) != NO_ERROR || length != 6) {
        return false;
    }
    KRZMacAddress answered(reinterpret_cast<const unsigned char*>(mac));
    bool wanted = false;
    for (const KRZMacAddress& m : macs) {
        wanted = wanted || m == answered;
    }
    if (!wanted) {
        return false;
    }
    unsigned long host = ntohl(address.s_addr);
    for (const KRZAdapterInfo& adapter : adapters()) {
        if ((adapter.getIpAddress() & adapter.getMask()) == (host & adapter.getMask())) {
            interfaceMac = adapter.getMacAddress();
            return true;
        }
    }
    return false;
}

// SendARP reports one answer: the driver table's view is all there is.
std::vector<KRZMacAddress> KRZSystemNetworkBackend::answersAt(const in_addr& address,
                                                              const KRZMacAddress& interfaceMac) {
    return KRZNetworkBackend::answersAt(address, interfaceMac);
}

uint32_t KRZSystemNetworkBackend::defaultGateway() {
    MIB_IPFORWARDROW route{};
    if (GetBestRoute(0, 0, &route) != NO_ERROR || route.dwForwardMask != 0)
        return 0;
    return ntohl(route.dwForwardNextHop);
}
