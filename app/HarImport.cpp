#include "app/HarImport.h"

#include "app/PageReading.h"
#include "app/PasswordTransforms.h"
#include "html/KRZPHtmlParser.h"
#include "recording/UrlEncoded.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <set>
#include <stdexcept>

namespace krzpap {

using krzlab::Exchange;
using krzlab::HeaderList;
using krzlab::lower;
using nlohmann::json;

namespace {

// A HAR nests a few levels; anything deeper is no HAR and would only cost the reader stack.
const int kMaxDepth = 64;
// Short values under a secret's name are settings ("1", "on"): replacing them would garble pages.
const size_t kShortest = 4;

const char kSanitized[] =
    "sent after the login, but the HAR holds no cookie and no Authorization (saved sanitized): "
    "the session it carried is lost, and playback answers it without checking one; save the HAR "
    "again with its cookies to keep it";

void checkDepth(const std::string& text) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if ((c == '{' || c == '[') && ++depth > kMaxDepth) {
            throw std::invalid_argument("it nests deeper than " + std::to_string(kMaxDepth) +
                                        " levels, which no HAR does");
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
}

std::string stringAt(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

const json* arrayAt(const json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_array() ? &*it : nullptr;
}

// [{name, value}] as header pairs; items that are not two strings are left out.
HeaderList pairsAt(const json& j, const char* key) {
    HeaderList out;
    if (const json* list = arrayAt(j, key))
        for (const json& item : *list)
            if (item.is_object() && item.contains("name") && item["name"].is_string())
                out.emplace_back(item["name"].get<std::string>(), stringAt(item, "value"));
    return out;
}

struct Url {
    std::string host;    // host[:port], lower case
    std::string target;  // path and query
};

bool parseUrl(const std::string& url, Url& out) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return false;
    std::string s = lower(url.substr(0, scheme));
    if (s != "http" && s != "https")
        return false;
    size_t start = scheme + 3;
    size_t slash = url.find_first_of("/?#", start);
    std::string authority =
        url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    authority = authority.substr(authority.find('@') + 1);  // user:password@ is no host
    out.host = lower(authority);
    out.target = slash == std::string::npos ? "/" : url.substr(slash);
    out.target = out.target.substr(0, out.target.find('#'));
    if (out.target.empty() || out.target[0] != '/')
        out.target = "/" + out.target;
    return !out.host.empty();
}

// Headers every browser sends, which say nothing about the device's pages.
bool usualHeader(const std::string& name) {
    static const char* const kUsual[] = {"host",
                                         "user-agent",
                                         "accept",
                                         "accept-encoding",
                                         "accept-language",
                                         "connection",
                                         "cache-control",
                                         "pragma",
                                         "content-length",
                                         "dnt",
                                         "upgrade-insecure-requests",
                                         "priority",
                                         "te",
                                         "keep-alive"};
    std::string n = lower(name);
    if (n.empty() || n[0] == ':' || n.compare(0, 4, "sec-") == 0)
        return true;
    for (const char* usual : kUsual)
        if (n == usual)
            return true;
    return false;
}

bool tokenName(const std::string& name) {
    std::string n = lower(name);
    for (const char* word : {"token", "stok", "csrf", "xsrf", "session", "sessid"})
        if (n.find(word) != std::string::npos)
            return true;
    return n == "sid" || n == "ubus_rpc_session";
}

bool passwordName(const std::string& name) {
    std::string n = lower(name);
    return secretName(name) &&
           (n.find("pass") != std::string::npos || n.find("pwd") != std::string::npos);
}

// The fields of a multipart/form-data body, as Chromium saves it (the raw text, no params): each
// part's name from its Content-Disposition, its value up to the line before the next delimiter.
// Files and parts without a name are left out. One forward pass.
HeaderList multipartOf(const std::string& text, const std::string& mimeType) {
    HeaderList out;
    size_t at = lower(mimeType).find("boundary=");
    if (at == std::string::npos)
        return out;
    std::string boundary = mimeType.substr(at + 9);
    boundary = boundary.substr(0, boundary.find(';'));
    if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
        boundary = boundary.substr(1, boundary.size() - 2);
    if (boundary.empty())
        return out;
    const std::string delimiter = "--" + boundary;
    size_t part = text.find(delimiter);
    while (part != std::string::npos) {
        size_t start = part + delimiter.size();
        size_t next = text.find("\r\n" + delimiter, start);
        size_t blank = text.find("\r\n\r\n", start);
        if (next == std::string::npos || blank == std::string::npos || blank > next)
            break;
        std::string head = text.substr(start, blank - start);
        size_t name = head.find(" name=\"");
        size_t file = head.find("filename=");
        if (name != std::string::npos && file == std::string::npos) {
            size_t end = head.find('"', name + 7);
            if (end != std::string::npos)
                out.emplace_back(head.substr(name + 7, end - name - 7),
                                 text.substr(blank + 4, next - blank - 4));
        }
        part = next + 2;
    }
    return out;
}

// The cookies a Cookie header or a Set-Cookie line names: name, value.
HeaderList cookiesOf(const std::string& header, bool setCookie) {
    HeaderList out;
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find(';', start);
        end = end == std::string::npos ? header.size() : end;
        std::string pair = header.substr(start, end - start);
        pair.erase(0, pair.find_first_not_of(' '));
        size_t eq = pair.find('=');
        if (eq != std::string::npos)
            out.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
        if (setCookie)
            break;  // the rest are its attributes
        start = end + 1;
    }
    return out;
}

// Collects the secrets an import replaces: the first password-named value is the password.
class Secrets {
  public:
    explicit Secrets(const std::string& password) {
        if (!password.empty())
            add(password, "password");
    }
    void add(const std::string& value, const std::string& kind) {
        static const std::set<std::string> kWords = {"enable", "enabled", "disable", "disabled",
                                                     "true",   "false",   "none",    "auto",
                                                     "null",   "open",    "shared"};
        if (value.empty() || (kind != "password" && value.size() < kShortest) ||
            kWords.count(lower(value)))
            return;
        if (kind == "password")
            havePassword_ = true;
        list_.emplace_back(value, kind);
    }
    // A value under `name`; returns its kind, "" for no secret.
    std::string named(const std::string& name, const std::string& value) {
        std::string kind;
        if (passwordName(name) && !havePassword_)
            kind = "password";
        else if (secretName(name))
            kind = "key";
        else if (tokenName(name))
            kind = "secret";
        if (!kind.empty())
            add(value, kind);
        return kind;
    }
    void walkJson(const json& j, const std::string& name, int depth) {
        if (depth > 16)
            return;
        if (j.is_string())
            named(name, j.get<std::string>());
        else if (j.is_object())
            for (auto it = j.begin(); it != j.end(); ++it)
                walkJson(it.value(), it.key(), depth + 1);
        else if (j.is_array())
            for (const json& item : j)
                walkJson(item, name, depth + 1);
    }
    const std::vector<std::pair<std::string, std::string>>& list() const { return list_; }

