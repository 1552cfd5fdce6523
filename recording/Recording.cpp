#include "recording/Recording.h"

#include "KRZJsonSchema.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

extern const char* const kRecordingSchema;

namespace krzlab {

using nlohmann::json;

namespace {

const char kFormat[] = "krzpap-recording";

// A failure to read, with the place in the document where it happened (a JSON pointer).
[[noreturn]] void bad(const std::string& pointer, const std::string& what) {
    throw std::invalid_argument("recording at " +
                                (pointer.empty() ? std::string("its top") : pointer) + ": " + what);
}

// The published schema, compiled once: the documents' shape is checked by it, and the reading
// below only adds what a schema cannot say.
const krz::JsonSchema& schema() {
    static const krz::JsonSchema compiled(json::parse(kRecordingSchema));
    return compiled;
}

// Bytes a device sent are kept as they were: text when they are UTF-8, else {"base64": ...}.
json bytesToJson(const std::string& bytes) {
    if (validUtf8(bytes))
        return bytes;
    return json{{"base64", base64Encode(bytes)}};
}

// Base64 text as the schema describes it: the alphabet, then any '=' padding. Checked here, not
// by a pattern in the schema: the validator's pattern engine recurses once per character, and a
// body of megabytes would overflow the stack.
bool base64Text(const std::string& text) {
    size_t at = 0;
    while (at < text.size() && (std::isalnum(static_cast<unsigned char>(text[at])) ||
                                text[at] == '+' || text[at] == '/'))
        ++at;
    while (at < text.size() && text[at] == '=')
        ++at;
    return at == text.size();
}

// Every base64 text of a document the schema accepted (its shape bounds the depth).
void checkBase64(const json& j, const std::string& where) {
    if (j.is_array()) {
        for (size_t i = 0; i < j.size(); ++i)
            checkBase64(j[i], where + "/" + std::to_string(i));
        return;
    }
    if (!j.is_object())
        return;
    for (const auto& member : j.items()) {
        const std::string at = where + "/" + member.key();
        if ((member.key() == "base64" || member.key() == "bodyBase64") &&
            !base64Text(member.value().get<std::string>()))
            bad(at, "not base64 (letters, digits, '+' and '/', then '=' padding)");
        checkBase64(member.value(), at);
    }
}

// Text read back: the string, or the bytes of {"base64": ...}.
std::string bytesFromJson(const json& j) {
    return j.is_string() ? j.get<std::string>() : base64Decode(j["base64"].get<std::string>());
}

std::string textOf(const json& j, const char* key) {
    auto it = j.find(key);
    return it == j.end() ? std::string() : bytesFromJson(*it);
}

bool flagOf(const json& j, const char* key, bool otherwise) {
    auto it = j.find(key);
    return it == j.end() ? otherwise : it->get<bool>();
}

json pairsToJson(const HeaderList& list) {
    json out = json::array();
    for (const auto& p : list)
        out.push_back(json::array({bytesToJson(p.first), bytesToJson(p.second)}));
    return out;
}

HeaderList pairsFromJson(const json& j, const char* key) {
    HeaderList out;
    auto it = j.find(key);
    if (it != j.end())
        for (const json& p : *it)
            out.emplace_back(bytesFromJson(p[0]), bytesFromJson(p[1]));
    return out;
}

json requestToJson(const RecordedRequest& r) {
    json out{{"method", bytesToJson(r.method)},   {"target", bytesToJson(r.target)},
             {"headers", pairsToJson(r.headers)}, {"form", pairsToJson(r.form)},
             {"multipart", r.multipart},          {"credentials", r.credentials}};
    if (!r.body.empty())
        out["body"] = bytesToJson(r.body);
    return out;
}

// The schema checks strings; a method or target given as base64 is checked once decoded.
RecordedRequest requestFromJson(const json& j, const std::string& where) {
    RecordedRequest r;
    r.method = textOf(j, "method");
    r.target = textOf(j, "target");
    if (r.method.empty())
        bad(where + "/method", "empty");
    if (r.target.empty() || r.target[0] != '/')
        bad(where + "/target", "does not start with '/'");
    r.headers = pairsFromJson(j, "headers");
    r.form = pairsFromJson(j, "form");
    r.body = textOf(j, "body");
    r.multipart = flagOf(j, "multipart", false);
    r.credentials = flagOf(j, "credentials", false);
    return r;
}

json replyToJson(const RecordedReply& r) {
    json out{{"version", bytesToJson(r.version)},
             {"status", r.status},
             {"reason", bytesToJson(r.reason)},
             {"headers", pairsToJson(r.headers)},
             {"cutShort", r.cutShort}};
    if (r.rebuilt)
        out["rebuilt"] = true;
    if (validUtf8(r.body))
        out["body"] = r.body;
    else
        out["bodyBase64"] = base64Encode(r.body);
    return out;
}

RecordedReply replyFromJson(const json& j) {
    RecordedReply r;
    r.version = textOf(j, "version");
    r.status = j["status"].get<int>();
    r.reason = textOf(j, "reason");
    r.headers = pairsFromJson(j, "headers");
    r.body = j.contains("body") ? j["body"].get<std::string>()
                                : base64Decode(j["bodyBase64"].get<std::string>());
    r.cutShort = flagOf(j, "cutShort", false);
    r.rebuilt = flagOf(j, "rebuilt", false);
    return r;
}

int hexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// The number of `digits` hexadecimal digits at `at`, or -1.
long hexAt(const std::string& text, std::size_t at, std::size_t digits) {
    if (at + digits > text.size())
        return -1;
    long value = 0;
    for (std::size_t k = 0; k < digits; ++k) {
        int d = hexDigit(text[at + k]);
        if (d < 0)
            return -1;
        value = value * 16 + d;
    }
    return value;
}

// How many bytes of `text` at `at` spell the byte `c` escaped: by a backslash (\c, \xHH,
// \uHHHH), a character reference (&#D;, &#xH;, &amp; and the like) or a percent sign (%HH); 0
// when none does.
std::size_t escapedAt(const std::string& text, std::size_t at, unsigned char c) {
    const std::size_t n = text.size();
    if (at >= n)
        return 0;
    const char first = text[at];
    if (first == '\\' && at + 1 < n) {
        char e = text[at + 1];
        if (e == static_cast<char>(c) && !std::isalnum(c))
            return 2;
        if (e == 'x' && hexAt(text, at + 2, 2) == c)
            return 4;
        if (e == 'u' && hexAt(text, at + 2, 4) == c)
            return 6;
    } else if (first == '%' && hexAt(text, at + 1, 2) == c) {
        return 3;
    } else if (first == '+' && c == ' ') {
        return 1;
    } else if (first == '&') {
        static const std::pair<const char*, char> kNamed[] = {
            {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        for (const auto& named : kNamed)
            if (named.second == static_cast<char>(c) &&
                text.compare(at, std::strlen(named.first), named.first) == 0)
                return std::strlen(named.first);
        if (at + 2 < n && text[at + 1] == '#') {
            bool hex = text[at + 2] == 'x' || text[at + 2] == 'X';
            std::size_t k = at + (hex ? 3 : 2);
            long value = 0;
            std::size_t digits = 0;
            for (; k < n && digits < 8; ++k, ++digits) {
                int d = hex ? hexDigit(text[k])
                            : (text[k] >= '0' && text[k] <= '9' ? text[k] - '0' : -1);
                if (d < 0)
                    break;
                value = value * (hex ? 16 : 10) + d;
            }
            if (digits > 0 && k < n && text[k] == ';' && value == c)
                return k + 1 - at;
        }
    }
    return 0;
}

// How many bytes of `text` at `at` spell `value`, each byte as it is or escaped in any of the
// ways a page escapes (escapedAt), or 0. A page escapes one way or another, never both at once,
// but reading each byte either way finds every way with one pass.
std::size_t spelledAt(const std::string& text, std::size_t at, const std::string& value) {
    if (text.compare(at, value.size(), value) == 0)
        return value.size();
    std::size_t from = at;
    for (char v : value) {
        auto c = static_cast<unsigned char>(v);
        // '&', '\\' and '%' open escapes: their escaped spelling is tried first.
        std::size_t escaped = escapedAt(text, at, c);
        if (escaped > 0)
            at += escaped;
        else if (at < text.size() && text[at] == v)
            ++at;
        else
            return 0;
    }
    return at - from;
}

const char* tagOf(const std::string& kind) {
    if (kind == "password")
        return "PW";
    if (kind == "key")
        return "KEY";
    if (kind == "cookie")
        return "COOKIE";
    if (kind == "authorization")
        return "AUTH";
    if (kind == "serial")
        return "SERIAL";
    return "SECRET";
}

}  // namespace

json Recording::toJson() const {
    json placeholdersJson = json::array(), exchangesJson = json::array();
    for (const Placeholder& p : placeholders) {
        placeholdersJson.push_back({{"value", bytesToJson(p.value)}, {"kind", p.kind}});
        if (!p.of.is_null())
            placeholdersJson.back()["of"] = p.of.dump();
    }
    for (const Exchange& e : exchanges)
        exchangesJson.push_back(
            {{"request", requestToJson(e.request)}, {"reply", replyToJson(e.reply)}});
    json out{{"format", kFormat},
             {"version", kVersion},
             {"address", bytesToJson(address)},
             {"mac", bytesToJson(mac)},
             {"recorded", bytesToJson(recorded)},
             {"complete", complete},
             {"stopReason", bytesToJson(stopReason)},
             {"secretsKept", secretsKept},
             {"anonymized", anonymized},
             {"login",
              {{"kind", bytesToJson(login.kind)},
               {"user", bytesToJson(login.user)},
               {"password", bytesToJson(login.password)},
               {"page", bytesToJson(login.page)},
               {"path", bytesToJson(login.path)},
               {"userField", bytesToJson(login.userField)},
               {"passwordField", bytesToJson(login.passwordField)}}},
             {"placeholders", placeholdersJson},
             {"exchanges", exchangesJson}};
    if (!source.empty())
        out["source"] = source;
    if (!scheme.empty())
        out["scheme"] = scheme;
    if (port != 0)
        out["port"] = port;
    return out;
}

Recording Recording::fromJson(const json& j) {
    std::vector<krz::SchemaProblem> problems = schema().problems(j);
    if (!problems.empty())
        bad(problems.front().pointer, problems.front().message);
    checkBase64(j, "");
    Recording r;
    r.address = textOf(j, "address");
    r.mac = textOf(j, "mac");
    r.recorded = textOf(j, "recorded");
    r.complete = flagOf(j, "complete", true);
    r.stopReason = textOf(j, "stopReason");
    r.secretsKept = flagOf(j, "secretsKept", false);
    r.anonymized = flagOf(j, "anonymized", false);
    if (j.contains("source"))
        r.source = j["source"].get<std::string>();
    if (j.contains("scheme") && j["scheme"] == "https")
        r.scheme = "https";
    if (j.contains("port"))
        r.port = j["port"].get<int>();
    if (j.contains("login")) {
        const json& l = j["login"];
        r.login.kind = textOf(l, "kind");
        r.login.user = textOf(l, "user");
        r.login.password = textOf(l, "password");
        r.login.page = textOf(l, "page");
        r.login.path = textOf(l, "path");
        r.login.userField = textOf(l, "userField");
        r.login.passwordField = textOf(l, "passwordField");
    }
    if (j.contains("placeholders"))
        for (const json& p : j["placeholders"])
            r.placeholders.push_back(Placeholder{
                textOf(p, "value"), textOf(p, "kind"),
                p.contains("of") ? json::parse(textOf(p, "of"), nullptr, false) : json()});
    const json& exchanges = j["exchanges"];
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        std::string where = "/exchanges/" + std::to_string(i);
        r.exchanges.push_back(Exchange{requestFromJson(exchanges[i]["request"], where + "/request"),
                                       replyFromJson(exchanges[i]["reply"])});
    }
    return r;
}

Recording Recording::fromText(const std::string& text) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded())
        throw std::invalid_argument("recording: not JSON");
    return fromJson(j);
}

