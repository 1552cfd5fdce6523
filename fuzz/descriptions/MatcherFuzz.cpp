// A pattern (the input up to its first NUL) searched over the rest: a pattern is refused or
// compiles, a search ends, and the spans it gives lie inside the text, in order.
#include "KRZPMatcher.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* begin = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(begin, 0, size);
    const size_t split = nul ? static_cast<size_t>(static_cast<const char*>(nul) - begin) : size;
    const std::string pattern(begin, split);
    const std::string text = split < size ? std::string(begin + split + 1, size - split - 1) : "";
    krzdesc::Matcher matcher;
    try {
        matcher = krzdesc::Matcher(pattern);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    std::vector<krzdesc::Matcher::Span> spans;
    if (!matcher.search(text, spans))
        return 0;
    if (spans.size() != matcher.groups() + 1 || !spans[0].matched())
        std::abort();
    for (const krzdesc::Matcher::Span& s : spans)
        if (s.matched() && (s.begin > s.end || s.end > text.size() || s.begin < spans[0].begin ||
                            s.end > spans[0].end))
            std::abort();
    return 0;
}
