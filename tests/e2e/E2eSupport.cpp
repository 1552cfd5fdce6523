#include "E2eSupport.h"

#include "core/KRZPAPModule.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krzsettings/KRZSettings.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace e2e {

void LabTest::SetUp() {
    // The module by its default name, and never a lab of the environment's.
    unsetenv("KRZ_VORTAN_APMODULE_DLLS");
    unsetenv("KRZ_LAB");
    unsetenv("KRZ_NETWORK");
    KRZSettings::reload();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    logPath =
        ::testing::TempDir() + "krz_e2e_" + std::to_string(getpid()) + "_" + info->name() + ".log";
    std::remove(logPath.c_str());
    KRZPAPModule::setLogFile(std::wstring(logPath.begin(), logPath.end()), 0);
    KRZPAPModule::setLogLevel(KRZ_LOG_TRACE);
    KRZPAPModule::loadModuleDlls();
}

void LabTest::TearDown() {
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>(new KRZNullNetworkBackend));
    lab.reset();
    if (!HasFailure())
        std::remove(logPath.c_str());
}

void LabTest::startLab(const krzlab::LabDescription& description) {
    lab = krzlab::LabNetwork::create(description);
    lab->install();
}

std::string LabTest::logText() const {
    std::ifstream in(logPath, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

size_t LabTest::logCount(const std::string& needle) const {
    std::string all = logText();
    size_t n = 0;
    for (size_t at = all.find(needle); at != std::string::npos;
         at = all.find(needle, at + needle.size()))
        ++n;
    return n;
}

KRZPAPCException thrownBy(const std::function<void()>& body) {
    try {
        body();
    } catch (const KRZPAPCException& e) {
        return e;
    }
    ADD_FAILURE() << "no KRZPAPCException was thrown";
    return KRZPAPCException(const_cast<char*>("none"), 0, "", KRZPAPC_INTERNAL_ERROR);
}

in_addr inAddr(const std::string& text) {
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return a;
}

std::string dotted(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string macText(const KRZPAPConfigurator& conf) {
    auto macs = conf.getMACAddressList();
    return macs.empty() ? std::string() : macs.front().toUtf8String();
}

}  // namespace e2e
