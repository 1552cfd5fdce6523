#pragma once

// A message is written when its level is at or below the log object's level.
enum _KRZLogLevel {
    KRZ_LOG_ERROR = 0,    // failures (the library's transport failures)
    KRZ_LOG_WARNING = 1,  // noteworthy but not failing
    KRZ_LOG_TRACE = 2,    // trace lines (the library's default)
    KRZ_LOG_DUMP = 3      // dumps of data sent and received
};