Recording Recording::fromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("cannot read recording " + path);
    std::ostringstream content;
    content << in.rdbuf();
    try {
        return fromText(content.str());
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
}

std::string Recording::toText() const {
    // Every text that may hold a device's bytes is written as base64 when it is not UTF-8, so
    // the replacement character never stands in a file; it is there should one be missed.
    return toJson().dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string SecretScrubber::add(const std::string& secret, const std::string& kind) {
    if (secret.empty())
        return std::string();
    auto known = secrets_.find(secret);
    if (known != secrets_.end())
        return known->second;
    char placeholder[32];
    std::snprintf(placeholder, sizeof placeholder, "%s-%04d", tagOf(kind), ++counts_[kind]);
    secrets_.emplace(secret, placeholder);
    byFirst_.reset();
    placeholders_.push_back(Placeholder{placeholder, kind, {}});
    return placeholder;
}

std::string SecretScrubber::addMac(const std::string& mac) {
    unsigned b[6];
    char sep = 0;
    if (std::sscanf(mac.c_str(), "%2x%c%2x%*c%2x%*c%2x%*c%2x%*c%2x", &b[0], &sep, &b[1], &b[2],
                    &b[3], &b[4], &b[5]) != 7 &&
        std::sscanf(mac.c_str(), "%2x%2x%2x%2x%2x%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) !=
            6)
        return std::string();
    auto spell = [](const unsigned* bytes, const char* separator, bool upper) {
        std::string out;
        for (int i = 0; i < 6; ++i) {
            char two[3];
            std::snprintf(two, sizeof two, upper ? "%02X" : "%02x", bytes[i] & 0xFF);
            out += (i ? separator : "") + std::string(two);
        }
        return out;
    };
    std::string real = spell(b, ":", true);
    auto known = replacements_.find(real);
    if (known != replacements_.end())
        return known->second;
    const unsigned standIn[6] = {0x02,
                                 0x00,
                                 0x00,
                                 0x00,
                                 static_cast<unsigned>(macs_ >> 8),
                                 static_cast<unsigned>(++macs_ & 0xFF)};
    for (const char* separator : {":", "-", ""})
        for (bool upper : {true, false})
            replacements_[spell(b, separator, upper)] = spell(standIn, separator, upper);
    byFirst_.reset();
    placeholders_.push_back(Placeholder{spell(standIn, ":", true), "mac", {}});
    return spell(standIn, ":", true);
}

std::string SecretScrubber::replaceIn(const std::string& text) const {
    if (!byFirst_) {
        // The values by the bytes their spellings may start with, longest first, so that one
        // pass over a text finds at each place the longest value that starts there.
        byFirst_ = std::make_shared<std::vector<std::vector<Candidate>>>(256);
        auto& lists = *byFirst_;
        for (const auto& s : secrets_) {
            std::set<unsigned char> opens = {static_cast<unsigned char>(s.first[0]), '\\', '%',
                                             '&'};
            if (s.first[0] == ' ')
                opens.insert('+');
            for (unsigned char byte : opens)
                lists[byte].push_back({&s, true});
        }
        for (const auto& r : replacements_)
            lists[static_cast<unsigned char>(r.first[0])].push_back({&r, false});
        for (auto& list : lists)
            std::stable_sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
                return a.first->first.size() > b.first->first.size();
            });
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        const std::string* placeholder = nullptr;
        for (const Candidate& c : (*byFirst_)[static_cast<unsigned char>(text[i])]) {
            length = c.second ? spelledAt(text, i, c.first->first)
                              : (text.compare(i, c.first->first.size(), c.first->first) == 0
                                     ? c.first->first.size()
                                     : 0);
            if (length > 0) {
                placeholder = &c.first->second;
                break;
            }
        }
        if (placeholder) {
            out += *placeholder;
            i += length;
        } else {
            out += text[i++];
        }
    }
    return out;
}

