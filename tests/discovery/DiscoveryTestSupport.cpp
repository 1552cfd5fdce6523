#include "DiscoveryTestSupport.h"
#include "platform/krzplatform.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>

namespace krztest {

namespace {
std::atomic<int> logSerial{0};
}

LogCapture::LogCapture() {
    static const unsigned run = std::random_device()();
    path_ = (std::filesystem::temp_directory_path() / ("krz_discovery_test_" + std::to_string(run) +
                                                       "_" + std::to_string(logSerial++) + ".log"))
                .string();
    std::remove(path_.c_str());
    KRZPAPModule::setLogFile(std::wstring(path_.begin(), path_.end()), 0);
    KRZPAPModule::setLogLevel(KRZ_LOG_DUMP);
}

LogCapture::~LogCapture() {
    std::remove(path_.c_str());
}

std::string LogCapture::text() const {
    return fileText(path_);
}

size_t LogCapture::count(const std::string& needle) const {
    return occurrences(text(), needle);
}

}  // namespace krztest
