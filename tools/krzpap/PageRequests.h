// krzpap ui: the page's JSON requests turned into the options the work takes. Every field is
// checked for its type and its range before any work starts; a request that fails is refused
// whole (400) with the field it concerns, so nothing half-read reaches a device.
#pragma once

#include "Cli.h"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace krzpap {

// A request the page should not have sent: which field, and why, in the page's words.
class PageRequestError : public std::runtime_error {
  public:
    PageRequestError(std::string field, const std::string& why)
        : std::runtime_error(why), field_(std::move(field)) {}
    const std::string& field() const { return field_; }

  private:
    std::string field_;
};

// One operation the page asked for, read whole: only the options of its kind are filled.
struct PageRequest {
    std::string kind;  // scan, show, configure, find, defaults or trust
    DeviceOptions device;
    std::string sha256;  // trust: the certificate's fingerprint the page showed
    ConfigureOptions configure;
    DefaultsOptions defaults;
    std::vector<std::string> macs;
};

// Reads the body of /api/KIND; throws PageRequestError for an unknown kind, a body that is not
// an object, a field the kind does not take, or a field of the wrong type or out of range.
PageRequest readPageRequest(const std::string& kind, const nlohmann::json& body);

}  // namespace krzpap
