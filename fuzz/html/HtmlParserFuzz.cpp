// Arbitrary bytes through every cursor operation and the form reader (the text functions have
// their own target). The parse error is the
// expected outcome for most inputs; any other exception escapes and is reported as a crash.
#include "html/KRZPHtmlParser.h"
#include "http/KRZPFormParams.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// The first bytes pick an operation sequence and a needle; the rest is the page.
void runOperations(const std::string& page, const std::string& needle, uint8_t script) {
    KRZPHtmlParser parser(page);
    ci_string tag;
    for (int step = 0; step < 24; ++step) {
        try {
            switch ((script + step * 7) % 16) {
                case 0:
                    parser.skipTo(needle);
                    break;
                case 1:
                    parser.skipPast(needle);
                    break;
                case 2:
                    parser.caselessSkipPast(needle);
                    break;
                case 3:
                    parser.grabTo(needle);
                    break;
                case 4:
                    parser.skipPastWhitespace();
                    break;
                case 5:
                    parser.skipToWhitespace();
                    break;
                case 6:
                    parser.grabToWhitespace();
                    break;
                case 7:
                    parser.grabJs(needle.empty() ? '\'' : needle[0]);
                    break;
                case 8:
                    parser.skipToTag(needle);
                    break;
                case 9:
                    parser.skipPastTag(needle);
                    break;
                case 10:
                    parser.skipToNextTag(tag);
                    break;
                case 11:
                    parser.parseAttributes();
                    break;
                case 12:
                    parser.parseAttributeValue();
                    break;
                case 13:
                    parser.parseFormParams(script & 1);
                    break;
                case 14:
                    parser.skipToBody();
                    break;
                default:
                    parser.reset();
                    break;
            }
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
