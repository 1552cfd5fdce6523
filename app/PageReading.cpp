#include "PageReading.h"

#include "html/KRZPHtmlParser.h"
#include "recording/Recording.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <set>

namespace krzpap {

namespace {

using krzlab::lower;

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

// Every start tag of the page as a browser reads it.
std::vector<KRZPPageTag> tagsOf(const std::string& page) {
    return KRZPHtmlParser(page).pageTags();
}

// A page's text as script tokens: names (dots kept inside, "f.ssid.value"), string literals
// (decoded) and single punctuation characters. Markup is read the same way; what it yields
// matches no pattern that matters.
struct Token {
    enum Kind { kName, kString, kPunct } kind;
    std::string text;
    char quote = 0;  // a string's
    bool is(char c) const { return kind == kPunct && text.size() == 1 && text[0] == c; }
};

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The hexadecimal number of up to `digits` digits at `at`; `used` tells how many were read.
uint32_t hexAt(const std::string& text, size_t at, size_t digits, size_t& used) {
    uint32_t value = 0;
    for (used = 0; used < digits && at + used < text.size(); ++used) {
        char c = text[at + used];
        int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : c >= 'a' && c <= 'f'                      ? c - 'a' + 10
                : c >= 'A' && c <= 'F'                      ? c - 'A' + 10
                                                            : -1;
        if (d < 0)
            break;
        value = value * 16 + static_cast<uint32_t>(d);
    }
    return value;
}

// The literal whose quote is at `i`; `i` ends past the closing quote. A line break ends an
// unterminated one, as it would in a script.
std::string literalAt(const std::string& page, size_t& i) {
    const char quote = page[i++];
    std::string out;
    while (i < page.size() && page[i] != quote && (quote == '`' || page[i] != '\n')) {
        char c = page[i++];
        if (c != '\\' || i >= page.size()) {
            out += c;
            continue;
        }
        char e = page[i++];
        size_t used = 0;
        switch (e) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'v':
                out += '\v';
                break;
            case '0':
                out += '\0';
                break;
            case 'x': {
                uint32_t cp = hexAt(page, i, 2, used);
                if (used == 2) {
                    appendUtf8(out, cp);
                    i += 2;
                } else {
                    out += e;
                }
                break;
            }
            case 'u': {
                uint32_t cp = hexAt(page, i, 4, used);
                if (used == 4 && (cp < 0xD800 || cp > 0xDFFF)) {
                    appendUtf8(out, cp);
                    i += 4;
                } else if (used == 4 && cp < 0xDC00 && i + 10 <= page.size() &&
                           page[i + 4] == '\\' && page[i + 5] == 'u') {
                    uint32_t low = hexAt(page, i + 6, 4, used);
                    if (used == 4 && low >= 0xDC00 && low <= 0xDFFF) {
                        appendUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                        i += 10;
                    } else {
                        out += e;
                    }
                } else {
                    out += e;
                }
                break;
            }
            case '\n':
                break;  // a line continued
            default:
                out += e;
        }
    }
    if (i < page.size() && page[i] == quote)
        ++i;
    return out;
}

bool nameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '.';
}

// Calls `visit` with the last few tokens (newest last) after each token; one pass, no recursion.
template <typename Visit>
void eachToken(const std::string& page, Visit visit) {
    std::deque<Token> window;
    size_t i = 0;
    const size_t n = page.size();
    while (i < n) {
        char c = page[i];
        if (space(c)) {
            ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && page[i + 1] == '/' && (i == 0 || page[i - 1] != ':')) {
            size_t end = page.find('\n', i);
            i = end == std::string::npos ? n : end;
            continue;
        }
        if (c == '/' && i + 1 < n && page[i + 1] == '*') {
            size_t end = page.find("*/", i + 2);
            i = end == std::string::npos ? n : end + 2;
            continue;
        }
        Token token{Token::kPunct, std::string()};
        if (c == '\'' || c == '"' || c == '`') {
            token = {Token::kString, literalAt(page, i), c};
        } else if (nameChar(c)) {
            size_t at = i;
            while (i < n && nameChar(page[i]))
                ++i;
            token = {Token::kName, page.substr(at, i - at)};
        } else {
            token.text = std::string(1, c);
            ++i;
        }
        window.push_back(std::move(token));
        if (window.size() > 8)
            window.pop_front();
        visit(window);
    }
}

