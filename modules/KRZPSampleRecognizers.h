// The sample families' HTTP recognizers: each looks at a device's reply to "/" and builds the
// configurator for a model it knows.
#pragma once

#include "discovery/KRZPHttpRecognizer.h"
#include "platform/krzplatform.h"

#include <map>
#include <string>

// Acme answers "/" with 401 and names the model in the realm; without a password, in the title.
class KRZPAcmeRecognizer : public KRZPHttpRecognizer {
  public:
    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address,
                                                    const std::string& headers,
                                                    const std::string& body,
                                                    const KRZMacAddress& mac) override;
};

// Borealis answers "/" with its login page, whose title names the model.
class KRZPBorealisRecognizer : public KRZPHttpRecognizer {
  public:
    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address,
                                                    const std::string& headers,
                                                    const std::string& body,
                                                    const KRZMacAddress& mac) override;
};

// Every Corvid model serves the same "/"; the models differ in their style sheet, which is told
// apart by the digest of its body.
class KRZPCorvidRecognizer : public KRZPHttpRecognizer {
  public:
    static const char* const kStyleSheet;
    // Digest of the style sheet's body → model.
    static const std::map<std::string, std::string>& modelsByDigest();

    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address,
                                                    const std::string& headers,
                                                    const std::string& body,
                                                    const KRZMacAddress& mac) override;
};
