#include "CoreTestSupport.h"

#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZMiscUtil.h"
#include "platform/krzprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

using krztest::FakeConfigurator;
using krztest::LogCapture;
using krztest::thrownBy;

namespace {

typedef std::vector<std::string> Lines;

// A module whose factory answers only for its own key (other tests' modules stay registered in
// the process, so each test uses keys of its own).
class KeyedModule : public KRZPAPModule {
  public:
    KeyedModule(const std::string& name, const std::string& key) : name_(name), key_(key) {}

    static void add(KRZPAPModule* module) { registerModule(module); }
    static void addIp(const char* dotted) { registerDefaultIp(inet_addr(dotted)); }

    void setLibraryVersion(const std::string& version) override { libraryVersion = version; }
    std::string& getName() override { return name_; }
    std::string& getVersion() override { return version_; }
    boost::shared_ptr<KRZPAPConfigurator> _createConf(const std::string& first,
                                                      const std::string& second,
                                                      std::vector<KRZMacAddress> macs,
                                                      const std::string& username,
                                                      const std::string& password) override {
        if (first != key_) {
            return boost::shared_ptr<KRZPAPConfigurator>();
        }
        ++calls;
        seen = Lines{first, second, username, password};
        seenMacs = macs;
        if (throws) {
            throw std::runtime_error("factory failure");
        }
        return result;
    }

    std::string libraryVersion;
    int calls = 0;
    Lines seen;
    std::vector<KRZMacAddress> seenMacs;
    boost::shared_ptr<KRZPAPConfigurator> result;
    bool throws = false;

