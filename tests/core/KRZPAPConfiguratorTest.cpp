#include "CoreTestSupport.h"

#include "discovery/KRZPAPFinder.h"
#include "discovery/KRZPArpAPFinder.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <tuple>

using krztest::FakeConfigurator;
using krztest::inAddr;
using krztest::LogCapture;
using krztest::thrownBy;

namespace {

typedef std::vector<std::string> Lines;

const char* const kPrefix = "Acme X1(192.168.1.1): ";

std::string prefixed(const std::string& text) {
    return kPrefix + text;
}

class ConfiguratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        conf.setAddr(inAddr("192.168.1.1"));
        log.newEntries();
    }

    LogCapture log;
    FakeConfigurator conf;
};

KRZPAPCException stepFailure(KRZPAPCErrorCode code) {
    KRZPAPCException e(const_cast<char*>("KRZPAPComm"), 210, "", code);
    e.setMsError(10061);
    return e;
}

TEST_F(ConfiguratorTest, OperationsWriteEntryAndResultLines) {
    EXPECT_TRUE(conf.testLogin());
    conf.retrieveAttributes();
    EXPECT_TRUE(conf.startConfiguration());
    EXPECT_TRUE(conf.changeCredentials("root", "s3cr%t"));
    EXPECT_TRUE(conf.changeSSID(KRZSsid("home net")));
    boost::shared_ptr<KRZPKey> key(new KRZPKey("passphrase"));
    conf.boolStep = [] { return false; };
    EXPECT_FALSE(conf.changeSecurityMode(KRZP_SECURITY_WPA2_PSK, key, KRZP_ENCRYPTION_AES));
    EXPECT_TRUE(conf.completeConfiguration());
    conf.validateStep = [] { return KRZP_AP_LOGIN_FAILED; };
    EXPECT_EQ(KRZP_AP_LOGIN_FAILED, conf.validate());
    conf.cancelOperation();
    conf.clearPendingChanges();

    EXPECT_EQ(key, conf.lastKey);
    EXPECT_EQ((Lines{"testLogin", "retrieveAttributes", "changeCredentials root s3cr%t",
                     "changeSSID home net", "changeSecurityMode 3 4", "validate", "cancelOperation",
                     "clearPendingChanges"}),
              conf.calls);
    EXPECT_EQ((Lines{
                  prefixed("testLogin()\n"),
                  prefixed("testLogin(): returning 1\n"),
                  prefixed("retrieveAttributes()\n"),
                  prefixed("retrieveAttributes(): returning.\n"),
                  prefixed("startConfiguration()\n"),
                  prefixed("startConfiguration(): returning 1\n"),
                  prefixed("changeCredentials(username=\"root\", password=\"s3cr%t\")\n"),
                  prefixed("changeCredentials(): returning 1\n"),
                  prefixed("changeSSID()\n"),
                  prefixed("changeSSID(): returning 1\n"),
                  prefixed("changeSecurityMode(mode=3, somekey, encr=4)\n"),
                  prefixed("changeSecurityMode(): returning 0\n"),
                  prefixed("completeConfiguration()\n"),
                  prefixed("completeConfiguration(): returning 1\n"),
                  prefixed("validate()\n"),
                  prefixed("cancelOperation()\n"),
                  prefixed("cancelOperation(): returning.\n"),
                  prefixed("clearPendingChanges()\n"),
                  prefixed("clearPendingChanges(): returning.\n"),
              }),
              log.newEntries());
}

TEST_F(ConfiguratorTest, StepExceptionIsLoggedStampedAndRethrownAsTheSameObject) {
    conf.setFirmwareRevision("V2.1.7");
    log.newEntries();
    conf.loginStep = []() -> bool {
        KRZPAPCException e = stepFailure(KRZPAPC_CONNECT_ERROR);
        e.setAPCFirmwareRevision("stale");
        throw e;
    };
    std::wstring logLine;
    try {
        conf.testLogin();
        ADD_FAILURE() << "no exception";
    } catch (KRZPAPCException& e) {
        EXPECT_EQ(KRZPAPC_CONNECT_ERROR, e.getAPCErrorCode());
        EXPECT_EQ("V2.1.7", e.getAPCFirmwareRevision());
        EXPECT_EQ(10061u, e.getMsError());
        EXPECT_EQ("KRZPAPComm", e.getSourceFile());
        EXPECT_EQ(210, e.getLine());
        logLine = e.getLogLine();
    }
    EXPECT_EQ((Lines{prefixed("testLogin()\n"),
                     prefixed("testLogin(): Exception: " + krztest::narrow(logLine) + "\n")}),
              log.newEntries());

    // Operations without a result and validate() take the same path; an empty revision is
    // stamped too.
    conf.setFirmwareRevision("");
    log.newEntries();
    conf.plainStep = [] { throw stepFailure(KRZPAPC_IO_ERROR); };
    conf.validateStep = []() -> _KRZPAPStatus { throw stepFailure(KRZPAPC_TIMEOUT); };
    const KRZPAPCException e = thrownBy([&] { conf.retrieveAttributes(); });
    EXPECT_EQ(KRZPAPC_IO_ERROR, e.getAPCErrorCode());
    EXPECT_EQ("", e.getAPCFirmwareRevision());
    EXPECT_THROW(conf.validate(), KRZPAPCException);
    const Lines lines = log.newEntries();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(prefixed("retrieveAttributes()\n"), lines[0]);
    EXPECT_EQ(0u, lines[1].find(prefixed("retrieveAttributes(): Exception: ")));
    EXPECT_EQ(prefixed("validate()\n"), lines[2]);
    EXPECT_EQ(0u, lines[3].find(prefixed("validate(): Exception: ")));
}

