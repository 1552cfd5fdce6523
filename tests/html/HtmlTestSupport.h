// Helpers shared by the HTML scanner tests.
#pragma once

#include "core/KRZPAPCException.h"
#include "html/KRZPHtmlParser.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

const size_t kAtEnd = std::string::npos;

// Runs `op`, expects the parse error, and returns its message (narrowed; the tests use ASCII).
inline std::string parseErrorOf(const std::function<void()>& op) {
    try {
        op();
    } catch (const KRZPAPCException& e) {
        EXPECT_EQ(KRZPAPC_PARSE_ERROR, e.getAPCErrorCode());
        EXPECT_EQ("KRZPHTMLParser", e.getSourceFile());
        const std::wstring& wide = e.getMessage();
        return std::string(wide.begin(), wide.end());
    }
    ADD_FAILURE() << "no KRZPAPCException";
    return "<none>";
}

#define EXPECT_PARSE_ERROR(statement) EXPECT_EQ("", parseErrorOf([&] { statement; }))
