// A log file: one entry per message, "YYYY-MM-DD HH:MM:SS.mmm [L] text", written in UTF-8,
// thread-safe, filtered by level, rotated by size keeping a set number of files.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZLogLevel.h"

#include <cstdarg>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class KRZUTIL_API KRZLoggingUtil {
  public:
    KRZLoggingUtil();
    ~KRZLoggingUtil();
    KRZLoggingUtil(const KRZLoggingUtil&) = delete;
    KRZLoggingUtil& operator=(const KRZLoggingUtil&) = delete;

    void setLogFile(const std::wstring& path);
    std::wstring getLogFile() const;
    // Rotated files kept besides the current one (path.1 ... path.N); 0 keeps none.
    void setFilesToKeep(int count);
    // Size at which the current file is rotated; 0 never rotates. Default 10 MiB.
    void setMaxFileSize(size_t bytes);
    void setLogLevel(_KRZLogLevel level);  // default KRZ_LOG_TRACE
    // What every entry's text passes through before it is written (a host's masking of secrets);
    // none by default.
    void setTextFilter(std::function<std::wstring(const std::wstring&, _KRZLogLevel)> filter);
    _KRZLogLevel getLogLevel() const;

    // `flag` is accepted for interface compatibility; wide printf rules of KRZMiscUtil apply.
    void LogToFile(bool flag, const wchar_t* format, va_list args, _KRZLogLevel level);
    void LogStringToFile(bool flag, const std::wstring& text, _KRZLogLevel level);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
