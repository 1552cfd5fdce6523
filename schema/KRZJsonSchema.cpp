#include "KRZJsonSchema.h"

#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validation_results.hpp>
#include <valijson/validator.hpp>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace krz {

// One validator for the schema's life: it keeps the schema's patterns compiled between documents,
// which is most of a check's cost when each document made its own. The mutex guards that cache.
struct JsonSchema::Compiled {
    valijson::Schema schema;
    valijson::Validator validator;
    std::mutex mutex;
};

namespace {

// valijson names a place as {"<root>", "[member]", "[3]", ...}; a JSON pointer escapes '~' and '/'.
std::string pointerOf(const std::vector<std::string>& context) {
    std::string pointer;
    for (const std::string& step : context) {
        if (step.size() < 2 || step.front() != '[' || step.back() != ']')
            continue;
        pointer += '/';
        for (char c : step.substr(1, step.size() - 2)) {
            if (c == '~')
                pointer += "~0";
            else if (c == '/')
                pointer += "~1";
            else
                pointer += c;
        }
    }
    return pointer;
}

}  // namespace

JsonSchema::JsonSchema(const nlohmann::json& schema) : compiled_(new Compiled) {
    try {
        valijson::SchemaParser parser;
        valijson::adapters::NlohmannJsonAdapter adapter(schema);
        parser.populateSchema(adapter, compiled_->schema);
    } catch (const std::exception& e) {
        throw std::invalid_argument(std::string("the schema cannot be read: ") + e.what());
    }
}

JsonSchema::~JsonSchema() = default;

std::vector<SchemaProblem> JsonSchema::problems(const nlohmann::json& document) const {
    valijson::ValidationResults results;
    valijson::adapters::NlohmannJsonAdapter adapter(document);
    std::vector<SchemaProblem> out;
    std::lock_guard<std::mutex> lock(compiled_->mutex);
    // Without a place for results the validator stops at the first failure and writes no message:
    // the quick verdict for a conforming document; the full walk only names what failed.
    if (compiled_->validator.validate(compiled_->schema, adapter, nullptr) ||
        compiled_->validator.validate(compiled_->schema, adapter, &results))
        return out;
    for (const auto& error : results)
        out.push_back({pointerOf(error.context), error.description});
    // valijson reports the innermost failure before the ones it causes; keep that order among
    // equals, deepest first overall.
    std::stable_sort(out.begin(), out.end(), [](const SchemaProblem& a, const SchemaProblem& b) {
        return std::count(a.pointer.begin(), a.pointer.end(), '/') >
               std::count(b.pointer.begin(), b.pointer.end(), '/');
    });
    return out;
}

}  // namespace krz
