#include "lab/devices/PlaybackDevice.h"

#include "lab/devices/LostAnswers.h"

#include <algorithm>
#include <fstream>
#include <cctype>
#include <cstdlib>
#include <set>
#include <stdexcept>

#include "html/KRZPScriptValues.h"
#include "lab/devices/FormCoding.h"

namespace krzlab {

namespace {

bool isHtml(const RecordedReply& reply) {
    const std::string* type = headerOf(reply.headers, "Content-Type");
    return type ? lower(*type).find("html") != std::string::npos
                : reply.body.find('<') != std::string::npos;
}

// The character references that form values use; others stay as written.
std::string entityDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t semi = text[i] == '&' ? text.find(';', i) : std::string::npos;
        if (semi == std::string::npos || semi - i > 8) {
            out += text[i];
            continue;
        }
        std::string name = text.substr(i + 1, semi - i - 1);
        static const char* const kNamed[][2] = {{"amp", "&"},   {"lt", "<"},   {"gt", ">"},
                                                {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
        std::string decoded;
        for (const auto& n : kNamed)
            if (name == n[0])
                decoded = n[1];
        if (decoded.empty() && name.size() > 1 && name[0] == '#' &&
            name.find_first_not_of("0123456789", 1) == std::string::npos)
            decoded = std::string(1, static_cast<char>(std::atoi(name.c_str() + 1) & 0xFF));
        if (decoded.empty()) {
            out += text[i];
            continue;
        }
        out += decoded;
        i = semi;
    }
    return out;
}

// One attribute of a tag as written: its name, and its value with the quotes it had.
struct Attribute {
    std::string name;
    std::string raw;  // empty: no value
};

// The tag `<name a=b ...>` taken apart; false for anything that is not a start tag.
bool parseTag(const std::string& tag, std::string& name, std::vector<Attribute>& attributes) {
    std::size_t i = 1;
    while (i < tag.size() && std::isalpha(static_cast<unsigned char>(tag[i])))
        ++i;
    name = lower(tag.substr(1, i - 1));
    if (name.empty())
        return false;
    const std::size_t end = tag.size() - 1;  // the '>'
    while (i < end) {
        while (i < end && (std::isspace(static_cast<unsigned char>(tag[i])) || tag[i] == '/'))
            ++i;
        std::size_t start = i;
        while (i < end && !std::isspace(static_cast<unsigned char>(tag[i])) && tag[i] != '=' &&
               tag[i] != '/')
            ++i;
        if (i == start)
            break;
        Attribute a{tag.substr(start, i - start), ""};
        while (i < end && std::isspace(static_cast<unsigned char>(tag[i])))
            ++i;
        if (i < end && tag[i] == '=') {
            ++i;
            while (i < end && std::isspace(static_cast<unsigned char>(tag[i])))
                ++i;
            std::size_t v = i;
            if (i < end && (tag[i] == '"' || tag[i] == '\'')) {
                std::size_t close = tag.find(tag[i], i + 1);
                i = close == std::string::npos || close > end ? end : close + 1;
            } else {
                while (i < end && !std::isspace(static_cast<unsigned char>(tag[i])))
                    ++i;
            }
            a.raw = tag.substr(v, i - v);
            if (a.raw.empty())
                a.raw = "\"\"";
        }
        attributes.push_back(a);
    }
    return true;
}

std::string valueOf(const std::vector<Attribute>& attributes, const std::string& name,
                    bool* present = nullptr) {
    for (const Attribute& a : attributes)
        if (equalsCaseless(a.name, name)) {
            if (present)
                *present = true;
            std::string raw = a.raw;
            if (!raw.empty() && (raw[0] == '"' || raw[0] == '\''))
                raw = raw.substr(1, raw.size() - 2);
            return entityDecode(raw);
        }
    if (present)
        *present = false;
    return std::string();
}

void setAttribute(std::vector<Attribute>& attributes, const std::string& name,
                  const std::string* value) {
    attributes.erase(
        std::remove_if(attributes.begin(), attributes.end(),
                       [&](const Attribute& a) { return equalsCaseless(a.name, name); }),
        attributes.end());
    if (value)
        attributes.push_back(Attribute{name, "\"" + htmlEscape(*value) + "\""});
}

std::string buildTag(const std::string& name, const std::vector<Attribute>& attributes) {
    std::string out = "<" + name;
    for (const Attribute& a : attributes)
        out += " " + a.name + (a.raw.empty() ? "" : "=" + a.raw);
    return out + ">";
}

// A form of a recorded page: where it goes and the values its controls hold.
struct PageForm {
    std::string action;
    std::string method;
    std::vector<std::pair<std::string, std::string>> fields;
    std::set<std::string> hidden;  // the names of its hidden fields
};

std::vector<PageForm> formsOf(const std::string& page) {
    std::vector<PageForm> forms;
    std::string select;
    bool inForm = false;
    for (std::size_t lt = page.find('<'); lt != std::string::npos; lt = page.find('<', lt + 1)) {
        std::size_t gt = page.find('>', lt);
        if (gt == std::string::npos)
            break;
        std::string tag = page.substr(lt, gt - lt + 1), name;
        std::vector<Attribute> attributes;
        if (lower(tag.substr(0, 6)) == "</form") {
            inForm = false;
            continue;
        }
        if (!parseTag(tag, name, attributes))
            continue;
        if (name == "form") {
            forms.push_back(
                PageForm{valueOf(attributes, "action"),
                         lower(valueOf(attributes, "method")) == "post" ? "POST" : "GET",
                         {},
                         {}});
            inForm = true;
        } else if (!inForm) {
            continue;
        } else if (name == "select") {
            select = valueOf(attributes, "name");
        } else if (name == "option" && !select.empty()) {
            bool selected = false;
            valueOf(attributes, "selected", &selected);
            if (selected)
                forms.back().fields.emplace_back(select, valueOf(attributes, "value"));
        } else if (name == "input") {
            std::string type = lower(valueOf(attributes, "type"));
            bool checked = false;
            valueOf(attributes, "checked", &checked);
            if (type == "submit" || type == "button" || type == "reset" || type == "image" ||
                ((type == "checkbox" || type == "radio") && !checked))
                continue;
            forms.back().fields.emplace_back(valueOf(attributes, "name"),
                                             valueOf(attributes, "value"));
            if (type == "hidden")
                forms.back().hidden.insert(forms.back().fields.back().first);
        }
    }
    return forms;
}

// What the device says to a submission that lacks what its form carried (a stale token).
bool isJson(const std::string* contentType) {
    return contentType && findCaseless(*contentType, "json") != std::string::npos;
}

// Each string member of a JSON document, at any depth, by its name.
void stringMembers(const nlohmann::json& value, std::map<std::string, std::string>& out) {
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (it.value().is_string())
                out[it.key()] = it.value().get<std::string>();
            else
                stringMembers(it.value(), out);
        }
    } else if (value.is_array()) {
        for (const nlohmann::json& item : value)
            stringMembers(item, out);
    }
}

