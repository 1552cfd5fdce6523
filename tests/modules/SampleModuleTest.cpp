// The sample module driven through the library's public interface against an in-process lab:
// loading, recognition, login checks, full configuration runs, cancellation and the
// factory-defaults verdicts.
#include "core/KRZPAPConfigurator.h"
#include "core/KRZPAPModule.h"
#include "discovery/KRZPAPFinder.h"
#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPDefaultsRecognizer.h"
#include "krzutil/KRZAccessPointWlanInfo.h"
#include "lab/net/LabDescription.h"
#include "lab/net/LabNetwork.h"

#include "TestSupport.h"
#include "platform/krzprocess.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string logPath() {
    return ::testing::TempDir() + "krz_modules_e2e.log";
}

std::string readLog() {
    return krztest::fileText(logPath());
}

// Loads the module once per process by its default name, as the host does.
class ModuleEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        KRZPAPModule::setLogFile(widen(logPath()), 0);
        KRZPAPModule::setLogLevel(KRZ_LOG_TRACE);
        krzprocess::unsetEnvironment("KRZ_VORTAN_APMODULE_DLLS");
        KRZPAPModule::loadModuleDlls();
    }
};

const ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

// One device of the default lab as its manual describes it, and the settings a test writes.
struct Family {
    const char* device;
    const char* address;
    const char* mac;
    const char* vendor;
    const char* model;
    const char* firmware;
    const char* user;
    const char* password;
    // What a full run writes, and the lab's names for the modes.
    const char* newUser;
    const char* newPassword;
    const char* newSsid;
    _KRZPSecurityMode newMode;
    _KRZPEncryptionMode newEncryption;
    const char* newKey;
    const char* labSecurity;
    const char* labEncryption;
};

const Family kAcme = {"acme-1",
                      "192.168.77.10",
                      "02:4B:5A:00:00:10",
                      "Acme",
                      "AP-100",
                      "1.4.2 build 3107",
                      "admin",
                      "gatekeeper",
                      "boss",
                      "tower15",
                      "Acme Lab",
                      KRZP_SECURITY_WPA_WPA2_PSK,
                      KRZP_ENCRYPTION_TKIP_AES,
                      "passphrase-a",
                      "wpa-wpa2-psk",
                      "tkip-aes"};
const Family kBorealis = {"borealis-1",
                          "192.168.77.20",
                          "02:4B:5A:00:00:20",
                          "Borealis",
                          "BR-5400",
                          "2.0.7",
                          "root",
                          "northwind",
                          "keeper",
                          "icefloe7",
                          "Polar",
                          KRZP_SECURITY_WPA2_PSK,
                          KRZP_ENCRYPTION_AES,
                          "passphrase-b",
                          "wpa2-psk",
                          "aes"};
// Corvid has no user name: the lab keeps its own, whatever is written.
const Family kCorvid = {"corvid-2",
                        "192.168.77.31",
                        "02:4B:5A:00:00:31",
                        "Corvid",
                        "CV-20",
                        "1.1.0",
                        "admin",
                        "rookery",
                        "admin",
                        "raven9",
                        "Roost",
                        KRZP_SECURITY_WPA_PSK,
                        KRZP_ENCRYPTION_TKIP,
                        "passphrase-c",
                        "wpa-psk",
                        "tkip"};

class SampleModuleLab : public ::testing::Test {
  protected:
    void SetUp() override {
        lab = krzlab::LabNetwork::create(krzlab::LabDescription::defaultLab());
        lab->install();
    }

    boost::shared_ptr<KRZPAPConfigurator> open(const Family& family, const std::string& user,
                                               const std::string& password) {
        std::vector<KRZMacAddress> macs = {KRZMacAddress::fromUtf8String(family.mac)};
        boost::shared_ptr<KRZPAPConfigurator> conf = KRZPAPModule::createConf(
            widen(family.vendor), widen(family.model), macs, widen(user), widen(password));
        if (conf) {
            in_addr address;
            address.s_addr = inet_addr(family.address);
            conf->setAddr(address);
        }
        return conf;
    }

    std::shared_ptr<krzlab::LabNetwork> lab;
};

class EachFamily : public SampleModuleLab, public ::testing::WithParamInterface<Family> {};

std::string familyName(const ::testing::TestParamInfo<Family>& info) {
    return info.param.vendor;
}

}  // namespace

