// The host's record of one network seen in a wireless scan; the library passes it to the
// factory-defaults recognizers without looking inside.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"
#include "krzutil/KRZSsid.h"

#include <string>

class KRZUTIL_API KRZAccessPointWlanInfo {
  public:
    KRZAccessPointWlanInfo();
    virtual ~KRZAccessPointWlanInfo();

    KRZSsid ssid;
    KRZMacAddress bssid;
    int channel;          // 0 when unknown
    int signalDbm;        // 0 when unknown
    bool privacy;         // the network asks for encryption
    std::string rsnInfo;  // "WPA", "WPA2", "WEP" or empty as the scan reported it
};