  private:
    std::string name_;
    std::string version_ = "2.5";
    std::string key_;
};

std::vector<unsigned long> onlyThese(const std::vector<unsigned long>& ips,
                                     const std::vector<const char*>& wanted) {
    std::vector<unsigned long> result;
    for (unsigned long address : ips) {
        for (const char* dotted : wanted) {
            if (address == inet_addr(dotted)) {
                result.push_back(address);
            }
        }
    }
    return result;
}

void useModuleSetting(const char* value) {
    krzprocess::unsetEnvironment("KRZ_SETTINGS_FILE");
    if (value == nullptr) {
        krzprocess::unsetEnvironment("KRZ_VORTAN_APMODULE_DLLS");
    } else {
        krzprocess::setEnvironment("KRZ_VORTAN_APMODULE_DLLS", value);
    }
    KRZSettings::reload();
}

TEST(KRZPAPModule, RegistrationLogsAndKeepsOrder) {
    LogCapture log;
    // The registry keeps the pointer for the life of the process.
    static KeyedModule module("probe", "registration");
    KeyedModule::add(&module);
    EXPECT_EQ("1.0", module.libraryVersion);

    KeyedModule::addIp("192.168.77.2");
    KeyedModule::addIp("192.168.77.1");
    KeyedModule::addIp("192.168.77.2");
    EXPECT_EQ((std::vector<unsigned long>{inet_addr("192.168.77.2"), inet_addr("192.168.77.1")}),
              onlyThese(KRZPAPModule::getDefaultIps(), {"192.168.77.1", "192.168.77.2"}));
    EXPECT_EQ((Lines{"Registering module probe version 2.5\n",
                     "KRZPAPModule::registerDefaultIp(): registering default IP 192.168.77.2\n",
                     "KRZPAPModule::registerDefaultIp(): registering default IP 192.168.77.1\n",
                     "KRZPAPModule::registerDefaultIp(): registering default IP 192.168.77.2\n"}),
              log.newEntries());
}

TEST(KRZPAPModule, CreateConfAsksModulesInOrderUntilOneAnswers) {
    LogCapture log;
    log.newEntries();
    static KeyedModule declines("declines", "K1");
    static KeyedModule accepts("accepts", "K1");
    static KeyedModule alsoAccepts("also-accepts", "K1");
    static KeyedModule thrower("thrower", "K2");
    static KeyedModule afterThrower("after-thrower", "K2");
    KeyedModule::add(&declines);
    KeyedModule::add(&accepts);
    KeyedModule::add(&alsoAccepts);
    KeyedModule::add(&thrower);
    KeyedModule::add(&afterThrower);
    log.newEntries();

    accepts.result.reset(new FakeConfigurator);
    alsoAccepts.result.reset(new FakeConfigurator);
    afterThrower.result.reset(new FakeConfigurator);
    thrower.throws = true;

    const std::vector<KRZMacAddress> macs{KRZMacAddress::fromUtf8String("02:00:00:00:00:03")};
    EXPECT_EQ(accepts.result,
              KRZPAPModule::createConf(L"K1", L"Gr\u00FC\u00DFe", macs, L"admin", L"p\u20AC"));
    EXPECT_EQ(1, declines.calls);
    EXPECT_EQ(1, accepts.calls);
    EXPECT_EQ(0, alsoAccepts.calls);
    EXPECT_EQ((Lines{"K1",
                     "Gr\xC3\xBC\xC3\x9F"
                     "e",
                     "admin", "p\xE2\x82\xAC"}),
              accepts.seen);
    EXPECT_EQ(macs, accepts.seenMacs);

    EXPECT_THROW(KRZPAPModule::createConf(L"K2", L"", macs, L"", L""), std::runtime_error);
    EXPECT_EQ(0, afterThrower.calls);

    EXPECT_EQ(nullptr, KRZPAPModule::createConf(L"nobody", L"", macs, L"", L"").get());
    EXPECT_TRUE(log.newEntries().empty());
}

TEST(KRZPAPModule, CreateConfWithoutModulesIsNull) {
    krztest::inFreshProcess(
        [] { EXPECT_EQ(nullptr, KRZPAPModule::createConf(L"a", L"b", {}, L"", L"").get()); });
}

TEST(KRZPAPModule, LoadsTheListedLibrariesInOrder) {
    krztest::inFreshProcess([] {
        LogCapture log;
        useModuleSetting("krztestmoda.dll;krztestmodb.dll;");
        KRZPAPModule::loadModuleDlls();
        EXPECT_EQ((Lines{"Loading AP module DLL krztestmoda.dll\n",
                         "KRZPAPModule::registerDefaultIp(): registering default IP 192.0.2.1\n",
                         "Registering module test-a version 7.1\n",
                         "Loading AP module DLL krztestmodb.dll\n",
                         "KRZPAPModule::registerDefaultIp(): registering default IP 192.0.2.2\n",
                         "Registering module test-b version 7.1\n"}),
                  log.newEntries());
        EXPECT_EQ((std::vector<unsigned long>{inet_addr("192.0.2.1"), inet_addr("192.0.2.2")}),
                  KRZPAPModule::getDefaultIps());

        // Loading again hands back the loaded libraries: nothing registers twice.
        useModuleSetting("krztestmodb.dll");
        KRZPAPModule::loadModuleDlls();
        EXPECT_EQ((Lines{"Loading AP module DLL krztestmodb.dll\n"}), log.newEntries());
        EXPECT_EQ(2u, KRZPAPModule::getDefaultIps().size());

        // Empty pieces name nothing and are skipped.
        useModuleSetting(";;");
        KRZPAPModule::loadModuleDlls();
        EXPECT_TRUE(log.newEntries().empty());
    });
}

TEST(KRZPAPModule, StopsAtALibraryThatDoesNotLoad) {
    krztest::inFreshProcess([] {
        LogCapture log;
        useModuleSetting("krztestmoda.dll;krznosuchmodule.dll;krztestmodb.dll");
        const KRZPAPCException e = thrownBy([&] { KRZPAPModule::loadModuleDlls(); });
        EXPECT_EQ(KRZPAPC_INTERNAL_ERROR, e.getAPCErrorCode());
        EXPECT_EQ(126u, e.getMsError());
        EXPECT_EQ("KRZPAPModule", e.getSourceFile());
        EXPECT_EQ(L"", e.getMessage());
        EXPECT_EQ((Lines{"Loading AP module DLL krztestmoda.dll\n",
                         "KRZPAPModule::registerDefaultIp(): registering default IP 192.0.2.1\n",
                         "Registering module test-a version 7.1\n",
                         "Loading AP module DLL krznosuchmodule.dll\n",
                         "Error 126 loading AP module DLL krznosuchmodule.dll\n"}),
                  log.newEntries());
        EXPECT_EQ((std::vector<unsigned long>{inet_addr("192.0.2.1")}),
                  KRZPAPModule::getDefaultIps());
    });
}

TEST(KRZPAPModule, DefaultLibraryNameWhenTheSettingIsAbsent) {
    krztest::inFreshProcess([] {
        LogCapture log;
        useModuleSetting(nullptr);
        try {
            KRZPAPModule::loadModuleDlls();
        } catch (const KRZPAPCException& e) {
            // The sample module need not be built beside this program.
            EXPECT_EQ(126u, e.getMsError());
        }
        const Lines lines = log.newEntries();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ("Loading AP module DLL krzpapmodulesu.dll\n", lines[0]);
        EXPECT_EQ(0, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                         return line.find("Loading AP module DLL") == 0;
                     }) - 1);
    });
}

