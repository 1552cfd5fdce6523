// The sample module driven through the library's public interface against an in-process lab:
// loading, recognition, login checks, full configuration runs, cancellation and the
// factory-defaults verdicts.
#include "E2eTestSupport.h"

#include "core/KRZPAPConfigurator.h"
#include "core/KRZPAPModule.h"
#include "discovery/KRZPDefaultsRecognizer.h"
#include "lab/devices/BorealisDevice.h"
#include "krzutil/KRZAccessPointWlanInfo.h"
#include "platform/krzprocess.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace krztest;

namespace {

// One device of the default lab as its manual describes it, and the settings a test writes (with
// the lab's names for the modes). Corvid has no user name: the lab keeps its own.
struct DeviceFacts {
    const char *device, *address, *mac, *vendor, *model, *firmware, *user, *password;
};
struct Changes {
    const char *newUser, *newPassword, *newSsid;
    _KRZPSecurityMode newMode;
    _KRZPEncryptionMode newEncryption;
    const char *newKey, *labSecurity, *labEncryption;
};
struct Family : DeviceFacts, Changes {};

const Family kAcme = {{"acme-1", "192.168.77.10", "02:4B:5A:00:00:10", "Acme", "AP-100",
                       "1.4.2 build 3107", "admin", "gatekeeper"},
                      {"boss", "tower15", "Acme Lab", KRZP_SECURITY_WPA_WPA2_PSK,
                       KRZP_ENCRYPTION_TKIP_AES, "passphrase-a", "wpa-wpa2-psk", "tkip-aes"}};
const Family kBorealis = {{"borealis-1", "192.168.77.20", "02:4B:5A:00:00:20", "Borealis",
                           "BR-5400", "2.0.7", "root", "northwind"},
                          {"keeper", "icefloe7", "Polar", KRZP_SECURITY_WPA2_PSK,
                           KRZP_ENCRYPTION_AES, "passphrase-b", "wpa2-psk", "aes"}};
const Family kCorvid = {{"corvid-2", "192.168.77.31", "02:4B:5A:00:00:31", "Corvid", "CV-20",
                         "1.1.0", "admin", "rookery"},
                        {"admin", "raven9", "Roost", KRZP_SECURITY_WPA_PSK, KRZP_ENCRYPTION_TKIP,
                         "passphrase-c", "wpa-psk", "tkip"}};

// The module loaded by the fixture; the tests that talk to devices start the default lab.
class SampleModule : public LabTest {
  protected:
    void startDefaultLab() { startLab(krzlab::LabDescription::defaultLab()); }
    boost::shared_ptr<KRZPAPConfigurator> open(const Family& family, const std::string& user,
                                               const std::string& password) {
        std::vector<KRZMacAddress> macs = {KRZMacAddress::fromUtf8String(family.mac)};
        const std::string vendor = family.vendor, model = family.model;
        boost::shared_ptr<KRZPAPConfigurator> conf = KRZPAPModule::createConf(
            std::wstring(vendor.begin(), vendor.end()), std::wstring(model.begin(), model.end()),
            macs, std::wstring(user.begin(), user.end()),
            std::wstring(password.begin(), password.end()));
        if (conf)
            conf->setAddr(inAddr(family.address));
        return conf;
    }
};

class EachFamily : public SampleModule, public ::testing::WithParamInterface<Family> {
  protected:
    void SetUp() override {
        SampleModule::SetUp();
        startDefaultLab();
    }
};

std::string familyName(const ::testing::TestParamInfo<Family>& info) {
    return info.param.vendor;
}

}  // namespace

