#include "krzutil/KRZLoggingUtil.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using krztest::logEntries;

class LogFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = krztest::scratchPath("logtest");
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
    std::wstring widePath() const { return krztest::widen(path_); }
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

    const auto got = logEntries(path_);
    ASSERT_EQ(got.size(), 5u);
    const char* texts[] = {"Loading a.dll from gr\xC3\xBCn\n", "no line end\n",
                           "dump, written \xE2\x82\xAC\n", "error, written\n",
                           "connect() error: 10061\n"};
    const char levels[] = {'2', '0', '3', '0', '0'};
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].level, levels[i]);
        EXPECT_EQ(got[i].text, texts[i]);
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
    ASSERT_EQ(logEntries(name(0)).size(), 1u);
    EXPECT_EQ(logEntries(name(0))[0].text[0], '8');
    ASSERT_EQ(logEntries(name(1)).size(), 2u);
    EXPECT_EQ(logEntries(name(1))[0].text[0], '6');
    ASSERT_EQ(logEntries(name(2)).size(), 2u);
    EXPECT_EQ(logEntries(name(2))[0].text[0], '4');
    EXPECT_FALSE(exists(name(3)));

    // Keeping none: the full file is simply started again.
    KRZLoggingUtil none;
    std::string other = dir_ + "/none.log";
    none.setLogFile(krztest::widen(other));
    none.setMaxFileSize(200);
    for (int i = 0; i < 3; ++i) {
        none.LogStringToFile(true, body, KRZ_LOG_TRACE);
    }
    EXPECT_EQ(logEntries(other).size(), 1u);
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
    const auto got = logEntries(path_);
    ASSERT_EQ(got.size(), static_cast<size_t>(threads * perThread));
    std::vector<int> next(threads, 0);
    for (const krztest::LogEntry& entry : got) {
        EXPECT_EQ(entry.level, '2');
        int t = -1, i = -1;
        char tail[64] = {};
        ASSERT_EQ(std::sscanf(entry.text.c_str(), "thread %d entry %d %63s", &t, &i, tail), 3)
            << entry.text;
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_STREQ(tail, "payload-payload-payload-payload");
        EXPECT_EQ(i, next[static_cast<size_t>(t)]++);  // each thread's entries in order
    }
}

}  // namespace
