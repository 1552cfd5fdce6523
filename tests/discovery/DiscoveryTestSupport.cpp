#include "DiscoveryTestSupport.h"
#include "platform/krzplatform.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace disctest {

namespace {
std::atomic<int> logSerial{0};
}

LogCapture::LogCapture() {
    path_ = "/tmp/krz_discovery_test_" + std::to_string(getpid()) + "_" +
            std::to_string(logSerial++) + ".log";
    std::remove(path_.c_str());
    KRZPAPModule::setLogFile(std::wstring(path_.begin(), path_.end()), 0);
    KRZPAPModule::setLogLevel(KRZ_LOG_DUMP);
}

LogCapture::~LogCapture() {
    std::remove(path_.c_str());
}

std::string LogCapture::text() const {
    return krztest::fileText(path_);
}

size_t LogCapture::count(const std::string& needle) const {
    return krztest::occurrences(text(), needle);
}

std::string dotted(uint32_t networkOrder) {
    in_addr a;
    a.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, text, sizeof text);
}

}  // namespace disctest
