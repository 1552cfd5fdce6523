#include "krzutil/KRZMiscUtil.h"

#include <gtest/gtest.h>

namespace {

const auto R = KRZ_CONVERSION_REPLACE;
const auto L1 = KRZ_CONVERSION_LATIN1_FALLBACK;

TEST(Conversion, Utf8ToWideUnderBothPolicies) {
    std::string valid = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(KRZMiscUtil::utf8StringToTstring(valid, R), L"A\u00E9\u20AC\U0001F600");
    EXPECT_EQ(KRZMiscUtil::utf8StringToTstring(valid, L1), L"A\u00E9\u20AC\U0001F600");
    // Each undecodable byte: overlong, surrogate, beyond U+10FFFF, truncated, stray continuation.
    struct Case {
        std::string in;
        std::wstring replaced;
        std::wstring latin1;
    } cases[] = {
        {"\xC0\xAF", L"\uFFFD\uFFFD", L"\u00C0\u00AF"},
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD", L"\u00ED\u00A0\u0080"},
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD", L"\u00F4\u0090\u0080\u0080"},
        {"x\xE2\x82", L"x\uFFFD\uFFFD", L"x\u00E2\u0082"},
        {"\x80z", L"\uFFFDz", L"\u0080z"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KRZMiscUtil::utf8StringToTstring(c.in, R), c.replaced);
        EXPECT_EQ(KRZMiscUtil::utf8StringToTstring(c.in, L1), c.latin1);
    }
}

TEST(Conversion, AnsiIsWindows1252) {
    EXPECT_EQ(KRZMiscUtil::ansiStringToTstring("a\x80\x9F\xE9\xFF", R),
              L"a\u20AC\u0178\u00E9\u00FF");
    // The five bytes Windows-1252 leaves undefined.
    EXPECT_EQ(KRZMiscUtil::ansiStringToTstring("\x81\x8D\x8F\x90\x9D", R),
              L"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(KRZMiscUtil::ansiStringToTstring("\x81\x9D", L1), L"\u0081\u009D");
    EXPECT_EQ(KRZMiscUtil::ansiStringToTstring("!\"#$%&'()*+,-./;<=>?@[\\]^_`{|}~", R),
              L"!\"#$%&'()*+,-./;<=>?@[\\]^_`{|}~");
}

TEST(Conversion, WideToUtf8RoundTripsAndReplacesUnencodable) {
    std::wstring text = L"A\u00E9\u20AC\U0001F600";
    for (auto policy : {R, L1}) {
        std::string utf8 = KRZMiscUtil::tstringToUtf8String(text, policy);
        EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
        EXPECT_EQ(KRZMiscUtil::utf8StringToTstring(utf8, policy), text);
        // A lone surrogate and a value beyond Unicode cannot be encoded.
        std::wstring bad = {L'a', static_cast<wchar_t>(0xD800), L'b',
                            static_cast<wchar_t>(0x110000)};
        EXPECT_EQ(KRZMiscUtil::tstringToUtf8String(bad, policy),
                  "a\xEF\xBF\xBD"
                  "b\xEF\xBF\xBD");
        // A UTF-16 pair made for Windows is one character.
        std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
        EXPECT_EQ(KRZMiscUtil::tstringToUtf8String(pair, policy), "\xF0\x9F\x98\x80");
    }
    // Latin-1 fallback keeps every byte: converting back gives the bytes' UTF-8 forms.
    std::string raw = "\xFF\xFE";
    EXPECT_EQ(KRZMiscUtil::tstringToUtf8String(KRZMiscUtil::utf8StringToTstring(raw, L1), L1),
              "\xC3\xBF\xC3\xBE");
}

}  // namespace
