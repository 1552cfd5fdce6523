// A plug-in module library with one HTTP recognizer, for the tests of how a scan treats modules:
// built once per behaviour. With KRZ_TEST_RECOGNIZES it claims the replies whose body holds that
// word; with KRZ_TEST_THROWS_STD it throws a std::runtime_error on every reply, with
// KRZ_TEST_THROWS_OTHER something that is not a std::exception.
#include "core/KRZPAPConfigurator.h"
#include "discovery/KRZPHttpScanner.h"
#include "webconf/KRZPHttpConfigurator.h"

#include <boost/make_shared.hpp>

#include <stdexcept>

namespace {

class WordConfigurator : public KRZPHttpConfigurator {
  public:
    WordConfigurator(const in_addr& address, const KRZMacAddress& mac)
        : KRZPHttpConfigurator(address, mac) {}
    std::string getVendorName() const override { return "Test"; }
    std::string getModelName() const override { return KRZ_TEST_MODEL; }
    std::pair<std::string, std::string> getDefaultCredentials() const override { return {}; }
    bool usesUsername() const override { return false; }
    int getMaxPasswordLen() const override { return 32; }

  private:
    void _retrieveAttributes() override {}
};

struct NotAStdException {
    int code;
};

class TestRecognizer : public KRZPHttpRecognizer {
  public:
    boost::shared_ptr<KRZPAPConfigurator> recognize(const in_addr& address, const std::string&,
                                                    const std::string& body,
                                                    const KRZMacAddress& mac) override {
#if defined(KRZ_TEST_THROWS_STD)
        (void)address, (void)body, (void)mac;
        throw std::runtime_error("the page has no title");
#elif defined(KRZ_TEST_THROWS_OTHER)
        (void)address, (void)body, (void)mac;
        throw NotAStdException{3};
#else
        if (body.find(KRZ_TEST_RECOGNIZES) == std::string::npos) {
            return boost::shared_ptr<KRZPAPConfigurator>();
        }
        return boost::make_shared<WordConfigurator>(address, mac);
#endif
    }
};

// Registered while the library loads; the same priority for every variant, so that they are
// asked in the order the module list names them.
const struct Registrar {
    Registrar() {
        KRZPHttpScanner::registerHttpRecognizer(boost::make_shared<TestRecognizer>(), 0);
    }
} registrar;

}  // namespace