TEST_F(ConfiguratorTest, OtherExceptionsPassUnlogged) {
    conf.loginStep = []() -> bool { throw std::runtime_error("boom"); };
    EXPECT_THROW(conf.testLogin(), std::runtime_error);
    conf.plainStep = [] { throw KRZException("KRZMiscUtil", 3, L"plain", 9); };
    try {
        conf.clearPendingChanges();
        ADD_FAILURE() << "no exception";
    } catch (const KRZPAPCException&) {
        ADD_FAILURE() << "became a KRZPAPCException";
    } catch (const KRZException& e) {
        EXPECT_EQ(9, e.getErrorCode());
    }
    EXPECT_EQ((Lines{prefixed("testLogin()\n"), prefixed("clearPendingChanges()\n")}),
              log.newEntries());
}

TEST_F(ConfiguratorTest, PrefixFollowsDescriptionAndAddress) {
    conf.model = "";
    conf.setAddr(inAddr("10.0.0.138"));
    EXPECT_EQ("Acme ", conf.getDescription());
    conf.log(L"value %d of %hs in %s\n", 7, "n\xC3\xA4me", L"w\u00E9de");
    conf.log(std::wstring(L"100% literal\n"));
    EXPECT_EQ((Lines{"Acme (10.0.0.138): value 7 of n\xC3\xA4me in w\xC3\xA9"
                     "de\n",
                     "Acme (10.0.0.138): 100% literal\n"}),
              log.newEntries());

    FakeConfigurator fresh;
    fresh.vendor = "Borealis";
    fresh.model = "B2";
    EXPECT_TRUE(fresh.startConfiguration());
    EXPECT_EQ((Lines{"Borealis B2(255.255.255.255): startConfiguration()\n",
                     "Borealis B2(255.255.255.255): startConfiguration(): returning 1\n"}),
              log.newEntries());
}

TEST_F(ConfiguratorTest, SettersStoreAndLogWithOrWithoutPrefix) {
    boost::shared_ptr<KRZPKey> key(new KRZPKey("0123456789"));
    conf.setSecurityMode(KRZP_SECURITY_WEP);
    conf.setEncryptionMode(KRZP_ENCRYPTION_WEP64);
    conf.setKey(key);
    conf.setFirmwareRevision("1.2 \"beta\"");
    conf.setSSID(std::string("caf\xC3\xA9 net"));
    EXPECT_EQ((Lines{"KRZPAPConfigurator::setSecurityMode(1)\n",
                     "KRZPAPConfigurator::setEncryptionMode(1)\n",
                     prefixed("KRZPAPConfigurator::setKey(...)\n"),
                     prefixed("KRZPAPConfigurator::setFirmwareRevision(\"1.2 \"beta\"\")\n"),
                     prefixed("KRZPAPConfigurator::setSSID(\"caf\xC3\xA9 net\")\n")}),
              log.newEntries());
    EXPECT_EQ(KRZP_SECURITY_WEP, conf.getSecurityMode());
    EXPECT_EQ(KRZP_ENCRYPTION_WEP64, conf.getEncryptionMode());
    EXPECT_EQ(key, conf.getKey());
    EXPECT_EQ("1.2 \"beta\"", conf.getFirmwareRevision());
    EXPECT_EQ("caf\xC3\xA9 net", conf.getSSID().getBytes());

    conf.setSSID(KRZSsid("quiet"));
    EXPECT_EQ("quiet", conf.getSSID().getBytes());
    EXPECT_TRUE(log.newEntries().empty());
}

