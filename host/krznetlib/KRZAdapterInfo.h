// One network adapter as the active network backend reports it.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"

#include <boost/shared_ptr.hpp>

#include <string>
#include <vector>

class KRZNETLIB_API KRZAdapterInfo {
  public:
    KRZAdapterInfo();
    // Address and mask in host byte order (first octet in the most significant byte).
    KRZAdapterInfo(const std::string& name, unsigned long index, unsigned long ipAddress,
                   unsigned long mask, const KRZMacAddress& mac);

    // The adapters of the active network backend, in its order.
    static boost::shared_ptr<std::vector<KRZAdapterInfo>> getAdapterInfo();

    // Host byte order; all ones or 0 when the adapter has no address.
    unsigned long getIpAddress() const;
    unsigned long getMask() const;
    // Interface index as used by the IP Helper tables.
    unsigned long getIndex() const;
    KRZMacAddress getMacAddress() const;
    const std::string& getName() const;

  private:
    std::string name_;
    unsigned long index_;
    unsigned long ipAddress_;
    unsigned long mask_;
    KRZMacAddress mac_;
};
