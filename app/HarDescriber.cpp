#include "app/HarDescriber.h"

#include "app/Describer.h"
#include "app/HarImport.h"
#include "app/PasswordTransforms.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

namespace krzpap {

using krzlab::Exchange;
using krzlab::lower;
using krzlab::Recording;
using json = nlohmann::ordered_json;

namespace {

// A value shorter than this, taken from an earlier reply, is likelier a setting than a nonce.
const size_t kCarried = 6;

bool isJson(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r\n");
    return first != std::string::npos && (text[first] == '{' || text[first] == '[') &&
           json::accept(text);
}

// The JSON pointer of the first string member equal to `value` (or, with `numbers`, whole number
// written so), or "".
std::string pointerOf(const json& j, const std::string& value, const std::string& at, int depth,
                      bool numbers = false) {
    if (depth > 16)
        return "";
    if (j.is_string() && j.get<std::string>() == value && !at.empty())
        return at;
    if (numbers && j.is_number_unsigned() && std::to_string(j.get<unsigned long long>()) == value &&
        !at.empty())
        return at;
    if (j.is_object()) {
        for (auto it = j.begin(); it != j.end(); ++it) {
            std::string key = it.key();
            krzlab::replaceAll(key, "~", "~0");
            krzlab::replaceAll(key, "/", "~1");
            std::string found = pointerOf(it.value(), value, at + "/" + key, depth + 1, numbers);
            if (!found.empty())
                return found;
        }
    } else if (j.is_array()) {
        for (size_t i = 0; i < j.size(); ++i) {
            std::string found =
                pointerOf(j[i], value, at + "/" + std::to_string(i), depth + 1, numbers);
            if (!found.empty())
                return found;
        }
    }
    return "";
}

// The headers a request carried beyond those the browser sends by itself: what a page's script
// added (a session token, a value the page handed out).
std::vector<std::pair<std::string, std::string>> addedHeaders(const krzlab::RecordedRequest& q) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& h : q.headers) {
        std::string n = lower(h.first);
        if (n != "cookie" && n != "referer" && n != "origin" && n != "content-type" &&
            n != "authorization")
            out.push_back(h);
    }
    return out;
}

// A pattern that takes `value` from a page by the text before it, whatever the value's shape (a
// recording holds a placeholder where the device gave hex): from the tag it stands in, else the
// few characters before it. "" when the value stands in no word of its own or the pattern
// would take another.
std::string patternFor(const std::string& body, const std::string& value) {
    size_t at = body.find(value);
    auto word = [](char c) { return std::isalnum((unsigned char)c) || c == '_' || c == '-'; };
    if (at == std::string::npos || at == 0 || word(body[at - 1]) ||
        (at + value.size() < body.size() && word(body[at + value.size()])))
        return "";
    size_t tag = body.rfind('<', at);
    size_t from = tag != std::string::npos && at - tag <= 60 ? tag : (at > 20 ? at - 20 : 0);
    std::string prefix = body.substr(from, at - from);
    // The group is the one modelAfter() scans for.
    return modelAfter(prefix, body) == value ? patternEscape(prefix) + "([^\\s\"<&;,]+)" : "";
}

