// Abstract scanner and, through static members, the scan driver: the registry of scanners, the
// one operation that runs them all in turn, and cancellation from another thread.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "krzcompat/krzexport.h"
#include "krzutil/KRZMacAddress.h"
#include "krzcompat/krznettypes.h"

#include <boost/shared_ptr.hpp>

#include <functional>
#include <list>

typedef std::list<boost::shared_ptr<KRZPAPConfigurator>> KRZPAPConfiguratorList;

// One result of a running scan, handed to the scan observers as soon as it is found.
struct KRZPScanResult {
    enum Kind {
        // A recognizer made a configurator for the host (as the scanner accepts it).
        RECOGNIZED,
        // The host answered HTTP, but no recognizer claimed the reply.
        UNRECOGNIZED,
        // The host answered ARP only: no complete HTTP reply came.
        ARP_ONLY
    };
    Kind kind;
    KRZInAddrValue address;
    KRZMacAddress mac;
    boost::shared_ptr<KRZPAPConfigurator> configurator;  // RECOGNIZED only
};
typedef std::function<void(const KRZPScanResult&)> KRZPScanObserver;

class KRZPAP_API KRZPAPScanner {
  public:
    KRZPAPScanner();
    KRZPAPScanner(const KRZPAPScanner& other);
    KRZPAPScanner& operator=(const KRZPAPScanner& other);

    virtual ~KRZPAPScanner();
    virtual void scan() = 0;
    virtual KRZPAPConfiguratorList getAPList() = 0;
    virtual bool getConnectivity() = 0;
    virtual void cancel() = 0;
    virtual void uncancel() = 0;

    static void registerScanner(boost::shared_ptr<KRZPAPScanner> scanner);
    // Runs every registered scanner once on the caller's thread; one scan at a time (code 17).
    static KRZPAPConfiguratorList runScan();
    static void cancelScan();

    // Observers hear each result of every later scan as it is found, on the scanning thread,
    // while runScan runs; runScan's own results and failures are unchanged (a cancelled scan
    // still discards them there, so what an observer heard is what the host keeps). An observer
    // must return soon and must not throw (what it throws is logged and dropped). Registration
    // may happen at any time, also from an observer; it takes effect with the next result.
    // Returns a handle for unregisterScanObserver.
    static int registerScanObserver(KRZPScanObserver observer);
    static void unregisterScanObserver(int handle);
};
