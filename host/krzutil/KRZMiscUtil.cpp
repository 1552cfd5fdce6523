#include "krzutil/KRZMiscUtil.h"

#include "krzutil/KRZTextCoding.h"

#include <cerrno>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

const wchar_t kReplacement = 0xFFFD;

// ---- text conversion ----

// Length of the valid UTF-8 sequence at s (at most n bytes), 0 when it is not valid. Overlong
// forms, surrogates and values above U+10FFFF are not valid.
size_t utf8SequenceLength(const unsigned char* s, size_t n, uint32_t& cp) {
    unsigned char b = s[0];
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        cp = b & 0x0F;
        if (b == 0xE0) {
            lo = 0xA0;
        } else if (b == 0xED) {
            hi = 0x9F;
        }
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        cp = b & 0x07;
        if (b == 0xF0) {
            lo = 0x90;
        } else if (b == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return 0;
    }
    if (n < len) {
        return 0;
    }
    for (size_t i = 1; i < len; ++i) {
        unsigned char c = s[i];
        unsigned char min = i == 1 ? lo : 0x80;
        unsigned char max = i == 1 ? hi : 0xBF;
        if (c < min || c > max) {
            return 0;
        }
        cp = cp << 6 | (c & 0x3F);
    }
    return len;
}

void decodeUtf8(const unsigned char* s, size_t n, _KRZConversionErrorPolicy policy,
                std::wstring& out) {
    size_t i = 0;
    while (i < n) {
        uint32_t cp = 0;
        size_t len = utf8SequenceLength(s + i, n - i, cp);
        if (len == 0) {
            out += policy == KRZ_CONVERSION_LATIN1_FALLBACK ? static_cast<wchar_t>(s[i])
                                                            : kReplacement;
            ++i;
        } else {
            out += static_cast<wchar_t>(cp);
            i += len;
        }
    }
}

// Windows-1252 at 0x80..0x9F; 0 marks the five bytes the code page leaves undefined.
const uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// ---- wide printf ----

enum class Length { None, Hh, H, L, Ll, Size, LongDouble };

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    Length length = Length::None;
    wchar_t conv = 0;
};

// Reads the argument list through a pointer so that helpers advance the caller's list.
class Args {
  public:
    explicit Args(va_list* list) : list_(list) {}
    int nextInt() { return va_arg(*list_, int); }
    long nextLong() { return va_arg(*list_, long); }
    long long nextLongLong() { return va_arg(*list_, long long); }
    size_t nextSize() { return va_arg(*list_, size_t); }
    double nextDouble() { return va_arg(*list_, double); }
    long double nextLongDouble() { return va_arg(*list_, long double); }
    const void* nextPointer() { return va_arg(*list_, const void*); }

  private:
    va_list* list_;
};

void pad(std::wstring& out, size_t count, wchar_t c) {
    out.append(count, c);
}

void emitPadded(std::wstring& out, const Directive& profile, const std::wstring& body) {
    size_t width = profile.width > 0 ? static_cast<size_t>(profile.width) : 0;
    size_t fill = body.size() < width ? width - body.size() : 0;
    if (!profile.left) {
        pad(out, fill, L' ');
    }
    out += body;
    if (profile.left) {
        pad(out, fill, L' ');
    }
}

// Signed conversions keep Windows widths: 'l' is 32 bits there, so a long is cut to 32 bits.
long long readSigned(Args& args, Length length) {
    switch (length) {
        case Length::Hh:
            return static_cast<signed char>(args.nextInt());
        case Length::H:
            return static_cast<short>(args.nextInt());
        case Length::L:
            return static_cast<int32_t>(args.nextLong());
        case Length::Ll:
            return args.nextLongLong();
        case Length::Size:
            return static_cast<long long>(static_cast<std::ptrdiff_t>(args.nextSize()));
        default:
            return args.nextInt();
    }
}

unsigned long long readUnsigned(Args& args, Length length) {
    switch (length) {
        case Length::Hh:
            return static_cast<unsigned char>(args.nextInt());
        case Length::H:
            return static_cast<unsigned short>(args.nextInt());
        case Length::L:
            return static_cast<uint32_t>(args.nextLong());
        case Length::Ll:
            return static_cast<unsigned long long>(args.nextLongLong());
        case Length::Size:
            return args.nextSize();
        default:
            return static_cast<unsigned int>(args.nextInt());
    }
}