// Whether a reply says the device restarts: a JSON member named so that is true or counts, or a
// text member that says it. (A page's text is not read: its menus name "Reboot".)
bool announcesRestart(const json& j, int depth = 0) {
    if (depth > 8 || !j.is_structured())
        return false;
    for (auto it = j.begin(); it != j.end(); ++it) {
        std::string key = j.is_object() ? lower(it.key()) : "";
        bool named =
            key.find("restart") != std::string::npos || key.find("reboot") != std::string::npos;
        const json& v = it.value();
        std::string text = v.is_string() ? lower(v.get<std::string>()) : "";
        if ((named && (v == true || (v.is_number() && v.get<double>() > 0))) ||
            text.find("restarting") != std::string::npos ||
            text.find("rebooting") != std::string::npos || announcesRestart(v, depth + 1))
            return true;
    }
    return false;
}

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> out;
    for (size_t start = 0; start <= text.size();) {
        size_t end = std::min(text.find(by, start), text.size());
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The user name the login carried: the value of a field or member named like one.
std::string userOf(const krzlab::RecordedRequest& q) {
    auto named = [](const std::string& name) {
        std::string n = lower(name);
        // As the HAR reader names a login's user field: "uname" and "login_name" too.
        return n.find("user") != std::string::npos || n == "login" ||
               n.find("name") != std::string::npos;
    };
    for (const auto& f : q.form)
        if (named(f.first))
            return f.second;
    json body = isJson(q.body) ? json::parse(q.body) : json();
    if (body.is_object())
        for (auto it = body.begin(); it != body.end(); ++it)
            if (named(it.key()) && it->is_string())
                return it->get<std::string>();
    return "";
}

// Whether the request carries a placeholder: they are plain words, found as they stand in any
// body, without reading it.
bool mentions(const krzlab::RecordedRequest& q, const std::string& value) {
    for (const auto& f : q.form)
        if (f.second.find(value) != std::string::npos)
            return true;
    return q.target.find(value) != std::string::npos || q.body.find(value) != std::string::npos;
}

// The fields of the target's query as they stand (still encoded): a form sent with GET.
std::vector<std::pair<std::string, std::string>> queryOf(const std::string& target) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t query = target.find('?');
    if (query != std::string::npos)
        for (const std::string& pair : split(target.substr(query + 1), '&'))
            if (pair.find('=') != std::string::npos)
                fields.emplace_back(pair.substr(0, pair.find('=')),
                                    pair.substr(pair.find('=') + 1));
    return fields;
}

bool namesSsid(const krzlab::RecordedRequest& q) {
    for (const auto& f : q.form)
        if (lower(f.first).find("ssid") != std::string::npos)
            return true;
    for (const auto& f : queryOf(q.target))
        if (lower(f.first).find("ssid") != std::string::npos)
            return true;
    return lower(q.body).find("ssid") != std::string::npos;
}

std::string ssidValue(const krzlab::RecordedRequest& q) {
    for (const auto& f : q.form)
        if (lower(f.first).find("ssid") != std::string::npos && !f.second.empty())
            return f.second;
    for (const auto& f : queryOf(q.target))
        if (lower(f.first).find("ssid") != std::string::npos && !f.second.empty())
            return f.second;
    if (!q.body.empty() && !isJson(q.body))
        for (const std::string& pair : split(q.body, '&'))
            if (lower(pair.substr(0, pair.find('='))).find("ssid") != std::string::npos &&
                pair.find('=') != std::string::npos)
                return pair.substr(pair.find('=') + 1);
    json body = isJson(q.body) ? json::parse(q.body) : json();
    std::vector<std::pair<std::string, const json*>> todo{{"", &body}};
    for (size_t i = 0; i < todo.size() && i < 4096; ++i) {
        const json& j = *todo[i].second;
        if (j.is_string() && lower(todo[i].first).find("ssid") != std::string::npos &&
            !j.get<std::string>().empty())
            return j.get<std::string>();
        if (j.is_object())
            for (auto it = j.begin(); it != j.end(); ++it)
                todo.emplace_back(it.key(), &it.value());
        else if (j.is_array())
            for (const json& item : j)
                todo.emplace_back(todo[i].first, &item);
    }
    return "";
}

class Learner {
  public:
    explicit Learner(const Recording& r) : r_(r) {
        for (const auto& p : r.placeholders)
            if (p.kind == "password" && p.of.is_object())
                transformed_.emplace_back(p.value, p.of);
            else if (p.kind == "password" && password_.empty())
                password_ = p.value;
            else if (p.kind == "key")
                keys_.push_back(p.value);
    }
    void run(json& draft);

