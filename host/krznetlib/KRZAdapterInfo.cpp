#include "krznetlib/KRZAdapterInfo.h"

#include "krznetlib/KRZNetworkBackend.h"
#include "krzsettings/KRZSettings.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

KRZAdapterInfo::KRZAdapterInfo() : index_(0), ipAddress_(0), mask_(0) {}

KRZAdapterInfo::KRZAdapterInfo(const std::string& name, unsigned long index,
                               unsigned long ipAddress, unsigned long mask,
                               const KRZMacAddress& mac)
    : name_(name), index_(index), ipAddress_(ipAddress), mask_(mask), mac_(mac) {}

boost::shared_ptr<std::vector<KRZAdapterInfo>> KRZAdapterInfo::getAdapterInfo() {
    auto adapters =
        boost::make_shared<std::vector<KRZAdapterInfo>>(KRZNetworkBackend::active()->adapters());
    // The host may confine the library to some adapters: KRZ_ADAPTERS lists names or dotted
    // addresses, separated by commas.
    std::wstring chosen = KRZSettings::strGetKrzGuardValue(L"KRZ_ADAPTERS", L"", true);
    if (chosen.empty()) {
        return adapters;
    }
    std::string list = "," + std::string(chosen.begin(), chosen.end()) + ",";
    std::vector<KRZAdapterInfo> kept;
    for (const KRZAdapterInfo& adapter : *adapters) {
        in_addr address;
        address.s_addr = htonl(static_cast<uint32_t>(adapter.getIpAddress()));
        if (list.find("," + adapter.getName() + ",") != std::string::npos ||
            list.find("," + std::string(inet_ntoa(address)) + ",") != std::string::npos) {
            kept.push_back(adapter);
        }
    }
    adapters->swap(kept);
    return adapters;
}

unsigned long KRZAdapterInfo::getDefaultGateway() {
    return KRZNetworkBackend::active()->defaultGateway();
}

unsigned long KRZAdapterInfo::getIpAddress() const {
    return ipAddress_;
}
unsigned long KRZAdapterInfo::getMask() const {
    return mask_;
}
unsigned long KRZAdapterInfo::getIndex() const {
    return index_;
}
KRZMacAddress KRZAdapterInfo::getMacAddress() const {
    return mac_;
}
const std::string& KRZAdapterInfo::getName() const {
    return name_;
}