// The last part of a dotted name ("f.ssid" -> "ssid").
std::string lastPart(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(dot + 1);
}

const char kLiteral = '\x01';  // marks an expression that is a literal, not a name

// What a browser runs as script: the script elements' text and the event handlers' (and
// "javascript:" links'), one after another; a reply that is no markup (JSON) is read whole.
std::string scriptsOf(const std::string& page) {
    size_t first = page.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || page[first] == '{' || page[first] == '[' ||
        page.find('<') == std::string::npos)
        return page;
    std::string out, low = lower(page);
    for (size_t at = low.find("<script"); at != std::string::npos;
         at = low.find("<script", at + 1)) {
        size_t open = low.find('>', at);
        if (open == std::string::npos)
            break;
        size_t close = low.find("</script", open);
        out.append(page, open + 1,
                   close == std::string::npos ? std::string::npos : close - open - 1);
        out += "\n;\n";
        if (close == std::string::npos)
            break;
        at = close;
    }
    for (const KRZPPageTag& tag : tagsOf(page))
        for (const auto& a : tag.attributes) {
            bool handler = a.first.size() > 2 && a.first.compare(0, 2, "on") == 0;
            bool link = lower(a.second.substr(0, 11)) == "javascript:";
            if (handler || link) {
                out += a.second.substr(link ? 11 : 0);
                out += "\n;\n";
            }
        }
    return out;
}

std::vector<std::string> locationsOf(const std::string& page) {
    std::vector<std::string> out;
    eachToken(scriptsOf(page), [&](const std::deque<Token>& w) {
        size_t k = w.size();
        if (k >= 3 && w[k - 1].kind == Token::kString && w[k - 2].is('=') &&
            w[k - 3].kind == Token::kName &&
            (endsWith(w[k - 3].text, "location") || endsWith(w[k - 3].text, "location.href")) &&
            !w[k - 1].text.empty())
            out.push_back(w[k - 1].text);
    });
    return out;
}

}  // namespace

bool harmful(const std::string& target) {
    std::string path = lower(target.substr(0, target.find('?')));
    for (const char* word :
         {"logout", "logoff", "signout", "sign_out", "reboot", "restart", "shutdown"})
        if (path.find(word) != std::string::npos)
            return true;
    return false;
}

std::vector<std::string> linksOf(const std::string& target, const std::string& page,
                                 const std::string& address) {
    static const std::set<std::string> kTags = {"a",   "area", "frame", "iframe",
                                                "img", "link", "script"};
    std::vector<std::string> out;
    auto take = [&](const std::string& link) {
        std::string resolved = krzlab::resolveTarget(target, link, address);
        if (!resolved.empty() && !harmful(resolved))
            out.push_back(resolved);
    };
    for (const KRZPPageTag& tag : tagsOf(page)) {
        if (!kTags.count(tag.name))
            continue;
        for (const auto& a : tag.attributes)
            if (a.first == "href" || a.first == "src") {
                take(a.second);
                break;
            }
    }
    for (const std::string& link : locationsOf(page))
        take(link);
    return out;
}