  private:
    void guess(const std::string& pointer, const std::string& why) {
        guesses_.push_back({{"pointer", pointer}, {"why", why}});
    }
    void gap(const std::string& pointer, const std::string& need) {
        gaps_.push_back({{"pointer", pointer}, {"need", need}});
    }
    // The text as a template: each known value by its name (the longest first), other braces
    // doubled.
    std::string templ(const std::string& text) const {
        std::string out;
        for (size_t i = 0; i < text.size();) {
            const std::pair<std::string, std::string>* best = nullptr;
            for (const auto& s : subs_)
                if (!s.first.empty() && text.compare(i, s.first.size(), s.first) == 0 &&
                    (!best || s.first.size() > best->first.size()))
                    best = &s;
            if (best) {
                out += "{" + best->second + "}";
                i += best->first.size();
            } else {
                out += text[i] == '{' ? "{{" : std::string(1, text[i]);
                ++i;
            }
        }
        return out;
    }
    json templJson(const json& j) const {
        if (j.is_string())
            return templ(j.get<std::string>());
        json out = j;
        if (j.is_object())
            for (auto it = out.begin(); it != out.end(); ++it)
                it.value() = templJson(it.value());
        else if (j.is_array())
            for (json& item : out)
                item = templJson(item);
        return out;
    }
    const std::string* keyIn(const krzlab::RecordedRequest& q) const {
        for (const std::string& key : keys_)
            if (mentions(q, key))
                return &key;
        return nullptr;
    }
    json stepOf(const Exchange& e) const;
    // Steps that capture, from replies before `index`, the values the request there carried
    // and the `literals` of the transforms it sent.
    json carriedFrom(size_t index, size_t from, const std::string& at,
                     const std::vector<std::string>& literals = {});
    // The transform with its literals named by the values captured for them.
    json transformOf(const json& how, const std::string& pointer);
    void literalsOf(const json& how, std::vector<std::string>& out) const;
    void login(json& doc);
    void change(json& doc);
    // Marks each header the steps at `at` send as a guess.
    void headersOf(const json& steps, const std::string& at);
    // After the change's posts [at, end): the restart the browser waited for, drafted on `change`
    // (`stepAt` the step each of those posts became, "" for none).
    void restartOf(size_t at, size_t end, const std::vector<std::string>& stepAt, json& change);

    const Recording& r_;
    std::string password_;
    std::vector<std::pair<std::string, nlohmann::json>> transformed_;  // placeholder, how
    std::vector<std::string> keys_;  // the placeholders of keys, old and new
    std::vector<std::pair<std::string, std::string>> subs_;  // value -> its template name
    json guesses_ = json::array();
    json gaps_ = json::array();
    size_t loginAt_ = 0;
    bool loggedIn_ = false;
    json loginHeaders_ = json::object();
};

json Learner::stepOf(const Exchange& e) const {
    const krzlab::RecordedRequest& q = e.request;
    json step = json::object();
    bool body = !q.form.empty() || !q.body.empty();
    if (q.method != (body ? "POST" : "GET"))
        step["method"] = q.method;
    step["path"] = templ(q.target);
    if (!q.form.empty()) {
        json fields = json::object();
        for (const auto& f : q.form)
            fields[f.first] = templ(f.second);
        step[q.multipart ? "multipart" : "urlencoded"] = fields;
    } else if (isJson(q.body)) {
        step["json"] = templJson(json::parse(q.body));
    } else if (!q.body.empty()) {
        const std::string* type = krzlab::headerOf(q.headers, "Content-Type");
        step["text"] = {{"contentType", type ? *type : "text/plain"}, {"body", templ(q.body)}};
    }
    // A value the request carried in a header an earlier reply handed out; the login's own
    // headers go by themselves.
    json headers = json::object();
    for (const auto& h : addedHeaders(q))
        if (templ(h.second) != h.second && !loginHeaders_.contains(h.first))
            headers[h.first] = templ(h.second);
    if (!headers.empty())
        step["headers"] = headers;
    // The page the browser was on, when it was the device's own: some devices want it.
    const std::string* referer = krzlab::headerOf(q.headers, "Referer");
    size_t host = referer ? referer->find("://") : std::string::npos;
    if (host != std::string::npos) {
        size_t path = std::min(referer->find('/', host + 3), referer->size());
        std::string name = referer->substr(host + 3, path - host - 3);
        if (name.substr(0, name.find(':')) == r_.address && path < referer->size())
            step["referer"] = templ(referer->substr(path));
    }
    if (e.reply.status >= 100)
        step["expect"] = {{"status", e.reply.status}};
    return step;
}

