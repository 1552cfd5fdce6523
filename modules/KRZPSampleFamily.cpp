#include "KRZPSampleFamily.h"

#include "KRZPAcmeConfigurator.h"
#include "KRZPBorealisConfigurator.h"
#include "KRZPCorvidConfigurator.h"

#include <boost/make_shared.hpp>

#include <cctype>
#include <utility>

namespace {

bool sameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

template <typename Conf>
boost::shared_ptr<KRZPAPConfigurator> makeForAddress(const std::string& model, const in_addr& addr,
                                                     const KRZMacAddress& mac) {
    return boost::make_shared<Conf>(model, addr, mac);
}

template <typename Conf>
boost::shared_ptr<KRZPAPConfigurator> makeForHost(const std::string& model,
                                                  std::vector<KRZMacAddress> macs,
                                                  const std::string& user,
                                                  const std::string& password) {
    return boost::make_shared<Conf>(model, std::move(macs), user, password);
}

}  // namespace

std::string KRZPSampleFamily::knownModel(const std::string& model) const {
    for (const std::string& known : models) {
        if (sameText(known, model))
            return known;
    }
    return std::string();
}

bool KRZPSampleFamily::isVendor(const std::string& name) const {
    return sameText(vendor, name);
}

// Factory addresses and network names as the devices' manuals give them.
const KRZPSampleFamily& KRZPSampleFamily::acme() {
    static const KRZPSampleFamily family = {"Acme",
                                            {"AP-100", "AP-200"},
                                            "192.168.77.10",
                                            "ACME",
                                            &makeForAddress<KRZPAcmeConfigurator>,
                                            &makeForHost<KRZPAcmeConfigurator>};
    return family;
}

const KRZPSampleFamily& KRZPSampleFamily::borealis() {
    static const KRZPSampleFamily family = {"Borealis",
                                            {"BR-5400"},
                                            "192.168.77.20",
                                            "BOREALIS",
                                            &makeForAddress<KRZPBorealisConfigurator>,
                                            &makeForHost<KRZPBorealisConfigurator>};
    return family;
}

const KRZPSampleFamily& KRZPSampleFamily::corvid() {
    static const KRZPSampleFamily family = {"Corvid",
                                            {"CV-10", "CV-20"},
                                            "10.0.0.138",
                                            "corvid",
                                            &makeForAddress<KRZPCorvidConfigurator>,
                                            &makeForHost<KRZPCorvidConfigurator>};
    return family;
}