  private:
    std::vector<std::pair<std::string, std::string>> list_;
    bool havePassword_ = false;
};

std::string bodyOf(const json& content, const HarLimits& limits, bool& present, bool& cut) {
    present = content.is_object() && content.contains("text") && content["text"].is_string();
    if (!present)
        return std::string();
    std::string text = content["text"].get<std::string>();
    if (lower(stringAt(content, "encoding")) == "base64")
        text = krzlab::base64Decode(text);
    cut = text.size() > limits.body;
    if (cut)
        text.resize(limits.body);
    return text;
}

const char kLostBody[] =
    "its reply's body is missing (the browser did not keep it): playback answers it empty, and "
    "describe cannot read that page";

// The member a rebuilt answer holds a token in: a header's last word ("X-Auth-Token": "token"),
// a query's or a cookie's own name.
std::string memberFor(const std::string& name, bool header) {
    std::string n = lower(name);
    size_t cut = header ? n.find_last_of("-_") : std::string::npos;
    return cut == std::string::npos || cut + 1 == n.size() ? n : n.substr(cut + 1);
}

struct Reader {
    Reader(const HarLimits& l, const std::string& password) : limits(l), secrets(password) {}

    const HarLimits& limits;
    HarImport out;
    Secrets secrets;
    std::map<std::string, std::string> jar;  // cookies the device set, by name
    bool sawCookie = false;
    // JSON replies whose body the browser did not keep (exchange, entry): a page that leaves as
    // soon as its login answers loses the answer, where the session's token was.
    std::vector<std::pair<size_t, size_t>> lost;
    std::set<std::string> carriedTokens;
    int rebuildTries = 16;  // each looks through every reply before it

