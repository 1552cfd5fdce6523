#include "TestSupport.h"

#include <gtest/gtest.h>

#include "krzutil/KRZMiscUtil.h"
#include "platform/krzplatform.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace krztest {

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
        if (pattern[i] == 'd' ? (c < '0' || c > '9') : c != pattern[i]) {
            return 0;
        }
    }
    return length;
}

}  // namespace

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

std::wstring widen(const std::string& utf8) {
    return KRZMiscUtil::utf8StringToTstring(utf8, KRZ_CONVERSION_REPLACE);
}

std::string narrow(const std::wstring& text) {
    return KRZMiscUtil::tstringToUtf8String(text, KRZ_CONVERSION_REPLACE);
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::string scratchPath(const std::string& stem) {
    static std::atomic<int> counter{0};
    static const unsigned run = std::random_device()();
    const std::string name =
        "krz-" + stem + "-" + std::to_string(run) + "-" + std::to_string(counter++);
    return (std::filesystem::temp_directory_path() / name).string();
}

std::vector<LogEntry> logEntries(const std::string& path) {
    const std::string text = fileText(path);
    std::vector<LogEntry> result;
    for (size_t at = 0; at < text.size();) {
        const size_t next = text.find('\n', at);
        const size_t end = next == std::string::npos ? text.size() : next + 1;
        const size_t header = headerAt(text, at);
        if (header != 0) {
            result.push_back(
                LogEntry{text[at + header - 3], text.substr(at + header, end - at - header)});
        } else if (!result.empty()) {
            result.back().text += text.substr(at, end - at);
        }
        at = end;
    }
    return result;
}

}  // namespace krztest