// The members of those names take the values posted.
// Over the document in the device's own member order, which a description's pattern may rely on.
void showPosted(nlohmann::ordered_json& value, const std::map<std::string, std::string>& posted) {
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            auto found = posted.find(it.key());
            if (found != posted.end() && it.value().is_string())
                it.value() = found->second;
            else
                showPosted(it.value(), posted);
        }
    } else if (value.is_array()) {
        for (nlohmann::ordered_json& item : value)
            showPosted(item, posted);
    }
}

// Each scalar of a JSON document as "pointer=value": two bodies share what they have in common.
void leaves(const nlohmann::json& value, const std::string& at, std::set<std::string>& out) {
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it)
            leaves(it.value(), at + "/" + it.key(), out);
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i)
            leaves(value[i], at + "/" + std::to_string(i), out);
    } else {
        out.insert(at + "=" + value.dump());
    }
}

std::set<std::string> leavesOf(const std::string& body) {
    std::set<std::string> out;
    nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    if (!document.is_discarded())
        leaves(document, "", out);
    return out;
}

// `text` with `from` replaced by `to` inside its scripts only.
std::string inScripts(const std::string& text, const std::string& from, const std::string& to) {
    const std::string folded = lower(text);
    std::string out;
    std::size_t done = 0;
    for (std::size_t open = folded.find("<script"); open != std::string::npos;
         open = folded.find("<script", done)) {
        std::size_t close = std::min(folded.find("</script", open), text.size());
        std::string script = text.substr(open, close - open);
        replaceAll(script, from, to);
        out += text.substr(done, open - done) + script;
        done = close;
    }
    return out + text.substr(done);
}

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$';
}

// `text` with the string literal that a variable or member `name` is given (name = '...',
// 'name': "...") replaced by `to` where it reads `from`, whatever its length.
std::string replaceNamed(const std::string& text, const std::string& name, const std::string& from,
                         const std::string& to) {
    std::string out, value;
    std::size_t done = 0;
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        std::size_t end = at + name.size();
        if (end < text.size() && at > 0 && krzscript::isQuote(text[end]) &&
            text[at - 1] == text[end])
            ++end;
        else if ((at > 0 && isWordChar(text[at - 1])) ||
                 (end < text.size() && isWordChar(text[end])))
            continue;
        std::size_t op = krzscript::skipSpace(text, end);
        if (op + 1 >= text.size() || (text[op] != '=' && text[op] != ':') || text[op + 1] == '=')
            continue;
        std::size_t open = krzscript::skipSpace(text, op + 1);
        if (open >= text.size() || !krzscript::isQuote(text[open]))
            continue;
        std::size_t close = krzscript::stringLiteral(text, open, value);
        if (close == std::string::npos || value != from)
            continue;
        out += text.substr(done, open - done) + text[open] + jsEscape(to) + text[open];
        done = close;
        at = close - 1;
    }
    return out + text.substr(done);
}

