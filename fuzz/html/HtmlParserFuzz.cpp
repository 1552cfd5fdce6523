// Arbitrary bytes through every cursor operation and the form reader (the text functions have
// their own target). The parse error is the
// expected outcome for most inputs; any other exception escapes and is reported as a crash.
#include "html/KRZPHtmlParser.h"
#include "http/KRZPFormParams.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace {

// The first bytes pick an operation sequence and a needle; the rest is the page.
void runOperations(const std::string& page, const std::string& needle, uint8_t script) {
    KRZPHtmlParser parser(page);
    ci_string tag;
    const std::function<void()> operations[16] = {
        [&] { parser.skipTo(needle); },
        [&] { parser.skipPast(needle); },
        [&] { parser.caselessSkipPast(needle); },
        [&] { parser.grabTo(needle); },
        [&] { parser.skipPastWhitespace(); },
        [&] { parser.skipToWhitespace(); },
        [&] { parser.grabToWhitespace(); },
        [&] { parser.grabJs(needle.empty() ? '\'' : needle[0]); },
        [&] { parser.skipToTag(needle); },
        [&] { parser.skipPastTag(needle); },
        [&] { parser.skipToNextTag(tag); },
        [&] { parser.parseAttributes(); },
        [&] { parser.parseAttributeValue(); },
        [&] { parser.parseFormParams(script & 1); },
        [&] { parser.skipToBody(); },
        [&] { parser.reset(); },
    };
    for (int step = 0; step < 24; ++step) {
        try {
            operations[(script + step * 7) % 16]();
        } catch (const KRZPAPCException&) {
            if (parser.getPosition() == std::string::npos) {
                parser.reset();
            }
        }
        const size_t pos = parser.getPosition();
        if (pos != std::string::npos && pos > page.size()) {
            __builtin_trap();  // the cursor may rest behind the text, never beyond it
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t script = data[0];
    const size_t needleLength = data[1] % 8;
    if (size < 2 + needleLength) {
        return 0;
    }
    const std::string needle(reinterpret_cast<const char*>(data) + 2, needleLength);
    const std::string page(reinterpret_cast<const char*>(data) + 2 + needleLength,
                           size - 2 - needleLength);
    runOperations(page, needle, script);
    return 0;
}
