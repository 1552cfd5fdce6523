/// \file
/// Factory-defaults recognizers: modules register them; the library polls them all for one
/// network and returns the verdict of largest magnitude (the earlier-registered wins a tie).
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZAccessPointWlanInfo.h"

#include <boost/shared_ptr.hpp>

/// A module's judgement whether a network seen in a wireless scan is still at its factory
/// settings (default SSID, no security, ...), and through static members the registry that asks
/// them all.
///
/// - Ownership: the registry shares ownership (boost::shared_ptr) for the life of the library.
/// - Threads: register while the module library loads; isFactoryDefaultsAccessPoint then runs on
///   its caller's thread and may be called from several threads if the recognizers allow it.
/// - Throws: what a recognizer throws passes to the caller. No network, no time-out.
class KRZPAP_API KRZPDefaultsRecognizer {
  public:
    /// The base has no state.
    KRZPDefaultsRecognizer();
    /// Trivial: the base has no state.
    KRZPDefaultsRecognizer(const KRZPDefaultsRecognizer& other);
    /// Trivial: the base has no state.
    KRZPDefaultsRecognizer& operator=(const KRZPDefaultsRecognizer& other);
    virtual ~KRZPDefaultsRecognizer();

    /// The verdict for one network record.
    /// Magnitude is strength, 0 no opinion. Sign convention of this project's modules: positive
    /// means "still at factory defaults", negative "changed from the factory defaults".
    virtual int isFactoryDefaults(boost::shared_ptr<KRZAccessPointWlanInfo> info) = 0;

    /// From module code while its library loads; no lock.
    static void registerDefaultsRecognizer(boost::shared_ptr<KRZPDefaultsRecognizer> recognizer);
    /// Asks every registered recognizer: the verdict of largest magnitude (the earlier-registered
    /// wins a tie); 0 when none has an opinion or none is registered.
    static int isFactoryDefaultsAccessPoint(boost::shared_ptr<KRZAccessPointWlanInfo> info);
};
