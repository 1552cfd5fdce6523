/// \file
/// The host's record of one network seen in a wireless scan.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"
#include "krzutil/KRZSsid.h"

#include <string>

/// The host's record of one network seen in a wireless scan; the library passes it to the
/// factory-defaults recognizers (KRZPDefaultsRecognizer) without looking inside. A plain record.
class KRZUTIL_API KRZAccessPointWlanInfo {
  public:
    /// Empty, numbers 0, no privacy.
    KRZAccessPointWlanInfo();
    virtual ~KRZAccessPointWlanInfo();

    KRZSsid ssid;         ///< The network's name.
    KRZMacAddress bssid;  ///< The access point's MAC.
    int channel;          ///< 0 when unknown.
    int signalDbm;        ///< 0 when unknown.
    bool privacy;         ///< The network asks for encryption.
    std::string rsnInfo;  ///< "WPA", "WPA2", "WEP" or empty as the scan reported it.
};
