// The static text functions of KRZPHtmlParser: character references, URL coding, digit coding.
#include "html/KRZPHtmlChars.h"
#include "html/KRZPHtmlParser.h"
#include "krzutil/KRZTextCoding.h"

#include <cstdlib>
#include <map>

namespace {

const char* const kUnit = "KRZPHTMLParser";

// Offset of the digit coding: maps '!' (33) .. 'z' (122) onto 01 .. 90, and space onto 00.
const int kDigitKey = 32;

struct EntityTable {
    // Exact names; std::map keeps them in ASCII order, which decides caseless ties.
    std::map<std::string, unsigned char> exact;
    // Lowered name -> value of the first exact name (ASCII order) that lowers to it.
    std::map<std::string, unsigned char> caseless;
};

EntityTable buildEntityTable() {
    EntityTable table;
    for (int i = 0; i < 96; ++i) {
        table.exact[krzhtml::kLatin1Entities[i]] = static_cast<unsigned char>(160 + i);
    }
    table.exact["nbsp"] = ' ';  // a plain space on purpose, not 160
    table.exact["quot"] = '"';
    table.exact["amp"] = '&';
    table.exact["lt"] = '<';
    table.exact["gt"] = '>';
    for (const auto& entry : table.exact) {
        std::string key(entry.first);
        for (char& c : key) {
            c = krzhtml::lowerAscii(c);
        }
        table.caseless.emplace(key, entry.second);  // keeps the first in ASCII order
    }
    return table;
}

const EntityTable& entityTable() {
    // Built exactly once, on first use, also when first used by several threads at once.
    static const EntityTable table = buildEntityTable();
    return table;
}

// The byte of a named reference, or -1 when the table has no such name.
int lookupEntity(const std::string& name) {
    const EntityTable& table = entityTable();
    auto it = table.exact.find(name);
    if (it != table.exact.end()) {
        return it->second;
    }
    std::string key(name);
    for (char& c : key) {
        c = krzhtml::lowerAscii(c);
    }
    it = table.caseless.find(key);
    return it == table.caseless.end() ? -1 : it->second;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int hexValue(char c) {
    int value = krzHexDigitValue(c);
    if (value < 0) {
        KRZPAPC_THROW(kUnit, "Bad hex!", KRZPAPC_PARSE_ERROR);
    }
    return value;
}

// Decodes the reference whose '&' is at text[amp]. Returns the index to continue from, or npos
// when the reference runs into the end of the text (the caller then copies it unchanged).
size_t decodeReference(const std::string& text, size_t amp, std::string& out) {
    const size_t size = text.size();
    size_t i = amp + 1;
    if (i >= size) {
        return std::string::npos;
    }
    if (text[i] == '#') {
        ++i;
        const size_t digits = i;
        unsigned int value = 0;  // only the low 8 bits count, so wrapping is harmless
        while (i < size && isDigit(text[i])) {
            value = value * 10 + static_cast<unsigned int>(text[i] - '0');
            ++i;
        }
        if (i == digits) {
            out.append("&#");  // not a decimal reference, e.g. "&#x41;"
            return i;
        }
        if (i >= size) {
            return std::string::npos;
        }
        out.push_back(static_cast<char>(value & 0xFF));
    } else if (isLetter(text[i])) {
        const size_t start = i;
        while (i < size && (isLetter(text[i]) || isDigit(text[i]))) {
            ++i;
        }
        if (i >= size) {
            return std::string::npos;
        }
        const int byte = lookupEntity(text.substr(start, i - start));
        if (byte >= 0) {
            out.push_back(static_cast<char>(byte));
        }
    } else {
        out.push_back('&');
        return i;
    }
    return text[i] == ';' ? i + 1 : i;
}

const krzhtml::ByteSet kUrlSafe = krzhtml::makeByteSet(
    "$-_.!*\\(),abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");

}  // namespace

std::string KRZPHtmlParser::entityDecode(const std::string& text) {
    entityTable();
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t amp = text.find('&', pos);
        if (amp == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, amp - pos);
        pos = decodeReference(text, amp, out);
        if (pos == std::string::npos) {
            out.append(text, amp, std::string::npos);
            break;
        }
    }
    return out;
}

std::string KRZPHtmlParser::urlEncode(const std::string& text, bool plusForSpace,
                                      const std::string& extraUnsafe) {
    static const char kHex[] = "0123456789ABCDEF";
    krzhtml::ByteSet safe = kUrlSafe;
    for (char c : extraUnsafe) {
        safe.has[static_cast<unsigned char>(c)] = false;
    }
    std::string out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (safe.has[byte]) {
            out.push_back(c);
        } else if (c == ' ' && plusForSpace) {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        }
    }
    return out;
}

std::string KRZPHtmlParser::urlDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        if (text[i] != '%') {
            out.push_back(text[i++]);
            continue;
        }
        ++i;
        int value = 0;
        for (int n = 0; n < 2 && i < size; ++n, ++i) {
            value = value * 16 + hexValue(text[i]);
        }
        out.push_back(static_cast<char>(value));
    }
    return out;
}

std::string KRZPHtmlParser::encrypt(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\0') {
            break;
        }
        const signed char d = static_cast<signed char>(static_cast<unsigned char>(c) - kDigitKey);
        out.push_back(static_cast<char>('0' + d / 10));
        out.push_back(static_cast<char>('0' + d % 10));
    }
    return out;
}

std::string KRZPHtmlParser::decrypt(const std::string& text) {
    std::string built;
    for (size_t i = 0; i < text.size(); i += 2) {
        const std::string piece = text.substr(i, 2);
        built.push_back(static_cast<char>(std::atoi(piece.c_str()) + kDigitKey));
    }
    return urlDecode(built);
}
