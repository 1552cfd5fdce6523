#include "E2eTestSupport.h"

#include "core/KRZPAPModule.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krzsettings/KRZSettings.h"
#include "platform/krzprocess.h"

#include <cstdio>
#include <cstdlib>
#include <random>

namespace krztest {

void LabTest::SetUp() {
    // The module list under test: the sample module by its default name, or what
    // KRZ_TEST_MODULES names (CTest runs the same scenarios again with the description module
    // alone); never a lab of the environment's.
    const std::string modules = krzprocess::environment("KRZ_TEST_MODULES");
    if (modules.empty())
        krzprocess::unsetEnvironment("KRZ_VORTAN_APMODULE_DLLS");
    else
        krzprocess::setEnvironment("KRZ_VORTAN_APMODULE_DLLS", modules);
    krzprocess::unsetEnvironment("KRZ_APDESCRIPTION_DIRS");
    krzprocess::unsetEnvironment("KRZ_LAB");
    krzprocess::unsetEnvironment("KRZ_LAB_FILE");
    krzprocess::unsetEnvironment("KRZ_NETWORK");
    KRZSettings::reload();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    static const unsigned run = std::random_device()();
    logPath = ::testing::TempDir() + "krz_e2e_" + std::to_string(run) + "_" + info->name() + ".log";
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
    return krztest::fileText(logPath);
}

size_t LabTest::logCount(const std::string& needle) const {
    return krztest::occurrences(logText(), needle);
}

std::string macText(const KRZPAPConfigurator& conf) {
    auto macs = conf.getMACAddressList();
    return macs.empty() ? std::string() : macs.front().toUtf8String();
}

}  // namespace krztest