// The string literal a script object or a JSON text gives the member `name` ('name': '...',
// "name": "..." or name: '...'); false when it gives none.
bool memberLiteral(const std::string& text, const std::string& name, std::string& value) {
    for (const std::string& key : {"'" + name + "'", "\"" + name + "\"", name}) {
        for (std::size_t at = text.find(key); at != std::string::npos;
             at = text.find(key, at + 1)) {
            if (key == name && at > 0 &&
                (isWordChar(text[at - 1]) || krzscript::isQuote(text[at - 1])))
                continue;
            std::size_t colon = krzscript::skipSpace(text, at + key.size());
            if (colon >= text.size() || text[colon] != ':')
                continue;
            std::size_t open = krzscript::skipSpace(text, colon + 1);
            if (open < text.size() && krzscript::isQuote(text[open]) &&
                krzscript::stringLiteral(text, open, value) != std::string::npos)
                return true;
        }
    }
    return false;
}

std::string withoutDigits(std::string name) {
    name.erase(std::remove_if(name.begin(), name.end(),
                              [](unsigned char c) { return std::isdigit(c) != 0; }),
               name.end());
    return name;
}

// The top-level string members of a JSON object body; none for any other body.
std::map<std::string, std::string> jsonFields(const std::string& body) {
    std::map<std::string, std::string> out;
    nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    if (document.is_object())
        for (auto it = document.begin(); it != document.end(); ++it)
            if (it.value().is_string())
                out[it.key()] = it.value().get<std::string>();
    return out;
}

// A JSON-RPC call's method, "" for any other body.
std::string rpcMethod(const std::string& body) {
    nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    return document.is_object() && document.contains("method") && document["method"].is_string()
               ? document["method"].get<std::string>()
               : std::string();
}

HttpReply expired() {
    HttpReply reply;
    reply.status = 403;
    reply.reason = "Forbidden";
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body =
        "<html><body><h1>403 Forbidden</h1><p>The form has expired or is incomplete; "
        "reload the page and send it again.</p></body></html>\n";
    return reply;
}

// What a page of the recording says for a request it does not hold.
HttpReply notRecorded() {
    HttpReply reply;
    reply.status = 404;
    reply.reason = "Not Found";
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body = "<html><body><h1>404 Not Found</h1><p>Not in the recording.</p></body></html>\n";
    return reply;
}

// Text, number or boolean; -1 for anything else.
int kindOf(const nlohmann::json& j) {
    return j.is_string() ? 0 : j.is_number() ? 1 : j.is_boolean() ? 2 : -1;
}

// The first member (a JSON pointer) that `posted` sends as another kind of value than the
// recorded post did (text for a number or a boolean, or the other way round); "" when none.
std::string otherKind(const nlohmann::json& recorded, const nlohmann::json& posted,
                      const std::string& at = std::string(), int depth = 0) {
    if (depth > 16 || !recorded.is_structured() || recorded.type() != posted.type())
        return std::string();
    std::size_t index = 0;
    for (auto it = posted.begin(); it != posted.end(); ++it, ++index) {
        std::string key = posted.is_object() ? it.key() : std::to_string(index);
        nlohmann::json::json_pointer pointer("/" + key);
        if (key.find_first_of("/~") != std::string::npos || !recorded.contains(pointer))
            continue;
        const nlohmann::json& was = recorded[pointer];
        if (kindOf(was) >= 0 && kindOf(*it) >= 0 && kindOf(was) != kindOf(*it))
            return at + "/" + key;
        std::string found = otherKind(was, *it, at + "/" + key, depth + 1);
        if (!found.empty())
            return found;
    }
    return std::string();
}

// As a device that checks what it is sent: a value of another kind than the one it takes.
HttpReply wrongKind(const std::string& pointer, const nlohmann::json& recorded) {
    HttpReply reply;
    reply.status = 400;
    reply.reason = "Bad Request";
    reply.headers.emplace_back("Content-Type", "application/json");
    reply.body = nlohmann::json({{"error", pointer + " must be " +
                                               (recorded.is_string()    ? "text"
                                                : recorded.is_boolean() ? "true or false"
                                                                        : "a number") +
                                               ", as the recording sent it"}})
                     .dump();
    return reply;
}

// As a device that checks a request's token header: refused before anything is done.
HttpReply tokenRefused(const std::string& header) {
    HttpReply reply;
    reply.status = 403;
    reply.reason = "Forbidden";
    reply.headers.emplace_back("Content-Type", "application/json");
    reply.body =
        nlohmann::json({{"error", header + " is missing or is not the one handed out"}}).dump();
    return reply;
}

}  // namespace

