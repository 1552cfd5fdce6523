#include <gtest/gtest.h>

#include "recording/UrlEncoded.h"

using krzlab::HeaderList;

namespace {

struct Case {
    const char* text;
    HeaderList pairs;
};

// As a browser reads a posted form: '+' before escapes, a malformed escape kept as it is, the
// pairs in their order with repeated names kept.
const Case kCases[] = {
    {"", {}},
    {"&&", {}},
    {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
    {"a=1&a=2", {{"a", "1"}, {"a", "2"}}},
    {"user=a+b&pass=x%26y", {{"user", "a b"}, {"pass", "x&y"}}},
    {"%41%42=%2a%2A%27", {{"AB", "**'"}}},
    {"%2B=+%2B", {{"+", " +"}}},
    {"odd=100%&bad=%G1&zz=%zz%41", {{"odd", "100%"}, {"bad", "%G1"}, {"zz", "%zzA"}}},
    {"short=%4&pct=%%41&end=%", {{"short", "%4"}, {"pct", "%A"}, {"end", "%"}}},
    {"empty=&flag&=v", {{"empty", ""}, {"flag", ""}, {"", "v"}}},
    {"k=a=b", {{"k", "a=b"}}},
    {"n=%00x", {{"n", std::string("\0x", 2)}}},
};

TEST(UrlEncoded, DecodesAsABrowserReadsAPostedForm) {
    for (const Case& c : kCases) {
        EXPECT_EQ(krzlab::parseUrlEncodedPairs(c.text), c.pairs) << c.text;
    }
    EXPECT_EQ(krzlab::urlDecode("a+b%20c%"), "a b c%");
}

}  // namespace