ScriptValues::ScriptValues(const std::string& page) {
    // Object literals open inside one another; each knows the path it is given to.
    std::vector<std::string> objects;
    eachToken(scriptsOf(page), [&](const std::deque<Token>& w) {
        const size_t k = w.size();
        const Token& last = w[k - 1];
        auto at = [&](size_t back) -> const Token* {
            return k > back ? &w[k - 1 - back] : nullptr;
        };
        const Token *t1 = at(1), *t2 = at(2);
        if (last.is('{')) {
            std::string path;
            if (t1 && t2 && t1->is('=') && t2->kind == Token::kName)
                path = t2->text;
            else if (t1 && t2 && t1->is(':') && t2->kind != Token::kPunct && !objects.empty())
                path = objects.back().empty() ? t2->text : objects.back() + "." + t2->text;
            objects.push_back(path);
            return;
        }
        if (last.is('}')) {
            if (!objects.empty())
                objects.pop_back();
            return;
        }
        if (last.kind == Token::kPunct || !t1 || !t2)
            return;
        std::string expression =
            last.kind == Token::kString ? std::string(1, kLiteral) + last.text : last.text;
        // "NAME = 'literal'" (with or without var), "key: 'literal'" inside an object.
        if (last.kind == Token::kString && t1->is('=') && t2->kind == Token::kName &&
            !endsWith(t2->text, ".value")) {
            literals_.emplace(t2->text, last.text);
            const Token* t3 = at(3);
            if (t3 && t3->kind == Token::kName && t3->text == "var" && last.quote == '\'')
                declared_.insert(t2->text);
        }
        if (last.kind == Token::kString && t1->is(':') && t2->kind != Token::kPunct &&
            !objects.empty()) {
            literals_.emplace(objects.back().empty() ? t2->text : objects.back() + "." + t2->text,
                              last.text);
        }
        // "x.NAME.value = X" and "document.getElementById('ID').value = X".
        if (t1->is('=') && t2->kind == Token::kName && endsWith(t2->text, ".value")) {
            if (t2->text == ".value") {
                const Token *close = at(3), *id = at(4), *open = at(5), *call = at(6);
                if (call && close->is(')') && id->kind == Token::kString && open->is('(') &&
                    call->kind == Token::kName && endsWith(call->text, "getElementById"))
                    byId_.emplace(id->text, expression);
            } else {
                std::string target = t2->text.substr(0, t2->text.size() - 6);
                if (target.find('.') != std::string::npos)
                    byName_.emplace(lastPart(target), expression);
            }
        }
        // "pick(f.NAME, X)".
        if (t1->is(',') && t2->kind == Token::kName && t2->text.find('.') != std::string::npos &&
            !endsWith(t2->text, "."))
            byName_.emplace(lastPart(t2->text), expression);
    });
}

std::string ScriptValues::resolve(const std::string& expression) const {
    if (!expression.empty() && expression[0] == kLiteral)
        return expression.substr(1);
    auto it = literals_.find(expression);
    if (it == literals_.end() && expression.rfind("window.", 0) == 0)
        it = literals_.find(expression.substr(7));
    return it == literals_.end() ? std::string() : it->second;
}

std::string ScriptValues::valueOf(const std::string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? std::string() : resolve(it->second);
}

std::string ScriptValues::valueById(const std::string& id) const {
    auto it = byId_.find(id);
    return it == byId_.end() ? std::string() : resolve(it->second);
}

std::string ScriptValues::variableOf(const std::string& name) const {
    auto it = byName_.find(name);
    if (it == byName_.end() || it->second.empty() || it->second[0] == kLiteral ||
        !declared_.count(it->second))
        return "";
    return it->second;
}

bool secretName(const std::string& name) {
    std::string n = lower(lastPart(name));
    bool secret = false;
    for (const char* word : {"pass", "pwd", "psk", "secret", "key"})
        secret = secret || n.find(word) != std::string::npos;
    // Settings about a key rather than the key: its kind, its index, its length, when it renews.
    for (const char* word :
         {"mode",  "type",    "index",    "idx",     "len",  "format",   "num",
          "count", "method",  "interval", "period",  "time", "renew",    "auth",
          "enc",   "cipher",  "mgmt",     "show",    "hide", "strength", "select",
          "sel",   "through", "bypass",   "keyword", "keep"})
        secret = secret && n.find(word) == std::string::npos;
    return secret;
}

std::vector<std::string> secretsOfTarget(const std::string& target) {
    std::vector<std::string> out;
    size_t query = target.find('?');
    if (query == std::string::npos)
        return out;
    std::string rest = target.substr(query + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find_first_of("&;", start);
        end = end == std::string::npos ? rest.size() : end;
        std::string pair = rest.substr(start, end - start);
        size_t eq = pair.find('=');
        if (eq != std::string::npos && secretName(pair.substr(0, eq))) {
            std::string value = pair.substr(eq + 1);
            std::replace(value.begin(), value.end(), '+', ' ');
            try {
                value = KRZPHtmlParser::urlDecode(value);
            } catch (const std::exception&) {
            }
            out.push_back(value);
        }
        start = end + 1;
    }
    return out;
}

