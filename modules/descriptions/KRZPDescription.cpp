#include "KRZPDescription.h"

#include "KRZJsonSchema.h"
#include "html/KRZPScriptValues.h"
#include "platform/krzplatform.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

// The published schema of descriptions, compiled in.
extern const char* const kDescriptionSchema;

namespace krzdesc {

namespace {

using nlohmann::json;

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A JSON pointer token: '~' and '/' escaped.
std::string token(const std::string& key) {
    std::string out;
    for (char c : key) {
        if (c == '~')
            out += "~0";
        else if (c == '/')
            out += "~1";
        else
            out += c;
    }
    return out;
}

const char* typeName(const json& value) {
    switch (value.type()) {
        case json::value_t::object:
            return "an object";
        case json::value_t::array:
            return "an array";
        case json::value_t::string:
            return "a string";
        case json::value_t::boolean:
            return "true or false";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
            return "a whole number";
        case json::value_t::number_float:
            return "a fractional number";
        default:
            return "null";
    }
}

// One value of the document and where it is. Every read checks the type; an object is read
// through the keys it may have, so that an unknown (misspelt) key is an error, not ignored.
class Node {
  public:
    Node(const json& value, std::string pointer) : value_(value), pointer_(std::move(pointer)) {}

    const std::string& pointer() const { return pointer_; }
    [[noreturn]] void fail(const std::string& message) const {
        throw DescriptionError(pointer_, message);
    }

    // An object whose keys are all among `allowed`.
    const Node& object(std::initializer_list<const char*> allowed) const {
        expect(value_.is_object(), "an object");
        for (auto it = value_.begin(); it != value_.end(); ++it) {
            bool known = std::any_of(allowed.begin(), allowed.end(),
                                     [&](const char* key) { return it.key() == key; });
            if (!known)
                Node(it.value(), pointer_ + "/" + token(it.key())).fail("unknown key");
        }
        return *this;
    }
    bool has(const char* key) const { return value_.is_object() && value_.contains(key); }
    Node at(const char* key) const {
        std::string where = pointer_ + "/" + token(key);
        if (!has(key))
            throw DescriptionError(where, "missing");
        return Node(value_.at(key), where);
    }
    std::vector<Node> items() const {
        expect(value_.is_array(), "an array");
        std::vector<Node> out;
        for (size_t i = 0; i < value_.size(); ++i)
            out.emplace_back(value_[i], pointer_ + "/" + std::to_string(i));
        return out;
    }
    std::vector<std::pair<std::string, Node>> members() const {
        expect(value_.is_object(), "an object");
        std::vector<std::pair<std::string, Node>> out;
        for (auto it = value_.begin(); it != value_.end(); ++it)
            out.emplace_back(it.key(), Node(it.value(), pointer_ + "/" + token(it.key())));
        return out;
    }
    std::string text() const {
        expect(value_.is_string(), "a string");
        return value_.get<std::string>();
    }
    std::string nonEmptyText() const {
        std::string t = text();
        if (t.empty())
            fail("must not be empty");
        return t;
    }
    int number(int min, int max) const {
        expect(value_.is_number_integer(), "a whole number");
        long long n = value_.get<long long>();
        if (n < min || n > max)
            fail("must be from " + std::to_string(min) + " to " + std::to_string(max));
        return static_cast<int>(n);
    }
    bool flag() const {
        expect(value_.is_boolean(), "true or false");
        return value_.get<bool>();
    }
    bool isText() const { return value_.is_string(); }
    const json& raw() const { return value_; }

    std::string text(const char* key, const std::string& otherwise) const {
        return has(key) ? at(key).text() : otherwise;
    }

  private:
    void expect(bool ok, const char* what) const {
        if (!ok)
            fail(std::string("must be ") + what + ", not " + typeName(value_));
    }

