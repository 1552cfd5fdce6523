#include "DiscoveryTestSupport.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

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
    std::ifstream in(path_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

size_t LogCapture::count(const std::string& needle) const {
    std::string all = text();
    size_t n = 0;
    for (size_t at = all.find(needle); at != npos; at = all.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

std::string dotted(uint32_t networkOrder) {
    in_addr a;
    a.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, text, sizeof text);
}

in_addr inAddr(const std::string& text) {
    in_addr a;
    a.s_addr = FakeNetworkBackend::ip(text);
    return a;
}

KRZPAPCException expectThrows(const std::function<void()>& body) {
    try {
        body();
    } catch (const KRZPAPCException& e) {
        return e;
    }
    ADD_FAILURE() << "no KRZPAPCException was thrown";
    return KRZPAPCException(const_cast<char*>("none"), 0, "", KRZPAPC_INTERNAL_ERROR);
}

}  // namespace disctest