TEST_F(ConfiguratorTest, AddMACAddressKeepsFirstAdditionOrderWithoutDuplicates) {
    const KRZMacAddress a = KRZMacAddress::fromUtf8String("00:1a:2b:3c:4d:5e");
    conf.addMACAddress(a);
    conf.addMACAddress(std::string("00-11-22-33-44-55"));
    conf.addMACAddress(std::string("001A2B3C4D5E"));
    ASSERT_EQ(2u, conf.getMACAddressList().size());
    EXPECT_EQ(a, conf.getMACAddressList()[0]);
    EXPECT_EQ(KRZMacAddress::fromUtf8String("001122334455"), conf.getMACAddressList()[1]);
    EXPECT_EQ((Lines{"KRZPAPConfigurator::addMACAddress(\"00:1A:2B:3C:4D:5E\")\n",
                     "KRZPAPConfigurator::addMACAddress(\"00:11:22:33:44:55\")\n",
                     "KRZPAPConfigurator::addMACAddress(\"00:1A:2B:3C:4D:5E\")\n"}),
              log.newEntries());

    EXPECT_THROW(conf.addMACAddress(std::string("not a mac")), KRZException);
    conf.clearMACAddressList();
    EXPECT_TRUE(conf.getMACAddressList().empty());
    conf.setMACAddressList({a, a});
    EXPECT_EQ(2u, conf.getMACAddressList().size());
}

