#include "KRZPDescribedConfigurator.h"

#include "core/KRZPAPModule.h"
#include "html/KRZPHtmlParser.h"
#include "http/KRZPAPComm.h"
#include "krznetlib/KRZNetworkBackend.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

using krzdesc::Change;
using krzdesc::Location;

namespace {

const char* const kUnit = "KRZPDescribedConfigurator";

// The library's own default set for user names and passwords: printable ASCII from '!' without
// ':' (the separator of Basic credentials).
std::string defaultCredentialChars() {
    std::string chars;
    for (char c = '!'; c <= '~'; ++c)
        if (c != ':')
            chars.push_back(c);
    return chars;
}

bool sameId(const AttributeMap& attributes, const std::string& name) {
    return KRZPHtmlParser::getAttrib(attributes, "name") == name ||
           KRZPHtmlParser::getAttrib(attributes, "id") == name;
}

}  // namespace

KRZPDescribedConfigurator::KRZPDescribedConfigurator(
    std::shared_ptr<const krzdesc::Description> family, const std::string& modelName,
    const in_addr& address, const KRZMacAddress& mac)
    : KRZPHttpConfigurator(address, mac), description(std::move(family)), model(modelName) {}

KRZPDescribedConfigurator::KRZPDescribedConfigurator(
    std::shared_ptr<const krzdesc::Description> family, const std::string& modelName,
    std::vector<KRZMacAddress> macs, const std::string& userName, const std::string& pass)
    : KRZPHttpConfigurator(std::move(macs), userName, pass),
      description(std::move(family)),
      model(modelName) {}

std::string KRZPDescribedConfigurator::getVendorName() const {
    return description->vendor;
}

std::string KRZPDescribedConfigurator::getModelName() const {
    return model;
}

std::pair<std::string, std::string> KRZPDescribedConfigurator::getDefaultCredentials() const {
    return {description->defaultUser, description->defaultPassword};
}

bool KRZPDescribedConfigurator::usesUsername() const {
    return description->usesUsername;
}

int KRZPDescribedConfigurator::getMinUsernameLen() const {
    return description->user.min >= 0 ? description->user.min
                                      : KRZPHttpConfigurator::getMinUsernameLen();
}

int KRZPDescribedConfigurator::getMaxUsernameLen() const {
    return description->user.max >= 0 ? description->user.max
                                      : KRZPHttpConfigurator::getMaxUsernameLen();
}

int KRZPDescribedConfigurator::getMinPasswordLen() const {
    return description->password.min >= 0 ? description->password.min
                                          : KRZPHttpConfigurator::getMinPasswordLen();
}

int KRZPDescribedConfigurator::getMaxPasswordLen() const {
    return description->password.max;
}

std::string KRZPDescribedConfigurator::getValidUsernameChars() const {
    const krzdesc::TextRule& rule = description->user;
    if (rule.restrictive)
        return getValidUsernameCharsRestrictive();
    return rule.chars.empty() ? defaultCredentialChars() : rule.chars;
}

std::string KRZPDescribedConfigurator::getValidPasswordChars() const {
    const krzdesc::TextRule& rule = description->password;
    if (rule.restrictive)
        return getValidPasswordCharsRestrictive();
    return rule.chars.empty() ? defaultCredentialChars() : rule.chars;
}

_KRZPStringValidatorCode KRZPDescribedConfigurator::validateSsid(const std::string& text) const {
    _KRZPStringValidatorCode verdict = KRZPHttpConfigurator::validateSsid(text);
    const krzdesc::TextRule& rule = description->ssid;
    if (verdict != KRZP_SV_OK)
        return verdict;
    std::string chars = rule.restrictive ? getValidSsidCharsRestrictive() : rule.chars;
    if (!chars.empty() && text.find_first_not_of(chars) != std::string::npos)
        return KRZP_SV_BAD_CHARS;
    if (rule.max >= 0 && static_cast<long long>(text.size()) > rule.max)
        return KRZP_SV_TOO_LONG;
    if (rule.min >= 0 && static_cast<long long>(text.size()) < rule.min)
        return KRZP_SV_TOO_SHORT;
    return KRZP_SV_OK;
}

