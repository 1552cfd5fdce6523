// Arbitrary text as one line of the lab's control protocol, answered by a running default lab.
// Every line gets an answer with a boolean "ok"; nothing else may escape, crash or hang.
#include "lab/net/LabControl.h"
#include "lab/net/LabDescription.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace {

krzlab::LabNetwork& lab() {
    static std::shared_ptr<krzlab::LabNetwork> network =
        krzlab::LabNetwork::create(krzlab::LabDescription::defaultLab());
    return *network;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
    if (request.is_discarded())
        return 0;
    bool shutdown = false;
    nlohmann::json answer = krzlab::handleControlRequest(lab(), request, shutdown);
    if (!answer.is_object() || !answer.contains("ok") || !answer["ok"].is_boolean())
        __builtin_trap();
    // The answer goes back on one line as the control server writes it (dump throws for text
    // that is not UTF-8), whatever the request held.
    std::string text = answer.dump();
    if (text.find('\n') != std::string::npos)
        __builtin_trap();
    return 0;
}
