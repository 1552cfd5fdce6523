#include "krzutil/KRZLoggingUtil.h"

#include "krzutil/KRZMiscUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

struct KRZLoggingUtil::Impl {
    mutable std::mutex mutex;
    std::wstring widePath;
    std::string path;
    int fd = -1;
    size_t currentSize = 0;
    int filesToKeep = 0;
    size_t maxFileSize = 10 * 1024 * 1024;
    std::atomic<int> level{KRZ_LOG_TRACE};

    ~Impl() { closeFile(); }

    void closeFile() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    void openFile() {
        closeFile();
        currentSize = 0;
        if (path.empty()) {
            return;
        }
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0) {
            currentSize = static_cast<size_t>(st.st_size);
        }
    }

    std::string rotatedName(int n) const { return path + "." + std::to_string(n); }

    // path.N-1 -> path.N ... path -> path.1; the oldest beyond filesToKeep is dropped.
    void rotate() {
        closeFile();
        if (filesToKeep <= 0) {
            ::unlink(path.c_str());
        } else {
            ::unlink(rotatedName(filesToKeep).c_str());
            for (int n = filesToKeep - 1; n >= 1; --n) {
                ::rename(rotatedName(n).c_str(), rotatedName(n + 1).c_str());
            }
            ::rename(path.c_str(), rotatedName(1).c_str());
        }
        openFile();
    }

    void write(const std::string& entry) {
        if (fd < 0) {
            return;
        }
        if (maxFileSize > 0 && currentSize > 0 && currentSize + entry.size() > maxFileSize) {
            rotate();
            if (fd < 0) {
                return;
            }
        }
        size_t done = 0;
        while (done < entry.size()) {
            ssize_t n = ::write(fd, entry.data() + done, entry.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        currentSize += done;
    }
};

namespace {

std::string timestamp() {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    struct tm local;
    time_t seconds = tv.tv_sec;
    ::localtime_r(&seconds, &local);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(tv.tv_usec / 1000));
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
    entry += KRZMiscUtil::tstringToUtf8String(text, KRZ_CONVERSION_REPLACE);
    if (entry.back() != '\n') {
        entry += '\n';
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->write(entry);
    }
    errno = savedErrno;
}