    void note(size_t entry, const std::string& what) { out.notes.push_back({entry + 1, what}); }

    // A token a request carries under `name`. One that no reply kept hands out came in the last
    // answer the browser lost: that answer is rebuilt to hand it out, so that playback gives a
    // login its session and describe sees where the token came from.
    void carried(const std::string& value, const std::string& name, bool header) {
        secrets.add(value, "secret");
        if (value.size() < kShortest || lost.empty() || !carriedTokens.insert(value).second ||
            rebuildTries-- <= 0)
            return;
        std::vector<Exchange>& exchanges = out.recording.exchanges;
        for (const Exchange& x : exchanges) {
            if (x.reply.body.find(value) != std::string::npos)
                return;
            for (const auto& h : x.reply.headers)
                if (h.second.find(value) != std::string::npos)
                    return;
        }
        krzlab::RecordedReply& e = exchanges[lost.back().first].reply;
        json body = json::parse(e.body, nullptr, false);
        if (!body.is_object())
            body = json::object();
        const std::string member = memberFor(name, header);
        body[member] = value;
        e.body = body.dump();
        e.headers.erase(std::remove_if(e.headers.begin(), e.headers.end(),
                                       [](const std::pair<std::string, std::string>& h) {
                                           return lower(h.first) == "content-length";
                                       }),
                        e.headers.end());
        size_t entry = lost.back().second + 1;
        if (!e.rebuilt)
            out.notes.erase(std::remove_if(out.notes.begin(), out.notes.end(),
                                           [&](const HarNote& n) {
                                               return n.entry == entry && n.what == kLostBody;
                                           }),
                            out.notes.end());
        e.rebuilt = true;
        out.notes.push_back(
            {entry,
             "its reply's body is missing (the browser did not keep it), and later "
             "requests carry a token in " +
                 name +
                 " that no other reply handed out: playback answers with that token as "
                 "the member \"" +
                 member +
                 "\", a guess at the name the device gave it; describe reads no more of "
                 "that answer"});
    }

