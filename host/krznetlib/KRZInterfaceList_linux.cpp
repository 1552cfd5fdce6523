#define KRZ_PLATFORM_IMPLEMENTATION
#include "krznetlib/KRZInterfaceList.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <cstring>
#include <map>
#include <string>

std::vector<KRZInterfaceList::Adapter> KRZInterfaceList::list() {
    std::map<std::string, Adapter> byName;
    std::vector<std::string> order;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) {
        return {};
    }
    for (ifaddrs* it = all; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_name == nullptr) {
            continue;
        }
        auto found = byName.find(it->ifa_name);
        if (found == byName.end()) {
            order.push_back(it->ifa_name);
            found = byName.emplace(it->ifa_name, Adapter()).first;
            found->second.name = it->ifa_name;
            found->second.index = static_cast<int>(if_nametoindex(it->ifa_name));
        }
        Adapter& info = found->second;
        if (it->ifa_addr->sa_family == AF_PACKET) {
            const sockaddr_ll* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
            if (ll->sll_halen == 6) {
                std::memcpy(info.mac, ll->sll_addr, 6);
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
    freeifaddrs(all);
    std::vector<Adapter> result;
    for (const std::string& name : order) {
        if (byName[name].address != 0) {
            result.push_back(byName[name]);
        }
    }
    return result;
}

std::vector<KRZInterfaceList::Adapter> KRZInterfaceList::adapters(bool refresh) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listed_ && !refresh) {
            return adapters_;
        }
    }
    std::vector<Adapter> listed = list();
    std::lock_guard<std::mutex> lock(mutex_);
    adapters_ = listed;
    listed_ = true;
    return listed;
}

bool KRZInterfaceList::byMac(const unsigned char mac[6], Adapter& adapter) {
    for (bool refresh : {false, true}) {
        for (const Adapter& candidate : adapters(refresh)) {
            if (std::memcmp(candidate.mac, mac, 6) == 0) {
                adapter = candidate;
                return true;
            }
        }
    }
    return false;
}