    const json& value_;
    std::string pointer_;
};

// A pattern; `needsGroup`: its first group is the value, so it must have one.
Pattern pattern(const Node& node, bool inHeaders, bool needsGroup) {
    Pattern p;
    p.source = node.nonEmptyText();
    p.inHeaders = inHeaders;
    try {
        // Searched over whatever a device sends: a matcher whose time is linear in the text.
        p.matcher = Matcher(p.source);
    } catch (const std::invalid_argument& e) {
        node.fail("the pattern " + p.source + " is refused: " + e.what());
    }
    if (needsGroup && p.matcher.groups() < 1)
        node.fail("the pattern has no group ( ) for the value");
    return p;
}

// {"header": PATTERN} or {"text": PATTERN}.
Pattern headerOrText(const Node& node, bool needsGroup) {
    node.object({"header", "text"});
    if (node.has("header") == node.has("text"))
        node.fail("needs exactly one of \"header\" and \"text\"");
    return node.has("header") ? pattern(node.at("header"), true, needsGroup)
                              : pattern(node.at("text"), false, needsGroup);
}

std::vector<Pattern> patterns(const Node& node, bool needsGroup) {
    std::vector<Pattern> out;
    for (const Node& item : node.items())
        out.push_back(headerOrText(item, needsGroup));
    if (out.empty())
        node.fail("must hold at least one pattern");
    return out;
}

std::string path(const Node& node) {
    std::string p = node.nonEmptyText();
    if (p[0] != '/')
        node.fail("a page is a path that starts with '/'");
    return p;
}

void formOf(const Node& node, Location& where) {
    if (!node.has("form"))
        return;
    Node form = node.at("form");
    if (form.isText())
        where.formName = form.nonEmptyText();
    else
        where.formIndex = form.number(0, 99);
}

// A setting's place: page, and one of field, script (with member), element, json, pattern (a
// scripted value is written back under `field`, so both may be given).
Location location(const Node& node, bool writable) {
    node.object({"page", "form", "field", "script", "member", "element", "json", "pattern"});
    Location where;
    where.pointer = node.pointer();
    where.page = path(node.at("page"));
    formOf(node, where);
    if (node.has("field"))
        where.field = node.at("field").nonEmptyText();
    if (node.has("script"))
        where.script = node.at("script").nonEmptyText();
    if (node.has("member")) {
        if (where.script.empty())
            node.at("member").fail("needs \"script\", the object's variable");
        where.member = node.at("member").nonEmptyText();
    }
    if (node.has("element"))
        where.element = node.at("element").nonEmptyText();
    if (node.has("json")) {
        where.json = node.at("json").nonEmptyText();
        try {
            json::json_pointer checked(where.json);
        } catch (const json::exception&) {
            node.at("json").fail("is not a JSON pointer (\"/a/b\")");
        }
    }
    if ((!where.script.empty()) + (!where.element.empty()) + (!where.json.empty()) > 1)
        node.fail("takes one of \"script\", \"element\", \"json\"");
    if (node.has("pattern")) {
        if (writable)
            node.at("pattern").fail("a setting that is written needs a \"field\", not a pattern");
        where.pattern.reset(new Pattern(pattern(node.at("pattern"), false, true)));
    }
    if (where.field.empty() && !where.scripted() && !where.pattern)
        node.fail(writable ? "needs \"field\""
                           : "needs one of \"field\", \"script\", \"element\", \"json\", "
                             "\"pattern\"");
    if (writable && where.field.empty())
        node.fail("a setting that is written needs \"field\"");
    return where;
}

TextRule textRule(const Node& node, int maxLength) {
    node.object({"min", "max", "chars"});
    TextRule rule;
    if (node.has("min"))
        rule.min = node.at("min").number(0, maxLength);
    if (node.has("max"))
        rule.max = node.at("max").number(0, maxLength);
    if (rule.max >= 0 && rule.min > rule.max)
        node.at("min").fail("is above \"max\"");
    if (node.has("chars")) {
        std::string chars = node.at("chars").nonEmptyText();
        if (chars == "restrictive")
            rule.restrictive = true;
        else
            rule.chars = chars;
    }
    return rule;
}

template <typename Mode>
std::map<Mode, std::string> valueMap(const Node& node, const std::map<std::string, Mode>& names) {
    std::map<Mode, std::string> out;
    std::set<std::string> values;
    for (const auto& member : node.members()) {
        auto mode = names.find(member.first);
        if (mode == names.end())
            member.second.fail("unknown mode (known: " + [&] {
                std::string known;
                for (const auto& n : names)
                    known += (known.empty() ? "" : ", ") + n.first;
                return known;
            }() + ")");
        std::string value = member.second.text();
        if (!values.insert(value).second)
            member.second.fail("two modes have the device value \"" + value + "\"");
        out[mode->second] = value;
    }
    if (out.empty())
        node.fail("must map at least one mode");
    return out;
}

// The values a change's field may be made of, each written in braces; the wireless ones are the
// device values the change writes (a script on the page forms a hidden field from them).
const std::set<std::string>& templateNames(bool wireless) {
    static const std::set<std::string> account = {"user", "password", "currentUser",
                                                  "currentPassword"};
    static const std::set<std::string> both = {"user", "password", "currentUser", "currentPassword",
                                               "ssid", "security", "encryption",  "key"};
    return wireless ? both : account;
}

// Refuses a field's text with a brace that opens no known value.
void checkTemplate(const Node& node, const std::string& text, bool wireless) {
    for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
        size_t close = text.find('}', open);
        std::string name =
            close == std::string::npos ? std::string() : text.substr(open + 1, close - open - 1);
        if (!templateNames(wireless).count(name)) {
            std::string known;
            for (const std::string& n : templateNames(wireless))
                known += (known.empty() ? "{" : ", {") + n + "}";
            node.fail("unknown value " +
                      text.substr(
                          open, close == std::string::npos ? std::string::npos : close - open + 1) +
                      " (known" + (wireless ? "" : " in a credentials write") + ": " + known + ")");
        }
    }
}

Change change(const Node& node) {
    node.object({"change", "form", "action", "method", "fields", "answer"});
    Change c;
    c.pointer = node.pointer();
    c.change = node.at("change").text();
    if (c.change != "wireless" && c.change != "credentials")
        node.at("change").fail("must be \"wireless\" or \"credentials\"");
    if (node.has("form")) {
        Node form = node.at("form");
        form.object({"page", "form"});
        c.form.reset(new Location);
        c.form->pointer = form.pointer();
        c.form->page = path(form.at("page"));
        formOf(form, *c.form);
    }
    c.action = path(node.at("action"));
    std::string method = node.text("method", "post");
    if (method == "get")
        c.method = Method::Get;
    else if (method == "multipart")
        c.method = Method::Multipart;
    else if (method != "post")
        node.at("method").fail("must be \"get\", \"post\" or \"multipart\"");
    if (node.has("fields")) {
        for (const auto& field : node.at("fields").members()) {
            std::string value = field.second.text();
            checkTemplate(field.second, value, c.change == "wireless");
            c.fields.emplace_back(field.first, value);
        }
    }
    Node answer = node.at("answer");
    answer.object({"text", "restart"});
    if (answer.has("text"))
        c.answerText = answer.at("text").nonEmptyText();
    if (answer.has("restart")) {
        Node restart = answer.at("restart");
        restart.object({"polls", "pauseMs", "minimumMs"});
        c.restartPolls = restart.at("polls").number(1, 1000);
        c.restartPauseMs = restart.at("pauseMs").number(1, 60000);
        if (restart.has("minimumMs"))
            c.restartMinimumMs = restart.at("minimumMs").number(0, 600000);
    }
    if (c.answerText.empty() && c.restartPolls == 0)
        answer.fail("needs \"text\" or \"restart\"");
    return c;
}

void readRecognition(const Node& node, Description& d, bool oneModelStands = false) {
    node.object({"priority", "status", "match", "page", "model", "modelDigest", "firmware"});
    if (node.has("priority"))
        d.priority = node.at("priority").number(-1000000, 1000000);
    if (node.has("status"))
        d.probeStatus = node.at("status").number(100, 599);
    if (node.has("match"))
        d.match = patterns(node.at("match"), false);
    if (node.has("model"))
        d.model = patterns(node.at("model"), true);
    if (node.has("modelDigest")) {
        Node digest = node.at("modelDigest");
        digest.object({"page", "models"});
        d.digestPage = path(digest.at("page"));
        for (const auto& member : digest.at("models").members()) {
            bool hex =
                member.first.size() == 32 &&
                std::all_of(member.first.begin(), member.first.end(), [](char c) {
                    return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f');
                });
            if (!hex)
                member.second.fail("a digest is 32 lower-case hexadecimal digits");
            d.modelsByDigest[member.first] = member.second.nonEmptyText();
        }
    }
    bool neither = d.model.empty() && d.digestPage.empty();
    if (neither && oneModelStands && d.models.size() == 1) {
        // The probe's reply does not show the model (it does only after a login): the one
        // model named stands, for a reply that `match` claims.
        if (d.match.empty())
            node.fail("a description that tells no model from the reply needs \"match\"");
    } else if (d.model.empty() == d.digestPage.empty()) {
        node.fail(oneModelStands ? "needs exactly one of \"model\" and \"modelDigest\", or "
                                   "neither with a single model"
                                 : "needs exactly one of \"model\" and \"modelDigest\"");
    }
    if (d.digestPage.empty() == false && d.match.empty())
        node.fail("a description that fetches a page to tell its models needs \"match\"");
    if (node.has("firmware"))
        d.probeFirmware = patterns(node.at("firmware"), true);
    if (node.has("page")) {
        d.recognizePage = path(node.at("page"));
        if (!d.digestPage.empty())
            node.at("page").fail("\"modelDigest\" names its own page");
        if (d.match.empty())
            node.fail("a description that fetches a page to tell its models needs \"match\"");
    }
}

void readLogin(const Node& node, Login& login) {
    node.object({"kind", "action", "formPage", "user", "password", "cookie", "expiredStatus",
                 "lockout", "captcha", "logout"});
    if (node.has("lockout")) {
        Node lockout = node.at("lockout");
        lockout.object({"text", "minutes"});
        login.lockoutText = lockout.at("text").nonEmptyText();
        if (lockout.has("minutes"))
            login.lockoutMinutes = lockout.at("minutes").number(1, 100000);
    }
    if (node.has("captcha")) {
        Node captcha = node.at("captcha");
        captcha.object({"text"});
        login.captchaText = captcha.at("text").nonEmptyText();
    }
    std::string kind = node.at("kind").text();
    if (kind == "basic") {
        for (const char* key :
             {"action", "formPage", "user", "password", "cookie", "expiredStatus", "logout"})
            if (node.has(key))
                node.at(key).fail("only a form login has this");
        return;
    }
    if (kind != "form")
        node.at("kind").fail("must be \"basic\" or \"form\"");
    login.kind = LoginKind::Form;
    login.action = path(node.at("action"));
    if (node.has("formPage"))
        login.formPage = path(node.at("formPage"));
    login.userField = node.at("user").nonEmptyText();
    login.passwordField = node.at("password").nonEmptyText();
    login.cookie = node.text("cookie", "");
    if (node.has("expiredStatus"))
        login.expiredStatus = node.at("expiredStatus").number(100, 599);
    if (node.has("logout"))
        login.logout = path(node.at("logout"));
}

void readAccount(const Node& node, Description& d) {
    node.object({"defaultUser", "defaultPassword", "usesUsername", "user", "password", "ssid"});
    d.defaultUser = node.at("defaultUser").text();
    d.defaultPassword = node.at("defaultPassword").text();
    d.usesUsername = node.at("usesUsername").flag();
    if (node.has("user"))
        d.user = textRule(node.at("user"), 255);
    if (node.has("password"))
        d.password = textRule(node.at("password"), 255);
    if (d.password.max <= 0)
        node.fail("needs \"password\" with a \"max\" of at least 1");
    if (node.has("ssid"))
        d.ssid = textRule(node.at("ssid"), 32);
}

void readSettings(const Node& node, Description& d) {
    node.object({"firmware", "ssid", "security", "encryption", "key", "keyFields"});
    if (node.has("firmware"))
        d.firmware.reset(new Location(location(node.at("firmware"), false)));
    d.ssidAt = location(node.at("ssid"), true);
    d.securityAt = location(node.at("security"), true);
    d.encryptionAt = location(node.at("encryption"), true);
    if (node.has("key"))
        d.keyAt.reset(new Location(location(node.at("key"), true)));
    if (node.has("keyFields")) {
        if (!d.keyAt)
            node.at("keyFields").fail("needs \"key\" for the page its fields are on");
        for (const auto& member : node.at("keyFields").members()) {
            auto mode = securityModeNames().find(member.first);
            if (mode == securityModeNames().end())
                member.second.fail("unknown security mode");
            d.keyFields[mode->second] = member.second.nonEmptyText();
        }
    }
}

// Settings spread over several forms: each wireless write starts from one of them and writes the
// settings that live on it, so each setting must live on exactly one write's form.
void splitWireless(Description& d, const std::vector<Node>& items, const Node& settings) {
    std::vector<const Change*> writes;
    for (const Change& c : d.changes)
        if (c.change == "wireless")
            writes.push_back(&c);
    for (size_t i = 0; i < writes.size(); ++i)
        if (!writes[i]->form)
            items[i].fail(
                "one of several wireless writes needs \"form\": the settings on it are "
                "the ones it writes");
    const std::pair<const char*, const Location*> placed[] = {{"ssid", &d.ssidAt},
                                                              {"security", &d.securityAt},
                                                              {"encryption", &d.encryptionAt},
                                                              {"key", d.keyAt.get()}};
    for (const auto& setting : placed) {
        if (!setting.second)
            continue;
        int on = 0;
        for (const Change* c : writes)
            on += sameForm(*c->form, *setting.second) ? 1 : 0;
        if (on != 1)
            settings.at(setting.first)
                .fail(on == 0 ? "is on the form of no wireless write"
                              : "is on the form of more than one wireless write");
    }
}

// ---- Format 2: steps, captures, transforms ----

// The values every template may name besides captures and transforms.
const std::set<std::string>& builtInNames() {
    static const std::set<std::string> names = {"loginUser", "currentUser", "currentPassword",
                                                "user",      "password",    "ssid",
                                                "security",  "encryption",  "key",
                                                "host",      "scheme"};
    return names;
}

std::string jsonPointer(const Node& node) {
    std::string text = node.text();
    try {
        json::json_pointer checked(text);
    } catch (const json::exception&) {
        node.fail("is not a JSON pointer (\"/a/b\")");
    }
    return text;
}

// Reads the parts of a format 2 description that format 1 does not have; the schema has checked
// their shapes, so what is left is what a schema cannot say.
class Format2Reader {
  public:
    explicit Format2Reader(Description& d) : d_(d) {}