std::vector<std::string> secretsOf(const std::string& page) {
    // Short values under a key's name are settings ("on", "1"), not keys: replacing them would
    // garble the page.
    const size_t kShortest = 4;
    std::vector<std::string> out;
    ScriptValues scripts(page);
    for (const KRZPPageTag& tag : tagsOf(page)) {
        for (const char* link : {"href", "src", "action"})
            if (const std::string* value = tag.attribute(link))
                for (const std::string& s : secretsOfTarget(*value))
                    out.push_back(s);
        if (tag.name != "input")
            continue;
        const std::string* type = tag.attribute("type");
        const std::string* name = tag.attribute("name");
        const std::string* id = tag.attribute("id");
        const std::string* value = tag.attribute("value");
        std::string decoded = value ? *value : std::string();
        if (type && lower(*type) == "password") {
            out.push_back(decoded);
            if (name)
                out.push_back(scripts.valueOf(*name));
            if (id)
                out.push_back(scripts.valueById(*id));
        } else if (name && secretName(*name) && decoded.size() >= kShortest) {
            out.push_back(decoded);
        }
        if (name && secretName(*name))
            out.push_back(scripts.valueOf(*name));
    }
    for (const auto& literal : scripts.literals())
        if (secretName(literal.first) && literal.second.size() >= kShortest)
            out.push_back(literal.second);
    // A setting's word under a key's name is no key; taken for one, it would be replaced all
    // over the page.
    static const std::set<std::string> kWords = {"enable", "enabled", "disable", "disabled",
                                                 "true",   "false",   "none",    "auto",
                                                 "open",   "shared",  "checked", "null"};
    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const std::string& s) { return kWords.count(lower(s)) > 0; }),
              out.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    out.erase(std::remove(out.begin(), out.end(), std::string()), out.end());
    return out;
}

std::vector<std::string> serialsOf(const std::string& page) {
    std::vector<std::string> out;
    const std::string low = lower(page);
    const size_t n = low.size();
    auto skipSpace = [&](size_t& i) {
        while (i < n && space(low[i]))
            ++i;
    };
    for (size_t at = low.find("serial"); at != std::string::npos; at = low.find("serial", at + 1)) {
        size_t i = at + 6;
        if (i < n && (low[i] == ' ' || low[i] == '_' || low[i] == '-'))
            ++i;
        for (const char* word : {"number", "no.", "num", "no"})
            if (low.compare(i, std::char_traits<char>::length(word), word) == 0) {
                i += std::char_traits<char>::length(word);
                break;
            }
        skipSpace(i);
        if (i < n && (low[i] == ':' || low[i] == '='))
            ++i;
        skipSpace(i);
        // Table cells between the label and the value.
        while (i + 3 < n && low[i] == '<') {
            size_t t = low[i + 1] == '/' ? i + 2 : i + 1;
            if (t + 1 >= n || low[t] != 't' || (low[t + 1] != 'd' && low[t + 1] != 'h'))
                break;
            size_t close = low.find('>', t);
            if (close == std::string::npos)
                break;
            i = close + 1;
            skipSpace(i);
        }
        if (i < n && (low[i] == '\'' || low[i] == '"'))
            ++i;
        size_t start = i;
        while (i < n && (std::isalnum(static_cast<unsigned char>(low[i])) || low[i] == '-'))
            ++i;
        if (i - start >= 4)
            out.push_back(page.substr(start, i - start));
        at = std::max(at, i > 0 ? i - 1 : 0);
    }
    return out;
}

// The MAC addresses a page shows, written as six pairs of hexadecimal digits with one separator
// (':' or '-'), standing as words of their own.
std::vector<std::string> macsOf(const std::string& text) {
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::vector<std::string> macs;
    const size_t n = text.size();
    for (size_t at = 0; at + 17 <= n; ++at) {
        if ((at > 0 && word(text[at - 1])) || (at + 17 < n && word(text[at + 17])))
            continue;
        const char separator = text[at + 2];
        bool mac = separator == ':' || separator == '-';
        for (size_t k = 0; mac && k < 17; ++k)
            mac = k % 3 == 2 ? text[at + k] == separator : hex(text[at + k]);
        if (mac) {
            macs.push_back(text.substr(at, 17));
            at += 16;
        }
    }
    return macs;
}

}  // namespace krzpap