PlaybackDevice::PlaybackDevice(const DeviceSpec& profile)
    : EmulatedDevice(profile),
      recording_(Recording::fromFile(profile.recording)),
      password_(recording_.login.password) {
    // A check of a description against a browser's recording: the answers the HAR lost are
    // taken from what the description expects of them.
    auto lost = profile.options.find("lostAnswersFrom");
    if (lost != profile.options.end()) {
        std::ifstream in(lost->second);
        nlohmann::json description = nlohmann::json::parse(in, nullptr, false);
        if (description.is_discarded())
            throw std::invalid_argument("lostAnswersFrom: " + lost->second +
                                        " cannot be read as JSON");
        fillLostAnswers(recording_, description);
    }
    for (const Placeholder& p : recording_.placeholders)
        if (p.kind == "secret")
            tokens_.insert(p.value);
    // The hidden fields of each form as its page served them, by the form's action.
    std::map<std::string, std::map<std::string, std::string>> hiddenByAction;
    // Hidden fields that forms posting to one action serve with different values name the form
    // (DD-WRT's submit_button on every page posting to apply.cgi): no per-session token.
    std::set<std::pair<std::string, std::string>> namesTheForm;
    for (std::size_t i = 0; i < recording_.exchanges.size(); ++i) {
        const Exchange& e = recording_.exchanges[i];
        nlohmann::json document = nlohmann::json::parse(e.reply.body, nullptr, false);
        stringMembers(document.is_discarded() ? nlohmann::json() : document,
                      replyMembers_.emplace_back());
        byTarget_[e.request.method + " " + e.request.target].push_back(i);
        byPath_[e.request.method + " " + pathOf(e.request.target)].push_back(i);
        if (const std::string* cookie = headerOf(e.reply.headers, "Set-Cookie"))
            sessionCookies_.insert(cookie->substr(0, cookie->find(';')));
        bool page = e.request.method == "GET" && e.reply.status == 200 && isHtml(e.reply);
        if (!page)
            continue;
        // The forms of the page: where they go, and the values they hold as recorded.
        for (const PageForm& form : formsOf(e.reply.body)) {
            std::string action = resolveTarget(e.request.target, form.action, recording_.address);
            if (action.empty())
                action = e.request.target;
            formActions_.emplace(pathOf(action), form.method);
            if (!e.request.credentials && recording_.login.kind != "none")
                continue;
            for (const auto& field : form.fields)
                if (form.hidden.count(field.first) &&
                    !hiddenByAction[pathOf(action)].emplace(field).second &&
                    hiddenByAction[pathOf(action)][field.first] != field.second)
                    namesTheForm.emplace(pathOf(action), field.first);
            for (const auto& field : form.fields) {
                if (!field.second.empty())
                    originals_.emplace(field.first, field.second);
                if (krzscript::scriptSets(e.reply.body, field.first))
                    scriptFilled_[pathOf(action)].insert(field.first);
            }
        }
    }
    // A value that only the page's scripts fill in: as the pages read before the first change
    // of it show it (a browser's recording holds the change alone, with the new value).
    std::set<std::string> jsonPosted;
    for (std::size_t i = 0; i < recording_.exchanges.size(); ++i) {
        const RecordedRequest& r = recording_.exchanges[i].request;
        if (!recording_.login.path.empty() && pathOf(r.target) == pathOf(recording_.login.path))
            continue;
        auto action = formActions_.find(pathOf(r.target));
        std::map<std::string, std::string> fields = jsonFields(r.body);
        for (const auto& f : fields)
            jsonPosted.insert(f.first);
        if (!r.form.empty())
            fields.insert(r.form.begin(), r.form.end());
        else if (r.method == "GET" && action != formActions_.end() && action->second == "GET")
            fields = parseUrlEncoded(r.target.substr(r.target.find('?') + 1));
        for (const auto& f : fields)
            if (originals_[f.first].empty()) {
                std::string name;
                originals_[f.first] = shownBefore(f.first, i, name);
                if (!name.empty())
                    keptAs_[f.first] = name;
            }
    }
    // Otherwise from what was posted: the last submission of a recorded change put the
    // original values back.
    for (auto it = recording_.exchanges.rbegin(); it != recording_.exchanges.rend(); ++it) {
        const RecordedRequest& r = it->request;
        auto action = formActions_.find(pathOf(r.target));
        if (pathOf(r.target) == pathOf(recording_.login.path))
            continue;
        if (action == formActions_.end()) {
            if (r.method == "POST" && !r.form.empty() && r.body.empty())
                noteScriptPost(pathOf(r.target));
            continue;
        }
        FormFields fields = r.method == "POST"
                                ? FormFields(r.form.begin(), r.form.end())
                                : parseUrlEncoded(r.target.substr(r.target.find('?') + 1));
        for (const auto& f : fields) {
            if (originals_[f.first].empty())
                originals_[f.first] = f.second;
            // A field that was sent with the login's password is the account's password.
            if (!recording_.login.password.empty() && f.second == recording_.login.password)
                passwordFields_.insert(f.first);
        }
        // A hidden field sent back as the page served it is the page's own (a per-session
        // token): a submission must carry it unchanged. One sent with another value was filled
        // by the page's scripts: a submission must fill it, with what a visible field holds
        // where the recorded one did.
        auto served = hiddenByAction.find(pathOf(r.target));
        if (served == hiddenByAction.end())
            continue;
        hidden_[pathOf(r.target)].emplace_back();
        std::vector<HiddenRule>& rules = hidden_[pathOf(r.target)].back();
        for (const auto& h : served->second) {
            auto sent = fields.find(h.first);
            if (sent == fields.end() || (h.second.empty() && sent->second.empty()) ||
                namesTheForm.count({pathOf(r.target), h.first}))
                continue;
            HiddenRule rule{h.first, h.second, sent->second != h.second, std::string()};
            for (const auto& visible : fields)
                if (rule.filled && rule.copyOf.empty() && !served->second.count(visible.first) &&
                    visible.second == sent->second)
                    rule.copyOf = visible.first;
            rules.push_back(rule);
        }
    }
    for (const std::string& name : jsonPosted)
        noteShownAs(name);
}

