// Helpers for the configurator core tests: a configurable configurator, a log read back from its
// file, and a way to run checks in a fresh process where the process-wide state is untouched.
#pragma once

#include "core/KRZPAPConfigurator.h"
#include "core/KRZPAPModule.h"

#include "TestSupport.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace krztest {

// The log entries' texts (timestamp and level stripped), UTF-8, read back from the log file that
// this object installs with KRZPAPModule::setLogFile.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& path() const { return path_; }
    std::vector<std::string> entries() const;
    // The entries written since the last call of this function (or since construction).
    std::vector<std::string> newEntries();

  private:
    std::string path_;
    size_t seen_ = 0;
};

class FakeConfigurator : public KRZPAPConfigurator {
  public:
    FakeConfigurator() = default;
    FakeConfigurator(std::vector<KRZMacAddress> macs, const std::string& user,
                     const std::string& pass)
        : KRZPAPConfigurator(std::move(macs), user, pass) {}

    std::string vendor = "Acme";
    std::string model = "X1";
    bool takesUsername = true;
    int minUser = 0;
    int maxUser = 0;
    int minPassword = 0;
    int maxPassword = 0;

    std::function<bool()> loginStep = [] { return true; };
    std::function<void()> plainStep = [] {};
    std::function<bool()> boolStep = [] { return true; };
    std::function<_KRZPAPStatus()> validateStep = [] { return KRZP_AP_OK; };
    std::function<void(const in_addr&)> onNewAddr = [](const in_addr&) {};
    KRZPAPFinder* finder = nullptr;
    bool ownFinder = false;  // getFinder() returns `finder` instead of the base's

    std::vector<in_addr> newAddrs;
    std::vector<std::string> calls;
    boost::shared_ptr<KRZPKey> lastKey;

    std::string getVendorName() const override { return vendor; }
    std::string getModelName() const override { return model; }
    std::string getAdminPageUrl() const override { return "http://admin/"; }
    std::pair<std::string, std::string> getDefaultCredentials() const override {
        return {"admin", "admin"};
    }
    bool usesUsername() const override { return takesUsername; }
    int getMinUsernameLen() const override { return minUser; }
    int getMaxUsernameLen() const override { return maxUser; }
    int getMinPasswordLen() const override { return minPassword; }
    int getMaxPasswordLen() const override { return maxPassword; }
    KRZPAPFinder* getFinder() override {
        return ownFinder ? finder : KRZPAPConfigurator::getFinder();
    }

    using KRZPAPConfigurator::addMACAddress;
    using KRZPAPConfigurator::clearMACAddressList;
    using KRZPAPConfigurator::getValidPasswordCharsRestrictive;
    using KRZPAPConfigurator::getValidSsidCharsRestrictive;
    using KRZPAPConfigurator::getValidUsernameCharsRestrictive;
    using KRZPAPConfigurator::log;
    using KRZPAPConfigurator::normalizeMAC;
    using KRZPAPConfigurator::setCredentialsReally;
    using KRZPAPConfigurator::setEncryptionMode;
    using KRZPAPConfigurator::setFirmwareRevision;
    using KRZPAPConfigurator::setKey;
    using KRZPAPConfigurator::setSecurityMode;
    using KRZPAPConfigurator::setSSID;

  private:
    void _onNewAddr(const in_addr& address) override {
        newAddrs.push_back(address);
        onNewAddr(address);
    }
    bool _testLogin() override {
        calls.push_back("testLogin");
        return loginStep();
    }
    void _retrieveAttributes() override {
        calls.push_back("retrieveAttributes");
        plainStep();
    }
    bool _changeCredentials(const std::string& user, const std::string& pass) override {
        calls.push_back("changeCredentials " + user + " " + pass);
        return boolStep();
    }
    bool _changeSSID(const KRZSsid& network) override {
        calls.push_back("changeSSID " + network.getBytes());
        return boolStep();
    }
    bool _changeSecurityMode(_KRZPSecurityMode mode, boost::shared_ptr<KRZPKey> newKey,
                             _KRZPEncryptionMode encryption) override {
        calls.push_back("changeSecurityMode " + std::to_string(mode) + " " +
                        std::to_string(encryption));
        lastKey = newKey;
        return boolStep();
    }
    _KRZPAPStatus _validate() override {
        calls.push_back("validate");
        return validateStep();
    }
    void _cancelOperation() override {
        calls.push_back("cancelOperation");
        plainStep();
    }
    void _clearPendingChanges() override {
        calls.push_back("clearPendingChanges");
        plainStep();
    }
};

// Runs `checks` in a new run of this test program restricted to the current test, so that the
// module registry, the log and the SSID set start out as at library load. Code before the call in
// the test body runs in both processes.
void inFreshProcess(const std::function<void()>& checks);

}  // namespace krztest
