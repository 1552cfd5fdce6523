// The scanners' side of the scan observers: what a scanner running inside runScan reports as it
// finds it. Outside a scan on the calling thread (scanForThisAP on its own, say) nothing is
// reported. Not exported: only the library's own scanners report.
#pragma once

#include "discovery/KRZPAPScanner.h"

namespace krzpscanreport {

void report(KRZPScanResult::Kind kind, const in_addr& address, const KRZMacAddress& mac,
            const boost::shared_ptr<KRZPAPConfigurator>& configurator =
                boost::shared_ptr<KRZPAPConfigurator>());

}  // namespace krzpscanreport
