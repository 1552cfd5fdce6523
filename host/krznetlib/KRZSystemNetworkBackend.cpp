#define KRZ_PLATFORM_IMPLEMENTATION
#include "krznetlib/KRZSystemNetworkBackend.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const size_t kArpFrameLength = 42;

struct InterfaceInfo {
    std::string name;
    int index = 0;
    unsigned char mac[6] = {0};
    bool hasMac = false;
    uint32_t address = 0;  // host byte order
    uint32_t mask = 0;
};

std::vector<InterfaceInfo> listInterfaces() {
    std::map<std::string, InterfaceInfo> byName;
    std::vector<std::string> order;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return {};
    }
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_name == nullptr) {
            continue;
        }
        auto found = byName.find(it->ifa_name);
        if (found == byName.end()) {
            order.push_back(it->ifa_name);
            found = byName.emplace(it->ifa_name, InterfaceInfo()).first;
            found->second.name = it->ifa_name;
            found->second.index = static_cast<int>(if_nametoindex(it->ifa_name));
        }
        InterfaceInfo& info = found->second;
        if (it->ifa_addr->sa_family == AF_PACKET) {
            const sockaddr_ll* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
            if (ll->sll_halen == 6) {
                std::memcpy(info.mac, ll->sll_addr, 6);
                info.hasMac = true;
            }
        } else if (it->ifa_addr->sa_family == AF_INET && info.address == 0) {
            info.address =
                ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
            if (it->ifa_netmask != nullptr) {
                info.mask =
                    ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
            }
        }
    }
    freeifaddrs(list);
    std::vector<InterfaceInfo> result;
    for (const std::string& name : order) {
        if (byName[name].address != 0) {
            result.push_back(byName[name]);
        }
    }
    return result;
}

uint64_t macToUint64(const unsigned char* bytes) {
    uint64_t value = 0;
    unsigned char raw[8] = {0};
    std::memcpy(raw, bytes, 6);
    std::memcpy(&value, raw, 8);
    return value;
}

bool parseMac(const std::string& text, unsigned char out[6]) {
    unsigned int b[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) !=
        6) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        out[i] = static_cast<unsigned char>(b[i]);
    }
    return true;
}

}  // namespace

// One interface's capture of ARP replies, feeding the driver's table.
struct KRZSystemNetworkBackend::Capture {
    int fd = -1;
    std::atomic<bool> stop{false};
    std::thread thread;
    ~Capture() {
        stop = true;
        if (thread.joinable()) {
            thread.join();
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

KRZSystemNetworkBackend::KRZSystemNetworkBackend() {}

KRZSystemNetworkBackend::~KRZSystemNetworkBackend() {
    std::map<int, std::unique_ptr<Capture>> captures;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        captures.swap(captures_);
    }
}

std::vector<KRZAdapterInfo> KRZSystemNetworkBackend::adapters() {
    std::vector<KRZAdapterInfo> result;
    for (const InterfaceInfo& info : listInterfaces()) {
        KRZMacAddress mac = info.hasMac ? KRZMacAddress(info.mac) : KRZMacAddress();
        result.emplace_back(info.name, static_cast<unsigned long>(info.index), info.address,
                            info.mask, mac);
    }
    return result;
}

bool KRZSystemNetworkBackend::interfaceByMac(const KRZMacAddress& mac, int& index,
                                             std::string& name) {
    for (const InterfaceInfo& info : listInterfaces()) {
        if (info.hasMac && KRZMacAddress(info.mac) == mac) {
            index = info.index;
            name = info.name;
            return true;
        }
    }
    return false;
}

void KRZSystemNetworkBackend::startCapture(int ifindex) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (captures_.count(ifindex) != 0) {
        return;
    }
    int fd = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ARP));
    if (fd < 0) {
        return;
    }
    sockaddr_ll bindAddress{};
    bindAddress.sll_family = AF_PACKET;
    bindAddress.sll_protocol = htons(ETH_P_ARP);
    bindAddress.sll_ifindex = ifindex;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0) {
        ::close(fd);
        return;
    }
    auto capture = std::make_unique<Capture>();
    capture->fd = fd;
    Capture* raw = capture.get();
    capture->thread = std::thread([this, raw] {
        unsigned char frame[1600];
        while (!raw->stop) {
            pollfd p{raw->fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            ssize_t n = (::recv)(raw->fd, frame, sizeof frame, 0);
            // An ARP reply for IPv4 over Ethernet: record who has which address.
            if (n < static_cast<ssize_t>(kArpFrameLength) || frame[12] != 0x08 ||
                frame[13] != 0x06 || frame[20] != 0 || frame[21] != 2 || frame[18] != 6 ||
                frame[19] != 4) {
                continue;
            }
            uint32_t sender;
            std::memcpy(&sender, frame + 28, 4);
            std::lock_guard<std::mutex> guard(mutex_);
            driverTable_[sender] = macToUint64(frame + 22);
        }
    });
    captures_.emplace(ifindex, std::move(capture));
}

