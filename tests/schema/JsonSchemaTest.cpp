#include "KRZJsonSchema.h"

#include <gtest/gtest.h>

#include <stdexcept>

using nlohmann::json;

namespace {

const json kSchema = json::parse(R"({
  "type": "object", "required": ["name"], "additionalProperties": false,
  "properties": {
    "name": {"type": "string", "minLength": 1},
    "code": {"type": "string", "pattern": "^[a-z]+$"},
    "rows": {"type": "array", "items": {"type": "object",
             "properties": {"a/b~c": {"type": "integer", "maximum": 9}}}}
  }
})");

struct Case {
    const char* document;
    const char* pointer;  // of the first (deepest) problem; nullptr when the document conforms
};

TEST(JsonSchema, NamesTheDeepestFailingPlaceByItsJsonPointer) {
    const Case cases[] = {
        {R"({"name": "x", "rows": [{"a/b~c": 3}]})", nullptr},
        {R"({"name": ""})", "/name"},
        {R"({"rows": []})", ""},
        {R"({"name": "x", "extra": 1})", ""},
        {R"({"name": "x", "rows": [{}, {"a/b~c": "3"}]})", "/rows/1/a~1b~0c"},
        {R"({"name": "x", "rows": [{"a/b~c": 10}]})", "/rows/0/a~1b~0c"},
        {R"([1, 2])", ""},
        // One schema checks document after document: a pattern it compiled for one still judges
        // the next.
        {R"({"name": "x", "code": "abc"})", nullptr},
        {R"({"name": "x", "code": "ab1"})", "/code"},
        {R"({"name": "x", "code": "q"})", nullptr},
    };
    krz::JsonSchema schema(kSchema);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        auto problems = schema.problems(json::parse(c.document));
        if (!c.pointer) {
            EXPECT_TRUE(problems.empty());
            continue;
        }
        ASSERT_FALSE(problems.empty());
        EXPECT_EQ(problems.front().pointer, c.pointer);
        EXPECT_FALSE(problems.front().message.empty());
    }
}

TEST(JsonSchema, AnUnreadableSchemaIsRefused) {
    EXPECT_THROW(krz::JsonSchema(json::parse(R"({"type": 7})")), std::invalid_argument);
}

}  // namespace
