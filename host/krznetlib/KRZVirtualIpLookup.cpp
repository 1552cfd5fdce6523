#include "krznetlib/KRZVirtualIpLookup.h"

#include "krznetlib/KRZNetworkBackend.h"

KRZVirtualIpLookup::KRZVirtualIpLookup() {
    address_.s_addr = 0;
}
KRZVirtualIpLookup::~KRZVirtualIpLookup() = default;

void KRZVirtualIpLookup::setIpAddress(const in_addr& address) {
    address_ = address;
}

bool KRZVirtualIpLookup::lookup(int timeoutMs, const std::vector<KRZMacAddress>& macs) {
    KRZMacAddress found;
    if (!KRZNetworkBackend::active()->lookupInterface(address_, macs, timeoutMs, found)) {
        return false;
    }
    interfaceMac_ = found;
    return true;
}

KRZMacAddress KRZVirtualIpLookup::getInterfaceMac() const {
    return interfaceMac_;
}