std::string PlaybackDevice::shownBefore(const std::string& field, std::size_t before,
                                        std::string& name) const {
    std::string value;
    // The page read last before the change shows what the device held then.
    for (std::size_t i = before; i-- > 0;) {
        const Exchange& e = recording_.exchanges[i];
        if (e.request.method != "GET" || e.reply.status != 200)
            continue;
        auto fetched = [&](const std::string& url) {
            const Exchange* json = pick(
                byTarget_, "GET " + resolveTarget(e.request.target, url, recording_.address), true);
            return json ? json->reply.body : std::string();
        };
        if (krzscript::filledValue(e.reply.body, field, fetched, value) ==
            krzscript::Filled::Known) {
            // Where the script keeps it: the variable or member it assigns the field.
            krzscript::eachAssignment(e.reply.body, field, [&](std::size_t at) {
                std::string assigned;
                bool literal = false;
                if (krzscript::expression(e.reply.body, at, assigned, literal) !=
                        std::string::npos &&
                    !literal)
                    name = assigned.substr(assigned.rfind('.') + 1);
                return true;
            });
            return value;
        }
        if (memberLiteral(e.reply.body, field, value)) {
            name = field;
            return value;
        }
    }
    // Stored under a unit's name (wl_ssid as wl0_ssid): the one JSON member so named.
    std::set<std::string> shown;
    for (std::size_t i = 0; i < before; ++i) {
        for (const auto& m : replyMembers_[i])
            if (m.first != field && withoutDigits(m.first) == withoutDigits(field))
                shown.insert(m.second);
    }
    return shown.size() == 1 ? *shown.begin() : std::string();
}

void PlaybackDevice::noteShownAs(const std::string& field) {
    // A field the device stores under a unit's name (ASUSWRT's wl_ssid with wl_unit=0 is
    // wl0_ssid) shows in the JSON members of that name which held the field's original value.
    auto original = originals_.find(field);
    if (original == originals_.end() || original->second.empty())
        return;
    for (const std::map<std::string, std::string>& members : replyMembers_) {
        for (const auto& m : members)
            if (m.first != field && withoutDigits(m.first) == withoutDigits(field) &&
                original->second == m.second)
                shownAs_[field].insert(m.first);
    }
}

void PlaybackDevice::showPostedJson(const std::string& name, const std::string& value) {
    jsonPosted_[name] = value;
    auto alias = shownAs_.find(name);
    if (alias != shownAs_.end())
        for (const std::string& shown : alias->second)
            jsonPosted_[shown] = value;
}

