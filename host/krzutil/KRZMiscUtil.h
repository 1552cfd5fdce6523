// Formatting and text conversion with Windows rules, independent of the C library's locale.
#pragma once

#include "krzcompat/krzexport.h"

#include "platform/krzplatform.h"

#include <cstdarg>
#include <string>

// What a conversion does with input it cannot decode.
enum _KRZConversionErrorPolicy {
    // Each byte (or wide character) that cannot be converted becomes U+FFFD (UTF-8 EF BF BD).
    KRZ_CONVERSION_REPLACE = 0,
    // Each byte that is not valid UTF-8 becomes the character with that byte's value (as Latin-1
    // would read it), so nothing is lost; unencodable wide characters become U+FFFD.
    KRZ_CONVERSION_LATIN1_FALLBACK = 1
};

class KRZUTIL_API KRZMiscUtil {
  public:
    // Wide printf with Windows rules: %s takes a wide string, %hs a narrow one (bytes shown as
    // UTF-8, invalid bytes as Latin-1), %ls wide; %d %i %u %x %X %o %c %p %%, the h/l/ll/I64
    // length prefixes, flags "-+ #0", width and precision (also '*'). Never fails on any bytes.
    static std::wstring formatString(const wchar_t* format, ...);
    static std::wstring varargToString(const wchar_t* format, va_list args, bool flag);
    // Dotted-quad text of an address in network byte order.
    static std::wstring ipToString(const in_addr& address);
    static std::wstring ipToString(unsigned long networkOrderAddress);

    static std::wstring utf8StringToTstring(const std::string& text,
                                            _KRZConversionErrorPolicy policy);
    // ANSI here is Windows-1252.
    static std::wstring ansiStringToTstring(const std::string& text,
                                            _KRZConversionErrorPolicy policy);
    static std::string tstringToUtf8String(const std::wstring& text,
                                           _KRZConversionErrorPolicy policy);
};