void SecretScrubber::apply(Recording& recording) const {
    auto pairs = [this](HeaderList& list) {
        for (auto& p : list)
            p.second = replaceIn(p.second);
    };
    recording.mac = replaceIn(recording.mac);
    recording.login.user = replaceIn(recording.login.user);
    recording.login.password = replaceIn(recording.login.password);
    for (Exchange& e : recording.exchanges) {
        e.request.target = replaceIn(e.request.target);
        pairs(e.request.headers);
        pairs(e.request.form);
        e.request.body = replaceIn(e.request.body);
        pairs(e.reply.headers);
        e.reply.body = replaceIn(e.reply.body);
    }
    for (const Placeholder& p : placeholders_) {
        bool listed = false;
        for (const Placeholder& q : recording.placeholders)
            listed = listed || q.value == p.value;
        if (!listed)
            recording.placeholders.push_back(p);
    }
}

std::string resolveTarget(const std::string& base, std::string link, const std::string& address) {
    static const char* const kEntities[][2] = {{"&amp;", "&"}, {"&#38;", "&"}, {"&quot;", "\""}};
    for (const auto& e : kEntities)
        replaceAll(link, e[0], e[1]);
    link.erase(0, link.find_first_not_of(" \t\r\n"));
    link.erase(link.find_last_not_of(" \t\r\n") + 1);
    link = link.substr(0, link.find('#'));
    if (link.empty())
        return "";
    const std::string l = lower(link);
    if (l.rfind("http://", 0) == 0) {
        std::string rest = link.substr(7);
        size_t slash = rest.find('/');
        std::string host = rest.substr(0, slash);
        if (host != address && host != address + ":80")
            return "";
        return slash == std::string::npos ? "/" : rest.substr(slash);
    }
    size_t colon = l.find(':');
    if (colon != std::string::npos && colon < l.find_first_of("/?"))
        return "";  // another scheme: javascript:, mailto:, https:
    if (link.rfind("//", 0) == 0)
        return "";
    if (link[0] == '/')
        return link;
    if (link[0] == '?')
        return base.substr(0, base.find('?')) + link;
    std::string folder = base.substr(0, base.find('?'));
    folder = folder.substr(0, folder.rfind('/') + 1);
    return (folder.empty() ? "/" : folder) + link;
}

