// A module for the Quillpress laser printers: a recognizer that claims their status page during a
// scan, and a configurator that reads their firmware revision. A printer has no wireless settings
// and no administrator account here, so every change is refused.
//
// Everything registers itself while the library loads: a host names the module in
// KRZ_VORTAN_APMODULE_DLLS and calls KRZPAPModule::loadModuleDlls().
#include <krzpapconfigu/core/KRZPAPModule.h>
#include <krzpapconfigu/discovery/KRZPHttpScanner.h>
#include <krzpapconfigu/html/KRZPHtmlParser.h>
#include <krzpapconfigu/webconf/KRZPHttpConfigurator.h>

#include <boost/make_shared.hpp>

#include <string>
#include <vector>

namespace {

const char* const kVendor = "Quillpress";

// The text between `before` and the next `end`; empty when either is missing.
std::string between(const std::string& text, const std::string& before, const std::string& end) {
    size_t start = text.find(before);
    if (start == std::string::npos)
        return std::string();
    start += before.size();
    size_t stop = text.find(end, start);
    return stop == std::string::npos ? std::string() : text.substr(start, stop - start);
}

class QuillpressConfigurator : public KRZPHttpConfigurator {
  public:
    QuillpressConfigurator(const in_addr& address, const KRZMacAddress& mac,
                           const std::string& model)
        : KRZPHttpConfigurator(address, mac), model(model) {}
    // Made by the module object, for a device that is not at hand yet (no address).
    QuillpressConfigurator(std::vector<KRZMacAddress> macs, const std::string& model)
        : KRZPHttpConfigurator(std::move(macs), "", ""), model(model) {}

    std::string getVendorName() const override { return kVendor; }
    std::string getModelName() const override { return model; }
    std::pair<std::string, std::string> getDefaultCredentials() const override {
        return std::make_pair(std::string(), std::string());
    }
    bool usesUsername() const override { return false; }
    int getMaxPasswordLen() const override { return 0; }

  private:
    // The status page answers without a login.
    bool _testLogin() override { return true; }

    void _retrieveAttributes() override {
        setupConnection();  // the credentials and a fresh cancel state for this operation
        setFirmwareRevision(between(fetch("/"), ">Firmware ", "<"));
    }

    // Nothing to change on a printer: the operations report failure, as for a refused change.
    bool _changeCredentials(const std::string&, const std::string&) override { return false; }
    bool _changeSSID(const KRZSsid&) override { return false; }
    bool _changeSecurityMode(_KRZPSecurityMode, boost::shared_ptr<KRZPKey>,
                             _KRZPEncryptionMode) override {
        return false;
    }

    // One page through the configurator's connection (opened by sendGetRequest, which also
    // honours cancelOperation and the connection's time-out).
    std::string fetch(const std::string& url) {
        sendGetRequest(url, std::map<std::string, std::string>(), std::string(), false);
        return getComm()->getResponseBody();
    }

    std::string model;
};

// Claims a reply whose title names a Quillpress printer.
class QuillpressRecognizer : public KRZPHttpRecognizer {
  public:
    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address, const std::string&,
                                                    const std::string& body,
                                                    const KRZMacAddress& mac) override {
        const std::string title = between(body, "<title>Quillpress ", " - ");
        if (title.empty())
            return boost::shared_ptr<KRZPAPConfigurator>();
        return boost::make_shared<QuillpressConfigurator>(address, mac, title);
    }
};

// The module object: makes a configurator by vendor and model name (KRZPAPModule::createConf).
class QuillpressModule : public KRZPAPModule {
  public:
    QuillpressModule() : name("Quillpress printers"), version("1.0") { registerModule(this); }

    void setLibraryVersion(const std::string& version) override { libraryVersion = version; }
    std::string& getName() override { return name; }
    std::string& getVersion() override { return version; }
    boost::shared_ptr<KRZPAPConfigurator> _createConf(const std::string& vendor,
                                                      const std::string& model,
                                                      std::vector<KRZMacAddress> macs,
                                                      const std::string&,
                                                      const std::string&) override {
        if (vendor != kVendor || model.empty())
            return boost::shared_ptr<KRZPAPConfigurator>();
        return boost::make_shared<QuillpressConfigurator>(std::move(macs), model);
    }

  private:
    std::string name;
    std::string version;
    std::string libraryVersion;
};

// After the shipped module's recognizers (100 to 300): a printer page never looks like a router's.
const int kRecognizerPriority = 500;

struct Registration {
    Registration() {
        KRZPHttpScanner::registerHttpRecognizer(boost::make_shared<QuillpressRecognizer>(),
                                                kRecognizerPriority);
    }
};

// Registered while the library loads; the library keeps the module object until the process ends.
QuillpressModule module;
Registration registration;

}  // namespace
