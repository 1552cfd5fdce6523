/// \file
/// The library's finder: ARP sweeps of every usable adapter, matched against each configurator's
/// MAC list.
#pragma once

#include "discovery/KRZPAPFinder.h"
#include "krzcompat/krzexport.h"

#include <atomic>

/// The library's finder, named by every configurator unless a module overrides getFinder: on
/// each usable adapter (not 0.0.0.0, 255.255.255.255, 127.x or 169.254.x) it sends ARP requests
/// to the adapter's network (and, in findAps, to the modules' factory addresses), waits two
/// seconds for answers, and gives a configurator whose MAC list holds an answering MAC that
/// answer's address.
///
/// - Ownership: one process-wide object (getInstance), built when the library loads, shared by
///   every configurator; never delete it.
/// - Threads: sweeps may run on several threads at once; cancel may come from any thread.
/// - Cancel: findAps runs to its end; findAp throws code 14 after an adapter where the device
///   did not answer. The flag stays set until uncancel (the next findAllAps).
/// - Throws KRZPAPCException: 14 (findAp, cancelled), 5 when an adapter cannot send ARP.
class KRZPAP_API KRZPArpAPFinder : public KRZPAPFinder {
  public:
    /// Not cancelled. Hosts use getInstance instead.
    KRZPArpAPFinder();
    /// Copies the cancel flag.
    KRZPArpAPFinder(const KRZPArpAPFinder& other);
    /// Copies the cancel flag.
    KRZPArpAPFinder& operator=(const KRZPArpAPFinder& other);
    ~KRZPArpAPFinder() override;

    /// The process-wide ARP finder.
    static KRZPAPFinder* getInstance();

    // Public here so that hosts and tests can call them on the ARP finder directly.
    /// One sweep per usable adapter for all configurators; one answer may give its address to
    /// several configurators that share a MAC; each gets at most one address.
    KRZPAPConfiguratorVector findAps(KRZPAPConfiguratorVector& configurators) override;
    /// Adapter by adapter until the device answers (two seconds each).
    bool findAp(KRZPAPConfigurator& configurator) override;
    /// Sets the cancel flag; from any thread.
    void cancel() override;
    /// Clears the cancel flag.
    void uncancel() override;

  private:
    std::atomic<bool> cancelled;
};