bool validUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t more = c < 0x80         ? 0
                           : (c >> 5) == 6  ? 1
                           : (c >> 4) == 14 ? 2
                           : (c >> 3) == 30 ? 3
                                            : 9;
        if (more == 9 || i + more >= text.size())
            return false;
        uint32_t cp = more == 0 ? c : c & (0x3F >> more);
        for (std::size_t k = 1; k <= more; ++k) {
            auto d = static_cast<unsigned char>(text[i + k]);
            if ((d >> 6) != 2)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[more] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += more + 1;
    }
    return true;
}

std::string base64Encode(const std::string& bytes) {
    static const char* const kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            n |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
}

std::string base64Decode(const std::string& text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned int bits = 0;
    int count = 0;
    for (char c : text) {
        std::size_t v = kAlphabet.find(c);
        if (v == std::string::npos)
            break;
        bits = (bits << 6) | static_cast<unsigned int>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

const std::string* headerOf(const HeaderList& headers, const std::string& name) {
    auto same = [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); };
    for (const auto& h : headers)
        if (std::equal(h.first.begin(), h.first.end(), name.begin(), name.end(), same))
            return &h.second;
    return nullptr;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    if (from.empty() || at == std::string::npos)
        return;
    // Built anew, so that many occurrences in a long text cost one pass.
    std::string out;
    out.reserve(text.size());
    std::size_t done = 0;
    for (; at != std::string::npos; at = text.find(from, done)) {
        out.append(text, done, at - done);
        out += to;
        done = at + from.size();
    }
    out.append(text, done, std::string::npos);
    text.swap(out);
}

}  // namespace krzlab
