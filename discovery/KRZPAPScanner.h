/// \file
/// Abstract scanner and, through static members, the scan driver: the registry of scanners, the
/// one operation that runs them all in turn, cancellation from another thread, and the scan
/// observers.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"
#include "krzcompat/krznettypes.h"

#include <boost/shared_ptr.hpp>

#include <functional>
#include <list>

/// The configurators a scan found, in scanner order.
typedef std::list<boost::shared_ptr<KRZPAPConfigurator>> KRZPAPConfiguratorList;

/// One result of a running scan, handed to the scan observers as soon as it is found.
struct KRZPScanResult {
    /// What answered.
    enum Kind {
        /// A recognizer made a configurator for the host (as the scanner accepts it).
        RECOGNIZED,
        /// The host answered HTTP, but no recognizer claimed the reply.
        UNRECOGNIZED,
        /// The host answered ARP only: no complete HTTP reply came.
        ARP_ONLY
    };
    Kind kind;               ///< What answered.
    KRZInAddrValue address;  ///< The host's address (network byte order).
    KRZMacAddress mac;       ///< The host's MAC address, as ARP gave it.
    /// The configurator that the scan returns for the host; RECOGNIZED only.
    boost::shared_ptr<KRZPAPConfigurator> configurator;  // RECOGNIZED only
};
/// A scan observer: see KRZPAPScanner::registerScanObserver.
typedef std::function<void(const KRZPScanResult&)> KRZPScanObserver;

/// A scanner, and through static members the scan driver that runs every registered scanner.
///
/// - Hosts: runScan on any one thread, cancelScan from another, registerScanObserver to hear
///   results as they come. The library registers its own KRZPHttpScanner when it loads: a host
///   registers none for the same job (every device would be found twice).
/// - Modules may register a scanner of their own (registerScanner, while their library loads);
///   it runs after the library's on every scan. Its scan runs on runScan's thread; its cancel
///   comes from another thread, concurrently with scan.
/// - Ownership: the registry shares ownership of each scanner (boost::shared_ptr) and keeps it
///   while the library is loaded. What runScan returns belongs to the caller.
/// - Cancel: cancelScan reaches the running scanner's cancel (the library's scanner then
///   throws code 14, which runScan logs and skips) and makes runScan throw code 14 before the
///   next scanner starts. A cancel with no scan running is forgotten. With the library's
///   scanner alone, a cancelled scan thus ends with code 18; its results are discarded.
/// - Throws KRZPAPCException: 17 while another scan runs, 14 cancelled between scanners, 18 when
///   no scanner saw any network. A scanner's own KRZPAPCException is logged and that scanner's
///   results skipped.
/// - Time-outs: the library's scanner takes a few seconds per adapter (see KRZPHttpScanner).
class KRZPAP_API KRZPAPScanner {
  public:
    /// Registers nothing: see registerScanner.
    KRZPAPScanner();
    /// Trivial: the base has no state.
    KRZPAPScanner(const KRZPAPScanner& other);
    /// Trivial: the base has no state.
    KRZPAPScanner& operator=(const KRZPAPScanner& other);

    virtual ~KRZPAPScanner();
    /// One complete sweep, on runScan's thread; may throw KRZPAPCException (code 14 once
    /// cancelled).
    virtual void scan() = 0;
    /// The configurators the last sweep found.
    virtual KRZPAPConfiguratorList getAPList() = 0;
    /// True when the last sweep reached a network at all.
    virtual bool getConnectivity() = 0;
    /// From another thread, while scan runs: asks the sweep to stop soon. Must not block.
    virtual void cancel() = 0;
    /// Clears a cancel request; called just before scan.
    virtual void uncancel() = 0;

    /// Appends a scanner to the registry (an empty pointer is ignored; no duplicate check, no
    /// lock): from module code while its library loads, never during a scan.
    static void registerScanner(boost::shared_ptr<KRZPAPScanner> scanner);
    /// Runs every registered scanner once on the caller's thread; one scan at a time (code 17).
    /// Returns every scanner's configurators in order, without removing duplicates.
    static KRZPAPConfiguratorList runScan();
    /// From any thread at any time: cancels the scan in progress (see the class's contract).
    static void cancelScan();

    /// Observers hear each result of every later scan as it is found, on the scanning thread,
    /// while runScan runs; runScan's own results and failures are unchanged (a cancelled scan
    /// still discards them there, so what an observer heard is what the host keeps). An observer
    /// must return soon and must not throw (what it throws is logged and dropped). Registration
    /// may happen at any time, also from an observer; it takes effect with the next result.
    /// Returns a handle for unregisterScanObserver.
    static int registerScanObserver(KRZPScanObserver observer);
    /// Removes the observer; from any thread, at any time (a result being delivered at that
    /// moment may still reach it). An unknown handle does nothing.
    static void unregisterScanObserver(int handle);
};