std::wstring digitsOf(unsigned long long value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::wstring out;
    do {
        out.insert(out.begin(), static_cast<wchar_t>(digits[value % base]));
        value /= base;
    } while (value != 0);
    return out;
}

void formatInteger(std::wstring& out, const Directive& profile, Args& args) {
    bool isSigned = profile.conv == L'd' || profile.conv == L'i';
    unsigned long long magnitude;
    std::wstring prefix;
    if (isSigned) {
        long long v = readSigned(args, profile.length);
        magnitude =
            v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        if (v < 0) {
            prefix = L"-";
        } else if (profile.plus) {
            prefix = L"+";
        } else if (profile.space) {
            prefix = L" ";
        }
    } else {
        magnitude = readUnsigned(args, profile.length);
    }
    unsigned base = 10;
    if (profile.conv == L'o') {
        base = 8;
    } else if (profile.conv == L'x' || profile.conv == L'X') {
        base = 16;
    }
    std::wstring digits;
    if (!(profile.precision == 0 && magnitude == 0)) {
        digits = digitsOf(magnitude, base, profile.conv == L'X');
    }
    if (profile.precision > 0 && digits.size() < static_cast<size_t>(profile.precision)) {
        digits.insert(0, static_cast<size_t>(profile.precision) - digits.size(), L'0');
    }
    if (profile.alt && base == 8 && (digits.empty() || digits[0] != L'0')) {
        digits.insert(digits.begin(), L'0');
    }
    if (profile.alt && base == 16 && magnitude != 0) {
        prefix = profile.conv == L'X' ? L"0X" : L"0x";
    }
    size_t width = profile.width > 0 ? static_cast<size_t>(profile.width) : 0;
    if (profile.zero && !profile.left && profile.precision < 0 &&
        prefix.size() + digits.size() < width) {
        digits.insert(0, width - prefix.size() - digits.size(), L'0');
    }
    emitPadded(out, profile, prefix + digits);
}

void formatPointer(std::wstring& out, const Directive& profile, Args& args) {
    uintptr_t value = reinterpret_cast<uintptr_t>(args.nextPointer());
    std::wstring digits = digitsOf(value, 16, true);
    digits.insert(0, sizeof(void*) * 2 - digits.size(), L'0');
    emitPadded(out, profile, digits);
}

// Decodes a narrow argument: UTF-8 where valid, other bytes as Latin-1, so no input fails.
std::wstring narrowArgument(const char* s, int precision) {
    if (s == nullptr) {
        return L"(null)";
    }
    size_t limit = precision >= 0 ? static_cast<size_t>(precision) * 4 : SIZE_MAX;
    size_t n = 0;
    while (n < limit && s[n] != '\0') {
        ++n;
    }
    std::wstring text;
    decodeUtf8(reinterpret_cast<const unsigned char*>(s), n, KRZ_CONVERSION_LATIN1_FALLBACK, text);
    if (precision >= 0 && text.size() > static_cast<size_t>(precision)) {
        text.resize(static_cast<size_t>(precision));
    }
    return text;
}

std::wstring wideArgument(const wchar_t* s, int precision) {
    if (s == nullptr) {
        return L"(null)";
    }
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n] != L'\0') {
        ++n;
    }
    return std::wstring(s, n);
}

bool narrowString(const Directive& profile) {
    // In a wide format, %S and %hs take narrow strings; %s, %ls and %ws wide ones.
    return profile.conv == L'S' ? profile.length != Length::L : profile.length == Length::H;
}

void formatString(std::wstring& out, const Directive& profile, Args& args) {
    const void* p = args.nextPointer();
    std::wstring text = narrowString(profile)
                            ? narrowArgument(static_cast<const char*>(p), profile.precision)
                            : wideArgument(static_cast<const wchar_t*>(p), profile.precision);
    emitPadded(out, profile, text);
}

void formatChar(std::wstring& out, const Directive& profile, Args& args) {
    int value = args.nextInt();
    bool narrow = profile.conv == L'C' ? profile.length != Length::L : profile.length == Length::H;
    wchar_t c = narrow ? static_cast<wchar_t>(static_cast<unsigned char>(value))
                       : static_cast<wchar_t>(value);
    emitPadded(out, profile, std::wstring(1, c));
}