json Learner::carriedFrom(size_t index, size_t from, const std::string& at,
                          const std::vector<std::string>& literals) {
    struct Carried {
        std::string value;
        bool literal;        // a transform's literal
        std::string header;  // the header that carried it, "" for the body
    };
    const krzlab::RecordedRequest& q = r_.exchanges[index].request;
    std::vector<Carried> values;
    for (const std::string& value : sentValues(q))
        if (value.size() >= kCarried)
            values.push_back({value, false, ""});
    for (const std::string& value : literals)
        values.push_back({value, true, ""});
    for (const auto& h : addedHeaders(q))
        if (h.second.size() >= kCarried)
            values.push_back({h.second, false, h.first});
    // One step per earlier reply, capturing all it handed out: asking twice would hand out a
    // fresh nonce.
    std::map<size_t, json> captureAt;
    std::multimap<size_t, std::string> whys;
    std::multimap<size_t, std::pair<std::string, std::string>> named;  // value -> name, by step
    for (const auto& v : values) {
        if (templ(v.value) != v.value)
            continue;
        for (size_t i = index; i-- > from;) {
            const Exchange& earlier = r_.exchanges[i];
            // A header's value is read again from a page, never by repeating a post (a login
            // the draft does not know).
            if (!v.header.empty() && earlier.request.method != "GET")
                continue;
            std::string name, pattern, pointer;
            if (isJson(earlier.reply.body)) {
                pointer = pointerOf(json::parse(earlier.reply.body), v.value, "", 0, v.literal);
                name = pointer.substr(pointer.rfind('/') + 1);
            } else if (!v.header.empty()) {
                pattern = patternFor(earlier.reply.body, v.value);
                name = lower(v.header).rfind("x-", 0) == 0 ? v.header.substr(2) : v.header;
            }
            if (pointer.empty() && pattern.empty())
                continue;
            name.erase(std::remove_if(name.begin(), name.end(),
                                      [](char c) { return !std::isalnum((unsigned char)c); }),
                       name.end());
            name = name.empty() || std::isdigit((unsigned char)name[0]) ? "value" + name : name;
            captureAt[i][name] =
                pattern.empty() ? json{{"json", pointer}} : json{{"pattern", pattern}};
            subs_.emplace_back(v.value, name);
            named.emplace(i, subs_.back());
            std::string to = earlier.request.target, into = q.target;
            whys.emplace(i, v.header.empty()
                                ? "the browser carried " + name + " from the reply to " + to +
                                      " into " + into
                                : "the browser sent " + v.header + " to " + into +
                                      " with the value the reply to " + to + " handed out" +
                                      (pattern.empty() ? "" : ", taken by the text before it"));
            break;
        }
    }
    // Built once every value is named: a step carries what earlier steps captured, and its own
    // request keeps as sent what its reply hands out.
    subs_.resize(subs_.size() - named.size());
    json steps = json::array();
    for (auto& c : captureAt) {
        auto range = whys.equal_range(c.first);
        for (auto it = range.first; it != range.second; ++it)
            guess(at + "/" + std::to_string(steps.size()), it->second);
        json step = stepOf(r_.exchanges[c.first]);
        step["capture"] = c.second;
        steps.push_back(step);
        auto own = named.equal_range(c.first);
        for (auto it = own.first; it != own.second; ++it)
            subs_.push_back(it->second);
    }
    return steps;
}

void Learner::headersOf(const json& steps, const std::string& at) {
    for (size_t i = 0; i < steps.size(); ++i)
        if (steps[i].contains("headers"))
            for (auto it = steps[i]["headers"].begin(); it != steps[i]["headers"].end(); ++it)
                guess(at + "/" + std::to_string(i) + "/headers/" + it.key(),
                      "the browser sent it with this request, its value " + it.value().dump() +
                          " as an earlier reply handed it out");
}

