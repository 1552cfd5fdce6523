/// \file
/// The host's log file.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZLogLevel.h"

#include <cstdarg>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

/// A log file: one entry per message, "YYYY-MM-DD HH:MM:SS.mmm [L] text", written in UTF-8,
/// filtered by level, rotated by size keeping a set number of files. The library's one log
/// object is made by KRZPAPModule::setLogFile and shared (KRZPAPModule::getLogFile).
///
/// Thread-safe: every operation may be called from any thread. A file that cannot be written
/// loses its entries; nothing is thrown.
class KRZUTIL_API KRZLoggingUtil {
  public:
    /// No file yet: entries are dropped until setLogFile.
    KRZLoggingUtil();
    /// Closes the file.
    ~KRZLoggingUtil();
    KRZLoggingUtil(const KRZLoggingUtil&) = delete;
    KRZLoggingUtil& operator=(const KRZLoggingUtil&) = delete;

    /// The file entries are appended to.
    void setLogFile(const std::wstring& path);
    /// As set; empty before.
    std::wstring getLogFile() const;
    /// Rotated files kept besides the current one (path.1 ... path.N); 0 keeps none.
    void setFilesToKeep(int count);
    /// Size at which the current file is rotated; 0 never rotates. Default 10 MiB.
    void setMaxFileSize(size_t bytes);
    /// Entries above \p level are dropped.
    void setLogLevel(_KRZLogLevel level);  // default KRZ_LOG_TRACE
    /// What every entry's text passes through before it is written (a host's masking of secrets);
    /// none by default.
    void setTextFilter(std::function<std::wstring(const std::wstring&, _KRZLogLevel)> filter);
    /// Default KRZ_LOG_TRACE.
    _KRZLogLevel getLogLevel() const;

    /// Writes a wide printf format (\%hs a narrow string, \%s a wide one) at \p level.
    /// \p flag is accepted for interface compatibility.
    void LogToFile(bool flag, const wchar_t* format, va_list args, _KRZLogLevel level);
    /// Writes \p text at \p level; \p flag as above.
    void LogStringToFile(bool flag, const std::wstring& text, _KRZLogLevel level);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
