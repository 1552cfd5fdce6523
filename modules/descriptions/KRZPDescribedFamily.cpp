#include "KRZPDescribedFamily.h"

#include "KRZPDescribedConfigurator.h"

#include "http/KRZPAPComm.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

#include <cstdlib>
#include <memory>
#include <utility>

namespace {

// The header text and body of a further page, as the scan's probe of "/" reads its own.
void fetchPage(const in_addr& address, const std::string& path, std::string& headers,
               std::string& body) {
    std::unique_ptr<KRZPAPComm> comm(new KRZPAPComm(address));
    comm->openConnection(80, false);
    comm->writeGetRequest(path);
    comm->readResponseSynchronous();
    headers = comm->getResponseHeaders();
    body = comm->getResponseBody();
}

}  // namespace

KRZPDescribedModule::KRZPDescribedModule(std::shared_ptr<const krzdesc::Description> family)
    : description(std::move(family)), name(description->vendor), version("1.0") {}

void KRZPDescribedModule::enroll() {
    registerModule(this);
    if (!description->factoryAddress.empty())
        registerDefaultIp(inet_addr(description->factoryAddress.c_str()));
}

void KRZPDescribedModule::setLibraryVersion(const std::string&) {}

std::string& KRZPDescribedModule::getName() {
    return name;
}

std::string& KRZPDescribedModule::getVersion() {
    return version;
}

boost::shared_ptr<KRZPAPConfigurator> KRZPDescribedModule::_createConf(
    const std::string& first, const std::string& second, std::vector<KRZMacAddress> macs,
    const std::string& username, const std::string& password) {
    std::string model = description->knownModel(second);
    if (!description->isVendor(first) || model.empty())
        return boost::shared_ptr<KRZPAPConfigurator>();
    return boost::make_shared<KRZPDescribedConfigurator>(description, model, std::move(macs),
                                                         username, password);
}

KRZPDescribedRecognizer::KRZPDescribedRecognizer(std::shared_ptr<const krzdesc::Description> family)
    : description(std::move(family)) {}

boost::shared_ptr<KRZPAPConfigurator> KRZPDescribedRecognizer::recognize(const in_addr& address,
                                                                         const std::string& headers,
                                                                         const std::string& body,
                                                                         const KRZMacAddress& mac) {
    const krzdesc::Description& d = *description;
    boost::shared_ptr<KRZPAPConfigurator> none;
    if (d.probeStatus != 0) {
        size_t space = headers.find(' ');
        if (space == std::string::npos || std::atoi(headers.c_str() + space + 1) != d.probeStatus)
            return none;
    }
    std::string value;
    if (!d.match.empty()) {
        bool matched = false;
        for (const krzdesc::Pattern& p : d.match)
            matched = matched || p.find(headers, body, value);
        if (!matched)
            return none;
    }
    // The model and firmware may stand on a further page (a frame of the start page).
    std::string pageHeaders = headers, pageBody = body;
    if (!d.recognizePage.empty()) {
        try {
            fetchPage(address, d.recognizePage, pageHeaders, pageBody);
        } catch (const KRZPAPCException& e) {
            KRZPAPModule::log(L"%hs at %hs: no %hs: %s\n", d.vendor.c_str(), inet_ntoa(address),
                              d.recognizePage.c_str(), e.getLogLine().c_str());
            return none;
        }
    }
    std::string model;
    for (const krzdesc::Pattern& p : d.model)
        if (model.empty() && p.find(pageHeaders, pageBody, value))
            model = d.knownModel(value);
    if (!d.digestPage.empty()) {
        std::string digest;
        try {
            digest = urlHash(address, d.digestPage);
        } catch (const KRZPAPCException& e) {
            // One device that fails its second request must not end the whole sweep.
            KRZPAPModule::log(L"%hs at %hs: no %hs: %s\n", d.vendor.c_str(), inet_ntoa(address),
                              d.digestPage.c_str(), e.getLogLine().c_str());
            return none;
        }
        auto it = d.modelsByDigest.find(digest);
        if (it == d.modelsByDigest.end()) {
            KRZPAPModule::log(L"%hs at %hs: unknown %hs digest %hs\n", d.vendor.c_str(),
                              inet_ntoa(address), d.digestPage.c_str(), digest.c_str());
            return none;
        }
        model = d.knownModel(it->second);
    }
    if (d.model.empty() && d.digestPage.empty())
        model = d.models.front();  // the reply does not show it; the one model named stands
    if (model.empty())
        return none;
    auto conf = boost::make_shared<KRZPDescribedConfigurator>(description, model, address, mac);
    // A firmware revision on the probe's page shows in a scan without logging in.
    for (const krzdesc::Pattern& p : d.probeFirmware) {
        if (p.find(pageHeaders, pageBody, value)) {
            conf->noteFirmwareRevision(value);
            break;
        }
    }
    return conf;
}

KRZPDescribedDefaults::KRZPDescribedDefaults(const std::string& ssid) : factorySsid(ssid) {}

int KRZPDescribedDefaults::isFactoryDefaults(boost::shared_ptr<KRZAccessPointWlanInfo> info) {
    if (!info || info->ssid.getBytes() != factorySsid)
        return 0;
    bool open = !info->privacy && info->rsnInfo.empty();
    return open ? kFactory : kSecured;
}
