// Abstract finder and, through static members, the driver that runs the finders for a list of
// configurators with cancellation.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "krzcompat/krzexport.h"

#include <boost/shared_ptr.hpp>

#include <vector>

typedef std::vector<boost::shared_ptr<KRZPAPConfigurator>> KRZPAPConfiguratorVector;

class KRZPAP_API KRZPAPFinder {
    friend class KRZPAPConfigurator;

  public:
    KRZPAPFinder();
    KRZPAPFinder(const KRZPAPFinder& other);
    KRZPAPFinder& operator=(const KRZPAPFinder& other);
    virtual ~KRZPAPFinder();  // 0

    // Runs each configurator's finder (grouped by finder); returns those found, addresses set.
    // A KRZException from a configurator's getFinder or a finder's findAps is logged and the
    // others go on: those configurators are then simply not in the result. Cancellation (code 14)
    // is thrown before the next group once cancelScan was called.
    static KRZPAPConfiguratorVector findAllAps(const KRZPAPConfiguratorVector& configurators);
    static void cancelScan();

  private:
    virtual KRZPAPConfiguratorVector findAps(KRZPAPConfiguratorVector& configurators) = 0;  // 1
    virtual bool findAp(KRZPAPConfigurator& configurator) = 0;                              // 2

  public:
    virtual void cancel() = 0;    // 3
    virtual void uncancel() = 0;  // 4
};
