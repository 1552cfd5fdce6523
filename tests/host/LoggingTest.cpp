#include "krzutil/KRZLoggingUtil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Splits "YYYY-MM-DD HH:MM:SS.mmm [L] text" into level and text; false when the line has
// another shape.
bool parseEntry(const std::string& line, std::string& level, std::string& text) {
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd [d] ";
    if (line.size() < shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) {
            return false;
        }
    }
    level = line.substr(25, 1);
    text = line.substr(shape.size());
    return true;
}

class LogFile : public ::testing::Test {
  protected:
    void SetUp() override {
        static unsigned serial = 0;
        dir_ = (std::filesystem::temp_directory_path() /
                ("krzlogtest" + std::to_string(std::random_device()()) + "-" +
                 std::to_string(serial++)))
                   .string();
        ASSERT_TRUE(std::filesystem::create_directory(dir_));
        path_ = dir_ + "/test.log";
    }
    void TearDown() override {
        for (int n = 0; n <= 9; ++n) {
            std::remove(name(n).c_str());
        }
        std::filesystem::remove(dir_);
    }
    std::string name(int n) const { return n == 0 ? path_ : path_ + "." + std::to_string(n); }
    std::wstring widePath() const { return std::wstring(path_.begin(), path_.end()); }
    static std::vector<std::string> lines(const std::string& file) {
        std::ifstream in(file);
        std::vector<std::string> out;
        std::string line;
        while (std::getline(in, line)) {
            out.push_back(line);
        }
        return out;
    }
    static bool exists(const std::string& file) { return access(file.c_str(), F_OK) == 0; }
    static void log(KRZLoggingUtil& util, _KRZLogLevel level, const wchar_t* format, ...) {
        va_list args;
        va_start(args, format);
        util.LogToFile(true, format, args, level);
        va_end(args);
    }

    std::string dir_;
    std::string path_;
};

TEST_F(LogFile, EntryFormatLineEndsAndLevelFilter) {
    KRZLoggingUtil util;
    EXPECT_EQ(util.getLogLevel(), KRZ_LOG_TRACE);
    util.setLogFile(widePath());
    EXPECT_EQ(util.getLogFile(), widePath());
    log(util, KRZ_LOG_TRACE, L"Loading %s from %hs\n", L"a.dll", "gr\xC3\xBCn");
    util.LogStringToFile(true, L"no line end", KRZ_LOG_ERROR);
    util.LogStringToFile(true, L"dump, filtered", KRZ_LOG_DUMP);
    util.setLogLevel(KRZ_LOG_DUMP);
    util.LogStringToFile(true, L"dump, written \u20AC", KRZ_LOG_DUMP);
    util.setLogLevel(KRZ_LOG_ERROR);
    util.LogStringToFile(true, L"warning, filtered", KRZ_LOG_WARNING);
    util.LogStringToFile(true, L"error, written\n", KRZ_LOG_ERROR);

    // Logging a failure must not lose the socket error that the caller reads next.
    errno = ECONNREFUSED;
    util.LogStringToFile(true, L"connect() failed", KRZ_LOG_DUMP);
    log(util, KRZ_LOG_ERROR, L"connect() error: %d", 10061);
    EXPECT_EQ(errno, ECONNREFUSED);

    std::vector<std::string> got = lines(path_);
    ASSERT_EQ(got.size(), 5u);
    const char* texts[] = {"Loading a.dll from gr\xC3\xBCn", "no line end",
                           "dump, written \xE2\x82\xAC", "error, written",
                           "connect() error: 10061"};
    const char* levels[] = {"2", "0", "3", "0", "0"};
    for (size_t i = 0; i < got.size(); ++i) {
        std::string level, text;
        ASSERT_TRUE(parseEntry(got[i], level, text)) << got[i];
        EXPECT_EQ(level, levels[i]);
        EXPECT_EQ(text, texts[i]);
    }
}

TEST_F(LogFile, RotatesBySizeKeepingFiles) {
    KRZLoggingUtil util;
    util.setLogFile(widePath());
    util.setFilesToKeep(2);
    util.setMaxFileSize(200);
    // Each entry is 24 + 4 + 70 + 1 = 99 bytes: two fit in one file.
    std::wstring body(70, L'x');
    for (int i = 0; i < 9; ++i) {
        body[0] = static_cast<wchar_t>(L'0' + i);
        util.LogStringToFile(true, body, KRZ_LOG_TRACE);
    }
    // Entries 0..8 in pairs: current holds 8, .1 holds 6-7, .2 holds 4-5; older ones dropped.
    ASSERT_EQ(lines(name(0)).size(), 1u);
    EXPECT_EQ(lines(name(0))[0].substr(28, 1), "8");
    ASSERT_EQ(lines(name(1)).size(), 2u);
    EXPECT_EQ(lines(name(1))[0].substr(28, 1), "6");
    ASSERT_EQ(lines(name(2)).size(), 2u);
    EXPECT_EQ(lines(name(2))[0].substr(28, 1), "4");
    EXPECT_FALSE(exists(name(3)));

    // Keeping none: the full file is simply started again.
    KRZLoggingUtil none;
    std::string other = dir_ + "/none.log";
    none.setLogFile(std::wstring(other.begin(), other.end()));
    none.setMaxFileSize(200);
    for (int i = 0; i < 3; ++i) {
        none.LogStringToFile(true, body, KRZ_LOG_TRACE);
    }
    EXPECT_EQ(lines(other).size(), 1u);
    EXPECT_FALSE(exists(other + ".1"));
    std::remove(other.c_str());
}

TEST_F(LogFile, ThreadsWriteWholeEntries) {
    KRZLoggingUtil util;
    util.setLogFile(widePath());
    const int threads = 4, perThread = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&util, t] {
            for (int i = 0; i < perThread; ++i) {
                log(util, KRZ_LOG_TRACE, L"thread %d entry %d %hs", t, i,
                    "payload-payload-payload-payload");
            }
        });
    }
    for (std::thread& w : workers) {
        w.join();
    }
    std::vector<std::string> got = lines(path_);
    ASSERT_EQ(got.size(), static_cast<size_t>(threads * perThread));
    std::vector<int> next(threads, 0);
    for (const std::string& line : got) {
        std::string level, text;
        ASSERT_TRUE(parseEntry(line, level, text)) << line;
        EXPECT_EQ(level, "2");
        int t = -1, i = -1;
        char tail[64] = {};
        ASSERT_EQ(std::sscanf(text.c_str(), "thread %d entry %d %63s", &t, &i, tail), 3) << line;
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_STREQ(tail, "payload-payload-payload-payload");
        EXPECT_EQ(i, next[static_cast<size_t>(t)]++);  // each thread's entries in order
    }
}

}  // namespace
