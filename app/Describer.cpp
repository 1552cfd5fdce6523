// Guesses a family description from a recording. Every guess says why it was made, every value
// the pages cannot tell is a gap that says what is needed: a wrong guess costs the author more
// than a gap, so the rules below only guess where a page names the thing plainly.
#include "Describer.h"
#include "HarDescriber.h"
#include "PageReading.h"

#include "html/KRZPHtmlParser.h"
#include "krzutil/KRZCryptoUtil.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <set>
#include <stdexcept>

namespace krzpap {

namespace {

using json = nlohmann::json;
using krzlab::Exchange;
using krzlab::HeaderList;
using krzlab::headerOf;
using krzlab::Recording;

// What a gap holds until its author fills it: a text, a page and a pattern that still load.
const char* const kGap = "GAP";
const char* const kGapPage = "/GAP";
const char* const kGapPattern = "(GAP)";
// Longer names and titles are no device's own but a hostile page's.
const size_t kLongestName = 64;
// The group that takes a model's name out of a header or a page.
const char* const kModelGroup = "([^\\s\"<&;,]+)";

// Pages come from devices and no device text goes into a regular expression: the drafts' patterns
// are checked against the pages by plain scans that do what the patterns do.

using krzlab::lower;

bool has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

std::string trim(const std::string& text) {
    size_t a = text.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return "";
    return text.substr(a, text.find_last_not_of(" \t\r\n") - a + 1);
}

// Markup text as a reader sees it: common entities decoded, runs of white space as one space.
std::string plain(const std::string& html) {
    static const std::pair<const char*, const char*> kEntities[] = {
        {"&amp;", "&"}, {"&lt;", "<"},   {"&gt;", ">"},    {"&quot;", "\""},
        {"&#39;", "'"}, {"&nbsp;", " "}, {"&middot;", "."}};
    std::string text = html;
    for (const auto& e : kEntities)
        krzlab::replaceAll(text, e.first, e.second);
    std::string out;
    for (char c : text) {
        bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (space && (out.empty() || out.back() == ' '))
            continue;
        out += space ? ' ' : c;
    }
    return trim(out);
}

bool isHtml(const krzlab::RecordedReply& reply) {
    const std::string* type = headerOf(reply.headers, "Content-Type");
    if (type)
        return has(lower(*type), "html");
    std::string head = lower(reply.body.substr(0, 512));
    return has(head, "<html") || has(head, "<!doctype html") || has(head, "<title");
}

std::string titleOf(const std::string& body) {
    KRZPHtmlParser page(body);
    try {
        page.skipPastTag("title");
        return plain(page.grabTo("</"));
    } catch (const KRZPAPCException&) {
        return "";  // no title, or one without its end
    }
}

// A page as the recording holds it: the first reply to a GET of it with the login, and the first
// without.
struct Page {
    std::string target;
    const Exchange* with = nullptr;
    const Exchange* without = nullptr;
    const std::string& body() const { return (with ? with : without)->reply.body; }
};

struct Field {
    std::string name;
    std::string type;
    std::string label;
    std::string script;  // the script variable that fills it, if a script does
    int maxLength = -1;
    std::vector<std::pair<std::string, std::string>> options;  // value, label
};

struct Form {
    const Page* page = nullptr;
    size_t index = 0;
    size_t formsOnPage = 1;
    std::string name;  // its name, else its id
    std::string action;
    std::string method;
    bool multipart = false;
    std::vector<Field> fields;
    std::vector<std::pair<std::string, std::string>> buttons;  // named submit buttons
};

// A page's forms as the library's reader sees them: what each submits, with the label, length
// bound and choices of each field and the buttons a browser sends only when pressed.
std::vector<Form> formsOf(const Page& page) {
    std::vector<Form> out;
    const std::string& body = page.body();
    std::vector<KRZPPageForm> forms = KRZPHtmlParser(body).pageForms();
    // The variables that fill fields: "f.NAME.value = VAR" or "pick(f.NAME, VAR)" with
    // "var VAR = '...'" on the page.
    ScriptValues scripts(body);
    for (size_t i = 0; i < forms.size(); ++i) {
        Form form;
        form.page = &page;
        form.index = i;
        form.formsOnPage = forms.size();
        AttributeMap attributes = forms[i].attributes;
        form.name = KRZPHtmlParser::getAttrib(attributes, "name");
        if (form.name.empty())
            form.name = KRZPHtmlParser::getAttrib(attributes, "id");
        form.action = KRZPHtmlParser::getAttrib(attributes, "action");
        form.method = lower(KRZPHtmlParser::getAttrib(attributes, "method"));
        form.multipart = has(lower(KRZPHtmlParser::getAttrib(attributes, "enctype")), "multipart");
        for (const KRZPBrowserField& f : forms[i].fields) {
            Field field;
            field.name = f.name;
            field.type = f.type;
            auto control =
                std::find_if(forms[i].controls.begin(), forms[i].controls.end(),
                             [&f](const KRZPPageControl& c) { return c.name == f.name; });
            if (control != forms[i].controls.end()) {
                field.label = control->label;
                std::string length = KRZPHtmlParser::getAttrib(control->attributes, "maxlength");
                if (!length.empty() && length.size() < 5 &&
                    length.find_first_not_of("0123456789") == std::string::npos)
                    field.maxLength = std::stoi(length);
                for (const KRZPPageOption& o : control->options)
                    field.options.emplace_back(o.value, o.label);
            }
            // Longer names are no device's own but a hostile page's.
            if (f.name.size() <= kLongestName) {
                field.script = scripts.variableOf(f.name);
                if (field.script.size() > kLongestName)
                    field.script.clear();
            }
            form.fields.push_back(field);
        }
        // Buttons a browser sends only when pressed.
        for (const KRZPPageControl& button : forms[i].buttons)
            if (button.type == "submit" && !button.name.empty())
                form.buttons.emplace_back(button.name, button.value);
        out.push_back(form);
    }
    return out;
}

std::string securityMode(const std::string& value, const std::string& label) {
    std::string t = lower(label + " " + value);
    // Not a pre-shared key, or a choice the device makes by itself: not one of the modes.
    if (has(t, "enterprise") || has(t, "radius") || has(t, "802.1x") || has(t, "eap") ||
        has(t, "auto"))
        return "";
    std::string rest = t;
    krzlab::replaceAll(rest, "wpa2", "");
    if (has(t, "wpa2") && (has(rest, "wpa") || has(t, "mixed")))
        return "wpa-wpa2-psk";
    if (has(t, "mixed") && has(t, "wpa"))
        return "wpa-wpa2-psk";
    if (has(t, "wpa2"))
        return "wpa2-psk";
    if (has(t, "wpa"))
        return "wpa-psk";
    if (has(t, "wep"))
        return "wep";
    if (has(t, "none") || has(t, "open") || has(t, "disable") || has(t, "off"))
        return "none";
    return "";
}

std::string encryptionMode(const std::string& value, const std::string& label) {
    std::string t = lower(label + " " + value);
    bool aes = has(t, "aes") || has(t, "ccmp");
    if (has(t, "tkip") && aes)
        return "tkip-aes";
    if (aes)
        return "aes";
    if (has(t, "tkip"))
        return "tkip";
    if (has(t, "128") || has(t, "104"))
        return "wep128";
    if (has(t, "64") || has(t, "40"))
        return "wep64";
    if (has(t, "none") || has(t, "off") || has(t, "disable"))
        return "none";
    return "";
}

class Guesser {
  public:
    Guesser(const Recording& recording, const std::string& source)
        : r_(recording), source_(source) {}
    nlohmann::ordered_json run();

