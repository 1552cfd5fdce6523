/// \file
/// One network adapter as the active network backend reports it.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"

#include <boost/shared_ptr.hpp>

#include <string>
#include <vector>

/// One network adapter as the active network backend (the lab by default, or the machine's own
/// adapters) reports it. A plain value type; no locking.
class KRZNETLIB_API KRZAdapterInfo {
  public:
    /// No name, index 0, no address.
    KRZAdapterInfo();
    /// Address and mask in host byte order (first octet in the most significant byte).
    KRZAdapterInfo(const std::string& name, unsigned long index, unsigned long ipAddress,
                   unsigned long mask, const KRZMacAddress& mac);

    /// The adapters of the active network backend, in its order; only those the setting
    /// KRZ_ADAPTERS names (names or dotted addresses, comma-separated) when it is set. A new
    /// list on every call, owned by the caller; may be called from any thread.
    static boost::shared_ptr<std::vector<KRZAdapterInfo>> getAdapterInfo();
    /// The router this computer reaches other networks through (the default route's gateway) on
    /// the active network backend, in host byte order; 0 when there is none. May be called from
    /// any thread.
    static unsigned long getDefaultGateway();

    /// Host byte order; all ones or 0 when the adapter has no address.
    unsigned long getIpAddress() const;
    /// Host byte order.
    unsigned long getMask() const;
    /// Interface index as used by the IP Helper tables.
    unsigned long getIndex() const;
    /// The adapter's own MAC.
    KRZMacAddress getMacAddress() const;
    /// The system's name for the adapter.
    const std::string& getName() const;

  private:
    std::string name_;
    unsigned long index_;
    unsigned long ipAddress_;
    unsigned long mask_;
    KRZMacAddress mac_;
};