    Answer answer(const Node& node) {
        Answer a;
        if (node.has("status")) {
            Node status = node.at("status");
            if (status.raw().is_array())
                for (const Node& item : status.items())
                    a.statuses.push_back(item.number(100, 599));
            else
                a.statuses = {status.number(100, 599)};
        }
        a.header = node.text("header", "");
        a.text = node.text("text", "");
        if (node.has("json"))
            for (const auto& member : node.at("json").members()) {
                try {
                    json::json_pointer checked(member.first);
                } catch (const json::exception&) {
                    member.second.fail("is not under a JSON pointer (\"/a/b\")");
                }
                a.json.emplace_back(member.first, member.second.raw());
            }
        return a;
    }

    Capture capture(const std::string& name, const Node& node) {
        Capture c;
        c.name = name;
        c.pointer = node.pointer();
        captured_.insert(name);
        const std::pair<const char*, CaptureKind> kinds[] = {
            {"header", CaptureKind::Header},
            {"cookie", CaptureKind::Cookie},
            {"bodyCookie", CaptureKind::BodyCookie},
            {"field", CaptureKind::Field},
            {"script", CaptureKind::Script},
            {"element", CaptureKind::Element},
            {"json", CaptureKind::Json},
            {"pattern", CaptureKind::Pattern}};
        for (const auto& kind : kinds)
            if (node.has(kind.first)) {
                c.kind = kind.second;
                c.what = node.at(kind.first).nonEmptyText();
            }
        if (node.has("member")) {
            if (c.kind != CaptureKind::Script)
                node.at("member").fail("needs \"script\", the object's variable");
            c.member = node.at("member").nonEmptyText();
        }
        if (node.has("form")) {
            if (c.kind != CaptureKind::Field)
                node.at("form").fail("needs \"field\"");
            Location where;
            formOf(node, where);
            c.formIndex = where.formName.empty() ? where.formIndex : -1;
            c.formName = where.formName;
        }
        if (c.kind == CaptureKind::Json)
            jsonPointer(node.at("json"));
        if (c.kind == CaptureKind::Pattern) {
            c.pattern = std::make_shared<Pattern>(pattern(node.at("pattern"), false, true));
            c.what.clear();
        }
        if (node.has("max")) {
            if (c.kind != CaptureKind::Pattern)
                node.at("max").fail("bounds a pattern's value only");
            c.max = static_cast<size_t>(node.at("max").number(1, 4096));
        }
        return c;
    }

