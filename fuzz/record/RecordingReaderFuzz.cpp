// Arbitrary bytes as a recording file: refused with std::invalid_argument, or read; what is read
// is written and read back the same, bytes that are not UTF-8 included.
#include "recording/Recording.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    krzlab::Recording recording;
    try {
        recording = krzlab::Recording::fromText(text);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    const std::string written = recording.toText();
    krzlab::Recording back = krzlab::Recording::fromText(written);
    if (back.toText() != written)
        __builtin_trap();
    return 0;
}
