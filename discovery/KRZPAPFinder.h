/// \file
/// Abstract finder and, through static members, the driver that runs the finders for a list of
/// configurators with cancellation.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "krzcompat/krzexport.h"

#include <boost/shared_ptr.hpp>

#include <vector>

/// The configurators that finders work on.
typedef std::vector<boost::shared_ptr<KRZPAPConfigurator>> KRZPAPConfiguratorVector;

/// A finder locates known devices again by their MAC addresses (after their addresses changed)
/// and gives each configurator its current address (KRZPAPConfigurator::setAddr). Each
/// configurator names its finder (KRZPAPConfigurator::getFinder; the library's KRZPArpAPFinder
/// unless a module overrides it). Hosts call findAllAps for a list, or findAP on one
/// configurator.
///
/// - Ownership: finders are not owned by their callers: the ARP finder is one process-wide
///   object; a module's finder must live as long as the configurators that name it.
/// - Threads: findAllAps runs on its caller's thread; cancelScan may be called from any thread
///   at any time and never waits for a sweep; the running finder's cancel is then called
///   concurrently with its findAps.
/// - Cancel: reaches the running finder; findAllAps throws code 14 before the next group of
///   configurators (what earlier groups found is not returned). A cancel with nothing running
///   is forgotten.
/// - Time-outs: the ARP finder waits two seconds for answers on each usable adapter.
class KRZPAP_API KRZPAPFinder {
    friend class KRZPAPConfigurator;

  public:
    /// The base has no state.
    KRZPAPFinder();
    /// Trivial: the base has no state.
    KRZPAPFinder(const KRZPAPFinder& other);
    /// Trivial: the base has no state.
    KRZPAPFinder& operator=(const KRZPAPFinder& other);
    virtual ~KRZPAPFinder();  // 0

    /// Runs each configurator's finder (grouped by finder); returns those found, addresses set.
    /// A KRZException from a configurator's getFinder or a finder's findAps is logged and the
    /// others go on: those configurators are then simply not in the result. Cancellation (code
    /// 14) is thrown before the next group once cancelScan was called.
    static KRZPAPConfiguratorVector findAllAps(const KRZPAPConfiguratorVector& configurators);
    /// From any thread: cancels the running findAllAps (see the class's contract).
    static void cancelScan();

  private:
    /// Finds several devices in one sweep: calls setAddr on each configurator found, moves it
    /// from \p configurators to the result; those not found stay in \p configurators.
    virtual KRZPAPConfiguratorVector findAps(KRZPAPConfiguratorVector& configurators) = 0;  // 1
    /// Finds one device: true with setAddr done, false when not found.
    virtual bool findAp(KRZPAPConfigurator& configurator) = 0;  // 2

  public:
    /// From another thread, while findAps runs: stop soon. Must not block.
    virtual void cancel() = 0;  // 3
    /// Clears a cancel; called before each findAps of findAllAps.
    virtual void uncancel() = 0;  // 4
};
