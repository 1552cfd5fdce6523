#include "html/KRZPHtmlParser.h"

#include "html/KRZPHtmlChars.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kUnit = "KRZPHTMLParser";
const std::string kLess("<");
const std::string kGreater(">");

std::string lowered(const std::string& text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return krzhtml::lowerAscii(c); });
    return out;
}

ci_string toCi(const std::string& text) {
    return ci_string(text.data(), text.size());
}

// File-local rather than members, so that the compiler may inline them into the scanning loops
// (calls to exported members of a shared library go through the PLT).

// Index of the first byte at or after `from` that is (or is not) in `set`; npos when none.
inline size_t scanFor(const std::string& text, size_t from, const krzhtml::ByteSet& set,
                      bool member) {
    const size_t size = text.size();
    for (size_t i = from; i < size; ++i) {
        if (set.has[static_cast<unsigned char>(text[i])] == member) {
            return i;
        }
    }
    return std::string::npos;
}

// Whether `lower` (a lowered text) holds `s` at `pos`, ignoring the letter case of `s`.
inline bool matchesCaseless(const std::string& lower, size_t pos, const std::string& s) {
    if (pos > lower.size() || lower.size() - pos < s.size()) {
        return false;
    }
    for (size_t i = 0; i < s.size(); ++i) {
        if (lower[pos + i] != krzhtml::lowerAscii(s[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

KRZPHtmlParser::KRZPHtmlParser(const std::string& text)
    : caselessData(toCi(text)), data(text), lowerData(lowered(text)), currentPosition(0) {}

KRZPHtmlParser::KRZPHtmlParser(const KRZPHtmlParser& other) = default;

KRZPHtmlParser& KRZPHtmlParser::operator=(const KRZPHtmlParser& other) = default;

KRZPHtmlParser::~KRZPHtmlParser() = default;

void KRZPHtmlParser::setData(const std::string& text) {
    caselessData = toCi(text);
    data = text;
    lowerData = lowered(text);
    currentPosition = 0;
}

void KRZPHtmlParser::reset() {
    currentPosition = 0;
}

size_t KRZPHtmlParser::getPosition() const {
    return currentPosition;
}

const std::string& KRZPHtmlParser::getData() const {
    return data;
}

// ---- the cursor's bookkeeping ----

void KRZPHtmlParser::fail(const std::string& message) {
    KRZPAPC_THROW(kUnit, message, KRZPAPC_PARSE_ERROR);
}

void KRZPHtmlParser::failAtEnd() {
    currentPosition = std::string::npos;
    fail();
}

void KRZPHtmlParser::requireCursor() const {
    if (currentPosition == std::string::npos) {
        fail();
    }
}

bool KRZPHtmlParser::moveTo(size_t pos) {
    if (pos >= data.size()) {
        currentPosition = std::string::npos;
        return false;
    }
    currentPosition = pos;
    return true;
}

void KRZPHtmlParser::moveToOrFail(size_t pos) {
    if (!moveTo(pos)) {
        fail();
    }
}

// ---- searches ----

void KRZPHtmlParser::skipTo(const std::string& s) {
    requireCursor();
    const size_t found = data.find(s, currentPosition);
    if (found == std::string::npos) {
        fail("KRZPHtmlParser::skipTo(\"" + s +
             "\"): couldn't find string. currentPosition = " + std::to_string(currentPosition));
    }
    currentPosition = found;
}

void KRZPHtmlParser::skipPast(const std::string& s) {
    skipTo(s);
    moveToOrFail(currentPosition + s.size());
}

void KRZPHtmlParser::caselessSkipPast(const std::string& s) {
    requireCursor();
    const size_t found = lowerData.find(lowered(s), currentPosition);
    if (found == std::string::npos) {
        failAtEnd();
    }
    // Reaching the end of the text here is success.
    moveTo(found + s.size());
}

std::string KRZPHtmlParser::grabTo(const std::string& s) {
    const size_t start = currentPosition;
    skipTo(s);
    return data.substr(start, currentPosition - start);
}

void KRZPHtmlParser::skipPastWhitespace() {
    requireCursor();
    if (!moveTo(scanFor(data, currentPosition, krzhtml::kWhitespace, false))) {
        fail();
    }
}

void KRZPHtmlParser::skipToWhitespace() {
    requireCursor();
    if (!moveTo(scanFor(data, currentPosition, krzhtml::kWhitespace, true))) {
        fail();
    }
}

std::string KRZPHtmlParser::grabToWhitespace() {
    const size_t start = currentPosition;
    skipToWhitespace();
    return data.substr(start, currentPosition - start);
}

std::string KRZPHtmlParser::grabJs(char quote) {
    requireCursor();
    std::string out;
    const size_t size = data.size();
    size_t i = currentPosition;
    while (i < size) {
        char c = data[i];
        if (c == quote) {
            currentPosition = i;
            return out;
        }
        if (c == '\\') {
            if (i + 1 >= size) {
                i = size;  // a trailing backslash is dropped
                break;
            }
            c = data[i + 1];
            c = c == 'n' ? '\n' : c == 't' ? '\t' : c;
            i += 2;
        } else {
            ++i;
        }
        out.push_back(c);
    }
    // Unterminated: the cursor rests just behind the text, not at end, so that the caller's next
    // search is the one to fail.
    currentPosition = size;
    return out;
}

// ---- tags ----

void KRZPHtmlParser::skipToTag(const std::string& name) {
    // skipPast("<"), skipPastWhitespace() and the name comparison, inlined: this loop visits every
    // tag of the page and must keep up with a plain search.
    requireCursor();
    const char* const text = data.data();
    const size_t size = data.size();
    for (;;) {
        const void* less = currentPosition < size
                               ? std::memchr(text + currentPosition, '<', size - currentPosition)
                               : nullptr;
        if (less == nullptr) {
            skipTo(kLess);  // throws the not-found error for this cursor
        }
        size_t pos = static_cast<size_t>(static_cast<const char*>(less) - text) + 1;
        pos = pos < size ? scanFor(data, pos, krzhtml::kWhitespace, false) : std::string::npos;
        if (pos == std::string::npos) {
            failAtEnd();  // '<' or the whitespace after it ends the text
        }
        currentPosition = pos;
        if (!matchesCaseless(lowerData, pos, name)) {
            continue;
        }
        pos += name.size();
        if (pos >= size) {
            failAtEnd();
        }
        currentPosition = pos;
        if (krzhtml::kTagNameEnd.has[static_cast<unsigned char>(text[pos])]) {
            return;
        }
    }
}

void KRZPHtmlParser::skipPastTag(const std::string& name) {
    skipToTag(name);
    skipPast(kGreater);
}

void KRZPHtmlParser::skipToBody() {
    skipPastTag("body");
}

void KRZPHtmlParser::skipToNextTag(ci_string& name) {
    skipPast(kLess);
    skipPastWhitespace();
    const size_t end = scanFor(data, currentPosition, krzhtml::kTagNameEnd, true);
    if (end == std::string::npos) {
        fail();
    }
    name.assign(caselessData, currentPosition, end - currentPosition);
    currentPosition = end;
}

AttributeMap KRZPHtmlParser::parseAttributes() {
    AttributeMap attributes(new std::map<ci_string, std::string>());
    for (;;) {
        skipPastWhitespace();
        if (data[currentPosition] == '>') {
            return attributes;
        }
        const size_t nameEnd = scanFor(data, currentPosition, krzhtml::kAttributeName, false);
        if (nameEnd == currentPosition) {
            // Not a name character ('/', a stray quote, '_'): step over it.
            ++currentPosition;
            continue;
        }
        ci_string name(caselessData, currentPosition,
                       (nameEnd == std::string::npos ? data.size() : nameEnd) - currentPosition);
        moveToOrFail(nameEnd);
        skipPastWhitespace();
        std::string value;
        if (data[currentPosition] == '=') {
            moveTo(currentPosition + 1);
            value = parseAttributeValue();
        }
        // emplace keeps an existing key: the first spelling of an attribute wins.
        attributes->emplace(std::move(name), std::move(value));
    }
}

std::string KRZPHtmlParser::parseAttributeValue() {
    skipPastWhitespace();
    const char open = data[currentPosition];
    if (open == '"' || open == '\'') {
        const size_t close = data.find(open, currentPosition + 1);
        if (close == std::string::npos) {
            fail();
        }
        const size_t start = currentPosition + 1;
        std::string value = entityDecode(data.substr(start, close - start));
        moveTo(close + 1);
        return value;
    }
    static const krzhtml::ByteSet kValueEnd = [] {
        krzhtml::ByteSet set = krzhtml::kTagNameEnd;
        set.has[0] = true;
        return set;
    }();
    const size_t start = currentPosition;
    const size_t end = scanFor(data, start, kValueEnd, true);
    if (end == std::string::npos) {
        failAtEnd();
    }
    currentPosition = end;
    return data.substr(start, end - start);
}

// ---- attribute lookup ----

const std::string& KRZPHtmlParser::getAttrib(AttributeMap attributes, const std::string& name) {
    // A function-local static is initialised exactly once, also under concurrent first calls.
    static const std::string kEmpty;
    if (!attributes) {
        return kEmpty;
    }
    const auto it = attributes->find(toCi(name));
    return it == attributes->end() ? kEmpty : it->second;
}

// No std::move here: the returned reference points into the map, so the map must outlive the
// call, and the caller's copy of the pointer is what keeps it alive.
const std::string& KRZPHtmlParser::getName(AttributeMap attributes) {
    return getAttrib(attributes, "name");
}

const std::string& KRZPHtmlParser::getValue(AttributeMap attributes) {
    return getAttrib(attributes, "value");
}