TEST_F(SampleModule, FactoryBuildsKnownModelsOnly) {
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
TEST_F(SampleModule, DeviceLimitsAndFactoryCredentials) {
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

TEST_F(SampleModule, FactoryDefaultsVerdicts) {
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

// Cleared changes are not written; the same changes completed are, and read back.
TEST_P(EachFamily, FullRunChangesTheDeviceAndReadsBack) {
    const Family& f = GetParam();
    boost::shared_ptr<KRZPAPConfigurator> conf = open(f, f.user, f.password);
    ASSERT_TRUE(conf->testLogin());
    conf->retrieveAttributes();
    EXPECT_EQ(f.firmware, conf->getFirmwareRevision());
    krzlab::DeviceSpec before = lab->status(f.device).state;
    EXPECT_EQ(before.wireless.ssid, conf->getSSID().getBytes());
    auto change = [&] {
        EXPECT_TRUE(conf->startConfiguration());
        conf->changeSSID(KRZSsid(f.newSsid));
        conf->changeSecurityMode(f.newMode, boost::make_shared<KRZPKey>(f.newKey), f.newEncryption);
        conf->changeCredentials(f.newUser, f.newPassword);
    };
    change();
    conf->clearPendingChanges();
    EXPECT_TRUE(conf->completeConfiguration());
    krzlab::DeviceSpec cleared = lab->status(f.device).state;
    EXPECT_TRUE(before.wireless == cleared.wireless);
    EXPECT_EQ(before.password, cleared.password);
    EXPECT_EQ(f.password, conf->getCredentials().second);

    change();
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

INSTANTIATE_TEST_SUITE_P(Lab, EachFamily, ::testing::Values(kAcme, kBorealis, kCorvid), familyName);

namespace {

// Runs `operation` on a worker thread, cancels it after `delayMs`; the code it ended with.
int cancelledAfter(KRZPAPConfigurator& conf, int delayMs, const std::function<void()>& operation,
                   std::string* firmware = nullptr) {
    int code = 0;
    std::thread worker([&] {
        try {
            operation();
        } catch (const KRZPAPCException& e) {
            code = e.getAPCErrorCode();
            if (firmware)
                *firmware = e.getAPCFirmwareRevision();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    conf.cancelOperation();
    worker.join();
    return code;
}

}  // namespace

// A page read to the close, in slow pieces: the cancel, not the reply time-out, ends the wait.
TEST_F(SampleModule, CancelDuringSlowReplyEndsWithCode14) {
    startDefaultLab();
    const Family& f = kCorvid;
    boost::shared_ptr<KRZPAPConfigurator> conf = open(f, f.user, f.password);
    conf->retrieveAttributes();
    lab->setFault(f.device, krzlab::Fault::Slow, 100);
    size_t logStart = logText().size();
    std::string stamped;
    auto cancelled = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    EXPECT_EQ(KRZPAPC_CANCELLED, cancelledAfter(
                                     *conf, 300, [&] { conf->retrieveAttributes(); }, &stamped));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - cancelled).count();
    EXPECT_EQ(f.firmware, stamped);
    // Not a speed check: only that the cancel, not the 10 s reply time-out, ended the wait.
    EXPECT_LT(seconds, 5.0);
    std::string line = std::string(f.vendor) + " " + f.model + "(" + f.address +
                       "): retrieveAttributes(): Exception: ";
    EXPECT_NE(std::string::npos, logText().find(line, logStart)) << line;
}

// The wireless change restarts Borealis; a cancel while the configurator waits for it ends the
// run with code 14 instead of waiting the restart out.
TEST_F(SampleModule, CancelWhileBorealisRestartsEndsWithCode14) {
    startDefaultLab();
    boost::shared_ptr<KRZPAPConfigurator> conf =
        open(kBorealis, kBorealis.user, kBorealis.password);
    conf->startConfiguration();
    conf->changeSSID(KRZSsid("Polar"));
    EXPECT_EQ(KRZPAPC_CANCELLED,
              cancelledAfter(*conf, 400, [&] { conf->completeConfiguration(); }));
    EXPECT_EQ("Polar", lab->status(kBorealis.device).state.wireless.ssid);
}

// A Borealis that keeps answering while it restarts (empty replies, then resets) and applies the
// change only after it: the configurator waits for a real page, logs in again and reads the new
// network name back. The reboot's length is waited out once per style.
TEST_F(SampleModule, RestartThatAnswersEmptyIsWaitedOut) {
    for (const char* style : {"empty", "reset"}) {
        SCOPED_TRACE(style);
        krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
        for (krzlab::LabDeviceEntry& entry : description.devices) {
            if (entry.profile.name == kBorealis.device) {
                entry.profile.restart = style;
                entry.profile.restartMs = 2000;
            }
        }
        lab.reset();
        startLab(description);
        boost::shared_ptr<KRZPAPConfigurator> conf =
            open(kBorealis, kBorealis.user, kBorealis.password);
        conf->startConfiguration();
        conf->changeSSID(KRZSsid(std::string("After ") + style));
        EXPECT_TRUE(conf->completeConfiguration());
        EXPECT_EQ(std::string("After ") + style, lab->status(kBorealis.device).state.wireless.ssid);
        // The read-back's session was ended too.
        EXPECT_EQ(
            0u,
            dynamic_cast<krzlab::BorealisDevice&>(lab->device(kBorealis.device)).openSessions());
    }
}

// A refused login is one attempt per operation, never retried; a device that locked its login
// is asked once and named as locked (where its description knows the lockout answer); a session
// ends with a logout, so that the owner's own browser session is not taken over for long.
TEST_F(SampleModule, RefusedLoginIsTriedOnceAndSessionsEndWithALogout) {
    krzlab::LabDescription description = krzlab::LabDescription::defaultLab();
    for (krzlab::LabDeviceEntry& entry : description.devices)
        if (entry.profile.name == kBorealis.device)
            entry.profile.lockoutAfter = 2;
    startLab(description);
    auto& borealis = dynamic_cast<krzlab::BorealisDevice&>(lab->device(kBorealis.device));
    boost::shared_ptr<KRZPAPConfigurator> right =
        open(kBorealis, kBorealis.user, kBorealis.password);
    EXPECT_EQ(KRZP_AP_OK, right->validate());
    EXPECT_EQ(0u, borealis.openSessions());
    right->retrieveAttributes();
    EXPECT_EQ(0u, borealis.openSessions());

    boost::shared_ptr<KRZPAPConfigurator> wrong = open(kBorealis, kBorealis.user, "wrong");
    EXPECT_EQ(KRZP_AP_LOGIN_FAILED, wrong->validate());
    EXPECT_EQ(1, borealis.failedLogins());
    EXPECT_EQ(KRZPAPC_AUTH_ERROR, thrownBy([&] { wrong->retrieveAttributes(); }).getAPCErrorCode());
    EXPECT_EQ(2, borealis.failedLogins());

    // Locked now: the right credentials are refused too, once.
    const size_t logged = logText().size();
    EXPECT_EQ(KRZPAPC_AUTH_ERROR, thrownBy([&] { right->retrieveAttributes(); }).getAPCErrorCode());
    EXPECT_EQ(3, borealis.failedLogins());
    if (krzprocess::environment("KRZ_TEST_MODULES").find("descriptions") != std::string::npos) {
        EXPECT_NE(std::string::npos,
                  logText().find("login locked: the device said \"Too many failed logins\"; try "
                                 "again in 5 minutes",
                                 logged))
            << logText().substr(logged);
    }
}

// Without the module library the loader fails, even after the module itself has loaded.
TEST_F(SampleModule, MissingModuleLibraryFailsWithCode5) {
    krzprocess::setEnvironment("KRZ_VORTAN_APMODULE_DLLS", "krzpapmodulesmissing.dll");
    int code = thrownBy([] { KRZPAPModule::loadModuleDlls(); }).getAPCErrorCode();
    krzprocess::unsetEnvironment("KRZ_VORTAN_APMODULE_DLLS");
    EXPECT_EQ(KRZPAPC_INTERNAL_ERROR, code);
}