void KRZPDescribedConfigurator::_openConnection(int connectAttempts) {
    boost::shared_ptr<KRZPAPComm> comm = getComm();
    if (!comm) {
        KRZPAPC_THROW(kUnit, "", KRZPAPC_NOT_CONNECTED);
    }
    for (int attempt = 1;; ++attempt) {
        try {
            comm->openConnection(80, false);
            return;
        } catch (const KRZPAPCException& e) {
            if (e.getAPCErrorCode() != KRZPAPC_CONNECT_ERROR || attempt >= connectAttempts)
                throw;
        }
        sleep(500);
    }
}

int KRZPDescribedConfigurator::status() const {
    return getComm()->getResponseStatus();
}

std::string KRZPDescribedConfigurator::fetch(const std::string& url) {
    if (format2()) {
        krzdesc::Step get;
        get.method = "GET";
        std::string path;
        for (char c : url)
            path += c == '{' ? std::string("{{") : std::string(1, c);
        get.path = path;
        get.pointer = url;
        return perform(get).body;
    }
    // A new request clears the connection's own cancel flag: honour one that came in between.
    if (getCancel()) {
        KRZPAPC_THROW(kUnit, "Operation cancelled", KRZPAPC_CANCELLED);
    }
    sendGetRequest(url, KRZPFormParams(), std::string(), false);
    if (status() == 401) {
        refuseLockedLogin(getComm()->getResponseBody());
        log(L"%hs: the device refused the credentials\n", url.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
    return getComm()->getResponseBody();
}

const std::string& KRZPDescribedConfigurator::page(const std::string& url) {
    auto cached = pages.find(url);
    if (cached != pages.end())
        return cached->second;
    std::string body = fetch(url);
    if (format2())
        return pages[url] = body;
    int expired = description->login.expiredStatus;
    if (expired != 0 && status() == expired) {
        requireLogin();
        body = fetch(url);
        if (status() == expired) {
            log(L"%hs: the session is not accepted\n", url.c_str());
            KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
        }
    }
    return pages[url] = body;
}

namespace {

// Logs out when the operation ends, however it ends.
template <typename Conf>
struct LogoutAtEnd {
    Conf& conf;
    ~LogoutAtEnd() { conf(); }
};

}  // namespace

void KRZPDescribedConfigurator::usePort() {
    // The modules speak to port 80; the network library sends this device's connections to
    // its own port (over TLS for an https family), unless the host already sent them elsewhere
    // (an https:// address, or a scan that followed the device's redirect).
    in_addr address = getAddr();
    if (KRZNetworkBackend::portFor(address, 80) != 80)
        return;
    const auto port = static_cast<uint16_t>(description->port);
    if (port != 80)
        KRZNetworkBackend::redirectPort(address, 80, port);
    if (description->https)
        KRZPAPComm::setTlsFor(address, port, true);
}

bool KRZPDescribedConfigurator::_testLogin() {
    setupConnection();
    usePort();
    if (format2()) {
        beginValues();
        bool in = login2();
        logout();
        return in;
    }
    if (description->login.kind == krzdesc::LoginKind::Form) {
        bool in = login();
        logout();
        return in;
    }
    // Basic: "/" answers 401 to credentials it refuses.
    sendGetRequest("/", KRZPFormParams(), std::string(), false);
    if (status() == 401)
        refuseLockedLogin(getComm()->getResponseBody());
    return status() != 401;
}

void KRZPDescribedConfigurator::refuseLockedLogin(const std::string& body) const {
    const krzdesc::Login& how = description->login;
    if (!how.lockoutText.empty() && body.find(how.lockoutText) != std::string::npos) {
        std::string when = how.lockoutMinutes > 0
                               ? "in " + std::to_string(how.lockoutMinutes) + " minutes"
                               : std::string("later, when the device lets you");
        KRZPAPModule::log(KRZ_LOG_ERROR,
                          L"%hs: login locked: the device said \"%hs\"; try again %hs\n",
                          description->file.c_str(), how.lockoutText.c_str(), when.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
    if (!how.captchaText.empty() && body.find(how.captchaText) != std::string::npos) {
        KRZPAPModule::log(
            KRZ_LOG_ERROR,
            L"%hs: login needs a captcha: the device said \"%hs\"; log in once in a browser, "
            L"then try again\n",
            description->file.c_str(), how.captchaText.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
}

void KRZPDescribedConfigurator::logout() {
    if (format2()) {
        logout2();
        return;
    }
    if (!loggedIn || description->login.logout.empty() || getCancel())
        return;
    loggedIn = false;
    try {
        sendGetRequest(description->login.logout, KRZPFormParams(), std::string(), true);
        log(L"%hs: logged out\n", description->login.logout.c_str());
    } catch (...) {
        // The session times out on the device by itself; the operation's outcome stands.
        log(L"%hs: the logout failed\n", description->login.logout.c_str());
    }
}

bool KRZPDescribedConfigurator::login() {
    const krzdesc::Login& how = description->login;
    std::pair<std::string, std::string> credentials = getCredentials();
    KRZPFormParams params;
    if (!how.formPage.empty()) {
        // The login form's own hidden fields (a token above all) go with the credentials.
        KRZPHtmlParser parser(fetch(how.formPage));
        std::vector<KRZPBrowserForm> forms = parser.browserForms();
        if (forms.empty())
            notOnPage(how.formPage, "no login form");
        for (const KRZPBrowserField& field : forms.front().fields)
            params.addParam(field.name, field.value);
    }
    params[how.userField] = credentials.first;
    params[how.passwordField] = credentials.second;
    sendRequest(how.action, params, "", 1);
    refuseLockedLogin(getComm()->getResponseBody());
    // The session cookie is the one of that name (exactly), or the first one when the family
    // names none; its value ends at the first ';'.
    std::string cookie;
    bool found = false;
    for (const std::string& value : getComm()->getResponseHeaderValues("Set-Cookie")) {
        if (how.cookie.empty() || value.compare(0, how.cookie.size() + 1, how.cookie + "=") == 0) {
            cookie = value.substr(0, value.find(';'));
            found = true;
            break;
        }
    }
    if (!found || status() == 401) {
        log(L"login refused\n");
        return false;
    }
    getComm()->setCookie("Cookie", cookie);
    loggedIn = true;
    return true;
}

void KRZPDescribedConfigurator::requireLogin() {
    if (format2()) {
        if (!login2()) {
            KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
        }
        return;
    }
    if (description->login.kind == krzdesc::LoginKind::Form && !login()) {
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
}

void KRZPDescribedConfigurator::notOnPage(const std::string& url, const std::string& what) const {
    log(L"%hs: %hs: %hs\n", description->file.c_str(), url.c_str(), what.c_str());
    KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
}

std::vector<std::pair<std::string, std::string>> KRZPDescribedConfigurator::form(
    const Location& where) {
    KRZPHtmlParser parser(page(where.page));
    std::vector<KRZPBrowserForm> forms = parser.browserForms();
    const KRZPBrowserForm* chosen = nullptr;
    if (!where.formName.empty()) {
        for (const KRZPBrowserForm& f : forms)
            if (sameId(f.attributes, where.formName))
                chosen = &f;
        if (!chosen)
            notOnPage(where.page, "no form \"" + where.formName + "\"");
    } else {
        if (where.formIndex >= static_cast<int>(forms.size()))
            notOnPage(where.page, "no form number " + std::to_string(where.formIndex));
        chosen = &forms[where.formIndex];
    }
    std::vector<std::pair<std::string, std::string>> fields;
    for (const KRZPBrowserField& field : chosen->fields)
        fields.emplace_back(field.name, field.value);
    return fields;
}

std::string KRZPDescribedConfigurator::read(const Location& where, const std::string& fieldName) {
    if (where.pattern) {
        std::string value;
        if (!where.pattern->find(std::string(), pageOf(where), value))
            notOnPage(where.page, "no text matches \"" + where.pattern->source + "\"");
        return value;
    }
    if (where.scripted() && (fieldName.empty() || !where.member.empty() || !where.json.empty())) {
        // A mode's own field of a script object is another member of it (WEP's key), of a JSON
        // reply another pointer into it.
        Location own;
        own.script = where.script;
        own.member = fieldName.empty() || where.member.empty() ? where.member : fieldName;
        own.element = where.element;
        own.json = fieldName.empty() || where.json.empty() ? where.json : fieldName;
        own.pointer = where.pointer;
        std::string value, why;
        if (!own.readScripted(pageOf(where), value, why))
            notOnPage(where.page, why);
        return value;
    }
    const std::string& name = fieldName.empty() ? where.field : fieldName;
    // A field the page's script fills in holds in the HTML what the device does not: reading it
    // there would write back an empty network name or no security.
    if (krzdesc::scriptSets(pageOf(where), name))
        notOnPage(where.page,
                  "the field \"" + name +
                      "\" is filled in by the page's script; the description must say "
                      "where the script takes it from (script, member, element or json)");
    for (const auto& field : form(where))
        if (field.first == name)
            return field.second;
    notOnPage(where.page, "no field \"" + name + "\"");
}

std::string KRZPDescribedConfigurator::keyField(_KRZPSecurityMode mode) const {
    auto own = description->keyFields.find(mode);
    return own != description->keyFields.end() ? own->second : description->keyAt->field;
}

std::string KRZPDescribedConfigurator::keyFieldAt(const Location& where, _KRZPSecurityMode mode) {
    std::string field = keyField(mode);
    for (size_t open = field.find('{'); open != std::string::npos; open = field.find('{', open)) {
        size_t close = field.find('}', open);
        if (close == std::string::npos)
            notOnPage(where.page, "the key field " + field + " has a '{' that does not close");
        std::string slot = read(where, field.substr(open + 1, close - open - 1));
        // The device's text becomes part of a pointer: a short name, nothing that walks elsewhere.
        bool plain =
            !slot.empty() && slot.size() <= 16 && std::all_of(slot.begin(), slot.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
            });
        if (!plain)
            notOnPage(where.page, "the key slot \"" + field.substr(open + 1, close - open - 1) +
                                      "\" holds no slot name");
        field.replace(open, close - open + 1, slot);
        open += slot.size();
    }
    return field;
}

std::string KRZPDescribedConfigurator::encryptionField(_KRZPSecurityMode mode) const {
    auto own = description->encryptionFields.find(mode);
    return own != description->encryptionFields.end() ? own->second
                                                      : description->encryptionAt.field;
}

KRZPDescribedConfigurator::Wireless KRZPDescribedConfigurator::readWireless() {
    const krzdesc::Description& d = *description;
    Wireless w;
    w.ssid = read(d.ssidAt);
    w.security = read(d.securityAt);
    if (!d.encryptionAt.page.empty()) {
        // A value several modes share: their own encryption field tells which one it is.
        auto shared = d.sharedSecurity.find(w.security);
        bool own = d.encryptionFields.count(securityOf(w)) != 0;
        w.encryption = read(d.encryptionAt, shared != d.sharedSecurity.end() ? shared->second
                                            : own ? encryptionField(securityOf(w))
                                                  : std::string());
    }
    if (d.keyAt) {
        _KRZPSecurityMode mode = securityOf(w);
        if (format2() && mode == KRZP_SECURITY_NONE && d.keyAt->scripted()) {
            // An open network may hold no key at all (its member is absent): it reads empty.
            std::string why;
            if (!d.keyAt->readScripted(pageOf(*d.keyAt), w.key, why))
                w.key.clear();
            return w;
        }
        bool own = d.keyFields.count(mode) != 0;
        w.key = read(*d.keyAt, own ? keyFieldAt(*d.keyAt, mode) : std::string());
    }
    return w;
}

void KRZPDescribedConfigurator::_retrieveAttributes() {
    setupConnection();
    usePort();
    forget();
    if (format2())
        beginValues();
    auto out = [this] { logout(); };
    LogoutAtEnd<decltype(out)> atEnd{out};
    requireLogin();
    const krzdesc::Description& d = *description;
    if (d.firmware)
        setFirmwareRevision(read(*d.firmware));
    Wireless w = readWireless();
    setSSID(w.ssid);
    setSecurityMode(securityOf(w));
    setEncryptionMode(encryptionOf(w));
    setKey(w.key.empty() ? boost::shared_ptr<KRZPKey>() : boost::make_shared<KRZPKey>(w.key));
}

bool KRZPDescribedConfigurator::_completeConfiguration() {
    setupConnection();
    usePort();
    forget();
    if (format2())
        beginValues();
    auto out = [this] { logout(); };
    LogoutAtEnd<decltype(out)> atEnd{out};
    requireLogin();
    // The wireless writes may be several (one per form); the flags hold until all are done.
    bool wirelessDone = false;
    for (const Change& change : description->changes) {
        if (!pending(change))
            continue;
        write(change);
        if (change.change == "credentials")
            setCredentialsChanged(false);
        else
            wirelessDone = true;
    }
    if (wirelessDone) {
        setSsidChanged(false);
        setSecurityModeChanged(false);
    }
    return true;
}

bool KRZPDescribedConfigurator::pending(const Change& change) const {
    const krzdesc::Description& d = *description;
    if (change.change == "credentials")
        return getCredentialsChanged();
    if (format2())
        return getSsidChanged() || getSecurityModeChanged();
    size_t writes = d.wirelessWrites();
    bool security = change.writes(d.securityAt, writes) || change.writes(d.encryptionAt, writes) ||
                    (d.keyAt && change.writes(*d.keyAt, writes));
    return (getSsidChanged() && change.writes(d.ssidAt, writes)) ||
           (getSecurityModeChanged() && security);
}

void KRZPDescribedConfigurator::keepsSecurity(const Wireless& now) const {
    // Writing back what the device holds must not lower its security: a value the description
    // cannot name, or a secured network without a key, would be written as something else.
    const krzdesc::Description& d = *description;
    _KRZPSecurityMode mode = securityOf(now);
    if (mode == KRZP_SECURITY_UNSET || encryptionOf(now) == KRZP_ENCRYPTION_UNSET) {
        log(L"%hs: the device's security \"%hs\" with encryption \"%hs\" is not one the "
            L"description names; nothing was sent, so as not to change it\n",
            description->file.c_str(), now.security.c_str(), now.encryption.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
    if (mode != KRZP_SECURITY_NONE && d.keyAt && now.key.empty()) {
        log(L"%hs: the key field \"%hs\" read empty on a secured network; nothing was sent\n",
            description->file.c_str(), d.keyAt->field.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
}

void KRZPDescribedConfigurator::refuseScriptFilled(const Change& change,
                                                   const KRZPFormParams& params) {
    // A field the write leaves as the HTML has it, which the page's script fills in, would be
    // posted empty: the device's value is unknown, so nothing is sent.
    const krzdesc::Description& d = *description;
    std::vector<std::string> written;
    for (const Location* at : std::initializer_list<const Location*>{
             &d.ssidAt, &d.securityAt, &d.encryptionAt, d.keyAt.get()})
        if (at)
            written.push_back(at->field);
    for (const auto& field : d.keyFields)
        written.push_back(field.second);
    for (const auto& field : d.encryptionFields)
        written.push_back(field.second);
    for (const auto& field : change.fields)
        written.push_back(field.first);
    const std::string& text = page(change.form->page);
    for (const auto& param : params) {
        if (std::find(written.begin(), written.end(), param.first) != written.end())
            continue;
        if (krzdesc::scriptSets(text, param.first)) {
            log(L"%hs: the field \"%hs\" is filled in by the page's script and the description "
                L"does not say where to read it; nothing was sent\n",
                change.form->page.c_str(), param.first.c_str());
            KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
        }
    }
}

std::string KRZPDescribedConfigurator::templateValue(const std::string& text,
                                                     const Wireless& written) const {
    const std::pair<const char*, std::string> known[] = {
        {"{user}", usesUsername() ? getNewUsername() : getCredentials().first},
        {"{password}", getNewPassword()},
        {"{currentUser}", getCredentials().first},
        {"{currentPassword}", getCredentials().second},
        {"{ssid}", written.ssid},
        {"{security}", written.security},
        {"{encryption}", written.encryption},
        {"{key}", written.key}};
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t open = text.find('{', at);
        out += text.substr(at, open - at);
        if (open == std::string::npos)
            break;
        size_t close = text.find('}', open);
        std::string name = text.substr(open, close == std::string::npos ? close : close - open + 1);
        auto found = std::find_if(std::begin(known), std::end(known),
                                  [&](const auto& v) { return name == v.first; });
        out += found != std::end(known) ? found->second : name;
        at = open + name.size();
    }
    return out;
}

void KRZPDescribedConfigurator::write(const Change& change) {
    if (format2()) {
        write2(change);
        return;
    }
    const krzdesc::Description& d = *description;
    // Every write starts from fresh pages: a form's token is good for one submission.
    forget();
    KRZPFormParams params;
    if (change.form) {
        for (const auto& field : form(*change.form))
            params.addParam(field.first, field.second);
    }
    std::string writtenSsid;
    Wireless written;
    if (change.change == "wireless") {
        Wireless now = readWireless();
        if (!getSecurityModeChanged())
            keepsSecurity(now);
        std::string security = now.security, encryption = now.encryption, keyText = now.key;
        std::string keyName = d.keyAt ? d.keyAt->field : std::string();
        if (getSecurityModeChanged()) {
            auto value = d.securityValues.find(getNewSecurityMode());
            auto cipher = d.encryptionValues.find(getNewEncryptionMode());
            if (value == d.securityValues.end() || cipher == d.encryptionValues.end()) {
                log(L"security mode %d with encryption %d is not supported by this device\n",
                    static_cast<int>(getNewSecurityMode()),
                    static_cast<int>(getNewEncryptionMode()));
                KRZPAPC_THROW(kUnit, "", KRZPAPC_INTERNAL_ERROR);
            }
            security = value->second;
            encryption = cipher->second;
            keyText = getNewKey() ? getNewKey()->getKey() : std::string();
            if (d.keyAt)
                keyName = keyField(getNewSecurityMode());
        }
        writtenSsid = getSsidChanged() ? getNewSsid() : now.ssid;
        written = {writtenSsid, security, encryption, keyText};
        // Spread over several forms, each write sets the settings on its own form.
        size_t writes = d.wirelessWrites();
        if (change.writes(d.ssidAt, writes))
            params[d.ssidAt.field] = writtenSsid;
        if (change.writes(d.securityAt, writes))
            params[d.securityAt.field] = security;
        if (change.writes(d.encryptionAt, writes))
            params[d.encryptionAt.field] = encryption;
        if (d.keyAt && change.writes(*d.keyAt, writes))
            params[keyName] = keyText;
    }
    for (const auto& field : change.fields)
        params[field.first] = templateValue(field.second, written);
    if (change.form)
        refuseScriptFilled(change, params);

    bool restarts = change.restartPolls > 0;
    try {
        if (getCancel()) {
            KRZPAPC_THROW(kUnit, "Operation cancelled", KRZPAPC_CANCELLED);
        }
        switch (change.method) {
            case krzdesc::Method::Get:
                sendGetRequest(change.action, params, change.answerText, restarts);
                break;
            case krzdesc::Method::Multipart: {
                std::map<std::string, std::string> parts;
                for (const auto& p : params)
                    parts.insert(p);
                sendMultipartRequest(change.action, parts, change.answerText, restarts);
                break;
            }
            case krzdesc::Method::Post:
                if (restarts)
                    sendRequestBlind(change.action, params, change.answerText, 1);
                else
                    sendRequest(change.action, params, change.answerText, 1);
                break;
        }
    } catch (const KRZPAPCException& e) {
        // A device that restarts at once cuts its reply short.
        if (!restarts || e.getAPCErrorCode() != KRZPAPC_IO_ERROR)
            throw;
        log(L"the connection dropped as the device restarts\n");
    }
    if (change.change == "credentials") {
        // The writes after this one (and a login after a restart) use the new credentials.
        std::string user = templateValue("{user}");
        setCredentialsReally(user, getNewPassword());
        getComm()->setAuthInfo(user, getNewPassword());
    }
    forget();
    if (restarts) {
        waitUntilBack(change.restartPolls, change.restartPauseMs, change.restartMinimumMs);
        // The restart ended any session; the reply never came, so the settings are the answer.
        requireLogin();
        if (change.writes(d.ssidAt, d.wirelessWrites()) && read(d.ssidAt) != writtenSsid) {
            log(L"%hs: the device came back without the new settings\n", change.action.c_str());
            KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
        }
        forget();
    }
}