void Learner::restartOf(size_t at, size_t end, const std::vector<std::string>& stepAt,
                        json& change) {
    const std::vector<Exchange>& ex = r_.exchanges;
    std::string restarts, why;
    for (size_t i = at; i < end; ++i)
        if (!stepAt[i - at].empty() && isJson(ex[i].reply.body) &&
            announcesRestart(json::parse(ex[i].reply.body))) {
            restarts = stepAt[i - at];
            why = "the answer to " + ex[i].request.target + " says the device restarts";
        }
    // The page polled: one path read again and again right after the posts, until its answer
    // changed.
    size_t polls = 1;
    for (size_t i = end + 1; i < ex.size() && ex[i].request.method == "GET" &&
                             ex[i].request.target == ex[end].request.target;
         ++i)
        if (ex[i].reply.status != ex[i - 1].reply.status ||
            ex[i].reply.body != ex[i - 1].reply.body)
            polls = i - end + 1;
    if (polls > 1) {
        for (size_t i = end; i-- > at && restarts.empty();)
            restarts = stepAt[i - at];
        why = (why.empty() ? "the browser" : why + "; the browser") + " read " +
              ex[end].request.target + " " + std::to_string(polls) +
              " times after the change until its answer changed";
    }
    if (restarts.empty())
        return;
    change["steps"][std::stoul(restarts.substr(restarts.rfind('/') + 1))]["restarts"] = true;
    change["restart"] = {{"minimumMs", 2000}, {"maximumMs", 60000}, {"pauseMs", 500}};
    guess(restarts + "/restarts", why);
    guess("/changes/0/restart",
          why + ": the times are a guess, minimumMs at least the time the device is away");
}

void Learner::literalsOf(const json& how, std::vector<std::string>& out) const {
    if (how.is_string() && !PasswordTransforms::isReference(how.get<std::string>()))
        out.push_back(how.get<std::string>());
    else if (how.is_structured())
        for (const json& item : how)
            literalsOf(item, out);
}

json Learner::transformOf(const json& how, const std::string& pointer) {
    if (how.is_string()) {
        std::string leaf = how.get<std::string>();
        if (PasswordTransforms::isReference(leaf))
            return leaf;
        std::string named = templ(leaf);
        if (named == leaf)
            gap(pointer, "\"" + leaf +
                             "\": a value the browser's scripts used with the password, found in "
                             "no JSON reply before the login: where the device hands it out");
        return named;
    }
    json out = json::object();
    if (how.is_array())
        out = json::array();
    size_t i = 0;
    for (auto it = how.begin(); it != how.end(); ++it, ++i) {
        std::string key = how.is_object() ? it.key() : std::to_string(i);
        json item = transformOf(it.value(), pointer + "/" + key);
        if (how.is_object())
            out[it.key()] = item;
        else
            out.push_back(item);
    }
    return out;
}

