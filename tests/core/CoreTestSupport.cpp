#include "CoreTestSupport.h"

#include "krzutil/KRZMiscUtil.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace coretest {

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm [L] " at the start of a line opens an entry.
const std::regex& entryStart() {
    static const std::regex start(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d\] )");
    return start;
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
    name << "krzcore-" << stem << "-" << getpid() << "-" << counter++ << ".txt";
    return (std::filesystem::temp_directory_path() / name.str()).string();
}

std::vector<std::string> LogCapture::entriesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();

    std::vector<std::string> result;
    std::sregex_iterator it(text.begin(), text.end(), entryStart());
    std::sregex_iterator end;
    while (it != end) {
        const size_t from = static_cast<size_t>(it->position() + it->length());
        ++it;
        size_t to = text.size();
        if (it != end) {
            // The newline that separates entries belongs to the next match.
            to = static_cast<size_t>(it->position()) + ((*it)[1].length() > 0 ? 1 : 0);
        }
        result.push_back(text.substr(from, to - from));
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