// A post that no recorded form sends, built by a page's script (FreshTomato's tomato.cgi,
// ASUSWRT's applyapp.cgi): its fields keep their state like a form's, and a field that every
// recorded post to the path sent with one value that a page served (a session id such as
// `_http_id`) must come back with it.
void PlaybackDevice::noteScriptPost(const std::string& path) {
    if (!scriptPosts_.insert(path).second)
        return;
    std::map<std::string, std::string> same;
    std::set<std::string> differ;
    for (auto it = recording_.exchanges.rbegin(); it != recording_.exchanges.rend(); ++it) {
        const RecordedRequest& r = it->request;
        if (r.method != "POST" || pathOf(r.target) != path)
            continue;
        for (const auto& f : r.form) {
            // The last post put the original values back.
            if (originals_[f.first].empty())
                originals_[f.first] = f.second;
            auto known = same.emplace(f.first, f.second);
            if (!known.second && known.first->second != f.second)
                differ.insert(f.first);
        }
    }
    for (const auto& f : same)
        noteShownAs(f.first);
    // One more way to submit to `path`, whose rules all hold together.
    std::vector<HiddenRule>& rules = hidden_[path].emplace_back();
    for (const auto& f : same) {
        if (differ.count(f.first) || f.second.size() < 4)
            continue;
        for (const Exchange& e : recording_.exchanges)
            if (e.request.method == "GET" &&
                (e.reply.body.find("'" + f.second + "'") != std::string::npos ||
                 e.reply.body.find("\"" + f.second + "\"") != std::string::npos)) {
                rules.push_back(HiddenRule{f.first, f.second, false, std::string()});
                break;
            }
    }
}

PlaybackDevice::~PlaybackDevice() {
    stop();
}

void PlaybackDevice::resetExtras() {
    current_.clear();
    jsonPosted_.clear();
    password_ = recording_.login.password;
}

bool PlaybackDevice::carriesTheForm(const std::string& path, const FormFields& fields) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // A field the page's script fills in, left empty while the device holds a value there: the
    // script did not run, and the device would take the emptiness as the new setting.
    auto filled = scriptFilled_.find(path);
    for (const std::string& name :
         filled == scriptFilled_.end() ? std::set<std::string>() : filled->second) {
        auto now = current_.find(name);
        auto recorded = originals_.find(name);
        const std::string* held = now != current_.end()          ? &now->second
                                  : recorded != originals_.end() ? &recorded->second
                                                                 : nullptr;
        if (held && !held->empty() && formField(fields, name.c_str()).empty())
            return false;
    }
    auto recorded = hidden_.find(path);
    if (recorded == hidden_.end())
        return true;
    // The hidden fields as one recorded submission to this action carried them.
    auto keeps = [&](const std::vector<HiddenRule>& rules) {
        for (const HiddenRule& rule : rules) {
            auto sent = fields.find(rule.name);
            if (sent == fields.end())
                return false;
            bool wrong = !rule.filled ? sent->second != servedValue(rule)
                         : rule.copyOf.empty()
                             ? sent->second.empty()
                             : sent->second != formField(fields, rule.copyOf.c_str());
            if (wrong)
                return false;
        }
        return true;
    };
    return std::any_of(recorded->second.begin(), recorded->second.end(), keeps);
}

std::string PlaybackDevice::servedValue(const HiddenRule& rule) const {
    auto now = current_.find(rule.name);
    return now != current_.end() ? now->second : rule.served;
}

std::string PlaybackDevice::accountPassword() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return password_;
}

bool PlaybackDevice::authorized(const HttpRequest& request) const {
    if (recording_.login.kind == "none")
        return true;
    std::string user, password;
    // The password decides, as the devices that take no user name do; a device with a login form
    // lets in only its session, whatever Authorization a client sends.
    if (recording_.login.kind == "basic" &&
        basicCredentials(request.header("Authorization"), user, password) &&
        password == accountPassword())
        return true;
    if (const std::string* cookies = request.header("Cookie"))
        for (const std::string& session : sessionCookies_)
            if (cookies->find(session) != std::string::npos)
                return true;
    return false;
}

const Exchange* PlaybackDevice::pick(const std::map<std::string, std::vector<std::size_t>>& index,
                                     const std::string& key, bool withCredentials) const {
    auto it = index.find(key);
    if (it == index.end())
        return nullptr;
    bool anyLogin = recording_.login.kind != "none";
    for (std::size_t i : it->second)
        if (!anyLogin || recording_.exchanges[i].request.credentials == withCredentials)
            return &recording_.exchanges[i];
    return withCredentials ? &recording_.exchanges[it->second.front()] : nullptr;
}

const Exchange* PlaybackDevice::pickByBody(const std::vector<std::size_t>& recorded,
                                           const std::string& body, bool withCredentials) const {
    // Several calls go to one path (JSON-RPC over /ubus), told apart by their bodies: the same
    // method, then the most values in common (the object and method called, the section set),
    // since a session id or a new setting changes only a value or two. The first recorded wins
    // a tie.
    const std::string method = rpcMethod(body);
    const std::set<std::string> asked = leavesOf(body);
    const bool anyLogin = recording_.login.kind != "none";
    const Exchange* best = nullptr;
    std::size_t bestShared = 0;
    for (int pass = 0; pass < 2 && best == nullptr; ++pass) {
        for (std::size_t i : recorded) {
            const Exchange& e = recording_.exchanges[i];
            // A recording without the body (made before bodies were kept) takes any call.
            if ((pass == 0 && anyLogin && e.request.credentials != withCredentials) ||
                (!e.request.body.empty() && rpcMethod(e.request.body) != method))
                continue;
            std::set<std::string> known = leavesOf(e.request.body);
            std::size_t shared = 0;
            for (const std::string& leaf : asked)
                shared += known.count(leaf);
            if (best == nullptr || shared > bestShared) {
                best = &e;
                bestShared = shared;
            }
        }
        if (!withCredentials)
            break;
    }
    return best;
}

