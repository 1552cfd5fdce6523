// Checks a JSON document against a published JSON Schema (draft 7 and earlier) and names each
// failing place by its JSON pointer, so that descriptions and recordings are checked by the very
// schemas their authors read, and report their problems in one style.
#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace krz {

struct SchemaProblem {
    std::string pointer;  // JSON pointer of the failing place ("" is the whole document)
    std::string message;
};

class JsonSchema {
  public:
    // Throws std::invalid_argument when the schema itself cannot be read.
    explicit JsonSchema(const nlohmann::json& schema);
    ~JsonSchema();
    JsonSchema(const JsonSchema&) = delete;
    JsonSchema& operator=(const JsonSchema&) = delete;

    // Every problem, the most specific (deepest) first; empty when the document conforms.
    std::vector<SchemaProblem> problems(const nlohmann::json& document) const;

  private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;
};

}  // namespace krz
