// Arbitrary bytes through the text functions: entityDecode, urlDecode and decrypt must take any
// input (urlDecode and decrypt may throw the parse error for a bad escape), and the codings that
// can be reversed must give back what went in.
#include "html/KRZPHtmlParser.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

template <typename F>
bool parsesOrRefuses(F f) {
    try {
        f();
        return true;
    } catch (const KRZPAPCException& e) {
        return e.getAPCErrorCode() == KRZPAPC_PARSE_ERROR;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string decoded = KRZPHtmlParser::entityDecode(text);
    // A reference never grows into more than it replaces.
    if (decoded.size() > text.size())
        __builtin_trap();
    if (!parsesOrRefuses([&] { KRZPHtmlParser::urlDecode(text); }))
        __builtin_trap();
    if (!parsesOrRefuses([&] { KRZPHtmlParser::decrypt(text); }))
        __builtin_trap();
    // Without plusForSpace (urlDecode keeps '+') encoding is reversible.
    const std::string encoded = KRZPHtmlParser::urlEncode(text, false, "");
    if (KRZPHtmlParser::urlDecode(encoded) != text)
        __builtin_trap();
    // urlEncode never emits a zero byte, so the digit coding sees the whole text.
    if (KRZPHtmlParser::decrypt(KRZPHtmlParser::encrypt(encoded)) != text)
        __builtin_trap();
    return 0;
}