HttpReply PlaybackDevice::refused() const {
    // As the device refused a client without the login: its recorded 401 or redirect.
    for (const Exchange& e : recording_.exchanges)
        if (!e.request.credentials &&
            (e.reply.status == 401 || (e.reply.status >= 300 && e.reply.status < 400)))
            return play(e);
    HttpReply reply;
    reply.status = 401;
    reply.reason = "Unauthorized";
    reply.headers.emplace_back("WWW-Authenticate", "Basic realm=\"recording\"");
    return reply;
}

HttpReply PlaybackDevice::login(const HttpRequest& request) const {
    const std::string* type = request.header("Content-Type");
    FormFields fields = type && findCaseless(*type, "multipart") != std::string::npos
                            ? parseMultipart(*type, request.body)
                            : parseUrlEncoded(request.body);
    const RecordedLogin& l = recording_.login;
    if (formField(fields, l.userField.c_str()) == l.user &&
        formField(fields, l.passwordField.c_str()) == accountPassword()) {
        if (const Exchange* e = pick(byPath_, "POST " + pathOf(l.path), false))
            return play(*e);
    }
    // Refused: the login page again, as the device showed it.
    if (const Exchange* page = pick(byTarget_, "GET " + l.page, false))
        return play(*page);
    return refused();
}

HttpReply PlaybackDevice::play(const Exchange& exchange) const {
    const RecordedReply& r = exchange.reply;
    HttpReply reply;
    reply.version = r.version.empty() ? "HTTP/1.1" : r.version;
    reply.status = r.status;
    reply.reason = r.reason;
    for (const auto& h : r.headers)
        if (!equalsCaseless(h.first, "Content-Length") &&
            !equalsCaseless(h.first, "Transfer-Encoding") && !equalsCaseless(h.first, "Connection"))
            reply.headers.push_back(h);
    reply.body = isHtml(r) ? render(r.body) : r.body;
    if (isJson(headerOf(r.headers, "Content-Type"))) {
        nlohmann::ordered_json document = nlohmann::ordered_json::parse(r.body, nullptr, false);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!document.is_discarded() && !jsonPosted_.empty()) {
            showPosted(document, jsonPosted_);
            reply.body = document.dump();
        }
    }
    if (r.status == 0) {
        reply.framing = Framing::Bare;
    } else if (r.cutShort) {
        // Declared one byte longer than sent: the client sees the reply cut short, as it was.
        reply.body += ' ';
        reply.cutAfter = encodeReply(reply).size() - 1;
    }
    return reply;
}

std::string PlaybackDevice::render(const std::string& body) const {
    std::map<std::string, std::string> changed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& c : current_) {
            auto o = originals_.find(c.first);
            if (o == originals_.end() || o->second != c.second)
                changed.insert(c);
        }
    }
    if (changed.empty())
        return body;
    // The forms' controls show the values posted since.
    std::string out;
    std::string select;  // the changed select being read, "" otherwise
    std::size_t pos = 0;
    for (;;) {
        std::size_t lt = body.find('<', pos);
        std::size_t gt = lt == std::string::npos ? lt : body.find('>', lt);
        if (gt == std::string::npos)
            break;
        std::string tag = body.substr(lt, gt - lt + 1);
        std::string name;
        std::vector<Attribute> attributes;
        if (lower(tag.substr(0, 8)) == "</select") {
            select.clear();
        } else if (parseTag(tag, name, attributes)) {
            std::string field = valueOf(attributes, "name");
            auto value = changed.find(field);
            if (name == "select") {
                select = value != changed.end() ? field : std::string();
            } else if (name == "option" && !select.empty()) {
                bool hasValue = false;
                std::string v = valueOf(attributes, "value", &hasValue);
                if (!hasValue) {
                    std::size_t next = body.find('<', gt);
                    v = body.substr(gt + 1, next == std::string::npos ? next : next - gt - 1);
                    v.erase(v.find_last_not_of(" \t\r\n") + 1);
                    v.erase(0, v.find_first_not_of(" \t\r\n"));
                }
                const std::string on;
                setAttribute(attributes, "selected", v == changed[select] ? &on : nullptr);
                for (Attribute& a : attributes)
                    if (equalsCaseless(a.name, "selected"))
                        a.raw.clear();
                tag = buildTag(name, attributes);
            } else if (name == "input" && value != changed.end()) {
                std::string type = lower(valueOf(attributes, "type"));
                if (type == "checkbox" || type == "radio") {
                    const std::string on;
                    setAttribute(attributes, "checked",
                                 valueOf(attributes, "value") == value->second ? &on : nullptr);
                    for (Attribute& a : attributes)
                        if (equalsCaseless(a.name, "checked"))
                            a.raw.clear();
                } else if (type != "submit" && type != "button" && type != "reset" &&
                           type != "image") {
                    setAttribute(attributes, "value", &value->second);
                }
                tag = buildTag(name, attributes);
            }
        }
        out += body.substr(pos, lt - pos) + tag;
        pos = gt + 1;
    }
    out += body.substr(pos);
    // Values that scripts or plain text show: in a script's string literal, or as an element's
    // whole text. Values of one or two characters are too common to be told from other text.
    for (const auto& c : changed) {
        auto o = originals_.find(c.first);
        auto name = keptAs_.find(c.first);
        if (o != originals_.end() && name != keptAs_.end())
            out = replaceNamed(out, name->second, o->second, c.second);
        if (o == originals_.end() || o->second.size() < 3)
            continue;
        replaceAll(out, "'" + jsEscape(o->second) + "'", "'" + jsEscape(c.second) + "'");
        replaceAll(out, ">" + htmlEscape(o->second) + "<", ">" + htmlEscape(c.second) + "<");
        // In double quotes only inside scripts: in the markup they are attributes (an option's
        // value), which are no setting's state.
        out = inScripts(out, "\"" + jsEscape(o->second) + "\"", "\"" + jsEscape(c.second) + "\"");
    }
    return out;
}

