// A plug-in module library for the loader tests: its module registers itself, with a default
// address, from the constructor of a static object while the library loads. The platform loader's
// tests also find a function and a string store in it (TestModuleSymbols.cpp, Linux builds).
#include "core/KRZPAPModule.h"
#include "platform/krzplatform.h"

namespace {

class TestModule : public KRZPAPModule {
  public:
    TestModule() : name_(KRZ_TEST_MODULE_NAME), version_("7.1") {
        registerDefaultIp(inet_addr(KRZ_TEST_MODULE_IP));
        registerModule(this);
    }

    void setLibraryVersion(const std::string& version) override { libraryVersion_ = version; }
    std::string& getName() override { return name_; }
    std::string& getVersion() override { return version_; }
    boost::shared_ptr<KRZPAPConfigurator> _createConf(const std::string&, const std::string&,
                                                      std::vector<KRZMacAddress>,
                                                      const std::string&,
                                                      const std::string&) override {
        return boost::shared_ptr<KRZPAPConfigurator>();
    }

  private:
    std::string name_;
    std::string version_;
    std::string libraryVersion_;
};

TestModule instance;

}  // namespace
