// Everything the sample module library contributes, registered by static objects while the
// library loads: the host calls no entry point of ours.
#include "KRZPFactorySsidRecognizer.h"
#include "KRZPSampleModule.h"
#include "KRZPSampleRecognizers.h"

#include "discovery/KRZPHttpScanner.h"

#include <boost/make_shared.hpp>

namespace {

// Cheap recognizers first; Corvid asks the device for a second page.
const int kAcmePriority = 100;
const int kBorealisPriority = 200;
const int kCorvidPriority = 300;

struct SampleRegistration {
    SampleRegistration() {
        KRZPHttpScanner::registerHttpRecognizer(boost::make_shared<KRZPAcmeRecognizer>(),
                                                kAcmePriority);
        KRZPHttpScanner::registerHttpRecognizer(boost::make_shared<KRZPBorealisRecognizer>(),
                                                kBorealisPriority);
        KRZPHttpScanner::registerHttpRecognizer(boost::make_shared<KRZPCorvidRecognizer>(),
                                                kCorvidPriority);
        for (const KRZPSampleFamily* family :
             {&KRZPSampleFamily::acme(), &KRZPSampleFamily::borealis(),
              &KRZPSampleFamily::corvid()}) {
            KRZPDefaultsRecognizer::registerDefaultsRecognizer(
                boost::make_shared<KRZPFactorySsidRecognizer>(family->factorySsid));
        }
    }
};

// Module objects are never released: they live as long as the loaded library.
KRZPSampleModule acmeModule(KRZPSampleFamily::acme());
KRZPSampleModule borealisModule(KRZPSampleFamily::borealis());
KRZPSampleModule corvidModule(KRZPSampleFamily::corvid());
SampleRegistration registration;

}  // namespace