void Learner::login(json& doc) {
    json login = json::object();
    if (r_.login.kind == "basic") {
        login["basic"] = true;
        guess("/login/basic", "the browser sent Basic credentials");
    }
    const std::vector<Exchange>& ex = r_.exchanges;
    size_t at = ex.size();
    std::vector<std::pair<std::string, nlohmann::json>> sent;  // the transforms the login sent
    for (size_t i = 0; i < ex.size() && at == ex.size(); ++i) {
        for (const auto& t : transformed_)
            if (mentions(ex[i].request, t.first))
                sent.push_back(t);
        if (!sent.empty() || (!password_.empty() && mentions(ex[i].request, password_)))
            at = i;
    }
    if (at == ex.size()) {
        if (!login.contains("basic")) {
            login["steps"] = json::array({{{"path", "/GAP"}}});
            gap("/login/steps",
                "the login: no request in the HAR carried the password as typed or in a "
                "transform describe knows (saved after the login? give the password you "
                "typed to record --from-har --password)");
        }
        doc["login"] = login;
        return;
    }
    loginAt_ = at;
    loggedIn_ = true;
    subs_.emplace_back(password_, "currentPassword");
    std::string user = r_.login.user.empty() ? userOf(ex[at].request) : r_.login.user;
    if (!user.empty())
        subs_.emplace_back(user, "loginUser");
    std::vector<std::string> literals;
    for (const auto& t : sent)
        literalsOf(t.second, literals);
    json steps = carriedFrom(at, 0, "/login/steps", literals);
    for (size_t i = 0; i < sent.size(); ++i) {
        std::string name = "sentPassword" + (i ? std::to_string(i + 1) : std::string());
        doc["values"][name] = transformOf(sent[i].second, "/values/" + name);
        subs_.emplace_back(sent[i].first, name);
        guess("/values/" + name,
              "the login's scripts sent the password transformed: " + doc["values"][name].dump());
    }
    json step = stepOf(ex[at]);
    guess("/login/steps/" + std::to_string(steps.size()),
          "the request to " + ex[at].request.target + " carried the password");
    // What the login's answer hands out and later requests carry: the session's token.
    if (isJson(ex[at].reply.body)) {
        json answer = json::parse(ex[at].reply.body);
        for (const auto& p : r_.placeholders) {
            std::string pointer = pointerOf(answer, p.value, "", 0);
            if (p.kind != "secret" || pointer.empty())
                continue;
            std::string name = "token" + std::string(step.contains("capture") ? "2" : "");
            step["capture"][name] = {{"json", pointer}};
            subs_.emplace_back(p.value, name);
            guess("/login/steps/" + std::to_string(steps.size()) + "/capture/" + name,
                  ex[at].reply.rebuilt
                      ? "the HAR lost the login's answer; the token later requests carried is "
                        "taken to be its member " +
                            pointer +
                            ": check the name, and what else "
                            "the answer says"
                      : "the login's answer holds a token at " + pointer);
        }
    }
    steps.push_back(step);
    json headers = json::object();
    for (size_t i = at + 1; i < ex.size(); ++i)
        for (const auto& h : ex[i].request.headers)
            if (lower(h.first) != "cookie" && lower(h.first) != "referer" &&
                templ(h.second) != h.second && h.second.find("{") == std::string::npos &&
                !headers.contains(h.first)) {
                headers[h.first] = templ(h.second);
                guess("/login/headers/" + h.first,
                      "the browser sent it on each request after the login");
            }
    headersOf(steps, "/login/steps");
    login["steps"] = steps;
    loginHeaders_ = headers;
    if (!headers.empty())
        login["headers"] = headers;
    doc["login"] = login;
}

