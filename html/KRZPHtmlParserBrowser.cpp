// Forms read the way a browser submits them: the browser's tokenizer (comments, raw-text
// elements, quoted attributes, tags cut off by the end of the text), the controls' states
// (disabled, checked, the select's default option, textarea text) and the submission's
// normalisations. Nothing here throws once started; the text's end ends every construct.
#include "html/KRZPHtmlChars.h"
#include "html/KRZPHtmlParser.h"

#include "http/KRZPFormParams.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace {

using krzhtml::ByteSet;
using krzhtml::makeByteSet;

const size_t npos = std::string::npos;

// The tokenizer's whitespace; a carriage return counts because the browser turns it into a line
// feed before it tokenizes.
constexpr ByteSet kSpace = makeByteSet(" \t\n\f\r");
constexpr ByteSet kTagNameEnd = makeByteSet(" \t\n\f\r/>");
constexpr ByteSet kAttrNameEnd = makeByteSet(" \t\n\f\r/>=");
constexpr ByteSet kUnquotedEnd = makeByteSet(" \t\n\f\r>");
// Bytes that a value's copy must look at: references, carriage returns, zero bytes.
constexpr ByteSet kDecodeStop = [] {
    ByteSet set = makeByteSet("&\r");
    set.has[0] = true;
    return set;
}();

bool isAlpha(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isAlnum(unsigned char c) {
    return isAlpha(c) || (c >= '0' && c <= '9');
}

// Code points of the bytes 0x80 to 0x9F in windows-1252; zero where the byte stands for itself.
// Numeric references in that range mean these characters too.
const uint16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

struct Entity {
    uint32_t codePoint;
    bool legacy;  // also recognised without the ';'
};

// The named references that administration pages use: Latin-1, the markup four, and the
// typographic ones. A name outside the table stays as written.
const std::unordered_map<std::string_view, Entity>& entities() {
    static const std::unordered_map<std::string_view, Entity> table = [] {
        std::unordered_map<std::string_view, Entity> t;
        for (uint32_t i = 0; i < 96; ++i) {
            t.emplace(krzhtml::kLatin1Entities[i], Entity{0xA0 + i, true});
        }
        const std::pair<const char*, uint32_t> legacy[] = {
            {"amp", 38}, {"lt", 60}, {"gt", 62},   {"quot", 34},  {"AMP", 38},
            {"LT", 60},  {"GT", 62}, {"QUOT", 34}, {"COPY", 169}, {"REG", 174}};
        for (const auto& e : legacy) {
            t.emplace(e.first, Entity{e.second, true});
        }
        const std::pair<const char*, uint32_t> modern[] = {
            {"apos", 39},       {"euro", 0x20AC},   {"trade", 0x2122},  {"hellip", 0x2026},
            {"mdash", 0x2014},  {"ndash", 0x2013},  {"lsquo", 0x2018},  {"rsquo", 0x2019},
            {"sbquo", 0x201A},  {"ldquo", 0x201C},  {"rdquo", 0x201D},  {"bdquo", 0x201E},
            {"bull", 0x2022},   {"dagger", 0x2020}, {"Dagger", 0x2021}, {"permil", 0x2030},
            {"lsaquo", 0x2039}, {"rsaquo", 0x203A}, {"OElig", 0x152},   {"oelig", 0x153},
            {"Scaron", 0x160},  {"scaron", 0x161},  {"Yuml", 0x178},    {"fnof", 0x192},
            {"circ", 0x2C6},    {"tilde", 0x2DC},   {"ensp", 0x2002},   {"emsp", 0x2003},
            {"thinsp", 0x2009}, {"zwnj", 0x200C},   {"zwj", 0x200D},    {"lrm", 0x200E},
            {"rlm", 0x200F},    {"larr", 0x2190},   {"uarr", 0x2191},   {"rarr", 0x2192},
            {"darr", 0x2193},   {"harr", 0x2194},   {"minus", 0x2212},  {"infin", 0x221E},
            {"ne", 0x2260},     {"le", 0x2264},     {"ge", 0x2265},     {"NewLine", 10},
            {"Tab", 9},         {"nbsp", 0xA0}};
        for (const auto& e : modern) {
            t.emplace(e.first, Entity{e.second, false});
        }
        return t;
    }();
    return table;
}

const size_t kLongestEntityName = 8;

enum class Charset { Utf8, Windows1252 };

// The charset the page declares in a <meta> near its start (where browsers look for it); UTF-8
// also for a byte order mark, windows-1252 (a browser's default) otherwise.
Charset declaredCharset(const std::string& data, const std::string& lower) {
    if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        return Charset::Utf8;
    }
    const std::string_view head = std::string_view(lower).substr(0, 1024);
    for (size_t at = head.find("<meta"); at != npos; at = head.find("<meta", at + 5)) {
        const size_t close = lower.find('>', at);
        const size_t found = lower.find("charset", at);
        if (found == npos || (close != npos && found > close)) {
            continue;
        }
        size_t p = found + 7;
        while (p < lower.size() && (kSpace.has[static_cast<unsigned char>(lower[p])] ||
                                    lower[p] == '=' || lower[p] == '"' || lower[p] == '\'')) {
            ++p;
        }
        return lower.compare(p, 5, "utf-8") == 0 || lower.compare(p, 4, "utf8") == 0
                   ? Charset::Utf8
                   : Charset::Windows1252;
    }
    return Charset::Windows1252;
}

// One attribute of the tag being read; names are lowered views into the page.
struct Attribute {
    std::string_view name;
    std::string value;
};

struct Option {
    std::string value;
    bool hasValue;
    bool selected;
    bool disabled;
    std::string label;
};

// What pageForms() keeps of a page beyond the submission. No administration page has thousands of
// controls or labels; a hostile one gets no more than these kept, and labels no longer than this.
const size_t kMostSeen = 4096;
const size_t kLabelBytes = 256;
// The text before a control labels it when it ends this close to the control's start tag.
const size_t kLabelReach = 400;

// A control or button as a person sees it, with the form it belongs to as Found has it.
struct Seen {
    KRZPPageControl control;
    size_t at;
    int form;
    std::string formId;
    bool button;
    int label;   // the label element around it, when it is the first control in it
    int before;  // the text before it (an index into the runs of text), -1 for none
};

struct LabelElement {
    std::string forId;
    std::string text;
    bool taken;  // a control inside it took it
};

struct Fieldset {
    bool disabled;
    int legend;  // 0: no legend yet, 1: inside the first legend, 2: after it
};

// A field found in the page: the form it goes to (-1: the one named by `formId`) and where it
// stands, so that fields of a form named from elsewhere take their place in page order.
struct Found {
    KRZPBrowserField field;
    size_t at;
    int form;
    std::string formId;
    bool dropped;  // a radio button that a later one in its group unchecked
};