std::string PlaybackDevice::missingToken(const Exchange& recorded,
                                         const HttpRequest& request) const {
    for (const auto& h : recorded.request.headers) {
        if (!tokens_.count(h.second) || equalsCaseless(h.first, "Cookie") ||
            equalsCaseless(h.first, "Authorization"))
            continue;
        const std::string* sent = request.header(h.first);
        if (sent == nullptr || *sent != h.second)
            return h.first;
    }
    return std::string();
}

HttpReply PlaybackDevice::handle(const HttpRequest& request) {
    const RecordedLogin& l = recording_.login;
    if (l.kind == "form" && request.method == "POST" && request.path == pathOf(l.path))
        return login(request);
    bool allowed = authorized(request);
    auto action = formActions_.find(request.path);
    bool scripted = request.method == "POST" && scriptPosts_.count(request.path) &&
                    !isJson(request.header("Content-Type"));
    bool submission =
        scripted || (action != formActions_.end() && action->second == request.method &&
                     (request.method == "POST" || !request.query.empty()));
    if (submission) {
        const Exchange* e = pick(byPath_, request.method + " " + request.path, true);
        if (e == nullptr)
            return notRecorded();
        if (!allowed)
            return refused();
        std::string token = missingToken(*e, request);
        if (!token.empty())
            return tokenRefused(token);
        const std::string* type = request.header("Content-Type");
        FormFields fields = request.method == "GET" ? parseUrlEncoded(request.query)
                            : type && findCaseless(*type, "multipart") != std::string::npos
                                ? parseMultipart(*type, request.body)
                                : parseUrlEncoded(request.body);
        if (!carriesTheForm(request.path, fields))
            return expired();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& f : fields) {
                current_[f.first] = f.second;
                if (scripted)
                    showPostedJson(f.first, f.second);
                if (passwordFields_.count(f.first) && !f.second.empty())
                    password_ = f.second;
            }
        }
        return play(*e);
    }
    const std::string key = request.method + " " + request.target;
    if (byTarget_.find(key) == byTarget_.end())
        return notRecorded();
    const Exchange* e = nullptr;
    if (request.method != "GET" && isJson(request.header("Content-Type"))) {
        // A call the recording never made is not answered with another call's reply.
        e = pickByBody(byTarget_.at(key), request.body, allowed);
        if (e == nullptr)
            return allowed ? notRecorded() : refused();
        nlohmann::json posted = nlohmann::json::parse(request.body, nullptr, false);
        nlohmann::json recorded = nlohmann::json::parse(e->request.body, nullptr, false);
        std::string other = otherKind(recorded, posted);
        if (!other.empty())
            return wrongKind(other, recorded[nlohmann::json::json_pointer(other)]);
        std::string token = missingToken(*e, request);
        if (!token.empty())
            return tokenRefused(token);
        std::lock_guard<std::mutex> lock(mutex_);
        stringMembers(posted, jsonPosted_);
        for (const auto& f : jsonFields(request.body))
            showPostedJson(f.first, f.second);
    } else {
        e = pick(byTarget_, key, allowed);
    }
    if (e == nullptr || (!allowed && e->request.credentials))
        return refused();
    std::string token = missingToken(*e, request);
    return token.empty() ? play(*e) : tokenRefused(token);
}

}  // namespace krzlab