    void request(const json& r, Exchange& e, size_t index) {
        for (auto& h : pairsAt(r, "headers"))
            if (!usualHeader(h.first)) {
                e.request.headers.push_back(h);
                std::string n = lower(h.first);
                if (n != "cookie" && n != "authorization" && tokenName(n))
                    carried(h.second, h.first, true);
            }
        const std::string* cookie = krzlab::headerOf(e.request.headers, "Cookie");
        HeaderList listed = pairsAt(r, "cookies");
        if (!cookie && (!listed.empty() || !jar.empty())) {
            std::string rebuilt;
            if (listed.empty()) {
                for (const auto& c : jar)
                    listed.emplace_back(c.first, c.second);
                note(index,
                     "its Cookie header is missing: rebuilt from what the device set "
                     "earlier, as a browser would have sent it");
            }
            for (const auto& c : listed)
                rebuilt += (rebuilt.empty() ? "" : "; ") + c.first + "=" + c.second;
            e.request.headers.emplace_back("Cookie", rebuilt);
        }
        if ((cookie = krzlab::headerOf(e.request.headers, "Cookie"))) {
            sawCookie = true;
            for (const auto& c : cookiesOf(*cookie, false))
                secrets.add(c.second, "cookie");
        }
        if (const std::string* auth = krzlab::headerOf(e.request.headers, "Authorization")) {
            sawCookie = true;
            if (lower(auth->substr(0, 6)) == "basic ") {
                std::string pair = krzlab::base64Decode(auth->substr(6));
                size_t colon = pair.find(':');
                if (colon != std::string::npos) {
                    secrets.add(pair.substr(colon + 1), "password");
                    out.recording.login.kind = "basic";
                    out.recording.login.user = pair.substr(0, colon);
                    out.recording.login.password = pair.substr(colon + 1);
                }
            }
            // A bearer token is the session's token, which a login's answer may have handed out:
            // the same placeholder wherever it stands lets describe see it carried.
            if (lower(auth->substr(0, 7)) == "bearer ")
                carried(auth->substr(7), "token", false);
            else
                secrets.add(*auth, "authorization");
        }
        e.request.credentials = krzlab::headerOf(e.request.headers, "Cookie") ||
                                krzlab::headerOf(e.request.headers, "Authorization");
        size_t query = e.request.target.find('?');
        for (const auto& q : krzlab::parseUrlEncodedPairs(
                 query == std::string::npos ? "" : e.request.target.substr(query + 1)))
            if (secrets.named(q.first, q.second) == "secret")
                carried(q.second, q.first, false);
        size_t stok = e.request.target.find(";stok=");
        if (stok != std::string::npos)
            carried(e.request.target.substr(stok + 6, e.request.target.find('/', stok) - stok - 6),
                    "stok", false);
        auto post = r.find("postData");
        if (post == r.end() || !post->is_object())
            return;
        std::string mime = lower(stringAt(*post, "mimeType"));
        std::string text = stringAt(*post, "text");
        if (mime.find("x-www-form-urlencoded") != std::string::npos) {
            e.request.form = krzlab::parseUrlEncodedPairs(text);
        } else if (mime.find("multipart/form-data") != std::string::npos) {
            e.request.form = pairsAt(*post, "params");
            if (e.request.form.empty())
                e.request.form = multipartOf(text, stringAt(*post, "mimeType"));
            e.request.multipart = true;
        } else {
            e.request.body = text.substr(0, limits.body);
            json body = json::parse(e.request.body, nullptr, false);
            if (!body.is_discarded())
                walkPosted(body);
        }
        for (const auto& f : e.request.form)
            if (secrets.named(f.first, f.second) == "password" &&
                out.recording.login.kind == "none")
                formLogin(e, f.first);
    }

    // A JSON-RPC login carries its password among positional parameters: the last string.
    void walkPosted(const json& body) {
        secrets.walkJson(body, "", 0);
        if (!body.is_object() || lower(stringAt(body, "method")).find("login") == std::string::npos)
            return;
        const json* params = arrayAt(body, "params");
        if (params && !params->empty() && params->back().is_string())
            secrets.add(params->back().get<std::string>(), "password");
    }

    void formLogin(const Exchange& e, const std::string& passwordField) {
        krzlab::RecordedLogin& login = out.recording.login;
        login.kind = "form";
        login.path = e.request.target;
        login.passwordField = passwordField;
        for (const auto& f : e.request.form) {
            std::string n = lower(f.first);
            if (f.first != passwordField &&
                (n.find("user") != std::string::npos || n.find("login") != std::string::npos ||
                 n.find("name") != std::string::npos) &&
                login.userField.empty()) {
                login.userField = f.first;
                login.user = f.second;
            }
            if (f.first == passwordField)
                login.password = f.second;
        }
        Url referer;
        const std::string* ref = krzlab::headerOf(e.request.headers, "Referer");
        login.page = ref && parseUrl(*ref, referer) && referer.host == out.host ? referer.target
                                                                                : login.path;
    }

