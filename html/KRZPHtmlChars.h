// Byte classes of the HTML scanner, as 256-entry tables so that the scanning loops index a table
// instead of calling the C library's classifiers (which also depend on the locale).
#pragma once

#include <cstddef>

namespace krzhtml {

struct ByteSet {
    bool has[256];
};

constexpr ByteSet makeByteSet(const char* members) {
    ByteSet set{};
    for (const char* p = members; *p; ++p) {
        set.has[static_cast<unsigned char>(*p)] = true;
    }
    return set;
}

constexpr ByteSet makeNameSet() {
    ByteSet set{};
    for (int c = 0; c < 256; ++c) {
        set.has[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.';
    }
    return set;
}

inline constexpr ByteSet kWhitespace = makeByteSet(" \t\r\n");
inline constexpr ByteSet kTagNameEnd = makeByteSet(" \t\r\n>");
inline constexpr ByteSet kAttributeName = makeNameSet();

// ASCII-only lowering, as the caseless comparisons of the page want it.
inline constexpr unsigned char lowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

inline constexpr char lowerAscii(char c) {
    return static_cast<char>(lowerAscii(static_cast<unsigned char>(c)));
}

}  // namespace krzhtml
