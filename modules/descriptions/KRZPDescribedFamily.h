// What one loaded description contributes to the library: a module object (configurators by
// vendor and model), an HTTP recognizer and a factory-defaults recognizer.
#pragma once

#include "KRZPDescription.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPDefaultsRecognizer.h"
#include "discovery/KRZPHttpRecognizer.h"

#include <memory>
#include <string>

class KRZPDescribedModule : public KRZPAPModule {
  public:
    explicit KRZPDescribedModule(std::shared_ptr<const krzdesc::Description> description);

    // Registers this object (which must live as long as the process) and the family's factory
    // address with the library.
    void enroll();

    void setLibraryVersion(const std::string& version) override;
    std::string& getName() override;
    std::string& getVersion() override;
    // `first` is the vendor and `second` the model (letter case ignored); null for any other.
    boost::shared_ptr<KRZPAPConfigurator> _createConf(const std::string& first,
                                                      const std::string& second,
                                                      std::vector<KRZMacAddress> macs,
                                                      const std::string& username,
                                                      const std::string& password) override;

  private:
    std::shared_ptr<const krzdesc::Description> description;
    std::string name;
    std::string version;
};

// Claims a probe reply whose status and patterns the description's recognition names, for a model
// it knows (read from the reply, or from the digest of a further page).
class KRZPDescribedRecognizer : public KRZPHttpRecognizer {
  public:
    explicit KRZPDescribedRecognizer(std::shared_ptr<const krzdesc::Description> description);
    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address,
                                                    const std::string& headers,
                                                    const std::string& body,
                                                    const KRZMacAddress& mac) override;

  private:
    std::shared_ptr<const krzdesc::Description> description;
};

// The family's factory network name: +80 without security ("still at factory defaults"), -40
// with security (someone has been at it), 0 for any other name.
class KRZPDescribedDefaults : public KRZPDefaultsRecognizer {
  public:
    static const int kFactory = 80;
    static const int kSecured = -40;

    explicit KRZPDescribedDefaults(const std::string& factorySsid);
    int isFactoryDefaults(boost::shared_ptr<KRZAccessPointWlanInfo> info) override;

  private:
    std::string factorySsid;
};
