#include "krzutil/KRZLoggingUtil.h"

#include "krzutil/KRZMiscUtil.h"

#include "platform/krzplatform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

struct KRZLoggingUtil::Impl {
    mutable std::mutex mutex;
    std::wstring widePath;
    std::string path;
    std::ofstream file;
    size_t currentSize = 0;
    int filesToKeep = 0;
    size_t maxFileSize = 10 * 1024 * 1024;
    std::atomic<int> level{KRZ_LOG_TRACE};
    std::function<std::wstring(const std::wstring&, _KRZLogLevel)> filter;  // under mutex

    ~Impl() { closeFile(); }

    void closeFile() {
        if (file.is_open()) {
            file.close();
        }
        file.clear();
    }

    static fs::path fsPath(const std::string& utf8) { return fs::u8path(utf8); }

    void openFile() {
        closeFile();
        currentSize = 0;
        if (path.empty()) {
            return;
        }
        file.open(fsPath(path), std::ios::binary | std::ios::app);
        std::error_code ec;
        auto size = fs::file_size(fsPath(path), ec);
        if (file.is_open() && !ec) {
            currentSize = static_cast<size_t>(size);
        }
    }

    std::string rotatedName(int n) const { return path + "." + std::to_string(n); }

    // path.N-1 -> path.N ... path -> path.1; the oldest beyond filesToKeep is dropped.
    void rotate() {
        closeFile();
        std::error_code ec;
        if (filesToKeep <= 0) {
            fs::remove(fsPath(path), ec);
        } else {
            fs::remove(fsPath(rotatedName(filesToKeep)), ec);
            for (int n = filesToKeep - 1; n >= 1; --n) {
                fs::rename(fsPath(rotatedName(n)), fsPath(rotatedName(n + 1)), ec);
            }
            fs::rename(fsPath(path), fsPath(rotatedName(1)), ec);
        }
        openFile();
    }

    void write(const std::string& entry) {
        if (!file.is_open()) {
            return;
        }
        if (maxFileSize > 0 && currentSize > 0 && currentSize + entry.size() > maxFileSize) {
            rotate();
            if (!file.is_open()) {
                return;
            }
        }
        // A whole entry or nothing: a failed write leaves the stream failed until the next open.
        if (file.is_open() &&
            file.write(entry.data(), static_cast<std::streamsize>(entry.size())) && file.flush()) {
            currentSize += entry.size();
        }
    }
};

namespace {

std::string timestamp() {
    struct __timeb64 now;
    _ftime64(&now);
    std::tm local{};
    krz_localtime(now.time, &local);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.millitm));
    return buffer;
}

}  // namespace

KRZLoggingUtil::KRZLoggingUtil() : impl_(new Impl) {}
KRZLoggingUtil::~KRZLoggingUtil() = default;

void KRZLoggingUtil::setLogFile(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->widePath = path;
    impl_->path = KRZMiscUtil::tstringToUtf8String(path, KRZ_CONVERSION_LATIN1_FALLBACK);
    int savedErrno = errno;
    impl_->openFile();
    errno = savedErrno;
}

std::wstring KRZLoggingUtil::getLogFile() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->widePath;
}

void KRZLoggingUtil::setFilesToKeep(int count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->filesToKeep = count < 0 ? 0 : count;
}

void KRZLoggingUtil::setMaxFileSize(size_t bytes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->maxFileSize = bytes;
}

void KRZLoggingUtil::setLogLevel(_KRZLogLevel level) {
    impl_->level = level;
}

void KRZLoggingUtil::setTextFilter(
    std::function<std::wstring(const std::wstring&, _KRZLogLevel)> filter) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->filter = std::move(filter);
}

_KRZLogLevel KRZLoggingUtil::getLogLevel() const {
    return static_cast<_KRZLogLevel>(impl_->level.load());
}

void KRZLoggingUtil::LogToFile(bool flag, const wchar_t* format, va_list args, _KRZLogLevel level) {
    if (static_cast<int>(level) > impl_->level.load()) {
        return;
    }
    LogStringToFile(flag, KRZMiscUtil::varargToString(format, args, true), level);
}

void KRZLoggingUtil::LogStringToFile(bool, const std::wstring& text, _KRZLogLevel level) {
    if (static_cast<int>(level) > impl_->level.load()) {
        return;
    }
    // Callers read WSAGetLastError() after logging a failure: leave errno as it was.
    int savedErrno = errno;
    std::string entry = timestamp();
    entry += " [";
    entry += std::to_string(static_cast<int>(level));
    entry += "] ";
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        entry += KRZMiscUtil::tstringToUtf8String(impl_->filter ? impl_->filter(text, level) : text,
                                                  KRZ_CONVERSION_REPLACE);
        if (entry.back() != '\n') {
            entry += '\n';
        }
        impl_->write(entry);
    }
    errno = savedErrno;
}
