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

// The names of the Latin-1 character references, in code point order from 160 (U+00A0).
inline constexpr const char* kLatin1Entities[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

// ASCII-only lowering, as the caseless comparisons of the page want it.
inline constexpr unsigned char lowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

inline constexpr char lowerAscii(char c) {
    return static_cast<char>(lowerAscii(static_cast<unsigned char>(c)));
}

}  // namespace krzhtml
