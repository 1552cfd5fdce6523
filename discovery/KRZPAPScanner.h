// Abstract scanner and, through static members, the scan driver: the registry of scanners, the
// one operation that runs them all in turn, and cancellation from another thread.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "krzcompat/krzexport.h"

#include <boost/shared_ptr.hpp>

#include <list>

typedef std::list<boost::shared_ptr<KRZPAPConfigurator>> KRZPAPConfiguratorList;

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
};