    void reply(const json& r, Exchange& e, size_t index) {
        const json* status = r.contains("status") ? &r["status"] : nullptr;
        e.reply.status = status && status->is_number_integer() && status->get<long long>() >= 0 &&
                                 status->get<long long>() <= 999
                             ? status->get<int>()
                             : 0;
        e.reply.reason = stringAt(r, "statusText");
        for (auto& h : pairsAt(r, "headers"))
            if (!h.first.empty() && h.first[0] != ':')
                e.reply.headers.push_back(h);
        bool setCookie = krzlab::headerOf(e.reply.headers, "Set-Cookie") != nullptr;
        for (const auto& c : pairsAt(r, "cookies"))
            if (!setCookie)
                e.reply.headers.emplace_back("Set-Cookie", c.first + "=" + c.second + "; Path=/");
        for (const auto& h : e.reply.headers)
            if (lower(h.first) == "set-cookie")
                for (const auto& c : cookiesOf(h.second, true)) {
                    sawCookie = true;
                    jar[c.first] = c.second;
                    secrets.add(c.second, "cookie");
                }
        bool present = false, cut = false;
        e.reply.body = bodyOf(r.contains("content") ? r["content"] : json(), limits, present, cut);
        e.reply.cutShort = cut;
        if (cut)
            note(index, "its reply is larger than " + std::to_string(limits.body >> 20) +
                            " MiB: only the first part is kept, and playback sends it cut short");
        long long size = -1;
        if (r.contains("content") && r["content"].is_object() && r["content"].contains("size") &&
            r["content"]["size"].is_number_integer())
            size = r["content"]["size"].get<long long>();
        int s = e.reply.status;
        bool bodiless = s == 204 || s == 304 || (s >= 100 && s < 200) || (s >= 300 && s < 400) ||
                        e.request.method == "HEAD" || size == 0;
        if (!present && !bodiless) {
            note(index, kLostBody);
            const std::string* type = krzlab::headerOf(e.reply.headers, "Content-Type");
            if (type && lower(*type).find("json") != std::string::npos)
                lost.emplace_back(out.recording.exchanges.size(), index);
        }
        json body = json::parse(e.reply.body, nullptr, false);
        if (!body.is_discarded())
            walkTokens(body, 0);
        else
            for (const std::string& secret : secretsOf(e.reply.body))
                secrets.add(secret, "key");
    }