void Learner::change(json& doc) {
    const std::vector<Exchange>& ex = r_.exchanges;
    size_t at = ex.size();
    for (size_t i = loggedIn_ ? loginAt_ + 1 : 0; i < ex.size() && at == ex.size(); ++i)
        // A post, or a form sent with GET (its fields in the query).
        if ((ex[i].request.method != "GET" ||
             ex[i].request.target.find('?') != std::string::npos) &&
            (namesSsid(ex[i].request) || keyIn(ex[i].request)))
            at = i;
    json wireless = {{"change", "wireless"}};
    if (at == ex.size()) {
        wireless["steps"] = json::array({{{"path", "/GAP"}}});
        gap("/changes/0/steps", "the change: no request after the login posted a network name");
    } else {
        std::string ssid = ssidValue(ex[at].request);
        if (!ssid.empty())
            subs_.emplace_back(ssid, "ssid");
        // The key the change posted, not one the pages showed before.
        if (const std::string* key = keyIn(ex[at].request))
            subs_.emplace_back(*key, "key");
        json steps = carriedFrom(at, loggedIn_ ? loginAt_ + 1 : 0, "/changes/0/steps");
        const std::string pointer = "/changes/0/steps/" + std::to_string(steps.size());
        steps.push_back(stepOf(ex[at]));
        guess(pointer, "the browser posted the new network name to " + ex[at].request.target);
        const char* const held =
            "each other value it posts as the device holds it: capture it from the "
            "device ({security}, {encryption} for those two); as the HAR has them they "
            "are what the device held when it was saved";
        gap(pointer, held);
        json confirm = json::array();
        std::vector<std::string> stepAt{pointer};  // of each post from `at` on
        size_t i = at + 1;
        for (; i < ex.size() && ex[i].request.method != "GET"; ++i) {
            bool confirms = lower(ex[i].request.target).find("confirm") != std::string::npos;
            stepAt.push_back(confirms ? "" : "/changes/0/steps/" + std::to_string(steps.size()));
            (confirms ? confirm : steps).push_back(stepOf(ex[i]));
            guess(confirms ? "/changes/0/confirm" : "/changes/0/steps",
                  "the browser posted to " + ex[i].request.target + " after the change");
        }
        // Settings spread over pages: a later request that carries a key or names the network
        // is a further step of the change; the pages read in between are not.
        for (size_t j = i; j < ex.size(); ++j) {
            const krzlab::RecordedRequest& q = ex[j].request;
            const std::string* key = keyIn(q);
            if ((q.method == "GET" && q.target.find('?') == std::string::npos) ||
                (!key && !namesSsid(q)))
                continue;
            if (key)
                subs_.emplace_back(*key, "key");
            std::string further = "/changes/0/steps/" + std::to_string(steps.size());
            steps.push_back(stepOf(ex[j]));
            guess(further, "the browser posted the new " +
                               std::string(key ? "key" : "network name") + " to " + q.target +
                               " from another page");
            gap(further, held);
        }
        headersOf(steps, "/changes/0/steps");
        headersOf(confirm, "/changes/0/confirm");
        wireless["steps"] = steps;
        restartOf(at, at + stepAt.size(), stepAt, wireless);
        if (!confirm.empty())
            wireless["confirm"] = confirm;
        // The read-back: the first page after the change that shows the new name.
        for (; i < ex.size() && !ssid.empty(); ++i) {
            if (ex[i].request.method != "GET" || !isJson(ex[i].reply.body))
                continue;
            std::string where = pointerOf(json::parse(ex[i].reply.body), ssid, "", 0);
            if (where.empty())
                continue;
            doc["settings"]["ssid"] = {{"page", ex[i].request.target}, {"json", where}};
            guess("/settings/ssid", ex[i].request.target + " showed the new network name at " +
                                        where + " after the change");
            break;
        }
    }
    json credentials = {{"change", "credentials"}, {"steps", json::array({{{"path", "/GAP"}}})}};
    gap("/changes/1/steps", "the credentials change: the HAR holds none");
    doc["changes"] = json::array({wireless, credentials});
}

void Learner::run(json& draft) {
    json doc = draft;
    doc.erase("draft");
    login(doc);
    change(doc);
    json& marks = draft["draft"];
    for (const char* list : {"guesses", "gaps"}) {
        json kept = json::array();
        for (const json& m : marks[list]) {
            std::string p = m["pointer"].get<std::string>();
            bool replaced =
                p.rfind("/login", 0) == 0 || p.rfind("/changes", 0) == 0 ||
                (p.rfind("/settings/ssid", 0) == 0 && doc["settings"]["ssid"].contains("json"));
            if (!replaced)
                kept.push_back(m);
        }
        for (const json& m : std::string(list) == "guesses" ? guesses_ : gaps_)
            kept.push_back(m);
        marks[list] = kept;
    }
    json out = json::object();
    out["draft"] = marks;
    out["$schema"] = doc["$schema"];
    out["format"] = 2;
    for (auto it = doc.begin(); it != doc.end(); ++it)
        if (it.key() != "$schema")
            out[it.key()] = it.value();
    draft = out;
}

}  // namespace

void learnFromBrowser(const Recording& recording, json& draft) {
    Learner(recording).run(draft);
}

}  // namespace krzpap