KRZNdisStatus KRZSystemNetworkBackend::sendPacketDown(const KRZBuf& frame,
                                                      const KRZMacAddress& adapterMac) {
    int ifindex = 0;
    std::string name;
    if (frame.size() < 14 || !interfaceByMac(adapterMac, ifindex, name)) {
        return KRZ_NDIS_STATUS_FAILURE;
    }
    startCapture(ifindex);
    int fd = ::socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0) {
        return errno == ENOBUFS || errno == ENOMEM ? KRZ_NDIS_STATUS_RESOURCES
                                                   : KRZ_NDIS_STATUS_FAILURE;
    }
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, frame.data(), 6);
    ssize_t sent =
        ::sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    int err = errno;
    ::close(fd);
    if (sent == static_cast<ssize_t>(frame.size())) {
        return KRZ_NDIS_STATUS_SUCCESS;
    }
    return (err == ENOBUFS || err == EAGAIN) ? KRZ_NDIS_STATUS_RESOURCES : KRZ_NDIS_STATUS_FAILURE;
}

bool KRZSystemNetworkBackend::driverArpTable(std::map<uint32_t, uint64_t>& table) {
    std::lock_guard<std::mutex> lock(mutex_);
    table = driverTable_;
    return true;
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
        unsigned char mac[6];
        if (parseMac(hw, mac)) {
            std::memcpy(row.bPhysAddr, mac, 6);
            row.dwPhysAddrLen = 6;
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
    int ifindex = 0;
    std::string name;
    if (!interfaceByMac(interfaceMac, ifindex, name)) {
        lastError = WSAEHOSTUNREACH;
        return SOCKET_ERROR;
    }
    if (::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_BINDTODEVICE, name.c_str(),
                     static_cast<socklen_t>(name.size())) != 0) {
        lastError = krz_errnoToWsa(errno);
        return SOCKET_ERROR;
    }
    (void)destinationMac;  // left to the kernel's neighbour resolution (see the header)
    return connect(s, address, lastError);
}

bool KRZSystemNetworkBackend::lookupInterface(const in_addr& address,
                                              const std::vector<KRZMacAddress>& macs, int timeoutMs,
                                              KRZMacAddress& interfaceMac) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (const MIB_IPNETROW& row : hostArpTable()) {
            if (row.dwAddr != address.s_addr || row.dwPhysAddrLen != 6) {
                continue;
            }
            KRZMacAddress mac(row.bPhysAddr);
            for (const KRZMacAddress& wanted : macs) {
                if (wanted != mac) {
                    continue;
                }
                for (const InterfaceInfo& info : listInterfaces()) {
                    if (static_cast<DWORD>(info.index) == row.dwIndex && info.hasMac) {
                        interfaceMac = KRZMacAddress(info.mac);
                        return true;
                    }
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::usleep(50 * 1000);
    }
}
