// The module object of one sample family. Constructing it (as a static object while the module
// library loads) registers it with the library, together with the family's factory address.
#pragma once

#include "KRZPSampleFamily.h"

#include "core/KRZPAPModule.h"

class KRZPSampleModule : public KRZPAPModule {
  public:
    explicit KRZPSampleModule(const KRZPSampleFamily& family);

    void setLibraryVersion(const std::string& version) override;
    std::string& getName() override;
    std::string& getVersion() override;
    // `first` is the vendor name and `second` the model name, as the configurator's
    // getVendorName() and getModelName() report them (letter case ignored). Null for any other
    // vendor or an unknown model.
    boost::shared_ptr<KRZPAPConfigurator> _createConf(const std::string& first,
                                                      const std::string& second,
                                                      std::vector<KRZMacAddress> macs,
                                                      const std::string& username,
                                                      const std::string& password) override;

  private:
    const KRZPSampleFamily& family;
    std::string name;
    std::string version;
    std::string libraryVersion;
};