void formatFloat(std::wstring& out, const Directive& profile, Args& args) {
    char fmt[32];
    size_t f = 0;
    fmt[f++] = '%';
    if (profile.left)
        fmt[f++] = '-';
    if (profile.plus)
        fmt[f++] = '+';
    if (profile.space)
        fmt[f++] = ' ';
    if (profile.alt)
        fmt[f++] = '#';
    if (profile.zero)
        fmt[f++] = '0';
    fmt[f++] = '*';
    fmt[f++] = '.';
    fmt[f++] = '*';
    bool longDouble = profile.length == Length::LongDouble;
    if (longDouble)
        fmt[f++] = 'L';
    fmt[f++] = static_cast<char>(profile.conv);
    fmt[f] = '\0';
    long double ld = longDouble ? args.nextLongDouble() : 0.0L;
    double d = longDouble ? 0.0 : args.nextDouble();
    int precision = profile.precision;
    if (precision < 0) {
        precision = profile.conv == L'a' || profile.conv == L'A' ? -1 : 6;
    }
    std::vector<char> buffer(64);
    int n = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        n = longDouble
                ? std::snprintf(buffer.data(), buffer.size(), fmt, profile.width, precision, ld)
                : std::snprintf(buffer.data(), buffer.size(), fmt, profile.width, precision, d);
        if (n < 0 || static_cast<size_t>(n) < buffer.size()) {
            break;
        }
        buffer.resize(static_cast<size_t>(n) + 1);
    }
    if (n < 0) {
        return;
    }
    std::string text(buffer.data(), static_cast<size_t>(n));
    // The C library writes the locale's decimal point; Windows rules here are always '.'.
    const char* point = std::localeconv()->decimal_point;
    if (point != nullptr && std::strcmp(point, ".") != 0 && point[0] != '\0') {
        size_t at = text.find(point);
        if (at != std::string::npos) {
            text.replace(at, std::strlen(point), ".");
        }
    }
    out.append(text.begin(), text.end());
}

// Adds the decimal digits at p to value (clamped at a million); p is left after them.
void readCount(const wchar_t*& p, int& value) {
    while (*p >= L'0' && *p <= L'9') {
        value = value * 10 + (*p++ - L'0');
        if (value > 1000000) {
            value = 1000000;
        }
    }
}

const wchar_t* parseFlags(const wchar_t* p, Directive& profile) {
    for (;; ++p) {
        if (*p == L'-') {
            profile.left = true;
        } else if (*p == L'+') {
            profile.plus = true;
        } else if (*p == L' ') {
            profile.space = true;
        } else if (*p == L'#') {
            profile.alt = true;
        } else if (*p == L'0') {
            profile.zero = true;
        } else {
            return p;
        }
    }
}

const wchar_t* parseLength(const wchar_t* p, Length& length) {
    if (*p == L'h') {
        ++p;
        length = Length::H;
        if (*p == L'h') {
            ++p;
            length = Length::Hh;
        }
    } else if (*p == L'l') {
        ++p;
        length = Length::L;
        if (*p == L'l') {
            ++p;
            length = Length::Ll;
        }
    } else if (*p == L'w') {
        ++p;
        length = Length::L;
    } else if (*p == L'I') {
        if (p[1] == L'6' && p[2] == L'4') {
            p += 3;
            length = Length::Ll;
        } else if (p[1] == L'3' && p[2] == L'2') {
            p += 3;
            length = Length::None;
        } else {
            ++p;
            length = Length::Size;
        }
    } else if (*p == L'z' || *p == L'j' || *p == L't') {
        length = *p == L'j' ? Length::Ll : Length::Size;
        ++p;
    } else if (*p == L'L' || *p == L'q') {
        length = *p == L'L' ? Length::LongDouble : Length::Ll;
        ++p;
    }
    return p;
}

