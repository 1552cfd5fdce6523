#include "CoreTestSupport.h"

#include <cstdio>

namespace krztest {

LogCapture::LogCapture() : path_(scratchPath("log")) {
    KRZPAPModule::setLogFile(widen(path_), 0);
}

LogCapture::~LogCapture() {
    std::remove(path_.c_str());
}

std::vector<std::string> LogCapture::entries() const {
    std::vector<std::string> texts;
    for (const LogEntry& entry : logEntries(path_)) {
        texts.push_back(entry.text);
    }
    return texts;
}

std::vector<std::string> LogCapture::newEntries() {
    std::vector<std::string> all = entries();
    std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())),
                                   all.end());
    seen_ = all.size();
    return fresh;
}

void inFreshProcess(const std::function<void()>& checks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            checks();
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace krztest