TEST(SampleModule, FactoryBuildsKnownModelsOnly) {
    struct Case {
        const wchar_t* vendor;
        const wchar_t* model;
        const char* wantVendor;  // null: no module takes it
        const char* wantModel;
        bool usesUsername;
    };
    const Case cases[] = {
        {L"Acme", L"AP-100", "Acme", "AP-100", true},
        {L"acme", L"ap-200", "Acme", "AP-200", true},
        {L"Borealis", L"BR-5400", "Borealis", "BR-5400", true},
        {L"Corvid", L"CV-10", "Corvid", "CV-10", false},
        {L"CORVID", L"cv-20", "Corvid", "CV-20", false},
        {L"Acme", L"BR-5400", nullptr, nullptr, false},
        {L"Acme", L"", nullptr, nullptr, false},
        {L"Quillpress", L"Inkwell 300", nullptr, nullptr, false},
        {L"", L"", nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.vendor, c.vendor + wcslen(c.vendor)));
        boost::shared_ptr<KRZPAPConfigurator> conf =
            KRZPAPModule::createConf(c.vendor, c.model, {}, L"u", L"p");
        if (!c.wantVendor) {
            EXPECT_FALSE(conf);
            continue;
        }
        ASSERT_TRUE(conf);
        EXPECT_EQ(c.wantVendor, conf->getVendorName());
        EXPECT_EQ(c.wantModel, conf->getModelName());
        EXPECT_EQ(c.usesUsername, conf->usesUsername());
    }

    std::vector<unsigned long> defaults = KRZPAPModule::getDefaultIps();
    for (const char* factory : {"192.168.77.10", "192.168.77.20", "10.0.0.138"}) {
        EXPECT_NE(defaults.end(), std::find(defaults.begin(), defaults.end(),
                                            static_cast<unsigned long>(inet_addr(factory))))
            << factory;
    }
}

// The devices' own limits: Acme 15 characters, Borealis 31, Corvid 12 and no user name.
TEST(SampleModule, DeviceLimitsAndFactoryCredentials) {
    auto acme = KRZPAPModule::createConf(L"Acme", L"AP-100", {}, L"", L"");
    auto borealis = KRZPAPModule::createConf(L"Borealis", L"BR-5400", {}, L"", L"");
    auto corvid = KRZPAPModule::createConf(L"Corvid", L"CV-20", {}, L"", L"");
    ASSERT_TRUE(acme && borealis && corvid);

    EXPECT_EQ(KRZP_SV_OK, acme->validatePassword(std::string(15, 'a')));
    EXPECT_EQ(KRZP_SV_TOO_LONG, acme->validatePassword(std::string(16, 'a')));
    EXPECT_EQ(KRZP_SV_TOO_SHORT, acme->validateUsername(""));
    EXPECT_EQ(KRZP_SV_BAD_CHARS, acme->validateUsername("ad-min"));
    EXPECT_EQ(KRZP_SV_OK, borealis->validatePassword(std::string(31, 'a')));
    EXPECT_EQ(KRZP_SV_TOO_LONG, borealis->validatePassword(std::string(32, 'a')));
    EXPECT_EQ(KRZP_SV_OK, corvid->validatePassword(std::string(12, 'a')));
    EXPECT_EQ(KRZP_SV_TOO_LONG, corvid->validatePassword(std::string(13, 'a')));
    EXPECT_EQ(KRZP_SV_BAD_CHARS, corvid->validatePassword("a&b"));

    // A character set that holds only some letters or digits makes the descriptions throw.
    for (const auto& conf : {acme, borealis, corvid}) {
        EXPECT_NO_THROW(conf->getUsernameRequirementsDescription()) << conf->getDescription();
        EXPECT_NO_THROW(conf->getPasswordRequirementsDescription()) << conf->getDescription();
    }

    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(Pair("admin", "admin"), acme->getDefaultCredentials());
    EXPECT_EQ(Pair("root", "borealis"), borealis->getDefaultCredentials());
    EXPECT_EQ(Pair("", ""), corvid->getDefaultCredentials());
}

TEST(SampleModule, FactoryDefaultsVerdicts) {
    struct Case {
        const char* ssid;
        bool privacy;
        const char* rsn;
        int sign;  // +1 factory defaults, -1 changed, 0 no opinion
    };
    const Case cases[] = {
        {"ACME", false, "", 1},       {"BOREALIS", false, "", 1},   {"corvid", false, "", 1},
        {"ACME", true, "WPA2", -1},   {"corvid", false, "WEP", -1}, {"Corvid", false, "", 0},
        {"AcmeOffice", false, "", 0}, {"", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ssid);
        auto info = boost::make_shared<KRZAccessPointWlanInfo>();
        info->ssid = KRZSsid(c.ssid);
        info->bssid = KRZMacAddress::fromUtf8String("02:4B:5A:00:00:10");
        info->privacy = c.privacy;
        info->rsnInfo = c.rsn;
        int verdict = KRZPDefaultsRecognizer::isFactoryDefaultsAccessPoint(info);
        EXPECT_EQ(c.sign, (verdict > 0) - (verdict < 0)) << verdict;
    }
}

