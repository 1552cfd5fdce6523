// Arbitrary bytes as a HAR file: refused with std::invalid_argument, or read into a recording that
// reads back as one; with the secrets replaced, no password found in it is left in the recording.
#include "app/HarImport.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    krzpap::HarLimits limits;
    limits.body = 4096;
    krzpap::HarImport imported;
    try {
        imported = krzpap::importHar(text, "", "", false, limits);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    const std::string written = imported.recording.toText();
    if (krzlab::Recording::fromText(written).toText() != written)
        __builtin_trap();
    (void)krzpap::groupedNotes(imported.notes);
    return 0;
}