    void fields(const Node& node, std::vector<std::pair<std::string, std::string>>& out) {
        for (const auto& field : node.members())
            out.emplace_back(field.first, templated(field.second));
    }

    Step step(const Node& node) {
        Step s;
        s.pointer = node.pointer();
        s.path = templated(node.at("path"));
        if (node.has("headers"))
            fields(node.at("headers"), s.headers);
        if (node.has("referer"))
            s.referer = templated(node.at("referer"));
        if (node.has("form")) {
            Node form = node.at("form");
            s.body = Body::Form;
            s.formPage = path(form.at("page"));
            Location where;
            formOf(form, where);
            s.formIndex = where.formIndex;
            s.formName = where.formName;
            if (form.has("fields"))
                fields(form.at("fields"), s.fields);
            s.multipart = form.has("multipart") && form.at("multipart").flag();
        } else if (node.has("urlencoded") || node.has("multipart")) {
            bool multipart = node.has("multipart");
            s.body = multipart ? Body::Multipart : Body::Urlencoded;
            fields(node.at(multipart ? "multipart" : "urlencoded"), s.fields);
        } else if (node.has("json")) {
            s.body = Body::Json;
            s.json = node.at("json").raw();
            jsonTemplates(node.at("json"));
        } else if (node.has("text")) {
            s.body = Body::Text;
            s.contentType = node.at("text").at("contentType").text();
            s.text = templated(node.at("text").at("body"));
        }
        if (node.has("bySecurity")) {
            if (s.body != Body::Form && s.body != Body::Urlencoded && s.body != Body::Multipart)
                node.at("bySecurity").fail("needs fields: a form, urlencoded or multipart");
            for (const auto& mode : node.at("bySecurity").members()) {
                if (!securityModeNames().count(mode.first))
                    mode.second.fail("is no security mode");
                auto& fields = s.bySecurity[mode.first];
                for (const auto& field : mode.second.members())
                    fields.emplace_back(field.first, field.second.raw().is_null()
                                                         ? std::optional<std::string>()
                                                         : templated(field.second));
            }
        }
        s.method = node.text("method", s.body == Body::None ? "GET" : "POST");
        if (node.has("expect"))
            s.expect = answer(node.at("expect"));
        s.restarts = node.has("restarts") && node.at("restarts").flag();
        if (node.has("capture"))
            for (const auto& member : node.at("capture").members())
                s.captures.push_back(capture(member.first, member.second));
        return s;
    }

