// Factory-defaults recognizers: modules register them; the library polls them all for one network
// and returns the verdict of largest magnitude (the earlier-registered wins a tie).
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZAccessPointWlanInfo.h"

#include <boost/shared_ptr.hpp>

class KRZPAP_API KRZPDefaultsRecognizer {
  public:
    KRZPDefaultsRecognizer();
    KRZPDefaultsRecognizer(const KRZPDefaultsRecognizer& other);
    KRZPDefaultsRecognizer& operator=(const KRZPDefaultsRecognizer& other);
    virtual ~KRZPDefaultsRecognizer();

    // Magnitude is strength, 0 no opinion. Sign convention of this project's modules: positive
    // means "still at factory defaults", negative "changed from the factory defaults".
    virtual int isFactoryDefaults(boost::shared_ptr<KRZAccessPointWlanInfo> info) = 0;

    static void registerDefaultsRecognizer(boost::shared_ptr<KRZPDefaultsRecognizer> recognizer);
    static int isFactoryDefaultsAccessPoint(boost::shared_ptr<KRZAccessPointWlanInfo> info);
};
