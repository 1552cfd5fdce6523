// The scanners' side of the scan observers: what a scanner running inside runScan reports as it
// finds it. Outside a scan on the calling thread (scanForThisAP on its own, say) nothing is
// reported. Not exported: only the library's own scanners report.
//
// And a host's own cancel for the scans on one thread (the device service's): the driver looks
// at it before each scanner and the library's scanners in each of their waits, beside their own
// flags, so that a cancel is never lost and ends the scan at once. A scan that no host cancel
// covers behaves exactly as KRZPAPScanner's contract says.
#pragma once

#include "discovery/KRZPAPScanner.h"

#include <atomic>

namespace krzpscanreport {

void report(KRZPScanResult::Kind kind, const in_addr& address, const KRZMacAddress& mac,
            const boost::shared_ptr<KRZPAPConfigurator>& configurator =
                boost::shared_ptr<KRZPAPConfigurator>());

/// While it lives, \p flag is the host's cancel for every scan on the constructing thread. The
/// device service's library uses it, hence exported (in the private part of the library's
/// interface).
class KRZPAP_API HostCancel {
  public:
    explicit HostCancel(const std::atomic<bool>& flag);
    ~HostCancel();
    HostCancel(const HostCancel&) = delete;
    HostCancel& operator=(const HostCancel&) = delete;

  private:
    const std::atomic<bool>* outer_;
};

/// True when a host's cancel covers this thread and is set.
bool hostCancelled();

/// Sleeps \p milliseconds, in short slices that end early once hostCancelled() holds; one plain
/// sleep where no host's cancel covers the thread.
void pause(unsigned milliseconds);

}  // namespace krzpscanreport