    // A login's answer hands out the session's token; keys in JSON replies are the device's.
    void walkTokens(const json& j, int depth) {
        if (depth > 16 || (!j.is_object() && !j.is_array()))
            return;
        for (auto it = j.begin(); it != j.end(); ++it) {
            if (it->is_string() && j.is_object() && (tokenName(it.key()) || secretName(it.key())))
                secrets.add(it->get<std::string>(), tokenName(it.key()) ? "secret" : "key");
            walkTokens(*it, depth + 1);
        }
    }
};

// The device: the host named, or the one most entries went to (the first of equals).
std::string deviceHost(const json& entries, size_t count, const std::string& wanted) {
    std::map<std::string, size_t> seen;
    std::string best;
    for (size_t i = 0; i < count; ++i) {
        Url url;
        if (!entries[i].is_object() || !entries[i].contains("request") ||
            !entries[i]["request"].is_object() ||
            !parseUrl(stringAt(entries[i]["request"], "url"), url))
            continue;
        std::string host = url.host;
        if (!wanted.empty()) {
            std::string bare =
                host.substr(0, host.rfind(':') < host.size() && host.find(']') == std::string::npos
                                   ? host.rfind(':')
                                   : host.size());
            if (host == lower(wanted) || bare == lower(wanted))
                return host;
            continue;
        }
        if (++seen[host] > (best.empty() ? 0 : seen[best]))
            best = host;
    }
    if (!wanted.empty())
        throw std::invalid_argument("no entry in it went to " + wanted);
    if (best.empty())
        throw std::invalid_argument("it holds no request to a web address");
    return best;
}

// The strings and whole numbers of a JSON reply, as the values a login's scripts may take from it.
void handedOut(const json& j, HandedOut& out, int depth) {
    if (depth > 16 || out.strings.size() > 64)
        return;
    if (j.is_string() && j.get<std::string>().size() >= kShortest &&
        j.get<std::string>().size() <= 256)
        out.strings.push_back(j.get<std::string>());
    else if (j.is_number_unsigned())
        out.numbers.push_back(std::to_string(j.get<unsigned long long>()));
    else if (j.is_structured())
        for (const json& item : j)
            handedOut(item, out, depth + 1);
}

// Of a page: the quoted words of its scripts and attributes, where a nonce stands.
void handedOut(const std::string& page, HandedOut& out) {
    for (size_t at = page.find_first_of("'\""); at != std::string::npos && out.strings.size() < 64;
         at = page.find_first_of("'\"", at + 1)) {
        size_t end = page.find(page[at], at + 1);
        if (end == std::string::npos)
            break;
        std::string word = page.substr(at + 1, end - at - 1);
        if (word.size() >= 8 && word.size() <= 128 &&
            word.find_first_of(" <>=;:/(){}") == std::string::npos)
            out.strings.push_back(word);
        at = end;
    }
}

// Values the browser computed from `password` in the login: each with the expression that
// computes it, found in the first request that carries one. The replies before it hand out the
// nonces and salts; a few requests are tried at most, so a hostile file costs little.
std::map<std::string, json> transformedPasswords(krzlab::Recording& r,
                                                 const std::string& password) {
    std::map<std::string, json> found;
    const PasswordTransforms plain(password, HandedOut());
    int tries = 4;
    long kdfBudget = 400000;  // iterations of key derivation for the whole file, some 0.2 s
    for (size_t i = 0; i < r.exchanges.size() && found.empty() && tries > 0; ++i) {
        std::vector<std::string> values = sentValues(r.exchanges[i].request);
        auto candidate = [&](const std::string& v) { return v.size() >= 8 && v != password; };
        if (std::none_of(values.begin(), values.end(), candidate))
            continue;
        --tries;
        HandedOut earlier;
        for (size_t j = i; j-- > 0 && i - j <= 4;)
            handedOut(json::parse(r.exchanges[j].reply.body, nullptr, false), earlier, 0);
        for (size_t j = i; j-- > 0 && i - j <= 4;)
            if (json::parse(r.exchanges[j].reply.body, nullptr, false).is_discarded())
                handedOut(r.exchanges[j].reply.body, earlier);
        const PasswordTransforms salted(password, earlier, &kdfBudget);
        for (const std::string& v : values) {
            std::string user;
            json how = candidate(v) ? plain.explain(v, user) : json();
            if (how.is_null() && candidate(v))
                how = salted.explain(v, user);
            if (how.is_null())
                continue;
            found[v] = how;
            if (!user.empty() && r.login.user.empty())
                r.login.user = user;
        }
    }
    return found;
}

}  // namespace

// The values a request carries that a script may have computed: form fields, query values,
// JSON strings (Basic credentials are read as such).
std::vector<std::string> sentValues(const krzlab::RecordedRequest& q) {
    std::vector<std::string> out;
    for (const auto& f : q.form)
        out.push_back(f.second);
    size_t query = q.target.find('?');
    for (const auto& f :
         krzlab::parseUrlEncodedPairs(query == std::string::npos ? "" : q.target.substr(query + 1)))
        out.push_back(f.second);
    json body = json::parse(q.body, nullptr, false);
    std::vector<const json*> todo{&body};
    for (size_t i = 0; i < todo.size() && i < 4096; ++i) {
        if (todo[i]->is_string())
            out.push_back(todo[i]->get<std::string>());
        else if (todo[i]->is_structured())
            for (const json& item : *todo[i])
                todo.push_back(&item);
    }
    return out;
}

