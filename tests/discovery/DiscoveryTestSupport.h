// Helpers for the discovery tests: a minimal configurator, the library log read back from its
// file, and a fixture that installs a fake network for each test.
#pragma once

#include "FakeNetworkBackend.h"
#include "TestSupport.h"
#include "core/KRZPAPCException.h"
#include "core/KRZPAPConfigurator.h"
#include "core/KRZPAPModule.h"
#include "platform/krzplatform.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace krztest {

// A configurator whose device-specific steps do nothing; its finder can be replaced.
class TestConfigurator : public KRZPAPConfigurator {
  public:
    explicit TestConfigurator(std::vector<KRZMacAddress> macs = {}, std::string name = "Test")
        : KRZPAPConfigurator(std::move(macs), "admin", "secret"), name_(std::move(name)) {}

    KRZPAPFinder* finder = nullptr;  // null: the base's (the ARP finder)
    int addressChanges = 0;

    std::string getVendorName() const override { return "Acme"; }
    std::string getModelName() const override { return name_; }
    std::string getAdminPageUrl() const override { return "http://192.168.1.1/"; }
    std::pair<std::string, std::string> getDefaultCredentials() const override {
        return std::make_pair("admin", "admin");
    }
    bool usesUsername() const override { return true; }
    int getMaxPasswordLen() const override { return 32; }
    KRZPAPFinder* getFinder() override {
        return finder != nullptr ? finder : KRZPAPConfigurator::getFinder();
    }

  private:
    void _onNewAddr(const in_addr&) override { ++addressChanges; }
    bool _testLogin() override { return true; }
    void _retrieveAttributes() override {}
    bool _changeCredentials(const std::string&, const std::string&) override { return true; }
    bool _changeSSID(const KRZSsid&) override { return true; }
    bool _changeSecurityMode(_KRZPSecurityMode, boost::shared_ptr<KRZPKey>,
                             _KRZPEncryptionMode) override {
        return true;
    }
    _KRZPAPStatus _validate() override { return KRZP_AP_OK; }
    void _cancelOperation() override {}
    void _clearPendingChanges() override {}

    std::string name_;
};

// Installs a log file of its own and reads it back.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    std::string text() const;
    bool contains(const std::string& needle) const { return text().find(needle) != npos; }
    size_t count(const std::string& needle) const;
    static constexpr size_t npos = std::string::npos;

  private:
    std::string path_;
};

// Each test gets a fresh fake network, installed before and removed after it.
class FakeNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override { net.install(); }
    void TearDown() override { FakeNetworkBackend::uninstall(); }

    // A device that answers ARP at `address` (after `arpDelayMs`).
    void device(const std::string& address, const KRZMacAddress& mac, int arpDelayMs = 0) {
        FakeNetworkBackend::Device d;
        d.address = address;
        d.mac = mac;
        d.arpDelayMs = arpDelayMs;
        net.addDevice(d);
    }

    FakeNetworkBackend net;
};

}  // namespace krztest
