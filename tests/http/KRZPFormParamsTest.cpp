#include <gtest/gtest.h>

#include "http/KRZPFormParams.h"
#include "http/KRZPMultipartParams.h"

#include <map>
#include <string>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairsOf(const KRZPFormParams& p) {
    return Pairs(p.begin(), p.end());
}

TEST(KRZPFormParams, ConstructionFromMapAndOrder) {
    std::map<std::string, std::string> map{{"b", "2"}, {"a", "1"}, {"c", "3"}};
    EXPECT_EQ(pairsOf(KRZPFormParams(map)), (Pairs{{"a", "1"}, {"b", "2"}, {"c", "3"}}));

    // Names missing from the map get empty values; names not in the order are left out; a
    // repeated name repeats.
    std::map<std::string, std::string> ab{{"a", "1"}, {"b", "2"}};
    EXPECT_EQ(pairsOf(KRZPFormParams(ab, {"b", "c"})), (Pairs{{"b", "2"}, {"c", ""}}));
    EXPECT_EQ(pairsOf(KRZPFormParams(ab, {"a", "a"})), (Pairs{{"a", "1"}, {"a", "1"}}));
    EXPECT_TRUE(KRZPFormParams(ab, {}).empty());
}

TEST(KRZPFormParams, FindEraseIndexAndAdd) {
    KRZPFormParams p;
    p.addParam("x", "1");
    p.addParam("y", "2");
    p.addParam("x", "3");  // kept although the name is present
    p.addParam("X", "4");  // names compare case-sensitively
    ASSERT_EQ(p.size(), 4u);

    auto it = p.find("x");
    ASSERT_NE(it, p.end());
    EXPECT_EQ(it->second, "1");
    EXPECT_EQ(p.find("z"), p.end());
    const KRZPFormParams& constP = p;
    EXPECT_EQ(constP.find("y")->second, "2");

    p["y"] = "20";  // the first pair's value
    EXPECT_EQ(p["x"], "1");
    EXPECT_EQ(p["new"], "");  // appended with an empty value
    EXPECT_EQ(pairsOf(p), (Pairs{{"x", "1"}, {"y", "20"}, {"x", "3"}, {"X", "4"}, {"new", ""}}));

    EXPECT_EQ(p.erase("x"), 2u);
    EXPECT_EQ(p.erase("x"), 0u);
    EXPECT_EQ(pairsOf(p), (Pairs{{"y", "20"}, {"X", "4"}, {"new", ""}}));
    EXPECT_EQ(p.getParams().size(), 3u);
}

TEST(KRZPFormParams, AsFormDataKeepsFirstOfRepeatedName) {
    KRZPFormParams p;
    p.addParam("a", "1");
    p.addParam("b", "x");
    p.addParam("a", "2");
    auto map = p.asFormData();
    ASSERT_TRUE(map);
    EXPECT_EQ(*map, (std::map<std::string, std::string>{{"a", "1"}, {"b", "x"}}));
    EXPECT_TRUE(KRZPFormParams().asFormData()->empty());
}

TEST(KRZPMultipartParams, PartLayout) {
    KRZPMultipartParams m;
    EXPECT_EQ(m.getBoundary(), "KRZB1F1F--");
    EXPECT_EQ(m.asString(), "--KRZB1F1F--\r\n\r\n");

    m.addParam("a", "1");
    EXPECT_EQ(m.asString(),
              "--KRZB1F1F--\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
              "--KRZB1F1F--\r\n\r\n");

    // File name and content type, and bytes taken as they are (nothing escaped).
    KRZPMultipartParams f("XyZ");
    f.addParam("fw", std::string("\x00\"\r\n", 4), "image.bin", "application/octet-stream");
    std::string value("\x00\"\r\n", 4);
    EXPECT_EQ(f.asString(),
              "--XyZ\r\nContent-Disposition: form-data; name=\"fw\"; filename=\"image.bin\"\r\n"
              "Content-Type: application/octet-stream\r\n\r\n" +
                  value + "\r\n--XyZ\r\n\r\n");
}

TEST(KRZPMultipartParams, AddParamsInListOrder) {
    KRZPFormParams p;
    p.addParam("z", "1");
    p.addParam("a", "");
    KRZPMultipartParams m("B");
    m.addParams(p);
    EXPECT_EQ(m.asString(),
              "--B\r\nContent-Disposition: form-data; name=\"z\"\r\n\r\n1\r\n"
              "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n\r\n"
              "--B\r\n\r\n");
}

}  // namespace
