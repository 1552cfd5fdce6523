#include "krznetlib/KRZAdapterInfo.h"

#include "krznetlib/KRZNetworkBackend.h"

#include <boost/make_shared.hpp>

KRZAdapterInfo::KRZAdapterInfo() : index_(0), ipAddress_(0), mask_(0) {}

KRZAdapterInfo::KRZAdapterInfo(const std::string& name, unsigned long index,
                               unsigned long ipAddress, unsigned long mask,
                               const KRZMacAddress& mac)
    : name_(name), index_(index), ipAddress_(ipAddress), mask_(mask), mac_(mac) {}

boost::shared_ptr<std::vector<KRZAdapterInfo>> KRZAdapterInfo::getAdapterInfo() {
    return boost::make_shared<std::vector<KRZAdapterInfo>>(KRZNetworkBackend::active()->adapters());
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
