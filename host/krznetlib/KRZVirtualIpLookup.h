// Finds through which adapter a device with one of the given MAC addresses answers for an address.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"
#include "platform/krzplatform.h"

#include <vector>

class KRZNETLIB_API KRZVirtualIpLookup {
  public:
    KRZVirtualIpLookup();
    ~KRZVirtualIpLookup();

    void setIpAddress(const in_addr& address);
    // True when found within the time-out; getInterfaceMac() then names the adapter.
    bool lookup(int timeoutMs, const std::vector<KRZMacAddress>& macs);
    KRZMacAddress getInterfaceMac() const;

  private:
    in_addr address_;
    KRZMacAddress interfaceMac_;
};