TEST(KRZPAPModule, LogIsSilentUntilSetLogFileAndLevelsDoNotCarryOver) {
    krztest::inFreshProcess([] {
        EXPECT_EQ(nullptr, KRZPAPModule::getLogFile().get());
        KRZPAPModule::log(L"dropped %d\n", 1);
        KRZPAPModule::log(KRZ_LOG_ERROR, L"dropped %d\n", 2);
        KRZPAPModule::log(std::wstring(L"dropped 3\n"), KRZ_LOG_ERROR);
        KRZPAPModule::setLogLevel(KRZ_LOG_ERROR);

        LogCapture log;
        ASSERT_NE(nullptr, KRZPAPModule::getLogFile().get());
        EXPECT_EQ(KRZ_LOG_TRACE, KRZPAPModule::getLogFile()->getLogLevel());
        KRZPAPModule::log(L"trace %hs\n", "kept");
        EXPECT_EQ((Lines{"trace kept\n"}), log.entries());
    });
}

TEST(KRZPAPModule, LogFormsAndLevels) {
    LogCapture log;
    KRZPAPModule::log(std::wstring(L"verbatim %s %d\n"), KRZ_LOG_TRACE);
    KRZPAPModule::log(L"short form %d %hs %s\n", -3, "n\xC3\xA4rrow", L"w\u00EFde");
    KRZPAPModule::log(KRZ_LOG_DUMP, L"dump dropped at the default level\n");
    KRZPAPModule::setLogLevel(KRZ_LOG_DUMP);
    KRZPAPModule::log(KRZ_LOG_DUMP, L"dump %x\n", 255u);
    KRZPAPModule::setLogLevel(KRZ_LOG_WARNING);
    EXPECT_EQ(KRZ_LOG_WARNING, KRZPAPModule::getLogFile()->getLogLevel());
    KRZPAPModule::log(L"trace dropped\n");
    KRZPAPModule::log(KRZ_LOG_ERROR, L"error kept\n");
    KRZPAPModule::log(std::wstring(L"warning kept\n"), KRZ_LOG_WARNING);
    EXPECT_EQ((Lines{"verbatim %s %d\n",
                     "short form -3 n\xC3\xA4rrow w\xC3\xAF"
                     "de\n",
                     "dump ff\n", "error kept\n", "warning kept\n"}),
              log.entries());
}

TEST(KRZPAPModule, EarlierLogPointerOutlivesAReplacement) {
    LogCapture first;
    boost::shared_ptr<KRZLoggingUtil> old = KRZPAPModule::getLogFile();
    LogCapture second;
    EXPECT_NE(old, KRZPAPModule::getLogFile());
    old->LogStringToFile(true, L"to the old file\n", KRZ_LOG_TRACE);
    KRZPAPModule::log(L"to the new file\n");
    EXPECT_EQ((Lines{"to the old file\n"}), first.entries());
    EXPECT_EQ((Lines{"to the new file\n"}), second.entries());
}

}  // namespace