HarImport importHar(const std::string& text, const std::string& host, const std::string& password,
                    bool keepSecrets, const HarLimits& limits) {
    if (text.size() > limits.bytes)
        throw std::invalid_argument("it is larger than " + std::to_string(limits.bytes >> 20) +
                                    " MiB, more than a browser saves for one device");
    checkDepth(text);
    json har = json::parse(text, nullptr, false);
    if (har.is_discarded())
        throw std::invalid_argument("it is not JSON, so no HAR file");
    const json* entries = har.is_object() && har.contains("log") && har["log"].is_object()
                              ? arrayAt(har["log"], "entries")
                              : nullptr;
    if (!entries)
        throw std::invalid_argument("it is no HAR file: it has no log.entries");
    size_t count = std::min(entries->size(), limits.entries);
    Reader reader(limits, password);
    HarImport& out = reader.out;
    out.host = deviceHost(*entries, count, host);
    out.recording.source = "har";
    out.recording.address = out.host.substr(0, out.host.find(':'));
    if (entries->size() > limits.entries) {
        out.recording.complete = false;
        out.recording.stopReason = "the HAR holds " + std::to_string(entries->size()) +
                                   " entries; the first " + std::to_string(limits.entries) +
                                   " were read";
    }
    std::vector<size_t> entryOf;  // each exchange's entry
    for (size_t i = 0; i < count; ++i) {
        const json& entry = (*entries)[i];
        Url url;
        if (!entry.is_object() || !entry.contains("request") || !entry["request"].is_object() ||
            !parseUrl(stringAt(entry["request"], "url"), url))
            continue;
        if (url.host != out.host) {
            if (std::find(out.otherHosts.begin(), out.otherHosts.end(), url.host) ==
                out.otherHosts.end())
                out.otherHosts.push_back(url.host);
            continue;
        }
        if (out.recording.recorded.empty())
            out.recording.recorded = stringAt(entry, "startedDateTime");
        Exchange e;
        e.request.method = stringAt(entry["request"], "method");
        if (e.request.method.empty())
            e.request.method = "GET";
        e.request.target = url.target;
        reader.request(entry["request"], e, i);
        if (entry.contains("response") && entry["response"].is_object())
            reader.reply(entry["response"], e, i);
        else
            reader.note(i, "it has no response: playback answers it with status 0");
        out.recording.exchanges.push_back(std::move(e));
        entryOf.push_back(i);
    }
    out.sanitized = !reader.sawCookie;
    bool afterLogin = false;
    for (size_t i = 0; out.sanitized && i < out.recording.exchanges.size(); ++i) {
        if (afterLogin)
            reader.note(entryOf[i], kSanitized);
        afterLogin = afterLogin || out.recording.exchanges[i].request.method == "POST";
    }
    krzlab::SecretScrubber scrubber;
    if (keepSecrets) {
        out.recording.secretsKept = true;
    } else {
        std::string typed = password;
        for (const auto& s : reader.secrets.list())
            if (typed.empty() && s.second == "password")
                typed = s.first;
        std::map<std::string, json> transformed = transformedPasswords(out.recording, typed);
        std::map<std::string, json> placeholderOf;
        for (const auto& t : transformed)
            placeholderOf[scrubber.add(t.first, "password")] = t.second;
        for (const auto& s : reader.secrets.list())
            scrubber.add(s.first, s.second);
        scrubber.apply(out.recording);
        for (krzlab::Placeholder& p : out.recording.placeholders)
            if (placeholderOf.count(p.value))
                p.of = placeholderOf[p.value];
    }
    return out;
}

std::vector<std::string> groupedNotes(const std::vector<HarNote>& notes) {
    std::vector<std::pair<std::string, std::string>> groups;  // sentence, entries
    for (const HarNote& n : notes) {
        auto it = std::find_if(groups.begin(), groups.end(),
                               [&](const auto& g) { return g.first == n.what; });
        if (it == groups.end()) {
            groups.emplace_back(n.what, "");
            it = groups.end() - 1;
        } else {
            it->second += ", ";
        }
        it->second += std::to_string(n.entry);
    }
    std::vector<std::string> out;
    for (const auto& g : groups)
        out.push_back((g.second.find(',') == std::string::npos ? "entry " : "entries ") + g.second +
                      ": " + g.first);
    return out;
}

}  // namespace krzpap
