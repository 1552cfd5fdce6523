#define KRZ_PLATFORM_IMPLEMENTATION
#include "krznetlib/KRZSystemNetworkBackend.h"

#include "krznetlib/KRZPacketLinks.h"
#include "krzutil/KRZArpFrame.h"
#include "krzutil/KRZException.h"

#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

void macBytes(const KRZMacAddress& mac, unsigned char out[6]) {
    std::memcpy(out, mac.getBytes(), 6);
}

// The MAC of the adapter with the kernel's interface index, where there is one.
bool adapterMacOf(KRZPacketLinks& links, int index, KRZMacAddress& mac) {
    for (const KRZPacketLinks::Adapter& info : links.adapters(false)) {
        if (info.index == index) {
            mac = KRZMacAddress(info.mac);
            return true;
        }
    }
    return false;
}

// Asks every adapter but loopback's who has the address, with a broadcast ARP request.
void askEveryAdapter(KRZPacketLinks& links, const in_addr& address) {
    for (const KRZPacketLinks::Adapter& info : links.adapters(true)) {
        if ((info.address >> 24) == 127) {
            continue;
        }
        unsigned char frame[KRZArpFrame::kRequestSize];
        KRZArpFrame::buildRequest(frame, info.mac, htonl(info.address), address.s_addr);
        links.sendFrame(info, frame, sizeof frame);
    }
}

}  // namespace

KRZSystemNetworkBackend::KRZSystemNetworkBackend() : links_(new KRZPacketLinks) {}

KRZSystemNetworkBackend::~KRZSystemNetworkBackend() = default;

std::vector<KRZAdapterInfo> KRZSystemNetworkBackend::adapters() {
    std::vector<KRZAdapterInfo> result;
    for (const KRZPacketLinks::Adapter& info : links_->adapters(true)) {
        result.emplace_back(info.name, static_cast<unsigned long>(info.index), info.address,
                            info.mask, KRZMacAddress(info.mac));
    }
    return result;
}

KRZNdisStatus KRZSystemNetworkBackend::sendPacketDown(const KRZBuf& frame,
                                                      const KRZMacAddress& adapterMac) {
    unsigned char mac[6];
    macBytes(adapterMac, mac);
    KRZPacketLinks::Adapter adapter;
    if (frame.size() < 14 || !links_->adapterByMac(mac, adapter)) {
        return KRZ_NDIS_STATUS_FAILURE;
    }
    if (links_->sendFrame(adapter, reinterpret_cast<const unsigned char*>(frame.data()),
                          frame.size())) {
        return KRZ_NDIS_STATUS_SUCCESS;
    }
    return (errno == ENOBUFS || errno == EAGAIN || errno == ENOMEM) ? KRZ_NDIS_STATUS_RESOURCES
                                                                    : KRZ_NDIS_STATUS_FAILURE;
}

bool KRZSystemNetworkBackend::driverArpTable(std::map<uint32_t, uint64_t>& table) {
    table = links_->driverTable();
    return true;
}

uint32_t KRZSystemNetworkBackend::defaultGateway() {
    // Iface  Destination  Gateway  Flags ...: hexadecimal, in network order as the kernel keeps it.
    std::ifstream in("/proc/net/route");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        unsigned long destination = 0, gateway = 0, flags = 0;
        if (fields >> name >> std::hex >> destination >> gateway >> flags && destination == 0 &&
            (flags & 0x2) != 0 && gateway != 0)  // RTF_GATEWAY
            return ntohl(static_cast<uint32_t>(gateway));
    }
    return 0;
}

std::vector<MIB_IPNETROW> KRZSystemNetworkBackend::hostArpTable() {
    // IP address  HW type  Flags  HW address  Mask  Device
    std::vector<MIB_IPNETROW> rows;
    std::ifstream in("/proc/net/arp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string ip, hwType, flags, hw, mask, device;
        if (!(fields >> ip >> hwType >> flags >> hw >> mask >> device)) {
            continue;
        }
        MIB_IPNETROW row{};
        in_addr address{};
        if (inet_pton(AF_INET, ip.c_str(), &address) != 1) {
            continue;
        }
        row.dwAddr = address.s_addr;
        row.dwIndex = if_nametoindex(device.c_str());
        try {
            std::memcpy(row.bPhysAddr, KRZMacAddress::fromUtf8String(hw).getBytes(), 6);
            row.dwPhysAddrLen = 6;
        } catch (const KRZException&) {
            // An entry without a hardware address keeps a zero length.
        }
        unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
        row.dwType = (f & 0x4)   ? MIB_IPNET_TYPE_STATIC
                     : (f & 0x2) ? MIB_IPNET_TYPE_DYNAMIC
                                 : MIB_IPNET_TYPE_INVALID;
        rows.push_back(row);
    }
    return rows;
}