class BrowserReader {
  public:
    BrowserReader(const std::string& data, const std::string& lower, const std::string& submitter)
        : data_(data),
          lower_(lower),
          text_(data.data()),
          size_(data.size()),
          charset_(declaredCharset(data, lower)),
          submitter_(submitter) {}

    // Every form of the page.
    std::vector<KRZPBrowserForm> readPage() {
        run(0, false);
        return collect();
    }

    // Every form of the page with its controls, buttons, options and labels.
    std::vector<KRZPPageForm> readPageView() {
        wantPage_ = true;
        run(0, false);
        return collectPage();
    }

    // Every start tag of the page.
    std::vector<KRZPPageTag> readTags() {
        wantTags_ = true;
        run(0, false);
        return std::move(tags_);
    }

    // The form the reading starts in; returns where it ended (past "</form>") or npos.
    std::vector<KRZPBrowserField> readOne(size_t from, size_t& end) {
        openForm(AttributeMap());
        // Inside the form's start tag: its attributes, so that the rest of the tag is not text.
        if (from >= 5 && lower_.compare(from - 5, 5, "<form") == 0 && from < size_ &&
            kTagNameEnd.has[static_cast<unsigned char>(text_[from])]) {
            from = readAttributes(from, true);
            if (from != npos) {
                forms_[0].id = attribute("id");
                forms_[0].attributes = attributeMap();
            }
        }
        end = from == npos ? npos : run(from, true);
        std::vector<KRZPBrowserForm> forms = collect();
        return std::move(forms[0].fields);
    }

  private:
    struct FormState {
        AttributeMap attributes;
        std::string id;
        bool pressed = false;  // its submitter was found
        size_t fieldsetDepth = 0;
    };

    struct Select {
        std::string name;
        bool multiple = false;
        bool disabled = false;
        size_t displaySize = 1;
        int form = -1;
        std::string formId;
        size_t at = 0;
        int seen = -1;  // its index in seen_
    };

    // ---- the tokenizer ----

    // Reads the page from `pos`; with `single`, stops after the first "</form>" and returns the
    // position past it. Returns npos when the text ends.
    size_t run(size_t pos, bool single) {
        while (pos < size_) {
            const void* found = std::memchr(text_ + pos, '<', size_ - pos);
            if (found == nullptr) {
                text(pos, size_);
                break;
            }
            const size_t lt = static_cast<size_t>(static_cast<const char*>(found) - text_);
            text(pos, lt);
            pos = lt + 1;
            if (pos >= size_) {
                break;
            }
            const unsigned char c = static_cast<unsigned char>(text_[pos]);
            if (isAlpha(c)) {
                pos = startTag(pos);
            } else if (c == '/') {
                if (pos + 1 < size_ && isAlpha(static_cast<unsigned char>(text_[pos + 1]))) {
                    const size_t nameStart = pos + 1;
                    const size_t nameEnd = tagNameEnd(nameStart);
                    pos = nameEnd == npos ? npos : readAttributes(nameEnd, false);
                    if (pos == npos) {
                        break;  // a tag cut off by the end of the text is no tag
                    }
                    if (endTag(std::string_view(lower_.data() + nameStart, nameEnd - nameStart)) &&
                        single) {
                        return pos < size_ ? pos : npos;
                    }
                } else if (pos + 1 < size_ && text_[pos + 1] == '>') {
                    pos += 2;  // "</>" is dropped
                } else {
                    pos = pastGreater(pos);  // a bogus comment
                }
            } else if (c == '!') {
                pos = lower_.compare(pos, 3, "!--") == 0 ? pastComment(pos + 3) : pastGreater(pos);
            } else if (c == '?') {
                pos = pastGreater(pos);
            } else {
                text(pos - 1, pos);  // a lone '<' is text
            }
        }
        closeSelect();
        return npos;
    }

    size_t tagNameEnd(size_t from) const {
        for (size_t i = from; i < size_; ++i) {
            if (kTagNameEnd.has[static_cast<unsigned char>(text_[i])]) {
                return i;
            }
        }
        return npos;
    }

    size_t pastGreater(size_t from) const {
        const void* gt = std::memchr(text_ + from, '>', size_ - from);
        return gt == nullptr ? npos : static_cast<size_t>(static_cast<const char*>(gt) - text_) + 1;
    }

    // A comment ends at "-->" or "--!>"; "<!-->" and "<!--->" are empty comments.
    size_t pastComment(size_t from) const {
        if (from < size_ && text_[from] == '>') {
            return from + 1;
        }
        if (from + 1 < size_ && text_[from] == '-' && text_[from + 1] == '>') {
            return from + 2;
        }
        for (size_t at = data_.find("--", from); at != npos; at = data_.find("--", at + 1)) {
            if (at + 2 < size_ && text_[at + 2] == '>') {
                return at + 3;
            }
            if (at + 3 < size_ && text_[at + 2] == '!' && text_[at + 3] == '>') {
                return at + 4;
            }
        }
        return npos;
    }

    // Past the end tag `name` of a raw-text element whose content starts at `from`.
    size_t pastRawText(size_t from, std::string_view name) {
        const std::string close = "</" + std::string(name);
        for (size_t at = lower_.find(close, from); at != npos;
             at = lower_.find(close, at + close.size())) {
            const size_t after = at + close.size();
            if (after < size_ && kTagNameEnd.has[static_cast<unsigned char>(text_[after])]) {
                return readAttributes(after, false);
            }
        }
        return npos;
    }

    // Past the "</script>" that ends a script whose text starts at `from`. Inside "<!--" a
    // "<script" starts a nested part in which "</script>" does not end the script.
    size_t pastScript(size_t from) {
        enum { Plain, Escaped, DoubleEscaped } state = Plain;
        for (size_t i = from; i < size_; ++i) {
            const char c = text_[i];
            if (c == '-' && state != Plain && lower_.compare(i, 3, "-->") == 0) {
                state = Plain;
                i += 2;
            } else if (c != '<') {
                continue;
            } else if (state == Plain && lower_.compare(i, 4, "<!--") == 0) {
                state = Escaped;
                ++i;  // its "--" may be the start of "-->"
            } else if (state == Escaped && isTagAt(i + 1, "script")) {
                state = DoubleEscaped;
            } else if (isTagAt(i + 1, "/script")) {
                if (state == DoubleEscaped) {
                    state = Escaped;
                } else {
                    return readAttributes(i + 8, false);
                }
            }
        }
        return npos;
    }

    // Whether the lowered text at `at` is `name` followed by a tag name's delimiter.
    bool isTagAt(size_t at, std::string_view name) const {
        const size_t after = at + name.size();
        return after < size_ && lower_.compare(at, name.size(), name) == 0 &&
               kTagNameEnd.has[static_cast<unsigned char>(text_[after])];
    }

