#include "recording/UrlEncoded.h"

#include "krzutil/KRZTextCoding.h"

namespace krzlab {

std::string urlDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && krzHexDigitValue(text[i + 1]) >= 0 &&
                   krzHexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(krzHexDigitValue(text[i + 1]) * 16 +
                                     krzHexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

HeaderList parseUrlEncodedPairs(const std::string& text) {
    HeaderList pairs;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t amp = text.find('&', pos);
        if (amp == std::string::npos)
            amp = text.size();
        if (amp > pos) {
            std::size_t eq = text.find('=', pos);
            if (eq > amp)
                eq = amp;
            pairs.emplace_back(
                urlDecode(text.substr(pos, eq - pos)),
                eq == amp ? std::string() : urlDecode(text.substr(eq + 1, amp - eq - 1)));
        }
        pos = amp + 1;
    }
    return pairs;
}

}  // namespace krzlab
