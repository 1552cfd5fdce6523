#include "KRZPSampleRecognizers.h"

#include "KRZPSampleConfigurator.h"
#include "KRZPSampleFamily.h"

#include "core/KRZPAPModule.h"
#include "platform/krzplatform.h"

namespace {

// The text between `before` and the next `end`, or empty when either is missing.
std::string between(const std::string& text, const std::string& before, const std::string& end) {
    size_t start = text.find(before);
    if (start == std::string::npos)
        return std::string();
    start += before.size();
    size_t stop = text.find(end, start);
    return stop == std::string::npos ? std::string() : text.substr(start, stop - start);
}

boost::shared_ptr<KRZPAPConfigurator> build(const KRZPSampleFamily& family,
                                            const std::string& model, const in_addr& address,
                                            const KRZMacAddress& mac) {
    std::string known = family.knownModel(model);
    if (known.empty())
        return boost::shared_ptr<KRZPAPConfigurator>();
    return family.forAddress(known, address, mac);
}

}  // namespace

boost::shared_ptr<KRZPAPConfigurator> KRZPAcmeRecognizer::recognize(const in_addr& address,
                                                                    const std::string& headers,
                                                                    const std::string& body,
                                                                    const KRZMacAddress& mac) {
    std::string model = between(headers, "realm=\"Acme ", "\"");
    if (model.empty())
        model = between(body, "<title>Acme ", " - ");
    return build(KRZPSampleFamily::acme(), model, address, mac);
}

boost::shared_ptr<KRZPAPConfigurator> KRZPBorealisRecognizer::recognize(const in_addr& address,
                                                                        const std::string&,
                                                                        const std::string& body,
                                                                        const KRZMacAddress& mac) {
    std::string title = between(body, "<title>Borealis ", "</title>");
    auto conf = build(KRZPSampleFamily::borealis(), title.substr(0, title.find_first_of(" &")),
                      address, mac);
    // The login page's footer names the firmware, so a scan can show it without logging in.
    std::string firmware = between(body, ">Firmware ", "<");
    auto sample = boost::dynamic_pointer_cast<KRZPSampleConfigurator>(conf);
    if (sample && !firmware.empty())
        sample->noteFirmwareRevision(firmware);
    return conf;
}

const char* const KRZPCorvidRecognizer::kStyleSheet = "/style.css";

const std::map<std::string, std::string>& KRZPCorvidRecognizer::modelsByDigest() {
    static const std::map<std::string, std::string> models = {
        {"9b63bc2c3a3e0e8bf45469adbb2cc4a3", "CV-10"},
        {"593cca66b831588aa024df5bd14f8110", "CV-20"},
    };
    return models;
}

boost::shared_ptr<KRZPAPConfigurator> KRZPCorvidRecognizer::recognize(const in_addr& address,
                                                                      const std::string& headers,
                                                                      const std::string& body,
                                                                      const KRZMacAddress& mac) {
    if (headers.find("Server: Corvid-") == std::string::npos &&
        body.find("<title>Corvid Broadband Router</title>") == std::string::npos) {
        return boost::shared_ptr<KRZPAPConfigurator>();
    }
    std::string digest;
    try {
        digest = urlHash(address, kStyleSheet);
    } catch (const KRZPAPCException& e) {
        // One device that fails its second request must not end the whole sweep.
        KRZPAPModule::log(L"Corvid at %hs: no style sheet: %s\n", inet_ntoa(address),
                          e.getLogLine().c_str());
        return boost::shared_ptr<KRZPAPConfigurator>();
    }
    std::map<std::string, std::string>::const_iterator it = modelsByDigest().find(digest);
    if (it == modelsByDigest().end()) {
        KRZPAPModule::log(L"Corvid at %hs: unknown style sheet %hs\n", inet_ntoa(address),
                          digest.c_str());
        return boost::shared_ptr<KRZPAPConfigurator>();
    }
    return build(KRZPSampleFamily::corvid(), it->second, address, mac);
}
