// Format 2 in the generic configurator: requests built from steps as a browser sends them, the
// session's values carried from one reply to the next, changes as sequences of steps.
#include "KRZPDescribedConfigurator.h"

#include "core/KRZPAPModule.h"
#include "html/KRZPHtmlParser.h"
#include "http/KRZPAPComm.h"
#include "krzutil/KRZTextCoding.h"

#include <algorithm>
#include <tuple>

using krzdesc::Body;
using krzdesc::Change;
using krzdesc::Location;
using krzdesc::Reply;
using krzdesc::Step;

namespace {

// The start of what a refusing device says, for the log: one line of printable text.
std::string saying(const std::string& body) {
    std::string line;
    for (char c : body.substr(0, 160))
        line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    return line.find_first_not_of(' ') == std::string::npos ? "" : ": " + line;
}

const char* const kUnit = "KRZPDescribedConfigurator";
const char* const kBoundary = "----krzpapFormBoundary7MA4YWxkTrZu0gW";

std::string multipartBody(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string body;
    for (const auto& field : fields)
        body += std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" +
                field.first + "\"\r\n\r\n" + field.second + "\r\n";
    return body + "--" + kBoundary + "--\r\n";
}

std::string urlencodedBody(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string body;
    for (const auto& field : fields)
        body += (body.empty() ? "" : "&") + krzPercentEncode(field.first) + "=" +
                krzPercentEncode(field.second);
    return body;
}

void setField(std::vector<std::pair<std::string, std::string>>& fields, const std::string& name,
              const std::string& value) {
    for (auto& field : fields)
        if (field.first == name) {
            field.second = value;
            return;
        }
    fields.emplace_back(name, value);
}

}  // namespace

void KRZPDescribedConfigurator::beginValues() {
    values = krzdesc::Values(&description->values);
    std::pair<std::string, std::string> credentials = getCredentials();
    values.set("currentUser", credentials.first);
    values.set("currentPassword", credentials.second);
    values.set("loginUser",
               description->fixedUser.empty() ? credentials.first : description->fixedUser);
    in_addr address = getAddr();
    std::string host = inet_ntoa(address);
    const int defaultPort = description->https ? 443 : 80;
    values.set("host", description->port == defaultPort
                           ? host
                           : host + ":" + std::to_string(description->port));
    values.set("scheme", description->https ? "https" : "http");
    cookies.clear();
    lastPage = "/";
    sessionHeaders = false;
    if (description->session.basic)
        getComm()->setAuthInfo(values.get("loginUser"), credentials.second);
}