TEST_P(EachFamily, ValidateTellsLoginFailureSuccessAndUnreachable) {
    const Family& f = GetParam();
    EXPECT_EQ(KRZP_AP_LOGIN_FAILED, open(f, f.user, "wrong-password")->validate());
    boost::shared_ptr<KRZPAPConfigurator> conf = open(f, f.user, f.password);
    EXPECT_EQ(KRZP_AP_OK, conf->validate());
    EXPECT_TRUE(conf->testLogin());
    lab->stopDevice(f.device);
    EXPECT_EQ(KRZP_AP_UNREACHABLE, conf->validate());
}

TEST_P(EachFamily, FullRunChangesTheDeviceAndReadsBack) {
    const Family& f = GetParam();
    boost::shared_ptr<KRZPAPConfigurator> conf = open(f, f.user, f.password);
    ASSERT_TRUE(conf->testLogin());
    conf->retrieveAttributes();
    EXPECT_EQ(f.firmware, conf->getFirmwareRevision());
    krzlab::WirelessSettings before = lab->status(f.device).state.wireless;
    EXPECT_EQ(before.ssid, conf->getSSID().getBytes());

    EXPECT_TRUE(conf->startConfiguration());
    conf->changeSSID(KRZSsid(f.newSsid));
    conf->changeSecurityMode(f.newMode, boost::make_shared<KRZPKey>(f.newKey), f.newEncryption);
    conf->changeCredentials(f.newUser, f.newPassword);
    EXPECT_TRUE(conf->completeConfiguration());

    krzlab::DeviceSpec state = lab->status(f.device).state;
    EXPECT_EQ(f.newSsid, state.wireless.ssid);
    EXPECT_EQ(f.labSecurity, state.wireless.security);
    EXPECT_EQ(f.labEncryption, state.wireless.encryption);
    EXPECT_EQ(f.newKey, state.wireless.key);
    EXPECT_EQ(f.newUser, state.username);
    EXPECT_EQ(f.newPassword, state.password);
    // The configurator goes on with the credentials it wrote.
    EXPECT_EQ(f.newPassword, conf->getCredentials().second);
    EXPECT_EQ(KRZP_AP_OK, conf->validate());

    boost::shared_ptr<KRZPAPConfigurator> fresh = open(f, f.newUser, f.newPassword);
    fresh->retrieveAttributes();
    EXPECT_EQ(f.newSsid, fresh->getSSID().getBytes());
    EXPECT_EQ(f.newMode, fresh->getSecurityMode());
    EXPECT_EQ(f.newEncryption, fresh->getEncryptionMode());
    ASSERT_TRUE(fresh->getKey());
    EXPECT_EQ(f.newKey, fresh->getKey()->getKey());
    EXPECT_EQ(f.firmware, fresh->getFirmwareRevision());
    EXPECT_EQ(KRZP_AP_LOGIN_FAILED, open(f, f.user, f.password)->validate());
}