    std::vector<Step> steps(const Node& node) {
        std::vector<Step> out;
        for (const Node& item : node.items())
            out.push_back(step(item));
        return out;
    }

    Expression expression(const Node& node) {
        using Op = Expression::Op;
        Expression e;
        e.pointer = node.pointer();
        if (node.isText()) {
            e.text = templated(node);
            return e;
        }
        static const std::pair<const char*, Op> unary[] = {{"md5", Op::Md5},
                                                           {"sha1", Op::Sha1},
                                                           {"sha256", Op::Sha256},
                                                           {"base64", Op::Base64},
                                                           {"hex", Op::Hex},
                                                           {"fromHex", Op::FromHex},
                                                           {"urlEncode", Op::UrlEncode},
                                                           {"upper", Op::Upper}};
        static const std::pair<const char*, Op> keyed[] = {
            {"hmacMd5", Op::HmacMd5}, {"hmacSha1", Op::HmacSha1}, {"hmacSha256", Op::HmacSha256}};
        for (const auto& op : unary)
            if (node.has(op.first)) {
                e.op = op.second;
                e.args.push_back(expression(node.at(op.first)));
            }
        for (const auto& op : keyed)
            if (node.has(op.first)) {
                e.op = op.second;
                e.args.push_back(expression(node.at(op.first).at("key")));
                e.args.push_back(expression(node.at(op.first).at("data")));
            }
        if (node.has("concat")) {
            e.op = Op::Concat;
            for (const Node& item : node.at("concat").items())
                e.args.push_back(expression(item));
        }
        if (node.has("pbkdf2Sha256")) {
            Node kdf = node.at("pbkdf2Sha256");
            e.op = Op::Pbkdf2Sha256;
            e.args.push_back(expression(kdf.at("password")));
            e.args.push_back(expression(kdf.at("salt")));
            Node count = kdf.at("iterations");
            e.text = count.isText() ? templated(count) : std::to_string(count.number(1, 1000000));
            if (kdf.has("length"))
                e.length = kdf.at("length").number(1, 64);
        }
        return e;
    }

    // A setting's place: as in format 1, or the reply to a request (a step, or the name of one
    // of the description's `requests`, sent once per operation).
    Location location2(const Node& node) {
        if (!node.has("request"))
            return location(node, false);
        json copy = node.raw();
        copy.erase("request");
        copy["page"] = "/";
        Location where = location(Node(copy, node.pointer()), false);
        Node request = node.at("request");
        if (request.isText()) {
            auto named = requests_.find(request.text());
            if (named == requests_.end())
                request.fail("names no request of \"requests\"");
            where.page = "request " + named->first;
            where.request = named->second;
        } else {
            where.page = "request " + request.raw().dump();
            where.request = std::make_shared<Step>(step(request));
        }
        return where;
    }

    void namedRequest(const std::string& name, const Node& node) {
        requests_[name] = std::make_shared<Step>(step(node));
    }

    // Every name a template gives is known, and no transform needs itself.
    void check() {
        for (const auto& t : templates_) {
            std::vector<std::string> names;
            if (!namesInTemplate(t.second, names))
                throw DescriptionError(t.first, "a brace { that does not close");
            for (const std::string& name : names)
                if (!builtInNames().count(name) && !captured_.count(name) && !d_.values.count(name))
                    throw DescriptionError(t.first,
                                           "unknown value {" + name +
                                               "}: neither a capture, a name in \"values\" nor "
                                               "one of {loginUser}, {currentUser}, "
                                               "{currentPassword}, {user}, {password}, {ssid}, "
                                               "{security}, {encryption}, {key}, {host}");
        }
        for (const auto& value : d_.values) {
            std::vector<std::string> path;
            if (loops(value.first, path))
                throw DescriptionError(
                    "/values/" + token(value.first),
                    "the transform needs its own value (through {" + path.back() + "})");
        }
    }

  private:
    std::string templated(const Node& node) {
        std::string text = node.text();
        templates_.emplace_back(node.pointer(), text);
        return text;
    }

    void jsonTemplates(const Node& node) {
        if (node.isText())
            templated(node);
        else if (node.raw().is_object())
            for (const auto& member : node.members())
                jsonTemplates(member.second);
        else if (node.raw().is_array())
            for (const Node& item : node.items())
                jsonTemplates(item);
    }

    // The names the transform `name` refers to, directly.
    void namesIn(const Expression& e, std::vector<std::string>& names) const {
        if (e.op == Expression::Op::Template || e.op == Expression::Op::Pbkdf2Sha256)
            namesInTemplate(e.text, names);
        for (const Expression& arg : e.args)
            namesIn(arg, names);
    }

    bool loops(const std::string& name, std::vector<std::string>& path) const {
        if (std::find(path.begin(), path.end(), name) != path.end())
            return true;
        auto found = d_.values.find(name);
        if (found == d_.values.end())
            return false;
        path.push_back(name);
        std::vector<std::string> names;
        namesIn(found->second, names);
        for (const std::string& next : names)
            if (loops(next, path))
                return true;
        path.pop_back();
        return false;
    }

