/// \file
/// The levels of log lines.
#pragma once

/// A message is written when its level is at or below the log object's level.
enum _KRZLogLevel {
    KRZ_LOG_ERROR = 0,    ///< Failures (the library's transport failures).
    KRZ_LOG_WARNING = 1,  ///< Noteworthy but not failing.
    KRZ_LOG_TRACE = 2,    ///< Trace lines (the library's default).
    KRZ_LOG_DUMP = 3      ///< Dumps of data sent and received.
};