int KRZSystemNetworkBackend::connect(SOCKET s, const sockaddr_in& address, int& lastError) {
    if (::connect(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == 0) {
        return 0;
    }
    lastError = krz_errnoToWsa(errno);
    return SOCKET_ERROR;
}

int KRZSystemNetworkBackend::connectVia(SOCKET s, const sockaddr_in& address,
                                        const KRZMacAddress& interfaceMac,
                                        const KRZMacAddress& destinationMac, int& lastError) {
    unsigned char ifMac[6], deviceMac[6];
    macBytes(interfaceMac, ifMac);
    macBytes(destinationMac, deviceMac);
    KRZPacketLinks::Adapter adapter;
    if (!links_->adapterByMac(ifMac, adapter)) {
        lastError = WSAEHOSTUNREACH;
        return SOCKET_ERROR;
    }
    // Where the kernel's own neighbour entry on that adapter already leads to the device, a
    // kernel connection bound to the adapter reaches it; anything else is carried.
    for (const MIB_IPNETROW& row : hostArpTable()) {
        if (row.dwAddr == address.sin_addr.s_addr &&
            row.dwIndex == static_cast<DWORD>(adapter.index) &&
            row.dwType != MIB_IPNET_TYPE_INVALID && row.dwPhysAddrLen == 6 &&
            std::memcmp(row.bPhysAddr, deviceMac, 6) == 0) {
            if (::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_BINDTODEVICE, adapter.name.c_str(),
                             static_cast<socklen_t>(adapter.name.size())) != 0) {
                lastError = krz_errnoToWsa(errno);
                return SOCKET_ERROR;
            }
            return connect(s, address, lastError);
        }
    }
    return links_->carry(static_cast<int>(s), address, adapter, deviceMac, lastError);
}

bool KRZSystemNetworkBackend::lookupInterface(const in_addr& address,
                                              const std::vector<KRZMacAddress>& macs, int timeoutMs,
                                              KRZMacAddress& interfaceMac) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool asked = false;
    for (;;) {
        // What the packet driver captured names the adapter exactly, also for one of two devices
        // at the same address; the kernel's neighbour table is asked next.
        for (const KRZMacAddress& wanted : macs) {
            unsigned char bytes[6];
            macBytes(wanted, bytes);
            int ifindex = 0;
            if (links_->capturedOn(address.s_addr, bytes, ifindex) &&
                adapterMacOf(*links_, ifindex, interfaceMac)) {
                return true;
            }
        }
        for (const MIB_IPNETROW& row : hostArpTable()) {
            if (row.dwAddr != address.s_addr || row.dwPhysAddrLen != 6 ||
                row.dwType == MIB_IPNET_TYPE_INVALID) {
                continue;
            }
            for (const KRZMacAddress& wanted : macs) {
                if (wanted == KRZMacAddress(row.bPhysAddr) &&
                    adapterMacOf(*links_, static_cast<int>(row.dwIndex), interfaceMac)) {
                    return true;
                }
            }
        }
        if (!asked) {
            // Nobody said yet: ask on every adapter, once.
            asked = true;
            askEveryAdapter(*links_, address);
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::usleep(20 * 1000);
    }
}

std::vector<KRZMacAddress> KRZSystemNetworkBackend::answersAt(const in_addr& address,
                                                              const KRZMacAddress& interfaceMac) {
    // Every answer the packet sockets captured, not only the table's last one.
    unsigned char bytes[6];
    macBytes(interfaceMac, bytes);
    KRZPacketLinks::Adapter adapter;
    std::vector<KRZMacAddress> macs;
    if (links_->adapterByMac(bytes, adapter)) {
        for (uint64_t mac : links_->capturedAt(address.s_addr, adapter.index)) {
            macs.push_back(KRZMacAddress::fromUint64(mac));
        }
    }
    return macs.empty() ? KRZNetworkBackend::answersAt(address, interfaceMac) : macs;
}