TEST_P(EachFamily, CancelDuringSlowReplyEndsWithCode14) {
    const Family& f = GetParam();
    boost::shared_ptr<KRZPAPConfigurator> conf = open(f, f.user, f.password);
    conf->retrieveAttributes();
    lab->setFault(f.device, krzlab::Fault::Slow, 100);
    size_t logStart = readLog().size();

    int code = 0;
    std::string stamped;
    std::thread worker([&] {
        try {
            conf->retrieveAttributes();
        } catch (const KRZPAPCException& e) {
            code = e.getAPCErrorCode();
            stamped = e.getAPCFirmwareRevision();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto cancelled = std::chrono::steady_clock::now();
    conf->cancelOperation();
    worker.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - cancelled).count();
    RecordProperty("secondsAfterCancel", std::to_string(seconds));

    EXPECT_EQ(KRZPAPC_CANCELLED, code);
    EXPECT_EQ(f.firmware, stamped);
    // Not a speed check: only that the cancel, not the 10 s reply time-out, ended the wait.
    EXPECT_LT(seconds, 5.0);
    std::string line = std::string(f.vendor) + " " + f.model + "(" + f.address +
                       "): retrieveAttributes(): Exception: ";
    EXPECT_NE(std::string::npos, readLog().find(line, logStart)) << line;
}

TEST_P(EachFamily, ClearedChangesAreNotWritten) {
    const Family& f = GetParam();
    boost::shared_ptr<KRZPAPConfigurator> conf = open(f, f.user, f.password);
    krzlab::DeviceSpec before = lab->status(f.device).state;
    conf->startConfiguration();
    conf->changeSSID(KRZSsid(f.newSsid));
    conf->changeSecurityMode(f.newMode, boost::make_shared<KRZPKey>(f.newKey), f.newEncryption);
    conf->changeCredentials(f.newUser, f.newPassword);
    conf->clearPendingChanges();
    EXPECT_TRUE(conf->completeConfiguration());
    krzlab::DeviceSpec after = lab->status(f.device).state;
    EXPECT_TRUE(before.wireless == after.wireless);
    EXPECT_EQ(before.password, after.password);
    EXPECT_EQ(f.password, conf->getCredentials().second);
}

INSTANTIATE_TEST_SUITE_P(Lab, EachFamily, ::testing::Values(kAcme, kBorealis, kCorvid), familyName);

TEST_F(SampleModuleLab, ScanFindsEveryRouterAndNothingElse) {
    KRZPAPConfiguratorList found = KRZPAPScanner::runScan();
    std::vector<std::string> seen;
    for (const auto& conf : found) {
        std::vector<KRZMacAddress> macs = conf->getMACAddressList();
        ASSERT_FALSE(macs.empty());
        seen.push_back(std::string(inet_ntoa(conf->getAddr())) + " " + macs.front().toUtf8String() +
                       " " + conf->getDescription());
    }
    std::sort(seen.begin(), seen.end());
    std::vector<std::string> expected = {
        "192.168.77.10 " + KRZMacAddress::fromUtf8String(kAcme.mac).toUtf8String() + " Acme AP-100",
        "192.168.77.20 " + KRZMacAddress::fromUtf8String(kBorealis.mac).toUtf8String() +
            " Borealis BR-5400",
        "192.168.77.30 " + KRZMacAddress::fromUtf8String("02:4B:5A:00:00:30").toUtf8String() +
            " Corvid CV-10",
        "192.168.77.31 " + KRZMacAddress::fromUtf8String(kCorvid.mac).toUtf8String() +
            " Corvid CV-20",
    };
    EXPECT_EQ(expected, seen);
}

// A reset router moves to its factory address; the module's registered factory addresses let
// the finder and the scan reach it there.
TEST_F(SampleModuleLab, ResetCorvidIsFoundAtItsFactoryAddress) {
    boost::shared_ptr<KRZPAPConfigurator> conf = open(kCorvid, kCorvid.user, kCorvid.password);
    lab->factoryReset(kCorvid.device);
    EXPECT_EQ(KRZP_AP_UNREACHABLE, conf->validate());

    // A single findAP sweeps only the adapters' networks; the search over a list also asks the
    // registered factory addresses.
    KRZPAPConfiguratorVector found = KRZPAPFinder::findAllAps({conf});
    ASSERT_EQ(1u, found.size());
    EXPECT_STREQ("10.0.0.138", inet_ntoa(conf->getAddr()));
    std::pair<std::string, std::string> factory = conf->getDefaultCredentials();
    conf->setCredentials(factory.first, factory.second);
    EXPECT_EQ(KRZP_AP_OK, conf->validate());
    conf->retrieveAttributes();
    EXPECT_EQ("corvid", conf->getSSID().getBytes());
    EXPECT_EQ(KRZP_SECURITY_NONE, conf->getSecurityMode());

    auto info = boost::make_shared<KRZAccessPointWlanInfo>();
    info->ssid = conf->getSSID();
    EXPECT_GT(KRZPDefaultsRecognizer::isFactoryDefaultsAccessPoint(info), 0);
}

// The wireless change restarts Borealis; a cancel while the configurator waits for it ends the
// run with code 14 instead of waiting the restart out.
TEST_F(SampleModuleLab, CancelWhileBorealisRestartsEndsWithCode14) {
    boost::shared_ptr<KRZPAPConfigurator> conf =
        open(kBorealis, kBorealis.user, kBorealis.password);
    conf->startConfiguration();
    conf->changeSSID(KRZSsid("Polar"));
    int code = 0;
    std::thread worker([&] {
        try {
            conf->completeConfiguration();
        } catch (const KRZPAPCException& e) {
            code = e.getAPCErrorCode();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    conf->cancelOperation();
    worker.join();
    EXPECT_EQ(KRZPAPC_CANCELLED, code);
    EXPECT_EQ("Polar", lab->status(kBorealis.device).state.wireless.ssid);
}

// Without the module library the loader fails, even after the module itself has loaded.
TEST(SampleModule, MissingModuleLibraryFailsWithCode5) {
    krzprocess::setEnvironment("KRZ_VORTAN_APMODULE_DLLS", "krzpapmodulesmissing.dll");
    int code = krztest::thrownBy([] { KRZPAPModule::loadModuleDlls(); }).getAPCErrorCode();
    krzprocess::unsetEnvironment("KRZ_VORTAN_APMODULE_DLLS");
    EXPECT_EQ(KRZPAPC_INTERNAL_ERROR, code);
}
