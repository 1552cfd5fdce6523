#include "krzutil/KRZMiscUtil.h"

#include <gtest/gtest.h>

#include <clocale>
#include <climits>
#include <string>

namespace {

std::wstring F(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring s = KRZMiscUtil::varargToString(format, args, true);
    va_end(args);
    return s;
}

TEST(WideFormat, IntegerConversionsFlagsWidthPrecision) {
    EXPECT_EQ(F(L"%d|%i|%u", -42, 17, 3000000000u), L"-42|17|3000000000");
    EXPECT_EQ(F(L"%x|%X|%o", 255, 255, 8), L"ff|FF|10");
    EXPECT_EQ(F(L"%#x|%#X|%#o|%#x", 255, 255, 8, 0), L"0xff|0XFF|010|0");
    EXPECT_EQ(F(L"[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42),
              L"[   42][42   ][-0042][+42][ 42]");
    EXPECT_EQ(F(L"[%.3d][%8.3d][%08.3d][%.0d]", 7, -7, 7, 0), L"[007][    -007][     007][]");
    EXPECT_EQ(F(L"[%*d][%-*d][%*d]", 4, 1, 4, 2, -4, 3), L"[   1][2   ][3   ]");
    EXPECT_EQ(F(L"[%.*d][%.*d]", 3, 5, -1, 5), L"[005][5]");
    EXPECT_EQ(F(L"%d %d", INT_MIN, INT_MAX), L"-2147483648 2147483647");
    EXPECT_EQ(F(L"%%|%c|%hc|%lc", L'\x263A', 'A', L'z'), L"%|\x263A|A|z");
}

TEST(WideFormat, LengthPrefixesFollowWindowsWidths) {
    EXPECT_EQ(F(L"%hd|%hu|%hhd|%hhu", 70000, 70000, 300, 300), L"4464|4464|44|44");
    EXPECT_EQ(F(L"%lld|%I64d|%llu", -5000000000LL, 5000000000LL, 18446744073709551615ULL),
              L"-5000000000|5000000000|18446744073709551615");
    EXPECT_EQ(F(L"%I64x|%I32d", 0x123456789AULL, 12), L"123456789a|12");
    // 'l' is 32 bits under Windows rules.
    EXPECT_EQ(F(L"%ld|%lu|%lx", -1L, 4294967295UL, 0xFFFFFFFFUL), L"-1|4294967295|ffffffff");
    EXPECT_EQ(F(L"%zu|%Iu", static_cast<size_t>(12345678901ULL), static_cast<size_t>(9)),
              L"12345678901|9");
}

TEST(WideFormat, StringsFollowWindowsRules) {
    EXPECT_EQ(F(L"%s|%ls|%ws|%hs|%S|%lS", L"wide", L"wl", L"ww", "narrow", "capital", L"lS"),
              L"wide|wl|ww|narrow|capital|lS");
    EXPECT_EQ(F(L"[%C][%3c][%-3hc]", 'n', L'w', 'h'), L"[n][  w][h  ]");
    EXPECT_EQ(F(L"[%6s][%-6hs][%.2s][%.3hs]", L"ab", "cd", L"xyz", "uvwxyz"),
              L"[    ab][cd    ][xy][uvw]");
    EXPECT_EQ(F(L"%s|%hs", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
              L"(null)|(null)");
    EXPECT_EQ(F(L"%hs", "gr\xC3\xBC\xC3\x9F"), L"gr\u00FC\u00DF");
    void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0xABC));
    EXPECT_EQ(F(L"%p", p), std::wstring(sizeof(void*) * 2 - 3, L'0') + L"ABC");
    EXPECT_EQ(F(L"%.2f|%5.1f|%e", 3.14159, -2.25, 1000.0), L"3.14| -2.2|1.000000e+03");
    // Text that is not a conversion stays as written; a lone '%' at the end too.
    EXPECT_EQ(F(L"%y and 100%"), L"%y and 100%");
}

// Narrow arguments never fail, whatever their bytes and whatever the C library's locale.
TEST(WideFormat, NarrowBytesUnderAnyLocale) {
    std::string allBytes;
    for (int b = 1; b < 256; ++b) {
        allBytes += static_cast<char>(b);
    }
    const char* invalid = "a\xFF\xC3(\xE2\x82z\x80";
    std::wstring expectedInvalid = L"a\u00FF\u00C3(\u00E2\u0082z\u0080";
    const char* locales[] = {"C", "C.UTF-8", "POSIX"};
    for (const char* name : locales) {
        const char* set = std::setlocale(LC_ALL, name);
        SCOPED_TRACE(name);
        if (set == nullptr) {
            continue;
        }
        EXPECT_EQ(F(L"<%hs>", invalid), L"<" + expectedInvalid + L">");
        std::wstring all = F(L"%hs", allBytes.c_str());
        ASSERT_EQ(all.size(), 255u);  // no valid multi-byte sequence among single bytes 1..255
        for (int b = 1; b < 256; ++b) {
            EXPECT_EQ(static_cast<int>(all[static_cast<size_t>(b - 1)]), b);
        }
        EXPECT_EQ(F(L"%hs|%.1f", "\xE2\x82\xAC", 1.5), L"\u20AC|1.5");
    }
    std::setlocale(LC_ALL, "C");
}

TEST(WideFormat, FormatStringAndIpText) {
    EXPECT_EQ(KRZMiscUtil::formatString(L"%hs(%hs): %s", "Acme", "10.0.0.1", L"ok"),
              L"Acme(10.0.0.1): ok");
    in_addr a;
    a.s_addr = inet_addr("192.168.1.254");
    EXPECT_EQ(KRZMiscUtil::ipToString(a), L"192.168.1.254");
    EXPECT_EQ(KRZMiscUtil::ipToString(static_cast<unsigned long>(htonl(0x0A000001))), L"10.0.0.1");
}

}  // namespace
