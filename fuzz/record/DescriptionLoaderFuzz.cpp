// Arbitrary bytes as a description file: refused with a DescriptionError, or loaded.
#include "KRZPDescription.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        krzdesc::parseDescription(text, "fuzz.json");
    } catch (const krzdesc::DescriptionError&) {
    }
    return 0;
}