  private:
    void guess(const std::string& pointer, const std::string& why) {
        guesses_.push_back({{"pointer", pointer}, {"why", why}});
    }
    void gap(const std::string& pointer, const std::string& need, bool optional = false) {
        json mark = {{"pointer", pointer}, {"need", need}};
        if (optional)
            mark["optional"] = true;
        gaps_.push_back(mark);
    }
    void collectPages();
    void vendorAndModel();
    void recognition();
    void login();
    void settings();
    json location(const Form& form, const Field& field) const;
    json formRef(const Form& form) const;
    void valueMap(const char* kind, const Field* field,
                  std::string (*classify)(const std::string&, const std::string&));
    void firmware();
    void changes();
    json answerOf(const std::string& action, const std::string& pointer, bool& restarts);
    void account();

    const Recording& r_;
    std::string source_;
    json doc_ = json::object();
    json guesses_ = json::array();
    json gaps_ = json::array();
    std::vector<Page> pages_;
    std::vector<Form> forms_;
    std::string vendor_, model_;
    const Form* wireless_ = nullptr;
    const Form* credentials_ = nullptr;
    const Field* ssid_ = nullptr;
    const Field* security_ = nullptr;
    const Field* encryption_ = nullptr;
};

void Guesser::collectPages() {
    for (const Exchange& e : r_.exchanges) {
        const auto& q = e.request;
        bool shown = e.reply.status == 200 || e.reply.status == 0;
        if (q.method != "GET" || q.target.find('?') != std::string::npos || !shown ||
            e.reply.cutShort)
            continue;
        auto it = std::find_if(pages_.begin(), pages_.end(),
                               [&](const Page& p) { return p.target == q.target; });
        if (it == pages_.end()) {
            pages_.push_back(Page{q.target});
            it = pages_.end() - 1;
        }
        const Exchange*& slot = q.credentials ? it->with : it->without;
        if (!slot)
            slot = &e;
    }
    for (const Page& page : pages_) {
        if (!isHtml((page.with ? page.with : page.without)->reply))
            continue;
        for (Form& form : formsOf(page)) {
            // The login form is the login's, not a setting's.
            if (r_.login.kind == "form" && !page.with && page.target == r_.login.page)
                continue;
            forms_.push_back(std::move(form));
        }
    }
}

// The text of a table cell or script variable that a label names: "Model</td><td>X<" or
// "var sysModel = 'X'". Empty when no page has one.
std::string labelledValue(const std::vector<Page>& pages, const std::string& label,
                          std::string* page, std::string* cellPattern, std::string* variable) {
    for (const Page& p : pages) {
        const std::string& body = p.body();
        std::string low = lower(body);
        for (size_t at = low.find(label); at != std::string::npos; at = low.find(label, at + 1)) {
            // The cell's end closely after the label, looked for there only.
            size_t window = std::min(low.size(), at + label.size() + 25);
            size_t close = static_cast<size_t>(
                std::find(low.begin() + static_cast<std::ptrdiff_t>(at),
                          low.begin() + static_cast<std::ptrdiff_t>(window), '<') -
                low.begin());
            if (close == window)
                continue;
            for (const char* cell : {"</td>", "</th>"}) {
                if (low.compare(close, 5, cell) != 0)
                    continue;
                size_t open = low.find_first_not_of(" \t\r\n", close + 5);
                if (open == std::string::npos || low.compare(open, 3, "<td") != 0)
                    continue;
                size_t valueAt = low.find('>', open);
                size_t valueEnd = valueAt == std::string::npos ? valueAt : low.find('<', valueAt);
                if (valueEnd == std::string::npos)
                    continue;
                std::string value = plain(body.substr(valueAt + 1, valueEnd - valueAt - 1));
                if (value.empty() || value.size() > 64)
                    continue;
                if (page)
                    *page = p.target;
                if (cellPattern)
                    *cellPattern = patternEscape(body.substr(at, valueAt + 1 - at)) + "([^<]*)<";
                return value;
            }
        }
        // "var sysModel = '...'": a script variable whose name has the label's first letters.
        ScriptValues scripts(body);
        for (const auto& literal : scripts.literals()) {
            const std::string& name = literal.first;
            const std::string& value = literal.second;
            size_t named = lower(name).find(label.substr(0, 4));
            if (named == std::string::npos || name.find('.') != std::string::npos ||
                name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_") <
                    named ||
                value.empty() || value.size() > 64 ||
                value.find_first_of("'<") != std::string::npos)
                continue;
            if (page)
                *page = p.target;
            if (variable)
                *variable = name;
            return value;
        }
    }
    return "";
}

void Guesser::vendorAndModel() {
    std::map<std::string, int> counts;
    std::vector<std::string> order;
    for (const Page& p : pages_) {
        for (const Exchange* e : {p.with, p.without}) {
            if (!e || !isHtml(e->reply))
                continue;
            std::string title = titleOf(e->reply.body);
            std::string word = title.substr(0, title.find_first_of(" -|.:"));
            bool name = word.size() >= 2 && word.size() <= 32 &&
                        word.find_first_of("0123456789") == std::string::npos;
            if (name && counts[word]++ == 0)
                order.push_back(word);
        }
    }
    int best = 0;
    for (const std::string& word : order)
        if (counts[word] > best) {
            best = counts[word];
            vendor_ = word;
        }
    if (vendor_.empty()) {
        doc_["vendor"] = kGap;
        gap("/vendor", "the vendor's name: no page title names it");
    } else {
        doc_["vendor"] = vendor_;
        guess("/vendor", "the first word of " + std::to_string(best) + " page titles");
    }

    std::string page, variable;
    model_ = labelledValue(pages_, "model", &page, nullptr, &variable);
    if (!model_.empty()) {
        guess("/models/0", "the value labelled \"Model\" on " + page +
                               (variable.empty() ? "" : " (script variable " + variable + ")"));
    } else {
        // A word of a title with letters and digits, as model names are.
        for (const Page& p : pages_) {
            std::string title = titleOf(p.body());
            if (!modelWord(title).empty()) {
                model_ = modelWord(title);
                guess("/models/0", "a word of letters and digits in the title of " + p.target);
                break;
            }
        }
    }
    if (model_.empty()) {
        doc_["models"] = {kGap};
        gap("/models/0", "the model's name as the device reports it: no page names it");
    } else {
        doc_["models"] = {model_};
    }
}

// The exchange a scan's probe sees: GET / without the login.
const Exchange* probeOf(const Recording& r) {
    for (const Exchange& e : r.exchanges)
        if (e.request.method == "GET" && e.request.target == "/" && !e.request.credentials)
            return &e;
    return nullptr;
}

std::string headerText(const krzlab::RecordedReply& reply) {
    std::string text;
    for (const auto& h : reply.headers)
        text += h.first + ": " + h.second + "\r\n";
    return text;
}

void Guesser::recognition() {
    json recognize = json::object();
    const Exchange* probe = probeOf(r_);
    if (!probe) {
        recognize["match"] = {{{"text", kGapPattern}}};
        gap("/recognize/match/0/text",
            "what the device answers to GET / without a login: the recording has no such request");
        doc_["recognize"] = recognize;
        return;
    }
    std::string headers = headerText(probe->reply);
    const std::string& body = probe->reply.body;
    // The model named in the probe's reply: a pattern takes it from there.
    if (!model_.empty()) {
        for (const auto& h : probe->reply.headers) {
            size_t at = h.second.find(model_);
            if (at == std::string::npos)
                continue;
            std::string prefix = h.second.substr(at > 40 ? at - 40 : 0, at > 40 ? 40 : at);
            std::string pattern = patternEscape(prefix) + kModelGroup;
            if (modelAfter(prefix, headers) == model_) {
                recognize["model"] = {{{"header", pattern}}};
                guess("/recognize/model/0/header",
                      "the " + h.first + " header of GET / without a login names the model");
                doc_["recognize"] = recognize;
                return;
            }
        }
        size_t at = body.find(model_);
        if (at != std::string::npos) {
            size_t tag = body.rfind('<', at);
            size_t from =
                tag != std::string::npos && at - tag <= 60 ? tag : (at > 20 ? at - 20 : 0);
            std::string pattern = patternEscape(body.substr(from, at - from)) + kModelGroup;
            if (modelAfter(body.substr(from, at - from), body) == model_) {
                recognize["model"] = {{{"text", pattern}}};
                guess("/recognize/model/0/text",
                      "the page GET / shows without a login names the model there");
                doc_["recognize"] = recognize;
                return;
            }
        }
    }
    // Else the vendor's name tells the family, and a further page's digest the model.
    std::string match;
    std::string kind;
    if (!vendor_.empty()) {
        for (const auto& h : probe->reply.headers) {
            size_t at = h.second.find(vendor_);
            if (at != std::string::npos) {
                match = patternEscape(h.first + ": " + h.second.substr(0, at + vendor_.size()));
                kind = "header";
                guess("/recognize/match/0/header",
                      "the " + h.first + " header of GET / without a login names " + vendor_);
                break;
            }
        }
        std::string title = titleOf(body);
        if (match.empty() && title.size() <= kLongestName &&
            title.find(vendor_) != std::string::npos && body.find(title) != std::string::npos) {
            match = patternEscape(title);
            kind = "text";
            guess("/recognize/match/0/text", "the title of GET / without a login names " + vendor_);
        }
    }
    if (match.empty()) {
        recognize["match"] = {{{"text", kGapPattern}}};
        gap("/recognize/match/0/text", "a pattern that only this family's reply to GET / has");
    } else {
        recognize["match"] = {{{kind, match}}};
    }
    if (model_.empty()) {
        recognize["model"] = {{{"text", kGapPattern}}};
        gap("/recognize/model/0/text", "a pattern whose first group is the model's name");
        doc_["recognize"] = recognize;
        return;
    }
    for (const Page& p : pages_) {
        if (!p.without || p.target == "/" || isHtml(p.without->reply))
            continue;
        std::string digest = KRZCryptoUtil::MD5(KRZBuf(p.without->reply.body)).toUtf8HexString();
        recognize["modelDigest"] = {{"page", p.target}, {"models", {{digest, model_}}}};
        guess("/recognize/modelDigest", "GET / without a login does not name the model; " +
                                            p.target +
                                            " is served without one and may differ per model: "
                                            "add the digests of the family's other models");
        doc_["recognize"] = recognize;
        return;
    }
    recognize["model"] = {{{"text", kGapPattern}}};
    gap("/recognize/model/0/text",
        "a pattern whose first group is the model's name; nothing served without a login names it");
    doc_["recognize"] = recognize;
}

void Guesser::login() {
    const krzlab::RecordedLogin& l = r_.login;
    if (l.kind == "basic") {
        doc_["login"] = {{"kind", "basic"}};
        return;
    }
    if (l.kind != "form") {
        doc_["login"] = {{"kind", "basic"}};
        gap("/login/kind", "how the device logs in: it asked for no login when recorded");
        return;
    }
    json login = {
        {"kind", "form"}, {"action", l.path}, {"user", l.userField}, {"password", l.passwordField}};
    for (const Exchange& e : r_.exchanges) {
        if (e.request.method != "POST" || e.request.target != l.path)
            continue;
        const std::string* cookie = headerOf(e.reply.headers, "Set-Cookie");
        if (cookie && cookie->find('=') != std::string::npos)
            login["cookie"] = trim(cookie->substr(0, cookie->find('=')));
        break;
    }
    // What a page that needs the login answers without it.
    for (const Page& p : pages_) {
        if (!p.with)
            continue;
        for (const Exchange& e : r_.exchanges) {
            if (e.request.method == "GET" && e.request.target == p.target &&
                !e.request.credentials && e.reply.status != 200 && e.reply.status != 0) {
                login["expiredStatus"] = e.reply.status;
                guess("/login/expiredStatus", p.target + " answered " +
                                                  std::to_string(e.reply.status) +
                                                  " without the login and 200 with it");
                break;
            }
        }
        if (login.contains("expiredStatus"))
            break;
    }
    // A login form with hidden fields (a per-session token) is submitted as a whole.
    for (const Page& p : pages_) {
        if (p.target != l.page)
            continue;
        for (const Form& form : formsOf(p)) {
            bool theLogin = std::any_of(form.fields.begin(), form.fields.end(),
                                        [&](const Field& f) { return f.name == l.passwordField; });
            bool hidden = std::any_of(form.fields.begin(), form.fields.end(),
                                      [](const Field& f) { return f.type == "hidden"; });
            if (theLogin && hidden) {
                login["formPage"] = l.page;
                guess("/login/formPage", "the login form on " + l.page +
                                             " has hidden fields, which go along with the login");
            }
        }
    }
    doc_["login"] = login;
}

json Guesser::formRef(const Form& form) const {
    json ref = {{"page", form.page->target}};
    if (form.formsOnPage > 1) {
        if (!form.name.empty())
            ref["form"] = form.name;
        else
            ref["form"] = form.index;
    }
    return ref;
}

json Guesser::location(const Form& form, const Field& field) const {
    json at = formRef(form);
    if (!field.script.empty())
        at["script"] = field.script;
    at["field"] = field.name;
    return at;
}

int score(const Field& f, const char* kind) {
    std::string name = lower(f.name), label = lower(f.label);
    bool text = f.type == "text" || f.type == "password" || f.type == "hidden";
    bool choice = f.type.rfind("select", 0) == 0 || f.type == "radio";
    std::string k = kind;
    if (k == "ssid") {
        if (!text || has(name, "bcast") || has(name, "broadcast") || has(name, "hide") ||
            has(label, "broadcast") || has(label, "hide"))
            return 0;
        return (has(name, "ssid") ? 3 : 0) + (has(label, "ssid") || has(label, "network name"));
    }
    // A choice counts by its options only when they name what only that setting offers: WPA
    // generations for the security, ciphers for the encryption (both offer "none" and WEP).
    bool cipherWords = has(name, "cipher") || has(name, "crypt") || has(name, "encr") ||
                       has(label, "encryption") || has(label, "cipher");
    bool securityWords = has(name, "sec") || has(name, "auth") || has(label, "security") ||
                         has(label, "authentication");
    if (k == "security") {
        if (!choice || has(name, "wps") || cipherWords)
            return 0;
        int modes = 0;
        for (const auto& o : f.options)
            modes += securityMode(o.first, o.second).rfind("wpa", 0) == 0;
        return (has(name, "sec") || has(name, "auth") ? 3 : 0) +
               (has(label, "security") || has(label, "authentication") ? 2 : 0) +
               (modes >= 2 ? 2 : 0);
    }
    if (k == "encryption") {
        if (!choice || securityWords)
            return 0;
        int modes = 0;
        for (const auto& o : f.options) {
            std::string mode = encryptionMode(o.first, o.second);
            modes += mode == "tkip" || mode == "aes" || mode == "tkip-aes";
        }
        return (has(name, "cipher") || has(name, "crypt") || has(name, "encr") ? 3 : 0) +
               (has(label, "encryption") || has(label, "cipher") ? 2 : 0) + (modes >= 2 ? 2 : 0);
    }
    // The key: a passphrase or a pre-shared key, not a WEP key of its own.
    if (!text || has(name, "wep") || has(label, "wep"))
        return 0;
    return (has(name, "psk") || has(name, "passphrase") || has(name, "key") ? 3 : 0) +
           (has(label, "key") || has(label, "passphrase") ? 2 : 0);
}

// The best field for `kind`: on `near`'s form first, else on any form.
std::pair<const Form*, const Field*> best(const std::vector<Form>& forms, const char* kind,
                                          const Form* near, const std::set<const Field*>& taken) {
    std::pair<const Form*, const Field*> found{nullptr, nullptr};
    int top = 0;
    for (int pass = 0; pass < 2 && !found.second; ++pass) {
        for (const Form& form : forms) {
            if (near && (pass == 0) != (&form == near))
                continue;
            for (const Field& f : form.fields) {
                // One field holds one setting.
                int s = taken.count(&f) ? 0 : score(f, kind);
                if (s > top) {
                    top = s;
                    found = {&form, &f};
                }
            }
        }
        if (!near)
            break;
    }
    return found;
}

std::string whyField(const Field& f, const char* kind) {
    return "the field \"" + f.name + "\"" +
           (f.label.empty() ? "" : " labelled \"" + f.label + "\"") + " looks like the " + kind +
           (f.script.empty() ? "" : "; the page's script fills it from " + f.script);
}

void Guesser::valueMap(const char* kind, const Field* field,
                       std::string (*classify)(const std::string&, const std::string&)) {
    json map = json::object();
    std::string pointer = std::string("/") + kind;
    if (field) {
        for (const auto& option : field->options) {
            std::string mode = classify(option.first, option.second);
            if (mode.empty() || map.contains(mode))
                continue;
            map[mode] = option.first;
            guess(pointer + "/" + mode, "the option \"" + option.second + "\" of " + field->name);
        }
    }
    if (map.empty()) {
        gap(pointer, std::string("each ") + kind +
                         " mode's value on the device: the page offers no options to read them "
                         "from");
    }
    doc_[kind] = map;
}

void Guesser::firmware() {
    std::string page, pattern, variable;
    std::string value = labelledValue(pages_, "firmware", &page, &pattern, &variable);
    if (value.empty()) {
        gap("/settings/firmware", "where the firmware's revision is shown", true);
        return;
    }
    json at = {{"page", page}};
    if (!variable.empty())
        at["script"] = variable;
    else
        at["pattern"] = pattern;
    doc_["settings"]["firmware"] = at;
    guess("/settings/firmware",
          "the value labelled \"Firmware\" on " + page + " (\"" + value + "\")");
}

void Guesser::settings() {
    doc_["settings"] = json::object();
    firmware();
    std::set<const Field*> taken;
    auto ssid = best(forms_, "ssid", nullptr, taken);
    taken.insert(ssid.second);
    wireless_ = ssid.first;
    ssid_ = ssid.second;
    if (ssid_) {
        doc_["settings"]["ssid"] = location(*wireless_, *ssid_);
        guess("/settings/ssid", whyField(*ssid_, "network name"));
    } else {
        doc_["settings"]["ssid"] = {{"page", kGapPage}, {"field", kGap}};
        gap("/settings/ssid", "the page and field of the network name: no field looks like it");
    }
    for (const char* kind : {"security", "encryption", "key"}) {
        auto found = best(forms_, kind, wireless_, taken);
        taken.insert(found.second);
        std::string pointer = std::string("/settings/") + kind;
        if (found.second) {
            doc_["settings"][kind] = location(*found.first, *found.second);
            guess(pointer, whyField(*found.second, kind) +
                               (found.first == wireless_ ? "" : "; it is on another form"));
        } else if (std::string(kind) != "key") {
            doc_["settings"][kind] = {{"page", kGapPage}, {"field", kGap}};
            gap(pointer, std::string("the page and field of the ") + kind + " mode");
        } else {
            gap(pointer, "the field of the key, if the device has one", true);
        }
        if (std::string(kind) == "security")
            security_ = found.second;
        if (std::string(kind) == "encryption")
            encryption_ = found.second;
    }
    // A WEP key of its own beside the passphrase.
    if (wireless_) {
        for (const Field& f : wireless_->fields) {
            if (has(lower(f.name + " " + f.label), "wep") && has(lower(f.name + f.label), "key") &&
                doc_["settings"].contains("key")) {
                doc_["settings"]["keyFields"] = {{"wep", f.name}};
                guess("/settings/keyFields/wep", whyField(f, "WEP key"));
                break;
            }
        }
    }
    valueMap("security", security_, securityMode);
    valueMap("encryption", encryption_, encryptionMode);
}

// What the device answered to the recorded submission to `action`: a restart, or a sentence.
json Guesser::answerOf(const std::string& action, const std::string& pointer, bool& restarts) {
    restarts = false;
    for (const Exchange& e : r_.exchanges) {
        const std::string& target = e.request.target;
        bool submission = target.compare(0, action.size(), action) == 0 &&
                          (target.size() == action.size() || target[action.size()] == '?') &&
                          (e.request.method == "POST" || target.size() > action.size());
        if (!submission)
            continue;
        std::string text = plain(e.reply.body);
        std::string low = lower(text);
        // Strip the markup's tags for sentences.
        std::string words;
        bool inTag = false;
        for (char c : e.reply.body) {
            if (c == '<')
                inTag = true;
            else if (c == '>') {
                inTag = false;
                words += '\n';
            } else if (!inTag)
                words += c;
        }
        if (e.reply.cutShort || e.reply.status == 0 || has(low, "restart") || has(low, "reboot")) {
            restarts = true;
            guess(pointer, "the device's answer to the recorded change at " + action +
                               (e.reply.cutShort ? " was cut short" : " says it restarts") +
                               "; how long it takes is a guess");
            return {{"restart", {{"polls", 20}, {"pauseMs", 500}}}};
        }
        size_t start = 0;
        while (start < words.size()) {
            size_t end = words.find('\n', start);
            std::string line =
                plain(words.substr(start, end == std::string::npos ? end : end - start));
            start = end == std::string::npos ? words.size() : end + 1;
            std::string l = lower(line);
            if (line.size() < 8 || line.size() > 200)
                continue;
            if (has(l, "saved") || has(l, "applied") || has(l, "success") || has(l, "updated") ||
                has(l, "changed") || has(l, "complete")) {
                guess(pointer, "the device's answer to the recorded change at " + action);
                return {{"text", line}};
            }
        }
        break;
    }
    gap(pointer + "/text", "the text the device's answer holds when the change at " + action +
                               " is saved (record one with --try-change)");
    return {{"text", kGap}};
}

// Whether a script fills the form's fields: a browser would send what the markup holds.
bool scripted(const Form& form) {
    return std::any_of(form.fields.begin(), form.fields.end(),
                       [](const Field& f) { return !f.script.empty(); });
}

void Guesser::changes() {
    json wireless = {{"change", "wireless"}};
    bool restarts = false;
    if (wireless_) {
        std::string action = krzlab::resolveTarget(
            wireless_->page->target,
            wireless_->action.empty() ? wireless_->page->target : wireless_->action, r_.address);
        if (!scripted(*wireless_))
            wireless["form"] = formRef(*wireless_);
        else
            guess("/changes/wireless",
                  "the page's scripts fill its form, so the write sends only "
                  "the settings' fields and the button: add any other "
                  "field the device needs");
        wireless["action"] = action;
        if (wireless_->multipart)
            wireless["method"] = "multipart";
        else if (wireless_->method == "get")
            wireless["method"] = "get";
        if (!wireless_->buttons.empty())
            wireless["fields"] = {{wireless_->buttons[0].first, wireless_->buttons[0].second}};
        wireless["answer"] = answerOf(action, "/changes/wireless/answer", restarts);
    } else {
        wireless["action"] = kGapPage;
        wireless["answer"] = {{"text", kGap}};
        gap("/changes/wireless", "the form the network settings are written with");
    }

    // The credentials: a form with password fields other than the login's and the wireless one,
    // nor the one that holds the key (a security page of its own).
    const json key = doc_["settings"].value("key", json::object());
    auto holdsKey = [&key](const Form& form) {
        return key.value("page", "") == form.page->target && key.contains("field") &&
               std::any_of(form.fields.begin(), form.fields.end(),
                           [&key](const Field& f) { return key["field"] == f.name; });
    };
    for (const Form& form : forms_) {
        if (&form == wireless_ || holdsKey(form))
            continue;
        if (std::any_of(form.fields.begin(), form.fields.end(),
                        [](const Field& f) { return f.type == "password"; })) {
            credentials_ = &form;
            break;
        }
    }
    json credentials = {{"change", "credentials"}};
    if (credentials_) {
        std::string action = krzlab::resolveTarget(
            credentials_->page->target,
            credentials_->action.empty() ? credentials_->page->target : credentials_->action,
            r_.address);
        if (!scripted(*credentials_))
            credentials["form"] = formRef(*credentials_);
        credentials["action"] = action;
        if (credentials_->multipart)
            credentials["method"] = "multipart";
        else if (credentials_->method == "get")
            credentials["method"] = "get";
        json fields = json::object();
        for (const Field& f : credentials_->fields) {
            std::string words = lower(f.name + " " + f.label);
            if (f.type == "password")
                fields[f.name] = has(words, "cur") || has(words, "old") || has(words, "orig")
                                     ? "{currentPassword}"
                                     : "{password}";
            else if (f.type == "text" &&
                     (has(words, "user") || has(words, "name") || has(words, "login")))
                fields[f.name] = "{user}";
        }
        for (const auto& button : credentials_->buttons) {
            fields[button.first] = button.second;
            break;
        }
        credentials["fields"] = fields;
        guess("/changes/credentials",
              "the form on " + credentials_->page->target + " with password fields: " +
                  fields.dump(-1, ' ', false, json::error_handler_t::replace));
        bool unused = false;
        credentials["answer"] = answerOf(action, "/changes/credentials/answer", unused);
    } else {
        credentials["action"] = kGapPage;
        credentials["answer"] = {{"text", kGap}};
        gap("/changes/credentials", "the form the administrator's credentials are changed with");
    }
    // A change that restarts the device goes last: the other one would find it gone.
    doc_["changes"] = restarts ? json{credentials, wireless} : json{wireless, credentials};
    // The marks said which change; now they can say where.
    auto place = [&](json& marks) {
        for (json& mark : marks) {
            std::string p = mark["pointer"];
            for (const char* kind : {"wireless", "credentials"}) {
                std::string prefix = std::string("/changes/") + kind;
                if (p.compare(0, prefix.size(), prefix) == 0) {
                    size_t index = (restarts == (std::string(kind) == "wireless")) ? 1 : 0;
                    mark["pointer"] = "/changes/" + std::to_string(index) + p.substr(prefix.size());
                }
            }
        }
    };
    place(guesses_);
    place(gaps_);
}

void Guesser::account() {
    json account = {{"defaultUser", kGap}, {"defaultPassword", kGap}};
    gap("/account/defaultUser", "the factory user name (empty when there is none)");
    gap("/account/defaultPassword", "the factory password");
    // Basic credentials name their user too; a browser's HAR may show no credentials form.
    bool basicUser = r_.login.kind == "basic" && !r_.login.user.empty();
    bool usesUser = r_.login.kind == "form" || basicUser;
    std::string why = basicUser ? "the login's Basic credentials name a user"
                                : "the login form has a user name field";
    const Field* newPassword = nullptr;
    const Field* user = nullptr;
    if (credentials_) {
        for (const Field& f : credentials_->fields) {
            std::string words = lower(f.name + " " + f.label);
            if (f.type == "text" &&
                (has(words, "user") || has(words, "name") || has(words, "login")))
                user = &f;
            if (f.type == "password" && !has(words, "cur") && !has(words, "old") && !newPassword)
                newPassword = &f;
        }
        // The credentials form knows better than Basic: some devices ignore the user name sent.
        usesUser = user != nullptr;
        why = user ? "the credentials form has a user name field"
                   : "the credentials form has no user name field";
    }
    account["usesUsername"] = usesUser;
    guess("/account/usesUsername", why);
    // Which characters a device takes is rarely on its pages: the library's own sets apply
    // unless the author names the device's.
    if (usesUser)
        gap("/account/user/chars",
            "the characters a user name may have (\"restrictive\" or the set itself)", true);
    gap("/account/password/chars",
        "the characters a password may have (\"restrictive\" or the set itself)", true);
    if (user && user->maxLength > 0) {
        account["user"] = {{"max", user->maxLength}};
        guess("/account/user/max", "the maxlength of the field " + user->name);
    }
    if (newPassword && newPassword->maxLength > 0) {
        account["password"] = {{"max", newPassword->maxLength}};
        guess("/account/password/max", "the maxlength of the field " + newPassword->name);
    } else {
        account["password"] = {{"max", 0}};
        gap("/account/password/max", "the longest password the device takes");
    }
    if (ssid_ && ssid_->maxLength > 0 && ssid_->maxLength <= 32) {
        account["ssid"] = {{"max", ssid_->maxLength}};
        guess("/account/ssid/max", "the maxlength of the field " + ssid_->name);
    }
    doc_["account"] = account;
}

nlohmann::ordered_json Guesser::run() {
    collectPages();
    if (pages_.empty())
        throw std::invalid_argument("it holds no page (no GET answered with 200)");
    doc_["$schema"] = "krzpap-description.schema.json";
    vendorAndModel();
    gap("/factory", "the factory address and network name, for finding a reset device", true);
    recognition();
    login();
    settings();
    changes();
    account();
    // The draft first, where its author sees it, then the description in its usual order.
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    json draft = {{"from", source_},
                  {"about",
                   "Check each guess, fill each gap, then remove \"draft\": the "
                   "description module does not load a file that still has it. "
                   "Gaps hold \"GAP\" until filled; an optional gap may be left out."},
                  {"guesses", guesses_},
                  {"gaps", gaps_}};
    // A page's bytes that are not UTF-8 (a field named in Latin-1) stand as U+FFFD in the draft,
    // which is JSON text.
    auto copy = [](const json& j) {
        return nlohmann::ordered_json::parse(
            j.dump(-1, ' ', false, json::error_handler_t::replace));
    };
    out["draft"] = copy(draft);
    for (const char* key : {"$schema", "vendor", "models", "recognize", "login", "account",
                            "settings", "security", "encryption", "changes"})
        out[key] = copy(doc_[key]);
    return out;
}

}  // namespace

namespace {

bool wordByte(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

}  // namespace

std::string modelWord(const std::string& title) {
    auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const size_t n = title.size();
    for (size_t start = 0; start < n; ++start) {
        if (!letter(title[start]) || (start > 0 && wordByte(title[start - 1])))
            continue;
        size_t i = start;
        while (i < n && letter(title[i]))
            ++i;
        if (i - start > 6)
            continue;
        if (i < n && title[i] == '-')
            ++i;
        size_t digits = i;
        while (i < n && digit(title[i]))
            ++i;
        if (i - digits < 2)
            continue;
        while (i < n && (wordByte(title[i]) || title[i] == '-') && title[i] != '_')
            ++i;
        while (title[i - 1] == '-')
            --i;
        if (i < n && wordByte(title[i]))
            continue;  // a '_' joins it to more of the word
        return title.substr(start, i - start);
    }
    return "";
}

std::string modelAfter(const std::string& prefix, const std::string& text) {
    auto inGroup = [](char c) {
        return std::string(" \t\r\n\f\v\"<&;,").find(c) == std::string::npos;
    };
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        size_t from = at + prefix.size(), end = from;
        while (end < text.size() && inGroup(text[end]))
            ++end;
        if (end > from)
            return text.substr(from, end - from);
    }
    return "";
}

std::string patternEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

nlohmann::ordered_json draftDescription(const Recording& recording, const std::string& source) {
    if (!recording.complete)
        throw std::invalid_argument("it is incomplete (" + recording.stopReason +
                                    "): record the device again until it completes");
    nlohmann::ordered_json draft = Guesser(recording, source).run();
    if (recording.source == "har")
        learnFromBrowser(recording, draft);
    return draft;
}

}  // namespace krzpap
