// One device family of the sample module: its names, the models it knows, what its factory
// settings are, and how its configurators are built.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "platform/krzplatform.h"

#include <boost/shared_ptr.hpp>

#include <string>
#include <vector>

struct KRZPSampleFamily {
    typedef boost::shared_ptr<KRZPAPConfigurator> (*ForAddress)(const std::string& model,
                                                                const in_addr& addr,
                                                                const KRZMacAddress& mac);
    typedef boost::shared_ptr<KRZPAPConfigurator> (*ForHost)(const std::string& model,
                                                             std::vector<KRZMacAddress> macs,
                                                             const std::string& user,
                                                             const std::string& password);

    std::string vendor;               // as getVendorName() reports it
    std::vector<std::string> models;  // as getModelName() reports them
    std::string factoryAddress;       // dotted
    std::string factorySsid;
    ForAddress forAddress;
    ForHost forHost;

    // The model's name as this family spells it, compared without regard to case; empty for a
    // model the family does not know.
    std::string knownModel(const std::string& model) const;
    bool isVendor(const std::string& vendor) const;

    static const KRZPSampleFamily& acme();
    static const KRZPSampleFamily& borealis();
    static const KRZPSampleFamily& corvid();
};