    Description& d_;
    std::map<std::string, std::shared_ptr<const Step>> requests_;
    std::set<std::string> captured_;
    std::vector<std::pair<std::string, std::string>> templates_;  // pointer, text
};

// The security table of format 2: plain modes, or without an encryption setting "MODE/ENC" keys.
// A table's value: one text, or a list whose first is written and all are read.
// `shared`: the values may repeat those of other modes (checked by the caller).
std::vector<std::string> tableValues(const Node& node, std::set<std::string>& seen,
                                     bool shared = false) {
    std::vector<std::string> out;
    if (node.raw().is_array())
        for (const Node& item : node.items())
            out.push_back(item.text());
    else
        out.push_back(node.text());
    for (const std::string& value : out)
        if (!seen.insert(value).second && !shared)
            node.fail("two modes have the device value \"" + value + "\"");
    return out;
}

void readSecurity2(const Node& node, Description& d, bool implied) {
    std::set<std::string> values;
    for (const auto& member : node.members()) {
        size_t slash = member.first.find('/');
        std::vector<std::string> all = tableValues(member.second, values, !implied);
        const std::string& value = all.front();
        auto mode = securityModeNames().find(member.first.substr(0, slash));
        if (mode == securityModeNames().end())
            member.second.fail("unknown mode");
        if (!implied) {
            if (slash != std::string::npos)
                member.second.fail(
                    "a mode with its encryption is for a device without an encryption setting");
            d.securityValues[mode->second] = value;
            for (const std::string& read : all)
                d.securityReads.emplace_back(read, mode->second);
            continue;
        }
        _KRZPEncryptionMode encryption = KRZP_ENCRYPTION_NONE;
        if (slash != std::string::npos) {
            auto named = encryptionModeNames().find(member.first.substr(slash + 1));
            if (named == encryptionModeNames().end())
                member.second.fail("unknown encryption");
            encryption = named->second;
        } else if (mode->second != KRZP_SECURITY_NONE) {
            member.second.fail(
                "without an encryption setting, a secured mode names the encryption its value "
                "implies (\"" +
                member.first + "/aes\")");
        }
        for (const std::string& read : all)
            d.impliedSecurity.push_back({mode->second, encryption, read});
        d.securityValues.emplace(mode->second, value);
    }
    std::string mode, problem = implied ? std::string() : shareSecurity(d, mode);
    if (!problem.empty())
        node.at(mode.c_str()).fail(problem);
}

Change change2(const Node& node, Format2Reader& reader) {
    Change c;
    c.pointer = node.pointer();
    c.change = node.at("change").text();
    c.steps = reader.steps(node.at("steps"));
    if (node.has("restart")) {
        Node restart = node.at("restart");
        c.restartMaximumMs = restart.at("maximumMs").number(1, 600000);
        c.restartMinimumMs =
            restart.has("minimumMs") ? restart.at("minimumMs").number(0, 600000) : 0;
        c.restartPauseMs = restart.has("pauseMs") ? restart.at("pauseMs").number(50, 60000) : 500;
        if (c.restartMinimumMs > c.restartMaximumMs)
            restart.at("minimumMs").fail("is above \"maximumMs\"");
        c.restartPolls =
            std::max(1, (c.restartMaximumMs + c.restartPauseMs - 1) / c.restartPauseMs);
    }
    if (node.has("confirm"))
        c.confirm = reader.steps(node.at("confirm"));
    c.readBack = !node.has("readBack") || node.at("readBack").flag();
    return c;
}

// The published schema's verdict, its deepest problem first.
void schemaCheck(const json& document) {
    static const krz::JsonSchema schema(json::parse(kDescriptionSchema));
    std::vector<krz::SchemaProblem> problems = schema.problems(document);
    if (!problems.empty())
        throw DescriptionError(problems.front().pointer, problems.front().message);
}

std::string ownFieldsNeed(const std::string& setting) {
    return "needs \"" + setting + "\" as a form's field, a script object's member or a JSON value";
}

// A mode's own fields beside `at`'s: fields of its form, members of its script object, or
// JSON pointers into its reply.
void ownFields(const Node& node, const Location& at, const std::string& setting,
               std::map<_KRZPSecurityMode, std::string>& out) {
    if ((at.scripted() && at.member.empty() && at.json.empty()) || at.pattern)
        node.fail(ownFieldsNeed(setting));
    for (const auto& member : node.members()) {
        std::string field = member.second.nonEmptyText();
        if (!at.json.empty() && field[0] != '/')
            member.second.fail("is a JSON pointer (\"/name\"), as \"" + setting + "\" reads JSON");
        out[securityModeNames().at(member.first)] = field;
    }
}

std::shared_ptr<const Description> parseFormat2(const json& document, const std::string& file) {
    schemaCheck(document);
    auto d = std::make_shared<Description>();
    d->file = file;
    d->format = 2;
    Node root(document, "");
    Format2Reader reader(*d);
    d->vendor = root.at("vendor").nonEmptyText();
    for (const Node& model : root.at("models").items())
        d->models.push_back(model.nonEmptyText());
    if (root.has("factory")) {
        Node factory = root.at("factory");
        if (factory.has("scheme")) {
            const std::string scheme = factory.at("scheme").text();
            if (scheme != "http" && scheme != "https")
                factory.at("scheme").fail("must be \"http\" or \"https\"");
            d->https = scheme == "https";
            if (d->https)
                d->port = 443;
        }
        if (factory.has("port"))
            d->port = factory.at("port").number(1, 65535);
        if (factory.has("address")) {
            d->factoryAddress = factory.at("address").text();
            if (inet_addr(d->factoryAddress.c_str()) == INADDR_NONE)
                factory.at("address").fail("is not a dotted IPv4 address");
        }
        d->factorySsid = factory.text("ssid", "");
    }
    readRecognition(root.at("recognize"), *d, true);
    json account = document.at("account");
    account.erase("fixedUser");
    readAccount(Node(account, "/account"), *d);
    d->fixedUser = root.at("account").text("fixedUser", "");
    if (root.has("values"))
        for (const auto& member : root.at("values").members())
            d->values[member.first] = reader.expression(member.second);
    Node login = root.at("login");
    d->session.basic = login.has("basic") && login.at("basic").flag();
    if (login.has("steps"))
        d->session.steps = reader.steps(login.at("steps"));
    if (!d->session.basic && d->session.steps.empty())
        login.fail("needs \"basic\": true or \"steps\"");
    if (login.has("headers"))
        reader.fields(login.at("headers"), d->session.headers);
    if (login.has("expired"))
        d->session.expired = reader.answer(login.at("expired"));
    if (login.has("lockout")) {
        d->login.lockoutText = login.at("lockout").at("text").nonEmptyText();
        if (login.at("lockout").has("minutes"))
            d->login.lockoutMinutes = login.at("lockout").at("minutes").number(1, 100000);
    }
    if (login.has("captcha"))
        d->login.captchaText = login.at("captcha").at("text").nonEmptyText();
    if (login.has("busy"))
        d->session.busyText = login.at("busy").at("text").nonEmptyText();
    if (login.has("logout"))
        d->session.logout = reader.steps(login.at("logout"));

    if (root.has("requests"))
        for (const auto& member : root.at("requests").members())
            reader.namedRequest(member.first, member.second);
    Node settings = root.at("settings");
    if (settings.has("firmware"))
        d->firmware.reset(new Location(reader.location2(settings.at("firmware"))));
    d->ssidAt = reader.location2(settings.at("ssid"));
    d->securityAt = reader.location2(settings.at("security"));
    bool implied = !settings.has("encryption");
    if (!implied)
        d->encryptionAt = reader.location2(settings.at("encryption"));
    if (settings.has("key"))
        d->keyAt.reset(new Location(reader.location2(settings.at("key"))));
    if (settings.has("keyFields")) {
        if (!d->keyAt)
            settings.at("keyFields").fail(ownFieldsNeed("key"));
        ownFields(settings.at("keyFields"), *d->keyAt, "key", d->keyFields);
    }
    if (settings.has("encryptionFields")) {
        if (implied)
            settings.at("encryptionFields").fail(ownFieldsNeed("encryption"));
        ownFields(settings.at("encryptionFields"), d->encryptionAt, "encryption",
                  d->encryptionFields);
    }
    if (implied && root.has("encryption"))
        root.at("encryption").fail("the security values imply the encryption: leave this out");
    readSecurity2(root.at("security"), *d, implied);
    if (!implied) {
        std::set<std::string> seen;
        for (const auto& member : root.at("encryption").members()) {
            auto mode = encryptionModeNames().find(member.first);
            if (mode == encryptionModeNames().end())
                member.second.fail("unknown mode");
            std::vector<std::string> all = tableValues(member.second, seen);
            d->encryptionValues[mode->second] = all.front();
            for (const std::string& read : all)
                d->encryptionReads.emplace_back(read, mode->second);
        }
    }
    for (const Node& item : root.at("changes").items()) {
        d->changes.push_back(change2(item, reader));
        if (d->changes.size() == 2 && d->changes[0].change == d->changes[1].change)
            item.at("change").fail("a second change of the same kind");
    }
    reader.check();
    return d;
}

}  // namespace

