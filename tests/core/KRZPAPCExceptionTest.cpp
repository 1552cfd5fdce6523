#include "core/KRZPAPCException.h"

#include <gtest/gtest.h>

#include <stdexcept>

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

TEST(KRZPAPCException, FirmwareRevisionTravelsWithCopies) {
    KRZPAPCException original(const_cast<char*>("KRZPAPConfigurator"), 7, "m", KRZPAPC_TIMEOUT);
    EXPECT_EQ("", original.getAPCFirmwareRevision());
    original.setAPCFirmwareRevision("1.0.4 build 7");
    original.setMsError(10060);

    KRZPAPCException copy(original);
    EXPECT_EQ("1.0.4 build 7", copy.getAPCFirmwareRevision());
    EXPECT_EQ(10060u, copy.getMsError());
    EXPECT_EQ(KRZPAPC_TIMEOUT, copy.getAPCErrorCode());

    KRZPAPCException assigned(const_cast<char*>("KRZPAPComm"), 1, "", KRZPAPC_IO_ERROR);
    assigned.setAPCFirmwareRevision("old");
    assigned = original;
    EXPECT_EQ("1.0.4 build 7", assigned.getAPCFirmwareRevision());
    EXPECT_EQ(KRZPAPC_TIMEOUT, assigned.getAPCErrorCode());
    EXPECT_EQ(L"m", assigned.getMessage());

    original.setAPCFirmwareRevision("2.0");
    EXPECT_EQ("1.0.4 build 7", copy.getAPCFirmwareRevision());
}

TEST(KRZPAPCException, CaughtThroughItsBases) {
    bool caughtAsKrz = false;
    try {
        KRZPAPC_THROW("KRZPAPComm", "Operation cancelled", KRZPAPC_CANCELLED);
    } catch (const KRZException& e) {
        caughtAsKrz = true;
        EXPECT_EQ(14, e.getErrorCode());
        EXPECT_EQ(L"Operation cancelled", e.getMessage());
    }
    EXPECT_TRUE(caughtAsKrz);

    bool caughtAsStd = false;
    try {
        KRZPAPC_THROW("KRZPAPComm", "", KRZPAPC_SCAN_IN_PROGRESS);
    } catch (const std::exception& e) {
        caughtAsStd = true;
        EXPECT_NE(nullptr, e.what());
        EXPECT_NE(nullptr, dynamic_cast<const KRZPAPCException*>(&e));
    }
    EXPECT_TRUE(caughtAsStd);
}

}  // namespace
