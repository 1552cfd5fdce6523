// Factory-defaults recognizer for a family whose devices leave the factory with a fixed network
// name and no wireless security. Positive means "still at factory defaults", negative "changed".
#pragma once

#include "discovery/KRZPDefaultsRecognizer.h"

#include <string>

class KRZPFactorySsidRecognizer : public KRZPDefaultsRecognizer {
  public:
    static const int kFactory = 80;
    static const int kSecured = -40;

    explicit KRZPFactorySsidRecognizer(const std::string& factorySsid);
    // kFactory for the factory name without security; kSecured for the factory name with
    // security (someone has been at it); 0 for any other name, which another family may know.
    int isFactoryDefaults(boost::shared_ptr<KRZAccessPointWlanInfo> info) override;

  private:
    std::string factorySsid;
};