TEST(KRZPAPConfigurator, SetAddrCallsOnNewAddrOnlyOnChangeUnderTheMutex) {
    FakeConfigurator conf;
    EXPECT_EQ(INADDR_NONE, conf.getAddr().s_addr);
    const in_addr* stored = &conf.getAddr();

    // While _onNewAddr runs, another thread cannot add a MAC address.
    std::future<void> adder;
    conf.onNewAddr = [&](const in_addr&) {
        adder = std::async(std::launch::async,
                           [&] { conf.addMACAddress(std::string("02:00:00:00:00:01")); });
        EXPECT_EQ(std::future_status::timeout, adder.wait_for(std::chrono::milliseconds(200)));
        EXPECT_TRUE(conf.getMACAddressList().empty());
    };
    conf.setAddr(inAddr("192.168.0.10"));
    adder.get();
    EXPECT_EQ(1u, conf.getMACAddressList().size());
    ASSERT_EQ(1u, conf.newAddrs.size());
    EXPECT_EQ(inAddr("192.168.0.10").s_addr, conf.newAddrs[0].s_addr);
    EXPECT_EQ(stored, &conf.getAddr());
    EXPECT_EQ(inAddr("192.168.0.10").s_addr, stored->s_addr);

    conf.onNewAddr = [](const in_addr&) {};
    conf.setAddr(inAddr("192.168.0.10"));
    EXPECT_EQ(1u, conf.newAddrs.size());
    conf.setAddr(inAddr("192.168.0.11"));
    EXPECT_EQ(2u, conf.newAddrs.size());

    // A throwing _onNewAddr leaves the new address stored and the mutex free.
    conf.onNewAddr = [](const in_addr&) { throw std::runtime_error("subclass failure"); };
    EXPECT_THROW(conf.setAddr(inAddr("192.168.0.12")), std::runtime_error);
    EXPECT_EQ(inAddr("192.168.0.12").s_addr, conf.getAddr().s_addr);
    std::future<void> later = std::async(
        std::launch::async, [&] { conf.addMACAddress(std::string("02:00:00:00:00:02")); });
    ASSERT_EQ(std::future_status::ready, later.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(2u, conf.getMACAddressList().size());
}

TEST(KRZPAPConfigurator, NormalizeMACAcceptsAnySeparatorsAndNeedsTwelveDigits) {
    FakeConfigurator conf;
    EXPECT_EQ("001a2b3c4d5e", conf.normalizeMAC("00:1A:2b-3C 4d.5E"));
    EXPECT_EQ("abcdefabcdef", conf.normalizeMAC("AB:CD:EF:ab:cd:ef"));
    // Non-hexadecimal letters and other bytes are dropped, not rejected.
    EXPECT_EQ("001122334455", conf.normalizeMAC("x:00-11-22-33-44-55; \xC3\xA9!"));
    for (const char* bad : {"00:11:22:33:44:5", "00:11:22:33:44:55:6", "", "zzzzzzzzzzzz"}) {
        SCOPED_TRACE(bad);
        const KRZPAPCException e = thrownBy([&] { conf.normalizeMAC(bad); });
        EXPECT_EQ(KRZPAPC_PARSE_ERROR, e.getAPCErrorCode());
        EXPECT_EQ("KRZPAPConfigurator", e.getSourceFile());
    }
}

TEST(KRZPAPConfigurator, CredentialsRespectUsesUsername) {
    const KRZMacAddress mac = KRZMacAddress::fromUtf8String("020000000001");
    FakeConfigurator conf({mac}, "admin", "old");
    conf.takesUsername = false;
    EXPECT_EQ(std::make_pair(std::string("admin"), std::string("old")), conf.getCredentials());
    conf.setCredentials("root", "new");
    EXPECT_EQ(std::make_pair(std::string("admin"), std::string("new")), conf.getCredentials());
    conf.setCredentialsReally("root", "newer");
    EXPECT_EQ(std::make_pair(std::string("root"), std::string("newer")), conf.getCredentials());
    conf.takesUsername = true;
    conf.setCredentials("user", "pw");
    EXPECT_EQ(std::make_pair(std::string("user"), std::string("pw")), conf.getCredentials());
    EXPECT_EQ(std::vector<KRZMacAddress>{mac}, conf.getMACAddressList());
}

// A finder whose findAp does what the test asks.
class ScriptedFinder : public KRZPAPFinder {
  public:
    std::function<bool(KRZPAPConfigurator&)> onFindAp;
    KRZPAPConfigurator* asked = nullptr;
    void cancel() override {}
    void uncancel() override {}

  private:
    KRZPAPConfiguratorVector findAps(KRZPAPConfiguratorVector&) override { return {}; }
    bool findAp(KRZPAPConfigurator& configurator) override {
        asked = &configurator;
        return onFindAp(configurator);
    }
};

TEST_F(ConfiguratorTest, FindAPAsksTheFinderAndSwallowsItsExceptions) {
    EXPECT_EQ(KRZPArpAPFinder::getInstance(), conf.getFinder());

    ScriptedFinder finder;
    conf.ownFinder = true;
    conf.finder = &finder;
    finder.onFindAp = [](KRZPAPConfigurator& c) {
        c.setAddr(inAddr("192.168.1.50"));
        return true;
    };
    EXPECT_TRUE(conf.findAP());
    EXPECT_EQ(&conf, finder.asked);
    EXPECT_EQ((Lines{prefixed("findAP()\n"), "Acme X1(192.168.1.50): findAP(): returning 1\n"}),
              log.newEntries());
    conf.setAddr(inAddr("192.168.1.1"));

    KRZPAPCException cancelled(const_cast<char*>("KRZPArpAPFinder"), 99, "", KRZPAPC_CANCELLED);
    finder.onFindAp = [&](KRZPAPConfigurator&) -> bool { throw cancelled; };
    EXPECT_FALSE(conf.findAP());
    finder.onFindAp = [](KRZPAPConfigurator&) -> bool { throw 17; };
    EXPECT_FALSE(conf.findAP());
    EXPECT_EQ((Lines{prefixed("findAP()\n"),
                     prefixed("KRZPAPConfigurator::_findAP(): ignoring exception: " +
                              krztest::narrow(cancelled.getLogLine()) + "\n"),
                     prefixed("findAP(): returning 0\n"), prefixed("findAP()\n"),
                     prefixed("KRZPAPConfigurator::_findAP(): ignoring non-KRZ exception.\n"),
                     prefixed("findAP(): returning 0\n")}),
              log.newEntries());
}

// A network backend that answers interface look-ups as the test says and records the question.
class LookupBackend : public KRZNullNetworkBackend {
  public:
    bool answer = false;
    in_addr askedAddress{};
    std::vector<KRZMacAddress> askedMacs;
    int askedTimeout = 0;

    bool lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs,
                         int timeoutMs, KRZMacAddress& interfaceMac) override {
        askedAddress = address;
        askedMacs = macs;
        askedTimeout = timeoutMs;
        if (answer) {
            interfaceMac = KRZMacAddress::fromUtf8String("02:aa:bb:cc:dd:ee");
        }
        return answer;
    }
};

TEST(KRZPAPConfigurator, GetInterfaceAsksTheLookupForTheDevice) {
    boost::shared_ptr<LookupBackend> backend(new LookupBackend);
    KRZNetworkBackend::setActive(backend);
    const KRZMacAddress mac = KRZMacAddress::fromUtf8String("02:00:00:00:00:07");
    FakeConfigurator conf({mac}, "", "");
    conf.setAddr(inAddr("192.168.5.5"));

    backend->answer = true;
    EXPECT_EQ(KRZMacAddress::fromUtf8String("02:aa:bb:cc:dd:ee"), conf.getInterface());
    EXPECT_EQ(inAddr("192.168.5.5").s_addr, backend->askedAddress.s_addr);
    EXPECT_EQ(std::vector<KRZMacAddress>{mac}, backend->askedMacs);
    EXPECT_EQ(1000, backend->askedTimeout);

    backend->answer = false;
    const KRZPAPCException e = thrownBy([&] { conf.getInterface(); });
    EXPECT_EQ(KRZPAPC_NO_ROUTE, e.getAPCErrorCode());
    EXPECT_EQ(10065u, e.getMsError());
    EXPECT_EQ("KRZPAPConfigurator", e.getSourceFile());
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
}

}  // namespace
