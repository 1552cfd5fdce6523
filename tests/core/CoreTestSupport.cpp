#include "CoreTestSupport.h"

#include "krzutil/KRZMiscUtil.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>

namespace coretest {

namespace {

// Length of the entry header "YYYY-MM-DD HH:MM:SS.mmm [L] " when `text` has one at `at`, else 0.
size_t headerAt(const std::string& text, size_t at) {
    static const char pattern[] = "dddd-dd-dd dd:dd:dd.ddd [d] ";
    const size_t length = sizeof pattern - 1;
    if (text.size() - at < length) {
        return 0;
    }
    for (size_t i = 0; i < length; ++i) {
        const char c = text[at + i];
        const bool ok = pattern[i] == 'd' ? (c >= '0' && c <= '9') : c == pattern[i];
        if (!ok) {
            return 0;
        }
    }
    return length;
}

}  // namespace

LogCapture::LogCapture() : path_(uniquePath("log")) {
    KRZPAPModule::setLogFile(KRZMiscUtil::utf8StringToTstring(path_, KRZ_CONVERSION_REPLACE), 0);
}

LogCapture::~LogCapture() {
    std::remove(path_.c_str());
}

std::string LogCapture::uniquePath(const std::string& stem) {
    static std::atomic<int> counter{0};
    std::ostringstream name;
    static const unsigned run = std::random_device()();
    name << "krzcore-" << stem << "-" << run << "-" << counter++ << ".txt";
    return (std::filesystem::temp_directory_path() / name.str()).string();
}

std::vector<std::string> LogCapture::entriesOf(const std::string& path) {
    const std::string text = krztest::fileText(path);

    // Entries start at line starts with a header; an entry's text runs to the next one.
    std::vector<std::string> result;
    size_t textStart = std::string::npos;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
        const size_t header = headerAt(text, at);
        if (header != 0) {
            if (textStart != std::string::npos) {
                result.push_back(text.substr(textStart, at - textStart));
            }
            textStart = at + header;
        }
        if (text.find('\n', at) == std::string::npos) {
            break;
        }
    }
    if (textStart != std::string::npos) {
        result.push_back(text.substr(textStart));
    }
    return result;
}

std::vector<std::string> LogCapture::entries() const {
    return entriesOf(path_);
}

std::vector<std::string> LogCapture::newEntries() {
    std::vector<std::string> all = entries();
    std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())),
                                   all.end());
    seen_ = all.size();
    return fresh;
}

in_addr ip(const char* dotted) {
    in_addr address;
    address.s_addr = inet_addr(dotted);
    return address;
}

std::string narrow(const std::wstring& text) {
    return KRZMiscUtil::tstringToUtf8String(text, KRZ_CONVERSION_REPLACE);
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

}  // namespace coretest