bool sameForm(const Location& a, const Location& b) {
    return a.page == b.page && a.formName == b.formName &&
           (!a.formName.empty() || a.formIndex == b.formIndex);
}

bool Change::writes(const Location& setting, size_t wirelessWrites) const {
    return change == "wireless" && (wirelessWrites < 2 || (form && sameForm(*form, setting)));
}

bool Pattern::find(const std::string& headers, const std::string& body, std::string& value) const {
    const std::string& text = inHeaders ? headers : body;
    std::vector<Matcher::Span> spans;
    if (!matcher.search(text, spans))
        return false;
    const Matcher::Span& s = spans.size() > 1 ? spans[1] : spans[0];
    value = s.matched() ? text.substr(s.begin, s.end - s.begin) : std::string();
    return true;
}

size_t Description::wirelessWrites() const {
    return std::count_if(changes.begin(), changes.end(),
                         [](const Change& c) { return c.change == "wireless"; });
}

std::string Description::knownModel(const std::string& name) const {
    for (const std::string& known : models)
        if (sameText(known, name))
            return known;
    // "*": a family of many models takes the name the device shows (its pattern bounds it).
    if (!name.empty() && std::find(models.begin(), models.end(), "*") != models.end())
        return name;
    return std::string();
}

bool Description::isVendor(const std::string& name) const {
    return sameText(vendor, name);
}

DescriptionError::DescriptionError(const std::string& where, const std::string& message)
    : std::runtime_error(message), pointer_(where) {}

const std::map<std::string, _KRZPSecurityMode>& securityModeNames() {
    static const std::map<std::string, _KRZPSecurityMode> names = {
        {"none", KRZP_SECURITY_NONE},
        {"wep", KRZP_SECURITY_WEP},
        {"wpa-psk", KRZP_SECURITY_WPA_PSK},
        {"wpa2-psk", KRZP_SECURITY_WPA2_PSK},
        {"wpa-wpa2-psk", KRZP_SECURITY_WPA_WPA2_PSK}};
    return names;
}

