// Arbitrary bytes as the pages of a recording that krzpap describe drafts a description from:
// the first half as the start page, the rest as a page it links. A draft, or std::invalid_argument;
// the draft is always JSON text.
#include "Describer.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    krzlab::Recording recording;
    recording.address = "10.0.0.1";
    for (const auto& [target, body] : {std::make_pair("/", bytes.substr(0, size / 2)),
                                       std::make_pair("/wireless.htm", bytes.substr(size / 2))}) {
        for (bool credentials : {false, true}) {
            krzlab::Exchange e;
            e.request.method = "GET";
            e.request.target = target;
            e.request.credentials = credentials;
            e.reply.headers = {{"Content-Type", "text/html"}, {"Server", body.substr(0, 40)}};
            e.reply.body = body;
            recording.exchanges.push_back(e);
        }
    }
    try {
        krzpap::draftDescription(recording, "fuzz.json").dump(2);
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