// Parses flags, width, precision and length after '%'; returns the position of the
// conversion character (or the end of the format).
const wchar_t* parseSpec(const wchar_t* p, Directive& profile, Args& args) {
    p = parseFlags(p, profile);
    if (*p == L'*') {
        int w = args.nextInt();
        if (w < 0) {
            profile.left = true;
            w = w == INT32_MIN ? 0 : -w;
        }
        profile.width = w;
        ++p;
    } else {
        readCount(p, profile.width);
    }
    if (*p == L'.') {
        ++p;
        profile.precision = 0;
        if (*p == L'*') {
            int prec = args.nextInt();
            profile.precision = prec < 0 ? -1 : prec;
            ++p;
        } else {
            readCount(p, profile.precision);
        }
    }
    p = parseLength(p, profile.length);
    profile.conv = *p;
    return p;
}

void formatOne(std::wstring& out, const Directive& profile, Args& args) {
    switch (profile.conv) {
        case L'd':
        case L'i':
        case L'u':
        case L'o':
        case L'x':
        case L'X':
            formatInteger(out, profile, args);
            break;
        case L'c':
        case L'C':
            formatChar(out, profile, args);
            break;
        case L's':
        case L'S':
            formatString(out, profile, args);
            break;
        case L'p':
            formatPointer(out, profile, args);
            break;
        case L'e':
        case L'E':
        case L'f':
        case L'F':
        case L'g':
        case L'G':
        case L'a':
        case L'A':
            formatFloat(out, profile, args);
            break;
        case L'n':
            // Never written through, as Windows keeps %n disabled.
            args.nextPointer();
            break;
        default:
            break;
    }
}

bool knownConversion(wchar_t c) {
    return c != 0 && std::wcschr(L"diuoxXcCsSpeEfFgGaAn", c);
}

std::wstring format(const wchar_t* fmt, va_list* list) {
    std::wstring out;
    if (fmt == nullptr) {
        return out;
    }
    Args args(list);
    const wchar_t* p = fmt;
    while (*p != L'\0') {
        if (*p != L'%') {
            out += *p++;
            continue;
        }
        const wchar_t* start = p++;
        if (*p == L'%') {
            out += L'%';
            ++p;
            continue;
        }
        Directive profile;
        p = parseSpec(p, profile, args);
        if (!knownConversion(profile.conv)) {
            // Not a conversion: keep the text as written.
            const wchar_t* end = *p != L'\0' ? p + 1 : p;
            out.append(start, end);
            p = end;
            continue;
        }
        formatOne(out, profile, args);
        ++p;
    }
    return out;
}

}  // namespace

std::wstring KRZMiscUtil::formatString(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::wstring result = varargToString(fmt, args, true);
    va_end(args);
    return result;
}

std::wstring KRZMiscUtil::varargToString(const wchar_t* fmt, va_list args, bool) {
    int savedErrno = errno;
    va_list copy;
    va_copy(copy, args);
    std::wstring result = format(fmt, &copy);
    va_end(copy);
    errno = savedErrno;
    return result;
}

std::wstring KRZMiscUtil::ipToString(const in_addr& address) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
    return formatString(L"%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

std::wstring KRZMiscUtil::ipToString(unsigned long networkOrderAddress) {
    in_addr address;
    address.s_addr = static_cast<uint32_t>(networkOrderAddress);
    return ipToString(address);
}

std::wstring KRZMiscUtil::utf8StringToTstring(const std::string& text,
                                              _KRZConversionErrorPolicy policy) {
    std::wstring out;
    out.reserve(text.size());
    decodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), policy, out);
    return out;
}

std::wstring KRZMiscUtil::ansiStringToTstring(const std::string& text,
                                              _KRZConversionErrorPolicy policy) {
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c >= 0x80 && c <= 0x9F) {
            uint16_t mapped = kCp1252High[c - 0x80];
            if (mapped != 0) {
                out += static_cast<wchar_t>(mapped);
            } else {
                out += policy == KRZ_CONVERSION_LATIN1_FALLBACK ? static_cast<wchar_t>(c)
                                                                : kReplacement;
            }
        } else {
            out += static_cast<wchar_t>(c);
        }
    }
    return out;
}

std::string KRZMiscUtil::tstringToUtf8String(const std::wstring& text, _KRZConversionErrorPolicy) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = static_cast<uint32_t>(text[i]);
        // A UTF-16 surrogate pair (text made for Windows) stands for one character.
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
            uint32_t low = static_cast<uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            cp = kReplacement;
        }
        krzAppendUtf8(cp, out);
    }
    return out;
}