const std::map<std::string, _KRZPEncryptionMode>& encryptionModeNames() {
    static const std::map<std::string, _KRZPEncryptionMode> names = {
        {"none", KRZP_ENCRYPTION_NONE},     {"wep64", KRZP_ENCRYPTION_WEP64},
        {"wep128", KRZP_ENCRYPTION_WEP128}, {"tkip", KRZP_ENCRYPTION_TKIP},
        {"aes", KRZP_ENCRYPTION_AES},       {"tkip-aes", KRZP_ENCRYPTION_TKIP_AES}};
    return names;
}

std::shared_ptr<const Description> parseDescription(const std::string& text,
                                                    const std::string& file) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& e) {
        throw DescriptionError("", "not JSON (at byte " + std::to_string(e.byte) + ")");
    } catch (const json::out_of_range&) {
        throw DescriptionError("", "not JSON that can be read (a number in it is too large)");
    }
    // A draft from `krzpap describe` holds guesses nobody has checked yet: it must not drive a
    // device until its author has settled every mark and removed them.
    if (document.is_object() && document.contains("draft")) {
        const json& draft = document["draft"];
        size_t marks = 0;
        for (const char* list : {"guesses", "gaps"})
            if (draft.is_object() && draft.contains(list) && draft[list].is_array())
                marks += draft[list].size();
        throw DescriptionError("/draft", "a draft with " + std::to_string(marks) + " mark" +
                                             (marks == 1 ? "" : "s") +
                                             " left: settle each guess and gap, then remove "
                                             "\"draft\"");
    }
    if (document.is_object() && document.contains("format")) {
        const json& format = document["format"];
        if (format == 2)
            return parseFormat2(document, file);
        if (format != 1)
            throw DescriptionError("/format", "must be 1 or 2");
    }
    auto d = std::make_shared<Description>();
    d->file = file;
    Node root(document, "");
    root.object({"$schema", "format", "vendor", "models", "factory", "recognize", "login",
                 "account", "settings", "security", "encryption", "changes"});
    d->vendor = root.at("vendor").nonEmptyText();
    for (const Node& model : root.at("models").items())
        d->models.push_back(model.nonEmptyText());
    if (d->models.empty())
        root.at("models").fail("must name at least one model");
    if (root.has("factory")) {
        Node factory = root.at("factory");
        factory.object({"address", "ssid", "port"});
        if (factory.has("port"))
            d->port = factory.at("port").number(1, 65535);
        if (factory.has("address")) {
            d->factoryAddress = factory.at("address").text();
            if (inet_addr(d->factoryAddress.c_str()) == INADDR_NONE)
                factory.at("address").fail("is not a dotted IPv4 address");
        }
        d->factorySsid = factory.text("ssid", "");
    }
    readRecognition(root.at("recognize"), *d);
    readLogin(root.at("login"), d->login);
    readAccount(root.at("account"), *d);
    readSettings(root.at("settings"), *d);
    d->securityValues = valueMap(root.at("security"), securityModeNames());
    d->encryptionValues = valueMap(root.at("encryption"), encryptionModeNames());
    std::set<std::string> kinds;
    std::vector<Node> wireless;
    for (const Node& item : root.at("changes").items()) {
        d->changes.push_back(change(item));
        const std::string& kind = d->changes.back().change;
        if (kind == "wireless")
            wireless.push_back(item);
        else if (kinds.count(kind))
            item.at("change").fail("a second write of the same change");
        kinds.insert(kind);
    }
    if (kinds.size() != 2)
        root.at("changes").fail("needs one \"wireless\" and one \"credentials\" write");
    if (wireless.size() > 1)
        splitWireless(*d, wireless, root.at("settings"));
    return d;
}

std::vector<std::string> splitFolders(const std::string& setting) {
    std::vector<std::string> out;
    std::stringstream in(setting);
    std::string piece;
    while (std::getline(in, piece, ';'))
        if (!piece.empty())
            out.push_back(piece);
    return out;
}

std::vector<std::shared_ptr<const Description>> loadDescriptions(
    const std::vector<std::string>& folders,
    const std::function<void(const std::string&)>& report) {
    namespace fs = std::filesystem;
    std::vector<std::shared_ptr<const Description>> out;
    for (const std::string& folder : folders) {
        std::error_code error;
        std::vector<fs::path> files;
        for (fs::directory_iterator it(fs::u8path(folder), error), end; !error && it != end;
             it.increment(error)) {
            if (it->path().extension() == ".json")
                files.push_back(it->path());
        }
        if (error) {
            report(folder + ": " + error.message());
            continue;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            std::string name = file.u8string();
            std::ifstream in(file, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            if (!in) {
                report(name + ": cannot be read");
                continue;
            }
            try {
                out.push_back(parseDescription(text.str(), name));
            } catch (const DescriptionError& e) {
                report(name + ": " + (e.pointer().empty() ? "/" : e.pointer()) + ": " + e.what());
            }
        }
    }
    return out;
}

bool scriptSets(const std::string& text, const std::string& name) {
    return krzscript::scriptSets(text, name);
}

bool Location::readScripted(const std::string& text, std::string& value, std::string& why) const {
    if (!json.empty()) {
        why = "no single JSON value at \"" + json + "\"";
        return krzscript::jsonValue(text, json, value);
    }
    if (!element.empty()) {
        why = "no script value for element \"" + element + "\"";
        return krzscript::elementValue(text, element, value);
    }
    why = member.empty() ? "no script value \"" + script + "\""
                         : "no member \"" + member + "\" of the script's \"" + script + "\"";
    return member.empty() ? krzscript::variable(text, script, value)
                          : krzscript::objectMember(text, script, member, value);
}

}  // namespace krzdesc
