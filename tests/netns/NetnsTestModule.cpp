// A module that knows one kind of device: the test web host in a network namespace. It lets the
// namespace tests check discovery end to end without the sample module's device families.
#include "core/KRZPAPModule.h"
#include "discovery/KRZPHttpScanner.h"
#include "webconf/KRZPHttpConfigurator.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

namespace {

class NetnsTestConfigurator : public KRZPHttpConfigurator {
  public:
    NetnsTestConfigurator(const in_addr& address, const KRZMacAddress& mac)
        : KRZPHttpConfigurator(address, mac) {}
    std::string getVendorName() const override { return "Testhost"; }
    std::string getModelName() const override { return "NS-1"; }
    std::pair<std::string, std::string> getDefaultCredentials() const override { return {}; }
    bool usesUsername() const override { return false; }
    int getMaxPasswordLen() const override { return 32; }

  private:
    void _retrieveAttributes() override {}
};

class NetnsTestRecognizer : public KRZPHttpRecognizer {
  public:
    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address, const std::string&,
                                                    const std::string& body,
                                                    const KRZMacAddress& mac) override {
        if (body.find("Netns Test Device") == std::string::npos) {
            return boost::shared_ptr<KRZPAPConfigurator>();
        }
        return boost::make_shared<NetnsTestConfigurator>(address, mac);
    }
};

// Registered while the library loads, next to the test module (tests/core/TestModule.cpp) that
// this library is built with.
const struct Registrar {
    Registrar() {
        KRZPHttpScanner::registerHttpRecognizer(boost::make_shared<NetnsTestRecognizer>(), 0);
    }
} registrar;

}  // namespace
