#include "core/KRZPAPCException.h"

#include <gtest/gtest.h>

namespace {

TEST(KRZPAPCException, CarriesCodeMessageAndOrigin) {
    KRZPAPCException empty(const_cast<char*>("KRZPAPComm"), 42, "", KRZPAPC_CONNECT_ERROR);
    EXPECT_EQ(KRZPAPC_CONNECT_ERROR, empty.getAPCErrorCode());
    EXPECT_EQ(4, empty.getErrorCode());
    EXPECT_EQ(L"", empty.getMessage());
    EXPECT_EQ("KRZPAPComm", empty.getSourceFile());
    EXPECT_EQ(42, empty.getLine());

    // UTF-8 arrives as the characters; a byte that is not UTF-8 keeps its Latin-1 reading.
    KRZPAPCException utf8(const_cast<char*>("KRZPAPModule"), 1,
                          "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC", KRZPAPC_INTERNAL_ERROR);
    EXPECT_EQ(L"Gr\u00FC\u00DFe \u20AC", utf8.getMessage());
    KRZPAPCException latin1(const_cast<char*>("KRZPAPModule"), 1, "caf\xE9", KRZPAPC_PARSE_ERROR);
    EXPECT_EQ(L"caf\u00E9", latin1.getMessage());
}

}  // namespace