void KRZPDescribedConfigurator::refuseBusyLogin(const std::string& body) const {
    refuseLockedLogin(body);
    const std::string& busy = description->session.busyText;
    if (!busy.empty() && body.find(busy) != std::string::npos) {
        KRZPAPModule::log(KRZ_LOG_ERROR,
                          L"%hs: another administrator is logged in: the device said \"%hs\"; "
                          L"try again when they have logged out\n",
                          description->file.c_str(), busy.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
}

bool KRZPDescribedConfigurator::login2() {
    const krzdesc::Session& session = description->session;
    if (session.steps.empty()) {
        // Basic alone: "/" answers 401 to credentials it refuses.
        Step probe;
        probe.method = "GET";
        probe.path = "/";
        Reply reply = sendStep(probe, nullptr);
        if (reply.status == 401)
            refuseBusyLogin(reply.body);
        return reply.status != 401;
    }
    for (const Step& step : session.steps) {
        Reply reply = sendStep(step, nullptr);
        refuseBusyLogin(reply.body);
        std::string why;
        if (!accept(step, reply, why)) {
            log(L"%hs: login refused: %hs\n", step.pointer.c_str(), why.c_str());
            return false;
        }
    }
    sessionHeaders = true;
    loggedIn = true;
    return true;
}

void KRZPDescribedConfigurator::logout2() {
    if (!loggedIn || description->session.logout.empty() || getCancel())
        return;
    loggedIn = false;
    try {
        for (const Step& step : description->session.logout)
            sendStep(step, nullptr);
        log(L"logged out\n");
    } catch (...) {
        // The session times out on the device by itself; the operation's outcome stands.
        log(L"the logout failed\n");
    }
    sessionHeaders = false;
}

bool KRZPDescribedConfigurator::accept(const Step& step, const Reply& reply, std::string& why) {
    if (step.expect.given() ? !step.expect.heldBy(reply, why) : reply.status >= 400) {
        if (!step.expect.given())
            why = "status " + std::to_string(reply.status) + saying(reply.body);
        return false;
    }
    for (const krzdesc::Capture& capture : step.captures)
        if (!capture.takeInto(reply, values, why))
            return false;
    return true;
}

Reply KRZPDescribedConfigurator::perform(const Step& step, bool logging, const Change* change) {
    Reply reply = sendStep(step, change);
    const krzdesc::Answer& expired = description->session.expired;
    std::string ignored;
    if (!logging && expired.given() && expired.heldBy(reply, ignored)) {
        log(L"%hs: the session ended; logging in again\n", step.pointer.c_str());
        loggedIn = false;
        sessionHeaders = false;
        if (!login2()) {
            KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
        }
        reply = sendStep(step, change);
    }
    if (description->session.basic && reply.status == 401) {
        refuseBusyLogin(reply.body);
        log(L"%hs: the device refused the credentials\n", step.pointer.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
    std::string why;
    if (!(step.restarts && reply.status == 0) && !accept(step, reply, why)) {
        log(L"%hs: %hs: %hs\n", description->file.c_str(), step.pointer.c_str(), why.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
    return reply;
}

std::string KRZPDescribedConfigurator::requestBody(const Step& step, const Change* change,
                                                   std::string& contentType) {
    std::vector<std::pair<std::string, std::string>> fields;
    bool multipart = step.body == Body::Multipart;
    if (step.body == Body::Form) {
        Location where;
        where.page = step.formPage;
        where.formIndex = step.formIndex;
        where.formName = step.formName;
        fields = form(where);
        multipart = step.multipart;
        const krzdesc::Description& d = *description;
        if (change && change->change == "wireless") {
            // The settings whose field is on this form take the values the change writes; the
            // encryption and the key go to the written mode's own fields where it has them.
            _KRZPSecurityMode mode =
                securityOf(Wireless{values.get("ssid"), values.get("security"),
                                    values.get("encryption"), values.get("key")});
            const std::tuple<const Location*, const char*, std::string> settings[] = {
                {&d.ssidAt, "ssid", d.ssidAt.field},
                {&d.securityAt, "security", d.securityAt.field},
                {&d.encryptionAt, "encryption", encryptionField(mode)},
                {d.keyAt.get(), "key", d.keyAt ? keyField(mode) : std::string()}};
            for (const auto& setting : settings)
                if (std::get<0>(setting) && !std::get<0>(setting)->field.empty() &&
                    krzdesc::sameForm(*std::get<0>(setting), where))
                    setField(fields, std::get<2>(setting), values.get(std::get<1>(setting)));
        }
        for (const auto& field : step.fields)
            setField(fields, field.first, values.expand(field.second));
        Change checked;
        checked.form.reset(new Location);
        checked.form->page = where.page;
        for (const auto& field : step.fields)
            checked.fields.emplace_back(field.first, field.second);
        KRZPFormParams params;
        for (const auto& field : fields)
            params.addParam(field.first, field.second);
        refuseScriptFilled(checked, params);
    } else {
        for (const auto& field : step.fields)
            fields.emplace_back(field.first, values.expand(field.second));
    }
    if (change && change->change == "wireless" && !step.bySecurity.empty()) {
        _KRZPSecurityMode mode = securityOf(Wireless{values.get("ssid"), values.get("security"),
                                                     values.get("encryption"), values.get("key")});
        for (const auto& named : step.bySecurity) {
            if (krzdesc::securityModeNames().at(named.first) != mode)
                continue;
            for (const auto& field : named.second) {
                if (field.second) {
                    setField(fields, field.first, values.expand(*field.second));
                    continue;
                }
                fields.erase(std::remove_if(fields.begin(), fields.end(),
                                            [&](const std::pair<std::string, std::string>& f) {
                                                return f.first == field.first;
                                            }),
                             fields.end());
            }
        }
    }
    switch (step.body) {
        case Body::None:
            return std::string();
        case Body::Json:
            contentType = "application/json";
            return values.expand(step.json).dump();
        case Body::Text:
            contentType = step.contentType;
            return values.expand(step.text);
        default:
            break;
    }
    if (multipart) {
        contentType = std::string("multipart/form-data; boundary=") + kBoundary;
        return multipartBody(fields);
    }
    contentType = "application/x-www-form-urlencoded";
    return urlencodedBody(fields);
}

Reply KRZPDescribedConfigurator::sendStep(const Step& step, const Change* change) {
    if (getCancel()) {
        KRZPAPC_THROW(kUnit, "Operation cancelled", KRZPAPC_CANCELLED);
    }
    std::string path, body, contentType;
    try {
        path = values.expand(step.path, true);
        body = requestBody(step, change, contentType);
    } catch (const krzdesc::MissingValue& e) {
        // Nothing is sent with a value the description could not give.
        log(L"%hs: %hs: %hs; nothing was sent\n", description->file.c_str(), step.pointer.c_str(),
            e.what());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
    std::string host = values.get("host");
    std::string request = step.method + " " + path +
                          " HTTP/1.1\r\nConnection: Close\r\nHost: " + host +
                          "\r\nReferer: http://" + host +
                          (step.referer.empty() ? lastPage : values.expand(step.referer)) + "\r\n";
    if (step.body != Body::None)
        request += "Origin: http://" + host + "\r\n";
    if (!cookies.empty()) {
        std::string line;
        for (const auto& cookie : cookies)
            line += (line.empty() ? "" : "; ") + cookie.first + "=" + cookie.second;
        request += "Cookie: " + line + "\r\n";
    }
    if (description->session.basic)
        request += "Authorization: Basic " +
                   krzBase64Encode(values.get("loginUser") + ":" + values.get("currentPassword")) +
                   "\r\n";
    try {
        if (sessionHeaders)
            for (const auto& header : description->session.headers)
                request += header.first + ": " + values.expand(header.second) + "\r\n";
        for (const auto& header : step.headers)
            request += header.first + ": " + values.expand(header.second) + "\r\n";
    } catch (const krzdesc::MissingValue& e) {
        log(L"%hs: %hs: %hs; nothing was sent\n", description->file.c_str(), step.pointer.c_str(),
            e.what());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
    if (step.body != Body::None)
        request += "Content-Type: " + contentType +
                   "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;

    boost::shared_ptr<KRZPAPComm> comm = getComm();
    Reply reply;
    try {
        _openConnection(1);
        comm->writeData(request, true);
        comm->readResponseSynchronous();
    } catch (const KRZPAPCException& e) {
        // A device that restarts at once cuts its reply short.
        int code = e.getAPCErrorCode();
        if (!step.restarts || (code != KRZPAPC_IO_ERROR && code != KRZPAPC_TIMEOUT))
            throw;
        log(L"the connection dropped as the device restarts\n");
        return reply;
    }
    reply.status = status();
    reply.headers = comm->getResponseHeaders();
    reply.body = comm->getResponseBody();
    for (const auto& cookie : krzdesc::setCookies(reply.headers))
        setField(cookies, cookie.first, cookie.second);
    for (const krzdesc::Capture& capture : step.captures)
        if (capture.kind == krzdesc::CaptureKind::BodyCookie) {
            std::string value;
            if (krzdesc::bodyCookie(reply.body, capture.what, value))
                setField(cookies, capture.what, value);
        }
    if (step.method == "GET")
        lastPage = path;
    return reply;
}

const std::string& KRZPDescribedConfigurator::pageOf(const Location& where) {
    if (!format2() || !where.request)
        return page(where.page);
    auto cached = pages.find(where.page);
    if (cached != pages.end())
        return cached->second;
    return pages[where.page] = perform(*where.request).body;
}

_KRZPSecurityMode KRZPDescribedConfigurator::securityOf(const Wireless& w) const {
    const krzdesc::Description& d = *description;
    for (const krzdesc::SecurityValue& implied : d.impliedSecurity)
        if (implied.value == w.security)
            return implied.mode;
    bool shared = d.sharedSecurity.count(w.security) != 0;
    for (const auto& read : d.securityReads)
        if (read.first == w.security && (!shared || krzdesc::takes(read.second, encryptionRead(w))))
            return read.second;
    for (const auto& entry : d.securityValues)
        if (entry.second == w.security && !format2())
            return entry.first;
    return KRZP_SECURITY_UNSET;
}

_KRZPEncryptionMode KRZPDescribedConfigurator::encryptionRead(const Wireless& w) const {
    for (const auto& read : description->encryptionReads)
        if (read.first == w.encryption)
            return read.second;
    return KRZP_ENCRYPTION_UNSET;
}

_KRZPEncryptionMode KRZPDescribedConfigurator::encryptionOf(const Wireless& w) const {
    const krzdesc::Description& d = *description;
    for (const krzdesc::SecurityValue& implied : d.impliedSecurity)
        if (implied.value == w.security)
            return implied.encryption;
    // An open network encrypts nothing, whatever cipher its page keeps for later.
    if (format2() && securityOf(w) == KRZP_SECURITY_NONE)
        return KRZP_ENCRYPTION_NONE;
    _KRZPEncryptionMode read = encryptionRead(w);
    if (read != KRZP_ENCRYPTION_UNSET)
        return read;
    for (const auto& entry : d.encryptionValues)
        if (entry.second == w.encryption && !format2())
            return entry.first;
    return KRZP_ENCRYPTION_UNSET;
}

bool KRZPDescribedConfigurator::deviceModes(_KRZPSecurityMode mode, _KRZPEncryptionMode encryption,
                                            std::string& security, std::string& cipher) const {
    const krzdesc::Description& d = *description;
    if (!d.impliedSecurity.empty()) {
        for (const krzdesc::SecurityValue& implied : d.impliedSecurity)
            if (implied.mode == mode &&
                (implied.encryption == encryption || mode == KRZP_SECURITY_NONE)) {
                security = implied.value;
                cipher.clear();
                return true;
            }
        return false;
    }
    auto value = d.securityValues.find(mode);
    auto named = d.encryptionValues.find(encryption);
    if (value == d.securityValues.end())
        return false;
    security = value->second;
    // An open network whose table names no "none" cipher keeps the cipher the device holds, as
    // the device's own page posts it.
    if (mode == KRZP_SECURITY_NONE && named == d.encryptionValues.end())
        return true;
    if (named == d.encryptionValues.end())
        return false;
    cipher = named->second;
    return true;
}

void KRZPDescribedConfigurator::write2(const Change& change) {
    forget();
    Wireless written;
    if (change.change == "wireless") {
        Wireless now = readWireless();
        if (!getSecurityModeChanged())
            keepsSecurity(now);
        written = now;
        if (getSecurityModeChanged()) {
            if (!deviceModes(getNewSecurityMode(), getNewEncryptionMode(), written.security,
                             written.encryption)) {
                log(L"security mode %d with encryption %d is not supported by this device\n",
                    static_cast<int>(getNewSecurityMode()),
                    static_cast<int>(getNewEncryptionMode()));
                KRZPAPC_THROW(kUnit, "", KRZPAPC_INTERNAL_ERROR);
            }
            written.key = getNewKey() ? getNewKey()->getKey() : std::string();
        }
        if (getSsidChanged())
            written.ssid = getNewSsid();
        values.set("ssid", written.ssid);
        values.set("security", written.security);
        values.set("encryption", written.encryption);
        values.set("key", written.key);
    } else {
        values.set("user", templateValue("{user}"));
        values.set("password", getNewPassword());
    }
    for (const Step& step : change.steps)
        perform(step, false, &change);
    if (change.change == "credentials") {
        // The steps after this one (and a login after a restart) use the new credentials.
        std::string user = values.get("user");
        setCredentialsReally(user, getNewPassword());
        getComm()->setAuthInfo(user, getNewPassword());
        values.set("currentUser", user);
        values.set("currentPassword", getNewPassword());
        if (description->fixedUser.empty())
            values.set("loginUser", user);
    }
    forget();
    if (change.restartPolls > 0)
        waitUntilBack(change.restartPolls, change.restartPauseMs, change.restartMinimumMs);
    for (const Step& step : change.confirm)
        perform(step, false, &change);
    if (!change.readBack)
        return;
    forget();
    if (change.change == "credentials") {
        logout2();
        cookies.clear();
        if (!login2()) {
            log(L"%hs: the new credentials do not log in\n", change.pointer.c_str());
            KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
        }
        return;
    }
    Wireless now = readWireless();
    bool open = securityOf(written) == KRZP_SECURITY_NONE;
    if (now.ssid != written.ssid || securityOf(now) != securityOf(written) ||
        encryptionOf(now) != encryptionOf(written) || (!open && now.key != written.key)) {
        log(L"%hs: the device did not take the new settings (it holds \"%hs\", %hs)\n",
            change.pointer.c_str(), now.ssid.c_str(), now.security.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
    log(L"the new wireless settings read back\n");
    forget();
}