    // The attributes from `pos` (on the delimiter after the tag's name) to the '>' that ends the
    // tag; returns the position past it, npos when the text ends first.
    size_t readAttributes(size_t pos, bool store) {
        attributeCount_ = 0;
        for (;;) {
            while (pos < size_ && kSpace.has[static_cast<unsigned char>(text_[pos])]) {
                ++pos;
            }
            if (pos >= size_) {
                return npos;
            }
            if (text_[pos] == '>') {
                return pos + 1;
            }
            if (text_[pos] == '/') {
                ++pos;
                continue;
            }
            const size_t nameStart = pos++;  // a leading '=' belongs to the name
            while (pos < size_ && !kAttrNameEnd.has[static_cast<unsigned char>(text_[pos])]) {
                ++pos;
            }
            const std::string_view name(lower_.data() + nameStart, pos - nameStart);
            while (pos < size_ && kSpace.has[static_cast<unsigned char>(text_[pos])]) {
                ++pos;
            }
            if (pos >= size_) {
                return npos;
            }
            Attribute* attribute = store ? addAttribute(name) : nullptr;
            if (text_[pos] != '=') {
                continue;
            }
            ++pos;
            while (pos < size_ && kSpace.has[static_cast<unsigned char>(text_[pos])]) {
                ++pos;
            }
            if (pos >= size_) {
                return npos;
            }
            const char open = text_[pos];
            size_t start = pos;
            size_t end;
            if (open == '"' || open == '\'') {
                const void* close = std::memchr(text_ + pos + 1, open, size_ - pos - 1);
                if (close == nullptr) {
                    return npos;
                }
                start = pos + 1;
                end = static_cast<size_t>(static_cast<const char*>(close) - text_);
                pos = end + 1;
            } else {
                while (pos < size_ && !kUnquotedEnd.has[static_cast<unsigned char>(text_[pos])]) {
                    ++pos;
                }
                if (pos >= size_) {
                    return npos;
                }
                end = pos;
            }
            if (attribute != nullptr) {
                decode(start, end, true, attribute->value);
            }
        }
    }

    // A new attribute, or nullptr when the tag already has one of that name (the first wins).
    Attribute* addAttribute(std::string_view name) {
        // A tag with thousands of attributes must not cost their square.
        if (attributeCount_ < kFewAttributes) {
            for (size_t i = 0; i < attributeCount_; ++i) {
                if (attributes_[i].name == name) {
                    return nullptr;
                }
            }
        } else {
            if (attributeCount_ == kFewAttributes) {
                manyNames_.clear();
                for (size_t i = 0; i < attributeCount_; ++i) {
                    manyNames_.insert(attributes_[i].name);
                }
            }
            if (!manyNames_.insert(name).second) {
                return nullptr;
            }
        }
        if (attributeCount_ == attributes_.size()) {
            attributes_.emplace_back();
        }
        Attribute& a = attributes_[attributeCount_++];
        a.name = name;
        a.value.clear();
        return &a;
    }

    static const size_t kFewAttributes = 16;

    const std::string* find(std::string_view name) const {
        for (size_t i = 0; i < attributeCount_; ++i) {
            if (attributes_[i].name == name) {
                return &attributes_[i].value;
            }
        }
        return nullptr;
    }

    bool has(std::string_view name) const { return find(name) != nullptr; }

    std::string attribute(std::string_view name) const {
        const std::string* value = find(name);
        return value == nullptr ? std::string() : *value;
    }

    void noteTag(std::string_view name) {
        KRZPPageTag tag;
        tag.name = std::string(name);
        for (size_t i = 0; i < attributeCount_; ++i) {
            tag.attributes.emplace_back(std::string(attributes_[i].name), attributes_[i].value);
        }
        tags_.push_back(std::move(tag));
    }

    AttributeMap attributeMap() const {
        AttributeMap map(new std::map<ci_string, std::string>());
        for (size_t i = 0; i < attributeCount_; ++i) {
            map->emplace(ci_string(attributes_[i].name.data(), attributes_[i].name.size()),
                         attributes_[i].value);
        }
        return map;
    }

    // ---- characters ----

    // Appends the page text [from, to) as the browser reads it: references resolved (in an
    // attribute, a name without ';' before '=' or a letter or digit stays as written), carriage
    // returns turned into line feeds, zero bytes into U+FFFD.
    void decode(size_t from, size_t to, bool inAttribute, std::string& out) const {
        size_t i = from;
        while (i < to) {
            size_t run = i;
            while (run < to && !kDecodeStop.has[static_cast<unsigned char>(text_[run])]) {
                ++run;
            }
            out.append(text_ + i, run - i);
            if (run >= to) {
                return;
            }
            i = run;
            const char c = text_[i];
            if (c == '\r') {
                out.push_back('\n');
                i += (i + 1 < to && text_[i + 1] == '\n') ? 2 : 1;
            } else if (c == '\0') {
                appendCodePoint(0xFFFD, out);
                ++i;
            } else {
                i = reference(i, to, inAttribute, out);
            }
        }
    }

