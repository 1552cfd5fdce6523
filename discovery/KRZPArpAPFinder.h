// The library's finder: ARP sweeps of every usable adapter, matched against each configurator's
// MAC list.
#pragma once

#include "discovery/KRZPAPFinder.h"
#include "krzcompat/krzexport.h"

#include <atomic>

class KRZPAP_API KRZPArpAPFinder : public KRZPAPFinder {
  public:
    KRZPArpAPFinder();
    KRZPArpAPFinder(const KRZPArpAPFinder& other);
    KRZPArpAPFinder& operator=(const KRZPArpAPFinder& other);
    ~KRZPArpAPFinder() override;

    static KRZPAPFinder* getInstance();

    // Public here so that hosts and tests can call them on the ARP finder directly.
    KRZPAPConfiguratorVector findAps(KRZPAPConfiguratorVector& configurators) override;
    bool findAp(KRZPAPConfigurator& configurator) override;
    void cancel() override;
    void uncancel() override;

  private:
    std::atomic<bool> cancelled;
};
