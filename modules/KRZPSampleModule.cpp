#include "KRZPSampleModule.h"

KRZPSampleModule::KRZPSampleModule(const KRZPSampleFamily& sampleFamily)
    : family(sampleFamily), name(sampleFamily.vendor), version("1.0") {
    registerModule(this);
    registerDefaultIp(inet_addr(family.factoryAddress.c_str()));
}

void KRZPSampleModule::setLibraryVersion(const std::string& libVersion) {
    libraryVersion = libVersion;
}

std::string& KRZPSampleModule::getName() {
    return name;
}

std::string& KRZPSampleModule::getVersion() {
    return version;
}

boost::shared_ptr<KRZPAPConfigurator> KRZPSampleModule::_createConf(const std::string& first,
                                                                    const std::string& second,
                                                                    std::vector<KRZMacAddress> macs,
                                                                    const std::string& username,
                                                                    const std::string& password) {
    if (!family.isVendor(first))
        return boost::shared_ptr<KRZPAPConfigurator>();
    std::string model = family.knownModel(second);
    if (model.empty())
        return boost::shared_ptr<KRZPAPConfigurator>();
    return family.forHost(model, std::move(macs), username, password);
}
