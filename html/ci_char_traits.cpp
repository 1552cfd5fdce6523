#include "html/KRZPHtmlChars.h"
#include "html/KRZPHtmlParser.h"

using krzhtml::lowerAscii;

namespace {

// Order as _strnicmp does: both sides lowered, then compared as unsigned bytes.
inline unsigned char key(char c) {
    return lowerAscii(static_cast<unsigned char>(c));
}

}  // namespace

bool ci_char_traits::eq(char a, char b) {
    return key(a) == key(b);
}

bool ci_char_traits::ne(char a, char b) {
    return key(a) != key(b);
}

bool ci_char_traits::lt(char a, char b) {
    return key(a) < key(b);
}

int ci_char_traits::compare(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = key(a[i]);
        const unsigned char y = key(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

const char* ci_char_traits::find(const char* s, size_t n, char a) {
    const unsigned char wanted = key(a);
    for (size_t i = 0; i < n; ++i) {
        if (key(s[i]) == wanted) {
            return s + i;
        }
    }
    return nullptr;
}