    // Resolves the reference at `amp`; returns the position after what it consumed.
    size_t reference(size_t amp, size_t to, bool inAttribute, std::string& out) const {
        size_t p = amp + 1;
        if (p < to && text_[p] == '#') {
            ++p;
            const bool hex = p < to && (text_[p] == 'x' || text_[p] == 'X');
            if (hex) {
                ++p;
            }
            uint32_t value = 0;
            const size_t digits = p;
            for (; p < to; ++p) {
                const char d = text_[p];
                int digit;
                if (d >= '0' && d <= '9') {
                    digit = d - '0';
                } else if (hex && krzhtml::lowerAscii(d) >= 'a' && krzhtml::lowerAscii(d) <= 'f') {
                    digit = krzhtml::lowerAscii(d) - 'a' + 10;
                } else {
                    break;
                }
                value = std::min<uint32_t>(value * (hex ? 16 : 10) + digit, 0x110000);
            }
            if (p == digits) {
                out.push_back('&');
                return amp + 1;
            }
            if (p < to && text_[p] == ';') {
                ++p;
            }
            if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
                value = 0xFFFD;
            } else if (value >= 0x80 && value <= 0x9F && kWindows1252High[value - 0x80] != 0) {
                value = kWindows1252High[value - 0x80];
            }
            appendCodePoint(value, out);
            return p;
        }
        size_t run = p;
        while (run < to && run - p <= kLongestEntityName && isAlnum(text_[run])) {
            ++run;
        }
        const auto& table = entities();
        if (run < to && text_[run] == ';') {
            const auto it = table.find(std::string_view(text_ + p, run - p));
            if (it != table.end()) {
                appendCodePoint(it->second.codePoint, out);
                return run + 1;
            }
        }
        for (size_t end = run; end > p; --end) {
            const auto it = table.find(std::string_view(text_ + p, end - p));
            if (it == table.end() || !it->second.legacy) {
                continue;
            }
            if (inAttribute && end < to && (text_[end] == '=' || isAlnum(text_[end]))) {
                break;  // "?a=1&copy=2" in a URL stays as written
            }
            appendCodePoint(it->second.codePoint, out);
            return end;
        }
        out.push_back('&');
        return amp + 1;
    }

    // A character as the form's charset writes it; one it cannot write becomes "&#N;", as
    // browsers send it.
    void appendCodePoint(uint32_t cp, std::string& out) const {
        if (charset_ == Charset::Utf8) {
            if (cp < 0x80) {
                out.push_back(static_cast<char>(cp));
            } else if (cp < 0x800) {
                out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else if (cp < 0x10000) {
                out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else {
                out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            }
            return;
        }
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
            out.push_back(static_cast<char>(cp));
            return;
        }
        for (unsigned i = 0; i < 32; ++i) {
            const uint32_t mapped = kWindows1252High[i] != 0 ? kWindows1252High[i] : 0x80 + i;
            if (mapped == cp) {
                out.push_back(static_cast<char>(0x80 + i));
                return;
            }
        }
        out += "&#" + std::to_string(cp) + ";";
    }

    // ---- elements ----

    size_t startTag(size_t nameStart) {
        const size_t nameEnd = tagNameEnd(nameStart);
        if (nameEnd == npos) {
            return npos;
        }
        const std::string_view name(lower_.data() + nameStart, nameEnd - nameStart);
        const bool wanted = name == "input" || name == "select" || name == "option" ||
                            name == "optgroup" || name == "textarea" || name == "button" ||
                            name == "fieldset" || name == "form" || name == "label";
        const size_t pos = readAttributes(nameEnd, wanted || wantTags_);
        if (pos == npos) {
            return npos;
        }
        if (wantTags_) {
            noteTag(name);
        }
        if (name == "script") {
            return pastScript(pos);  // script text is never read for fields
        }
        if (name == "style" || name == "xmp" || name == "iframe" || name == "noembed" ||
            name == "noframes" || name == "noscript" || name == "title" || name == "template") {
            // Template content belongs to no form; the others are text.
            return pastRawText(pos, name);
        }
        if (name == "plaintext") {
            return npos;
        }
        if (inSelect_) {
            return selectTag(name, nameStart, pos);
        }
        if (name == "input") {
            input(nameStart);
        } else if (name == "select") {
            openSelect(nameStart);
        } else if (name == "textarea") {
            return textarea(nameStart, pos);
        } else if (name == "button") {
            button(nameStart);
        } else if (name == "label") {
            openLabel();
        } else if (name == "fieldset") {
            fieldsets_.push_back(Fieldset{has("disabled"), 0});
        } else if (name == "legend") {
            if (!fieldsets_.empty() && fieldsets_.back().legend == 0) {
                fieldsets_.back().legend = 1;
            }
        } else if (name == "form") {
            if (form_ < 0) {
                openForm(attributeMap());
                forms_.back().id = attribute("id");
            }
        }
        return pos;
    }

    // A start tag inside a select: options and groups; a control or another select ends it.
    size_t selectTag(std::string_view name, size_t nameStart, size_t pos) {
        if (name == "option") {
            closeOption();
            const std::string* value = find("value");
            options_.push_back(Option{value != nullptr ? *value : std::string(), value != nullptr,
                                      has("selected"), has("disabled") || groupDisabled_,
                                      std::string()});
            inOption_ = true;
            optionText_.clear();
        } else if (name == "optgroup") {
            closeOption();
            groupDisabled_ = has("disabled");
        } else if (name == "hr") {
            closeOption();
        } else if (name == "select") {
            closeSelect();
        } else if (name == "input") {
            closeSelect();
            return startTag(nameStart);  // read the control again, outside the select
        } else if (name == "textarea") {
            return textarea(nameStart, pos);  // inside an option, its text is the option's too
        }
        return pos;
    }

    bool endTag(std::string_view name) {
        if (inSelect_) {
            if (name == "select") {
                closeSelect();
            } else if (name == "option") {
                closeOption();
            } else if (name == "optgroup") {
                closeOption();
                groupDisabled_ = false;
            }
            return false;  // other end tags mean nothing inside a select
        }
        if (name == "form") {
            if (form_ >= 0) {
                fieldsets_.resize(std::min(fieldsets_.size(), forms_[form_].fieldsetDepth));
                form_ = -1;
                return true;
            }
        } else if (name == "label") {
            label_ = -1;
        } else if (name == "button") {
            button_ = -1;
        } else if (name == "fieldset") {
            if (!fieldsets_.empty()) {
                fieldsets_.pop_back();
            }
        } else if (name == "legend") {
            if (!fieldsets_.empty() && fieldsets_.back().legend == 1) {
                fieldsets_.back().legend = 2;
            }
        }
        return false;
    }

    void text(size_t from, size_t to) {
        if (inOption_ && from < to) {
            decode(from, to, false, optionText_);
        }
        if (!wantPage_ || from >= to) {
            return;
        }
        if (label_ >= 0) {
            appendLabel(from, to, labels_[label_].text);
        }
        if (button_ >= 0) {
            appendLabel(from, to, seen_[button_].control.label);
        }
        for (size_t i = from; i < to; ++i) {
            if (!kSpace.has[static_cast<unsigned char>(text_[i])]) {
                textFrom_ = from;
                textTo_ = to;
                break;
            }
        }
    }

    // ---- what a person sees ----

    // Label text as read, bounded: collapsed when the page is read.
    void appendLabel(size_t from, size_t to, std::string& out) const {
        const size_t room = 4 * kLabelBytes;
        if (out.size() < room) {
            decode(from, std::min(to, from + room - out.size()), false, out);
        }
    }

    void openLabel() {
        label_ = -1;
        if (labels_.size() < kMostSeen) {
            labels_.push_back(LabelElement{attribute("for"), std::string(), false});
            label_ = static_cast<int>(labels_.size()) - 1;
        }
    }

    // The text run just before the control at `at`, read once for every control after it.
    int textBefore(size_t at) {
        if (textTo_ == npos || at > textTo_ + kLabelReach) {
            return -1;
        }
        if (runs_.empty() || runEnd_ != textTo_) {
            std::string text;
            decode(std::max(textFrom_, textTo_ > 4 * kLabelBytes ? textTo_ - 4 * kLabelBytes : 0),
                   textTo_, false, text);
            runs_.push_back(plainText(text));
            runEnd_ = textTo_;
        }
        return static_cast<int>(runs_.size()) - 1;
    }

    // Notes the control whose start tag is being read; its index in seen_, or -1.
    int see(size_t at, const char* type, bool isButton) {
        if (!wantPage_ || seen_.size() >= kMostSeen) {
            return -1;
        }
        Seen s{KRZPPageControl(), at, form_, std::string(), isButton, -1, -1};
        const std::string* named = find("form");
        if (named != nullptr) {
            s.form = -1;
            s.formId = *named;
        }
        s.control.name = attribute("name");
        s.control.type = type;
        s.control.value = attribute("value");
        s.control.attributes = attributeMap();
        if (label_ >= 0 && !labels_[label_].taken && std::strcmp(type, "hidden") != 0) {
            labels_[label_].taken = true;
            s.label = label_;
        }
        // Inside a label element the text before it is that label's, which may name another.
        s.before = label_ >= 0 ? -1 : textBefore(at);
        seen_.push_back(std::move(s));
        return static_cast<int>(seen_.size()) - 1;
    }

    // Blanks collapsed to one space and trimmed, cut to kLabelBytes on a character's start.
    static std::string plainText(const std::string& text) {
        std::string out;
        for (const char c : text) {
            if (!kSpace.has[static_cast<unsigned char>(c)]) {
                out.push_back(c);
            } else if (!out.empty() && out.back() != ' ') {
                out.push_back(' ');
            }
        }
        if (!out.empty() && out.back() == ' ') {
            out.pop_back();
        }
        if (out.size() > kLabelBytes) {
            size_t cut = kLabelBytes;
            while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) {
                --cut;
            }
            out.resize(cut);
        }
        return out;
    }

    void openForm(AttributeMap attributes) {
        forms_.emplace_back();
        forms_.back().attributes = std::move(attributes);
        forms_.back().fieldsetDepth = fieldsets_.size();
        form_ = static_cast<int>(forms_.size()) - 1;
    }

    bool disabled() const {
        if (has("disabled")) {
            return true;
        }
        for (const Fieldset& f : fieldsets_) {
            if (f.disabled && f.legend != 1) {
                return true;
            }
        }
        return false;
    }

    // Whether the control being read can be submitted at all: enabled, with a form (its own or the
    // one its `form` attribute names). Sets `owner` and `ownerId`. (Controls inside a datalist are
    // sent: the standard bars them, but browsers send them.)
    bool submittable(int& owner, std::string& ownerId) const {
        if (disabled()) {
            return false;
        }
        const std::string* named = find("form");
        if (named != nullptr) {
            owner = -1;
            ownerId = *named;
            return !ownerId.empty();
        }
        owner = form_;
        return form_ >= 0;
    }

    // Whether a submit button named `name` is the one pressed (the first such in its form).
    bool pressed(const std::string& name, int owner) {
        if (submitter_.empty() || name != submitter_ || owner < 0 || forms_[owner].pressed) {
            return false;
        }
        forms_[owner].pressed = true;
        return true;
    }

    void add(size_t at, int owner, const std::string& ownerId, std::string name, std::string value,
             const char* type) {
        normaliseNewlines(name);
        normaliseNewlines(value);
        Found f{KRZPBrowserField{std::move(name), std::move(value), type}, at, owner, ownerId,
                false};
        found_.push_back(std::move(f));
    }

    void input(size_t at) {
        int owner;
        std::string ownerId;
        const char* type = inputType();
        seeInput(at, type);
        if (!submittable(owner, ownerId)) {
            return;
        }
        const std::string name = attribute("name");
        const std::string* value = find("value");
        if (std::strcmp(type, "image") == 0) {
            if (pressed(name, owner)) {
                const std::string prefix = name.empty() ? std::string() : name + ".";
                add(at, owner, ownerId, prefix + "x", "0", type);
                add(at, owner, ownerId, prefix + "y", "0", type);
            }
            return;
        }
        if (name.empty() || std::strcmp(type, "reset") == 0 || std::strcmp(type, "button") == 0) {
            return;
        }
        if (std::strcmp(type, "checkbox") == 0 || std::strcmp(type, "radio") == 0) {
            if (has("checked")) {
                if (type[0] == 'r') {
                    uncheckRadioGroup(name, owner, ownerId);
                }
                add(at, owner, ownerId, name, value != nullptr ? *value : "on", type);
            }
            return;
        }
        if (std::strcmp(type, "submit") == 0) {
            if (pressed(name, owner)) {
                add(at, owner, ownerId, name, value != nullptr ? *value : "Submit", type);
            }
            return;
        }
        if (std::strcmp(type, "file") == 0) {
            add(at, owner, ownerId, name, std::string(), type);  // no file chosen: an empty name
            return;
        }
        std::string v = value != nullptr ? *value : std::string();
        if (std::strcmp(type, "hidden") == 0) {
            if (asciiCaselessEqual(name, "_charset_")) {
                v = charset_ == Charset::Utf8 ? "UTF-8" : "windows-1252";
            }
        } else if (std::strcmp(type, "range") == 0) {
            v = rangeValue(value);
        } else {
            sanitise(type, v);
        }
        add(at, owner, ownerId, name, std::move(v), type);
    }

    void seeInput(size_t at, const char* type) {
        const bool isButton = std::strcmp(type, "submit") == 0 || std::strcmp(type, "image") == 0 ||
                              std::strcmp(type, "button") == 0 || std::strcmp(type, "reset") == 0;
        if (!isButton && attribute("name").empty()) {
            return;
        }
        const int seen = see(at, type, isButton);
        if (seen < 0 || !isButton) {
            return;
        }
        KRZPPageControl& button = seen_[seen].control;
        const std::string* value = find(type[0] == 'i' ? "alt" : "value");
        if (value != nullptr) {
            button.label = plainText(*value);
        } else if (type[0] == 's' || type[0] == 'r') {
            button.label = type[0] == 's' ? "Submit" : "Reset";
        }
    }

    // A checked radio button unchecks the one checked before it in its group (same form, same
    // name, letter case counting).
    void uncheckRadioGroup(const std::string& name, int owner, const std::string& ownerId) {
        std::string group = std::to_string(owner);
        group.append(1, '\0').append(ownerId).append(1, '\0').append(name);
        const auto checked = radioGroups_.find(group);
        if (checked != radioGroups_.end()) {
            found_[checked->second].dropped = true;
        }
        radioGroups_[group] = found_.size();  // the index `add` is about to fill
    }

    // The input's type as the browser knows it; a missing or unknown type is text.
    const char* inputType() const {
        static const char* const kTypes[] = {
            "hidden",   "text",  "search", "tel",      "url",   "email",
            "password", "date",  "month",  "week",     "time",  "datetime-local",
            "number",   "range", "color",  "checkbox", "radio", "file",
            "submit",   "image", "reset",  "button"};
        const std::string* type = find("type");
        if (type != nullptr) {
            for (const char* known : kTypes) {
                if (asciiCaselessEqual(*type, known)) {
                    return known;
                }
            }
        }
        return "text";
    }

    static bool asciiCaselessEqual(const std::string& a, const char* b) {
        const size_t n = std::strlen(b);
        if (a.size() != n) {
            return false;
        }
        for (size_t i = 0; i < n; ++i) {
            if (krzhtml::lowerAscii(a[i]) != b[i]) {
                return false;
            }
        }
        return true;
    }

    // The value sanitisation of the text-like types: no line breaks; URLs and e-mail addresses
    // also lose surrounding whitespace; a colour is "#rrggbb" in lower case, black otherwise.
    static void sanitise(const char* type, std::string& v) {
        if (std::strcmp(type, "color") == 0) {
            bool valid = (v.size() == 7 || v.size() == 4) && v[0] == '#';
            for (size_t i = 1; valid && i < v.size(); ++i) {
                v[i] = krzhtml::lowerAscii(v[i]);
                valid = (v[i] >= '0' && v[i] <= '9') || (v[i] >= 'a' && v[i] <= 'f');
            }
            if (!valid) {
                v = "#000000";
            } else if (v.size() == 4) {
                v = std::string{'#', v[1], v[1], v[2], v[2], v[3], v[3]};
            }
            return;
        }
        if (std::strcmp(type, "date") == 0 || std::strcmp(type, "month") == 0 ||
            std::strcmp(type, "week") == 0 || std::strcmp(type, "time") == 0 ||
            std::strcmp(type, "datetime-local") == 0) {
            v = dateValue(type, v);
            return;
        }
        if (std::strcmp(type, "number") == 0) {
            double ignored;
            if (!parseNumber(v, ignored)) {
                v.clear();
            }
            return;
        }
        const bool strips = std::strcmp(type, "text") == 0 || std::strcmp(type, "search") == 0 ||
                            std::strcmp(type, "tel") == 0 || std::strcmp(type, "password") == 0;
        const bool trims = std::strcmp(type, "url") == 0 || std::strcmp(type, "email") == 0;
        if (strips || trims) {
            v.erase(
                std::remove_if(v.begin(), v.end(), [](char c) { return c == '\n' || c == '\r'; }),
                v.end());
        }
        if (trims) {
            const auto space = [](char c) { return kSpace.has[static_cast<unsigned char>(c)]; };
            v.erase(v.begin(), std::find_if_not(v.begin(), v.end(), space));
            v.erase(std::find_if_not(v.rbegin(), v.rend(), space).base(), v.end());
        }
    }

    // The value of a date or time control: itself when valid, else empty; a local date and time
    // in its normalised form (a 'T' between them, no zero seconds).
    static std::string dateValue(const char* type, const std::string& v) {
        size_t i = 0;
        const auto number = [&](size_t minDigits, size_t maxDigits, long& out) {
            const size_t start = i;
            out = 0;
            while (i < v.size() && i - start < maxDigits && v[i] >= '0' && v[i] <= '9') {
                out = std::min(out * 10 + (v[i++] - '0'), 1000000000L);
            }
            return i - start >= minDigits && (i >= v.size() || v[i] < '0' || v[i] > '9');
        };
        const auto literal = [&](char c) { return i < v.size() && v[i++] == c; };
        const auto leap = [](long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
        long year = 0;
        long month = 0;
        long day = 0;
        const auto yearMonth = [&] {
            return number(4, 10, year) && year > 0 && literal('-') && number(2, 2, month) &&
                   month >= 1 && month <= 12;
        };
        const auto date = [&] {
            static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            return yearMonth() && literal('-') && number(2, 2, day) && day >= 1 &&
                   day <= kDays[month - 1] + (month == 2 && leap(year) ? 1 : 0);
        };
        long hour = 0;
        long minute = 0;
        long second = 0;
        std::string fraction;
        const auto time = [&] {
            if (!(number(2, 2, hour) && hour <= 23 && literal(':') && number(2, 2, minute) &&
                  minute <= 59)) {
                return false;
            }
            if (i < v.size() && v[i] == ':') {
                ++i;
                if (!number(2, 2, second) || second > 59) {
                    return false;
                }
                if (i < v.size() && v[i] == '.') {
                    const size_t start = ++i;
                    long ignored;
                    if (!number(1, 3, ignored)) {
                        return false;
                    }
                    fraction = v.substr(start, i - start);
                }
            }
            return true;
        };
        bool valid;
        if (std::strcmp(type, "date") == 0) {
            valid = date();
        } else if (std::strcmp(type, "month") == 0) {
            valid = yearMonth();
        } else if (std::strcmp(type, "week") == 0) {
            long week = 0;
            valid = number(4, 10, year) && year > 0 && literal('-') && literal('W') &&
                    number(2, 2, week) && week >= 1 && week <= weeksIn(year);
        } else if (std::strcmp(type, "time") == 0) {
            valid = time();
        } else {
            valid = date();
            const size_t dateEnd = i;
            valid = valid && i < v.size() && (v[i] == 'T' || v[i] == ' ') && (++i, time());
            if (valid && i == v.size()) {
                std::string out = v.substr(0, dateEnd) + "T" + v.substr(dateEnd + 1, 5);
                while (!fraction.empty() && fraction.back() == '0') {
                    fraction.pop_back();
                }
                if (second != 0 || !fraction.empty()) {
                    out += v.substr(dateEnd + 6, 3);
                }
                if (!fraction.empty()) {
                    out += "." + fraction;
                }
                return out;
            }
        }
        return valid && i == v.size() ? v : std::string();
    }

    // 53 when the year starts on a Thursday, or is a leap year that starts on a Wednesday.
    static long weeksIn(long year) {
        const auto jan1 = [](long y) {  // 0 = Sunday
            const long p = y - 1;
            return (1 + 5 * (p % 4) + 4 * (p % 100) + 6 * (p % 400)) % 7;
        };
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return jan1(year) == 4 || (leap && jan1(year) == 3) ? 53 : 52;
    }

    // A valid floating-point number: "-"? digits ("." digits)? (("e" | "E") ("+" | "-")? digits)?,
    // the digits before the point optional when some follow it.
    static bool parseNumber(const std::string& s, double& out) {
        size_t i = s.size() > 0 && s[0] == '-' ? 1 : 0;
        const auto digits = [&] {
            const size_t start = i;
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
                ++i;
            }
            return i - start;
        };
        size_t mantissa = digits();
        if (i < s.size() && s[i] == '.') {
            ++i;
            const size_t fraction = digits();
            if (fraction == 0) {
                return false;
            }
            mantissa += fraction;
        }
        if (mantissa == 0) {
            return false;
        }
        if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
            ++i;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
                ++i;
            }
            if (digits() == 0) {
                return false;
            }
        }
        if (i != s.size()) {
            return false;
        }
        const std::from_chars_result r = std::from_chars(s.data(), s.data() + s.size(), out);
        return r.ec == std::errc() && std::isfinite(out);
    }

    // A range's value: the value within min and max (0 and 100 by default), on a step from the
    // step base (min, else the value), the middle when the value is missing or not a number.
    std::string rangeValue(const std::string* value) const {
        double min = 0;
        double max = 100;
        double step = 1;
        double base = 0;
        double v;
        const std::string* minText = find("min");
        const std::string* maxText = find("max");
        const std::string* stepText = find("step");
        const bool hasMin = minText != nullptr && parseNumber(*minText, min);
        if (!hasMin) {
            min = 0;
        }
        if (maxText == nullptr || !parseNumber(*maxText, max)) {
            max = 100;
        }
        max = std::max(max, min);
        const bool hasValue = value != nullptr && parseNumber(*value, v);
        if (hasMin) {
            base = min;
        } else if (hasValue) {
            base = v;
        }
        if (!hasValue) {
            v = min + (max - min) / 2;
        }
        const bool any = stepText != nullptr && asciiCaselessEqual(*stepText, "any");
        if (stepText != nullptr && !any && (!parseNumber(*stepText, step) || step <= 0)) {
            step = 1;
        }
        v = std::min(std::max(v, min), max);
        if (!any) {
            double rounded = base + std::round((v - base) / step) * step;
            if (rounded > max) {
                rounded -= step;
            } else if (rounded < min) {
                rounded += step;
            }
            v = rounded;
        }
        char text[64];
        const std::to_chars_result r =
            std::to_chars(text, text + sizeof text, v, std::chars_format::general, 15);
        return std::string(text, r.ptr);
    }

    void button(size_t at) {
        int owner;
        std::string ownerId;
        const std::string* type = find("type");
        const char* kind = "submit";
        for (const char* known : {"button", "reset"}) {
            if (type != nullptr && asciiCaselessEqual(*type, known)) {
                kind = known;
            }
        }
        button_ = see(at, kind, true);
        if (type != nullptr &&
            (asciiCaselessEqual(*type, "button") || asciiCaselessEqual(*type, "reset"))) {
            return;
        }
        const std::string name = attribute("name");
        if (!name.empty() && submittable(owner, ownerId) && pressed(name, owner)) {
            add(at, owner, ownerId, name, attribute("value"), "submit");
        }
    }

    size_t textarea(size_t at, size_t contentStart) {
        const size_t end = pastRawTextStart(contentStart, "textarea");
        int owner;
        std::string ownerId;
        const std::string name = attribute("name");
        const bool sent = !name.empty() && submittable(owner, ownerId);
        if (!name.empty()) {
            see(at, "textarea", false);
        }
        const bool labels = inOption_;
        if (sent || labels) {
            std::string value;
            decode(contentStart, end == npos ? size_ : end, false, value);
            if (!value.empty() && value[0] == '\n') {
                value.erase(0, 1);  // the line break right after the start tag is not content
            }
            if (labels) {
                optionText_ += value;
            }
            if (sent) {
                add(at, owner, ownerId, name, std::move(value), "textarea");
            }
        }
        return end == npos ? npos : readAttributes(end + std::strlen("</textarea"), false);
    }

    // Where the end tag `name` of a text element starts, npos when there is none.
    size_t pastRawTextStart(size_t from, std::string_view name) const {
        const std::string close = "</" + std::string(name);
        for (size_t at = lower_.find(close, from); at != npos;
             at = lower_.find(close, at + close.size())) {
            const size_t after = at + close.size();
            if (after < size_ && kTagNameEnd.has[static_cast<unsigned char>(text_[after])]) {
                return at;
            }
        }
        return npos;
    }

    void openSelect(size_t at) {
        select_ = Select();
        select_.at = at;
        inSelect_ = true;
        options_.clear();
        groupDisabled_ = false;
        inOption_ = false;
        const std::string name = attribute("name");
        if (!name.empty()) {
            select_.seen = see(at, has("multiple") ? "select-multiple" : "select-one", false);
        }
        if (name.empty() || !submittable(select_.form, select_.formId)) {
            select_.disabled = true;  // read to its end, send nothing
            return;
        }
        select_.name = name;
        select_.multiple = has("multiple");
        select_.displaySize = select_.multiple ? 4 : 1;
        const std::string* size = find("size");
        if (size != nullptr) {
            size_t n = 0;
            size_t i = 0;
            while (i < size->size() && kSpace.has[static_cast<unsigned char>((*size)[i])]) {
                ++i;
            }
            const size_t digits = i;
            for (; i < size->size() && (*size)[i] >= '0' && (*size)[i] <= '9'; ++i) {
                n = std::min<size_t>(n * 10 + ((*size)[i] - '0'), 1000000);
            }
            if (i > digits && n > 0) {
                select_.displaySize = n;
            }
        }
    }

    void closeOption() {
        if (!inOption_) {
            return;
        }
        inOption_ = false;
        Option& o = options_.back();
        // The label: text with whitespace runs collapsed to one space and the ends trimmed.
        std::string collapsed;
        for (const char c : optionText_) {
            if (kSpace.has[static_cast<unsigned char>(c)]) {
                if (!collapsed.empty() && collapsed.back() != ' ') {
                    collapsed.push_back(' ');
                }
            } else {
                collapsed.push_back(c);
            }
        }
        if (!collapsed.empty() && collapsed.back() == ' ') {
            collapsed.pop_back();
        }
        if (!o.hasValue) {
            o.value = collapsed;
        }
        o.label = std::move(collapsed);
    }

    // The options the select submits: the selected ones; one that shows a single row and has none
    // selected shows (and sends) its first enabled option; a single select keeps its last selected.
    void closeSelect() {
        if (!inSelect_) {
            return;
        }
        closeOption();
        inSelect_ = false;
        if (select_.seen >= 0) {
            std::vector<KRZPPageOption>& shown = seen_[select_.seen].control.options;
            for (const Option& o : options_) {
                shown.push_back(KRZPPageOption{o.value, o.label, o.selected, o.disabled});
            }
        }
        if (select_.disabled) {
            return;
        }
        const char* type = select_.multiple ? "select-multiple" : "select-one";
        if (select_.multiple) {
            for (const Option& o : options_) {
                if (o.selected && !o.disabled) {
                    add(select_.at, select_.form, select_.formId, select_.name, o.value, type);
                }
            }
            return;
        }
        const Option* chosen = nullptr;
        for (const Option& o : options_) {
            if (o.selected) {
                chosen = &o;
            }
        }
        if (chosen == nullptr && select_.displaySize == 1) {
            for (const Option& o : options_) {
                if (!o.disabled) {
                    chosen = &o;
                    break;
                }
            }
        }
        if (chosen != nullptr && !chosen->disabled) {
            add(select_.at, select_.form, select_.formId, select_.name, chosen->value, type);
        }
    }

    // The submission writes every line break as CR LF.
    static void normaliseNewlines(std::string& s) {
        if (s.find_first_of("\r\n") == npos) {
            return;
        }
        std::string out;
        out.reserve(s.size() + 8);
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\r') {
                out += "\r\n";
                if (i + 1 < s.size() && s[i + 1] == '\n') {
                    ++i;
                }
            } else if (s[i] == '\n') {
                out += "\r\n";
            } else {
                out.push_back(s[i]);
            }
        }
        s.swap(out);
    }

    // The forms with their fields; a field whose `form` attribute names a form joins it in page
    // order, one that names no form is dropped.
    std::vector<KRZPBrowserForm> collect() {
        std::vector<KRZPBrowserForm> forms(forms_.size());
        std::vector<std::vector<const Found*>> byForm(forms_.size());
        std::unordered_map<std::string_view, int> byId;  // the first form with each id
        for (size_t i = 0; i < forms_.size(); ++i) {
            if (!forms_[i].id.empty()) {
                byId.emplace(forms_[i].id, static_cast<int>(i));
            }
        }
        for (const Found& f : found_) {
            if (f.dropped) {
                continue;
            }
            int owner = f.form;
            if (owner < 0) {
                const auto named = byId.find(f.formId);
                owner = named == byId.end() ? -1 : named->second;
            }
            if (owner >= 0) {
                byForm[owner].push_back(&f);
            }
        }
        for (size_t i = 0; i < forms_.size(); ++i) {
            std::stable_sort(byForm[i].begin(), byForm[i].end(),
                             [](const Found* a, const Found* b) { return a->at < b->at; });
            forms[i].attributes = forms_[i].attributes;
            forms[i].fields.reserve(byForm[i].size());
            for (const Found* f : byForm[i]) {
                forms[i].fields.push_back(f->field);
            }
        }
        return forms;
    }

    // The forms as collect() reads them, with what a person sees of each.
    std::vector<KRZPPageForm> collectPage() {
        std::vector<KRZPBrowserForm> submitted = collect();
        std::vector<KRZPPageForm> forms(submitted.size());
        for (size_t i = 0; i < forms.size(); ++i) {
            forms[i].attributes = std::move(submitted[i].attributes);
            forms[i].fields = std::move(submitted[i].fields);
        }
        std::unordered_map<std::string_view, int> byId;      // the first form with each id
        std::unordered_map<std::string_view, int> labelFor;  // the first label naming each id
        for (size_t i = 0; i < forms_.size(); ++i) {
            if (!forms_[i].id.empty()) {
                byId.emplace(forms_[i].id, static_cast<int>(i));
            }
        }
        for (size_t i = 0; i < labels_.size(); ++i) {
            if (!labels_[i].forId.empty()) {
                labelFor.emplace(labels_[i].forId, static_cast<int>(i));
            }
        }
        std::unordered_set<std::string_view> labelled;  // ids whose label a control took
        for (Seen& s : seen_) {
            int owner = s.form;
            if (owner < 0) {
                const auto named = byId.find(s.formId);
                owner = named == byId.end() ? -1 : named->second;
            }
            if (owner < 0) {
                continue;
            }
            KRZPPageControl& c = s.control;
            if (!s.button) {
                const std::string& id = KRZPHtmlParser::getAttrib(c.attributes, "id");
                const auto named = id.empty() ? labelFor.end() : labelFor.find(id);
                if (named != labelFor.end() && labelled.insert(named->first).second) {
                    c.label = plainText(labels_[named->second].text);
                } else if (s.label >= 0 && labels_[s.label].forId.empty()) {
                    c.label = plainText(labels_[s.label].text);
                } else if (s.before >= 0) {
                    c.label = runs_[s.before];
                }
            } else {
                c.label = plainText(c.label);
            }
            (s.button ? forms[owner].buttons : forms[owner].controls).push_back(std::move(c));
        }
        return forms;
    }

    const std::string& data_;
    const std::string& lower_;
    const char* const text_;
    const size_t size_;
    const Charset charset_;
    const std::string submitter_;  // a copy: callers may pass a temporary

    std::vector<Attribute> attributes_;
    size_t attributeCount_ = 0;
    std::unordered_set<std::string_view> manyNames_;  // the names of a tag with many attributes

    std::vector<FormState> forms_;
    int form_ = -1;
    std::vector<Found> found_;
    std::unordered_map<std::string, size_t> radioGroups_;  // group -> its checked button in found_
    std::vector<Fieldset> fieldsets_;

    bool inSelect_ = false;
    Select select_;
    std::vector<Option> options_;
    bool groupDisabled_ = false;
    bool inOption_ = false;
    std::string optionText_;

    bool wantTags_ = false;  // only pageTags() notes every start tag
    std::vector<KRZPPageTag> tags_;
    bool wantPage_ = false;  // only pageForms() notes what follows
    std::vector<Seen> seen_;
    std::vector<LabelElement> labels_;
    int label_ = -1;          // the label element being read, in labels_
    int button_ = -1;         // the button element being read, in seen_
    size_t textFrom_ = npos;  // the last run of text with more than blanks
    size_t textTo_ = npos;
    std::vector<std::string> runs_;  // runs of text before controls, read once each
    size_t runEnd_ = npos;
};

}  // namespace

std::vector<KRZPBrowserField> KRZPHtmlParser::parseBrowserForm(const std::string& submitter) {
    requireCursor();
    BrowserReader reader(data, lowerData, submitter);
    size_t end = npos;
    std::vector<KRZPBrowserField> fields = reader.readOne(currentPosition, end);
    moveTo(end);
    return fields;
}

boost::shared_ptr<KRZPFormParams> KRZPHtmlParser::parseBrowserFormParams(
    const std::string& submitter) {
    boost::shared_ptr<KRZPFormParams> params(new KRZPFormParams());
    for (const KRZPBrowserField& field : parseBrowserForm(submitter)) {
        params->addParam(field.name, field.value);
    }
    return params;
}

std::vector<KRZPBrowserForm> KRZPHtmlParser::browserForms(const std::string& submitter) const {
    BrowserReader reader(data, lowerData, submitter);
    return reader.readPage();
}

std::vector<KRZPPageForm> KRZPHtmlParser::pageForms() const {
    BrowserReader reader(data, lowerData, std::string());
    return reader.readPageView();
}

std::vector<KRZPPageTag> KRZPHtmlParser::pageTags() const {
    BrowserReader reader(data, lowerData, std::string());
    return reader.readTags();
}
