// record: visits a device's admin pages as a configurator would and writes what it saw as one
// recording, which the lab plays back as a device.
#include "app/Recorder.h"
#include "app/PageReading.h"
#include "core/KRZPAPModule.h"
#include "discovery/KRZPHttpScanner.h"

#include "html/KRZPHtmlParser.h"
#include "html/KRZPScriptValues.h"
#include "http/KRZPAPComm.h"
#include "http/KRZPFormParams.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "recording/Recording.h"
#include "platform/krzprocess.h"
#include "platform/krzplatform.h"
#include "webconf/KRZPHttpConfigurator.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

namespace krzpap {

namespace {

using krzlab::Exchange;
using krzlab::HeaderList;
using krzlab::headerOf;
using krzlab::Recording;
using Clock = std::chrono::steady_clock;

using krzlab::lower;
using krzlab::replaceAll;

// The reply's status line and headers as the connection took them apart; no status line: a page
// sent bare.
void takeHeaders(const KRZPAPComm& comm, krzlab::RecordedReply& reply) {
    reply.version = comm.getResponseVersion();
    reply.status = comm.getResponseStatus();
    reply.reason = comm.getResponseReason();
    reply.headers = comm.getResponseHeaderFields();
}

// The pairs a browser submits for `form`, pressed with its default button (the first submit or
// image button, as pressing Enter does), with the values of script-filled fields as the page's
// scripts set them.
HeaderList submitted(const std::string& page, const KRZPBrowserForm& form, size_t index) {
    std::vector<KRZPPageForm> shown = KRZPHtmlParser(page).pageForms();
    std::string button;
    if (index < shown.size()) {
        for (const KRZPPageControl& b : shown[index].buttons) {
            if (b.type == "submit" || b.type == "image") {
                button = b.name;
                break;
            }
        }
    }
    std::vector<KRZPBrowserForm> forms = KRZPHtmlParser(page).browserForms(button);
    HeaderList out;
    const KRZPBrowserForm& chosen = index < forms.size() ? forms[index] : form;
    ScriptValues scripts(page);
    for (const KRZPBrowserField& field : chosen.fields) {
        // The page's scripts run after it loads: what they set wins over the markup's value.
        std::string value = field.type == "submit" ? "" : scripts.valueOf(field.name);
        out.emplace_back(field.name, value.empty() ? field.value : value);
    }
    return out;
}

std::string formAttribute(const KRZPBrowserForm& form, const char* name) {
    return KRZPHtmlParser::getAttrib(form.attributes, name);
}

}  // namespace

namespace {

// How the recorder reaches the device: a device given as https://, or found redirecting to its
// HTTPS port, has its port 80 sent to that port over TLS.
void noteScheme(Recording& recording) {
    in_addr device{};
    if (inet_pton(AF_INET, recording.address.c_str(), &device) != 1)
        return;
    const unsigned short port = KRZNetworkBackend::portFor(device, 80);
    const bool https = KRZPAPComm::tlsFor(device, port);
    recording.scheme = https ? "https" : "";
    recording.port = port == (https ? 443 : 80) ? 0 : port;
}

// A plain reply that redirects to the device's own HTTPS port (the one rule for "the same
// device": KRZPHttpScanner::httpsRedirectPort) turns the device's port 80 to that port over TLS
// for the process, as the scanner and fetch follow it; true when it did. The certificate is
// checked by the host's trust at the next connection, before any request.
bool turnToHttps(const KRZPAPComm& comm) {
    const in_addr device = comm.getAddr();
    if (KRZPAPComm::tlsFor(device, KRZNetworkBackend::portFor(device, 80)))
        return false;
    const unsigned short port = KRZPHttpScanner::httpsRedirectPort(
        device, comm.getResponseStatus(), comm.getResponseHeader("Location"));
    if (port == 0)
        return false;
    const unsigned short connected = KRZNetworkBackend::portFor(device, port);
    KRZPAPComm::setTlsFor(device, connected, true);
    KRZNetworkBackend::redirectPort(device, 80, connected);
    KRZPAPModule::log(L"Recorder: the device redirects to its HTTPS port %d; following it\n",
                      static_cast<int>(port));
    return true;
}

}  // namespace

RecordSetup RecordSetup::of(const krzpapp::RecordRequest& r) {
    RecordSetup s;
    static_cast<krzpapp::RecordRequest&>(s) = r;
    s.address = r.device.address;
    s.user = r.device.user.value_or("");
    s.password = r.device.password.value_or("");
    s.haveUser = r.device.user.has_value();
    s.havePassword = r.device.password.has_value();
    return s;
}

Exchange Recorder::request(const std::string& method, const std::string& target,
                           const HeaderList& form, bool multipart, bool credentials) {
    checkBounds(target);
    progress(target);
    KRZPAPComm comm(o_.address);
    comm.setTimeout(o_.timeout);
    Exchange e;
    e.request.method = method;
    e.request.target = target;
    e.request.form = form;
    e.request.multipart = multipart;
    bool basic = recording_.login.kind == "basic";
    e.request.credentials = credentials && (basic || !cookie_.empty());
    if (credentials && basic) {
        comm.setAuthInfo(recording_.login.user, o_.password);
        e.request.headers.emplace_back(
            "Authorization",
            "Basic " + krzlab::base64Encode(recording_.login.user + ":" + o_.password));
    }
    if (credentials && !cookie_.empty()) {
        comm.setCookie("Cookie", cookie_);
        e.request.headers.emplace_back("Cookie", cookie_);
    }
    {
        std::lock_guard<std::mutex> lock(commMutex_);
        comm_ = &comm;
        if (cancelled_ || outOfTime_)
            comm.setCancel(true);
    }
    struct Release {
        Recorder* r;
        ~Release() {
            std::lock_guard<std::mutex> lock(r->commMutex_);
            r->comm_ = nullptr;
        }
    } release{this};
    try {
        comm.openConnection(80, false);
        KRZPFormParams params;
        for (const auto& f : form)
            params.addParam(f.first, f.second);
        if (method == "POST" && multipart)
            comm.writeMultipartPostRequest(target, params);
        else if (method == "POST")
            comm.writePostRequest(target, params);
        else
            comm.writeGetRequest(target);
        comm.readResponseSynchronous();
    } catch (const KRZPAPCException& e2) {
        if (outOfTime_)
            throw Stop{ErrorKind::DeviceFailed, "the recording reached " + timeBound() +
                                                    " during " + target +
                                                    "; what was recorded is written"};
        if (cancelled_)
            throw Stop{ErrorKind::Cancelled, "cancelled"};
        bool cut = std::string(e2.what()).find("cut short") != std::string::npos &&
                   !comm.getResponseHeaders().empty();
        if (!cut) {
            Error failure =
                describeFailure(e2, method + " " + escapeText(target) + " at " + o_.address);
            throw Stop{failure.kind(), std::string(failure.what()) + "; the recording stops there"};
        }
        e.reply.cutShort = true;
    }
    takeHeaders(comm, e.reply);
    e.reply.body = comm.getResponseBody();
    if (!e.reply.version.empty() && (e.reply.status < 100 || e.reply.status > 599))
        throw Stop{ErrorKind::DeviceFailed,
                   "the device answered " + method + " " + escapeText(target) +
                       " with a status line that is not HTTP; the recording "
                       "stops there"};
    if (e.reply.status == 0 &&
        (!krzlab::validUtf8(e.reply.body) || e.reply.body.find('<') == std::string::npos))
        throw Stop{ErrorKind::DeviceFailed, "the device answered " + method + " " +
                                                escapeText(target) +
                                                " with bytes that are neither HTTP nor a page; the "
                                                "recording stops there"};
    // The redirect is not one of the pages the device serves over HTTPS: asked again there.
    if (method == "GET" && !e.reply.cutShort && turnToHttps(comm)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            noteScheme(recording_);
        }
        return request(method, target, form, multipart, credentials);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_ += static_cast<long long>(comm.getResponseHeaders().size() + e.reply.body.size());
    recording_.exchanges.push_back(e);
    noteSecrets(e);
    return e;
}

void Recorder::noteSecrets(const Exchange& e) {
    // mutex_ held
    // A record by module keeps session ids: its logout ended them, and a description's captures
    // read them by their shape, which a placeholder lacks.
    const std::string* cookie = o_.byModule ? nullptr : headerOf(e.reply.headers, "Set-Cookie");
    if (cookie) {
        size_t eq = cookie->find('=');
        size_t end = cookie->find(';');
        if (eq != std::string::npos)
            secrets_.emplace_back(
                cookie->substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1),
                "cookie");
    }
    for (const auto& h : e.request.headers)
        if (lower(h.first) == "authorization")
            secrets_.emplace_back(h.second, "authorization");
    // What the request carried: a query's or a posted form's passwords and keys.
    for (const std::string& secret : secretsOfTarget(e.request.target))
        secrets_.emplace_back(secret, "key");
    for (const auto& field : e.request.form)
        if (secretName(field.first))
            secrets_.emplace_back(field.second, "key");
    // What the page holds, in markup, scripts or JSON.
    for (const std::string& secret : secretsOf(e.reply.body))
        secrets_.emplace_back(secret, "key");
}

void Recorder::checkBounds(const std::string& target) {
    if (cancelled_)
        throw Stop{ErrorKind::Cancelled, "cancelled"};
    auto spent = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_);
    std::string what;
    if (outOfTime_ || spent.count() >= bounds_.seconds)
        what = timeBound();
    else if (bytes_ >= bounds_.bytes)
        what = "its size bound of " + std::to_string(bounds_.bytes >> 10) + " KiB (--max-size)";
    if (!what.empty())
        throw Stop{ErrorKind::DeviceFailed, "the recording reached " + what + " before " + target +
                                                "; what was recorded is written"};
}

void Recorder::progress(const std::string& target) {
    if (observer_)
        observer_->recorded(target, pages_, bytes_);
}

void Recorder::login(const Exchange& start) {
    const std::string* challenge = headerOf(start.reply.headers, "WWW-Authenticate");
    if (start.reply.status == 401 && challenge && lower(*challenge).rfind("basic", 0) == 0) {
        if (!o_.haveUser && !o_.havePassword)
            throw Stop{ErrorKind::LoginRefused,
                       "the device at " + o_.address +
                           " asks for a user name and password (Basic); give them with "
                           "--user and --password"};
        recording_.login.kind = "basic";
        recording_.login.user = o_.user;
        recording_.login.password = o_.password;
        return;  // the crawl's first page tells whether the device takes them
    }
    // A login form on the start page, or on the page a redirect leads to.
    std::string pageTarget = "/";
    Exchange page = start;
    for (int hop = 0; hop < 3 && page.reply.status >= 300 && page.reply.status < 400; ++hop) {
        const std::string* location = headerOf(page.reply.headers, "Location");
        std::string next = location ? krzlab::resolveTarget(pageTarget, *location, o_.address) : "";
        if (next.empty() || visited_.count(next))
            break;
        visited_.insert(next);
        pageTarget = next;
        page = get(next, false);
    }
    if (formLogin(pageTarget, page.reply.body))
        return;
    recording_.login.kind = "none";
}

bool Recorder::formLogin(const std::string& pageTarget, const std::string& page) {
    std::vector<KRZPBrowserForm> forms = KRZPHtmlParser(page).browserForms();
    for (size_t i = 0; i < forms.size(); ++i) {
        std::string userField, passwordField;
        for (const KRZPBrowserField& f : forms[i].fields) {
            if (f.type == "password" && passwordField.empty())
                passwordField = f.name;
            if ((f.type == "text" || f.type == "email") && userField.empty() &&
                passwordField.empty())
                userField = f.name;
        }
        if (passwordField.empty())
            continue;
        if (!o_.haveUser && !o_.havePassword)
            throw Stop{ErrorKind::LoginRefused, "the device at " + o_.address +
                                                    " shows a login form; give the user name and "
                                                    "password with --user and --password"};
        std::string action =
            krzlab::resolveTarget(pageTarget, formAttribute(forms[i], "action"), o_.address);
        if (action.empty())
            action = pageTarget;
        HeaderList fields = submitted(page, forms[i], i);
        for (auto& f : fields) {
            if (f.first == userField)
                f.second = o_.user;
            if (f.first == passwordField)
                f.second = o_.password;
        }
        recording_.login = {"form", o_.user,   o_.password,  pageTarget,
                            action, userField, passwordField};
        bool multipart = lower(formAttribute(forms[i], "enctype")) == "multipart/form-data";
        Exchange reply = request("POST", action, fields, multipart, false);
        const std::string* cookie = headerOf(reply.reply.headers, "Set-Cookie");
        if (cookie == nullptr)
            throw Stop{ErrorKind::LoginRefused,
                       "the device at " + o_.address +
                           " did not accept the login (it set no session "
                           "cookie); give the right --user and --password"};
        cookie_ = cookie->substr(0, cookie->find(';'));
        for (const std::string& link : linksOf(action, reply.reply.body, o_.address))
            queue_.emplace_back(link, 1);
        return true;
    }
    return false;
}

void Recorder::crawl() {
    queue_.emplace_front("/", 0);
    bool credentials = recording_.login.kind != "none";
    std::set<std::string> fetched;
    std::map<std::string, std::string> redirectedFrom;
    while (!queue_.empty()) {
        auto [target, depth] = queue_.front();
        queue_.pop_front();
        if (!fetched.insert(target).second)
            continue;
        if (pages_ >= bounds_.pages)
            break;
        // What a client without the login sees there (the recognizers ask that way), then the
        // page itself.
        if (credentials && target != "/")
            get(target, false);
        Exchange e = get(target, credentials);
        ++pages_;
        if (e.reply.status == 401 && credentials && recording_.login.kind == "basic")
            throw Stop{ErrorKind::LoginRefused, "the device at " + o_.address +
                                                    " refused the credentials; give the right ones "
                                                    "with --user and --password"};
        std::vector<std::string> next;
        const std::string* location = headerOf(e.reply.headers, "Location");
        if (e.reply.status >= 300 && e.reply.status < 400 && location) {
            std::string to = krzlab::resolveTarget(target, *location, o_.address);
            // A browser gives up on a chain of redirects that comes back or goes on for ever.
            std::vector<std::string> chain = {target};
            for (auto it = redirectedFrom.find(target);
                 it != redirectedFrom.end() && chain.size() <= 20;
                 it = redirectedFrom.find(it->second))
                chain.insert(chain.begin(), it->second);
            if (chain.size() > 20 || std::find(chain.begin(), chain.end(), to) != chain.end()) {
                std::string path;
                for (const std::string& hop : chain)
                    path += escapeText(hop.substr(0, 60)) + " -> ";
                throw Stop{ErrorKind::DeviceFailed, "the device's redirects go round in a loop (" +
                                                        path + escapeText(to.substr(0, 60)) +
                                                        "); the recording stops there"};
            }
            if (!to.empty() && !redirectedFrom.count(to)) {
                redirectedFrom.emplace(to, target);
                next.push_back(to);
            }
        }
        const std::string* type = headerOf(e.reply.headers, "Content-Type");
        bool html = type ? lower(*type).find("html") != std::string::npos
                         : e.reply.body.find('<') != std::string::npos;
        if (html && depth < bounds_.depth) {
            std::vector<std::string> links = linksOf(target, e.reply.body, o_.address);
            next.insert(next.end(), links.begin(), links.end());
        }
        for (const std::string& link : next)
            if (!fetched.count(link))
                queue_.emplace_back(link, depth + 1);
    }
}

namespace {

// Only watches a device restart, with the wait the configurators use; it changes nothing.
class RestartWatch : public KRZPHttpConfigurator {
  public:
    RestartWatch(const in_addr& address, const std::string& user, const std::string& pass)
        : KRZPHttpConfigurator(std::vector<KRZMacAddress>(), user, pass) {
        setAddr(address);
    }
    std::string getVendorName() const override { return "device"; }
    std::string getModelName() const override { return ""; }
    std::pair<std::string, std::string> getDefaultCredentials() const override { return {}; }
    bool usesUsername() const override { return true; }
    int getMaxPasswordLen() const override { return 0; }
    using KRZPHttpConfigurator::getComm;
    using KRZPHttpConfigurator::setupConnection;
    using KRZPHttpConfigurator::waitUntilBack;

  private:
    void _retrieveAttributes() override {}
};

}  // namespace

void Recorder::waitForDevice(const std::string& target) {
    // A device that restarts to apply a change is away for a while, and may answer empty replies
    // or resets meanwhile: the read-back waits until it answers a real page again.
    checkBounds(target);
    bool basic = recording_.login.kind == "basic";
    RestartWatch watch(parseAddress(o_.address), basic ? recording_.login.user : "",
                       basic ? o_.password : "");
    watch.setupConnection();
    watch.getComm()->setTimeout(2);
    // The wait ends at the recording's time bound or a cancel, whichever comes first.
    auto until = std::min(started_ + std::chrono::seconds(bounds_.seconds),
                          Clock::now() + std::chrono::seconds(o_.timeout * 3));
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    std::thread guard([&] {
        std::unique_lock<std::mutex> lock(doneMutex);
        while (!done && !cancelled_ && Clock::now() < until)
            doneChanged.wait_for(lock, std::chrono::milliseconds(100));
        if (!done)
            watch.cancelOperation();
    });
    bool back = true;
    try {
        watch.waitUntilBack(1000000, 300);
    } catch (const KRZPAPCException& e) {
        // A refusal of the credentials is a page too: the change may have been the password.
        back = e.getAPCErrorCode() == KRZPAPC_AUTH_ERROR;
    }
    {
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
    }
    doneChanged.notify_all();
    guard.join();
    if (cancelled_)
        throw Stop{ErrorKind::Cancelled, "cancelled"};
    if (!back && Clock::now() < started_ + std::chrono::seconds(bounds_.seconds))
        throw Stop{ErrorKind::Unreachable, "the device did not come back after the change to " +
                                               target + "; the recording stops there"};
    checkBounds(target);
}

void Recorder::tryChange() {
    if (o_.tryChange.empty())
        return;
    std::map<std::string, std::string> wanted;
    for (const std::string& change : o_.tryChange)
        wanted[change.substr(0, change.find('='))] = change.substr(change.find('=') + 1);
    // The first recorded page with a form that holds the first field.
    std::string pageTarget, page;
    size_t index = 0;
    KRZPBrowserForm form;
    for (size_t k = 0; k < recording_.exchanges.size() && pageTarget.empty(); ++k) {
        const Exchange& e = recording_.exchanges[k];
        if (e.request.method != "GET" || e.reply.status != 200 ||
            (recording_.login.kind != "none" && !e.request.credentials))
            continue;
        std::vector<KRZPBrowserForm> forms = KRZPHtmlParser(e.reply.body).browserForms();
        for (size_t i = 0; i < forms.size() && pageTarget.empty(); ++i)
            for (const KRZPBrowserField& f : forms[i].fields)
                if (f.name == wanted.begin()->first) {
                    pageTarget = e.request.target;
                    page = e.reply.body;
                    index = i;
                    form = forms[i];
                }
    }
    if (pageTarget.empty())
        throw Stop{ErrorKind::BadRequest,
                   "no recorded page has a form with a field named \"" +
                       escapeText(wanted.begin()->first) +
                       "\"; --try-change names a field of a form the device shows"};
    bool credentials = recording_.login.kind != "none";
    // Posts the form as the device holds it, with `set` changed; the page read again afterwards.
    auto submit = [&](const std::string& source, const std::map<std::string, std::string>& set) {
        std::vector<KRZPBrowserForm> forms = KRZPHtmlParser(source).browserForms();
        const KRZPBrowserForm& now = index < forms.size() ? forms[index] : form;
        HeaderList fields = asFilled(source, now, index);
        for (auto& f : fields)
            if (set.count(f.first))
                f.second = set.at(f.first);
        std::string action =
            krzlab::resolveTarget(pageTarget, formAttribute(now, "action"), o_.address);
        if (action.empty())
            action = pageTarget;
        std::string method = lower(formAttribute(now, "method")) == "post" ? "POST" : "GET";
        bool multipart = lower(formAttribute(now, "enctype")) == "multipart/form-data";
        if (method == "GET") {
            KRZPFormParams params;
            for (const auto& f : fields)
                params.addParam(f.first, f.second);
            KRZPAPComm encoder(o_.address);
            action = action.substr(0, action.find('?')) + "?" + encoder.formText(params);
            fields.clear();
        }
        request(method, action, fields, multipart, credentials);
        // Also after a complete answer: a device may apply the change in a restart that follows.
        waitForDevice(pageTarget);
        // A session the change ended is opened again the way it was opened first.
        if (recording_.login.kind == "form") {
            Exchange check = get(pageTarget, true);
            if (check.reply.status != 200) {
                cookie_.clear();
                Exchange loginPage = get(recording_.login.page, false);
                formLogin(recording_.login.page, loginPage.reply.body);
            }
        }
        return get(pageTarget, credentials);
    };
    // What the device holds now in each of `fields`, from a page read again; "" where the
    // page no longer has the field.
    auto holds = [&](const std::string& source, const std::map<std::string, std::string>& fields) {
        std::vector<KRZPBrowserForm> forms = KRZPHtmlParser(source).browserForms();
        std::map<std::string, std::string> out;
        if (index >= forms.size())
            return out;
        for (const auto& f : asFilled(source, forms[index], index))
            if (fields.count(f.first))
                out[f.first] = f.second;
        return out;
    };
    auto listed = [](const std::map<std::string, std::string>& values) {
        std::string text;
        for (const auto& v : values)
            text += (text.empty() ? "" : ", ") + v.first + "=\"" + escapeText(v.second) + "\"";
        return text;
    };
    std::map<std::string, std::string> original;
    HeaderList before = asFilled(page, form, index);
    for (const auto& w : wanted) {
        bool found = false;
        for (const auto& f : before)
            if (f.first == w.first) {
                original[w.first] = f.second;
                found = true;
            }
        if (!found)
            throw Stop{ErrorKind::BadRequest,
                       "the form on " + pageTarget + " has no field named \"" +
                           escapeText(w.first) +
                           "\"; the fields of one --try-change go to one form"};
    }
    Exchange afterChange = submit(page, wanted);
    std::map<std::string, std::string> changed = holds(afterChange.reply.body, wanted);
    Exchange restored = submit(afterChange.reply.body, original);
    std::map<std::string, std::string> after = holds(restored.reply.body, original);
    if (after != original)
        throw Stop{ErrorKind::DeviceFailed,
                   "the original values did not read back after the restore on " + pageTarget +
                       ": the device holds " + listed(after) + " (it held " + listed(original) +
                       ")"};
    if (changed != wanted)
        throw Stop{ErrorKind::DeviceFailed, "the change on " + pageTarget + " did not read back (" +
                                                listed(changed) +
                                                "); the original values are restored"};
}

HeaderList Recorder::asFilled(const std::string& page, const KRZPBrowserForm& form, size_t index) {
    HeaderList fields = submitted(page, form, index);
    auto fetchJson = [&](const std::string& url) {
        return get(krzlab::resolveTarget("/", url, o_.address), recording_.login.kind != "none")
            .reply.body;
    };
    for (auto& f : fields) {
        std::string value;
        krzscript::Filled filled = krzscript::filledValue(page, f.first, fetchJson, value);
        if (filled == krzscript::Filled::Unknown)
            throw Stop{ErrorKind::DeviceFailed,
                       "the field \"" + escapeText(f.first) +
                           "\" is filled in by the page's script and its value could "
                           "not be read; --try-change sent nothing"};
        if (filled == krzscript::Filled::Known)
            f.second = value;
    }
    return fields;
}

namespace {

// The request a connection sent, taken apart: request line, the headers beyond a client's usual
// ones, and the body (a urlencoded form's fields, or the body as sent).
Exchange sentRequest(const std::string& sent) {
    Exchange e;
    size_t head = sent.find("\r\n\r\n");
    std::string top = sent.substr(0, head);
    std::string body = head == std::string::npos ? "" : sent.substr(head + 4);
    size_t eol = top.find("\r\n");
    std::string line = top.substr(0, eol);
    size_t sp = line.find(' ');
    e.request.method = line.substr(0, sp);
    e.request.target = sp == std::string::npos ? "" : line.substr(sp + 1, line.rfind(' ') - sp - 1);
    std::string type;
    for (size_t at = eol; at != std::string::npos && at + 2 < top.size();) {
        size_t next = top.find("\r\n", at + 2);
        std::string h = top.substr(at + 2, next == std::string::npos ? next : next - at - 2);
        at = next;
        size_t colon = h.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = h.substr(0, colon);
        std::string value = h.substr(h.find_first_not_of(' ', colon + 1) == std::string::npos
                                         ? h.size()
                                         : h.find_first_not_of(' ', colon + 1));
        static const std::set<std::string> usual = {
            "host",   "content-length",  "connection",     "user-agent",
            "accept", "accept-encoding", "accept-language"};
        if (lower(name) == "content-type")
            type = lower(value);
        else if (!usual.count(lower(name)))
            e.request.headers.emplace_back(name, value);
    }
    e.request.credentials = headerOf(e.request.headers, "Authorization") != nullptr ||
                            headerOf(e.request.headers, "Cookie") != nullptr;
    if (type.find("application/x-www-form-urlencoded") == std::string::npos) {
        if (!body.empty())
            e.request.headers.emplace_back("Content-Type", type);
        e.request.body = body;
        return e;
    }
    for (size_t at = 0; at <= body.size() && !body.empty();) {
        size_t amp = std::min(body.find('&', at), body.size());
        std::string pair = body.substr(at, amp - at);
        std::replace(pair.begin(), pair.end(), '+', ' ');
        size_t eq = pair.find('=');
        auto decoded = [](const std::string& text) {
            try {
                return KRZPHtmlParser::urlDecode(text);
            } catch (...) {
                return text;  // a bad escape: the bytes as sent
            }
        };
        if (!pair.empty())
            e.request.form.emplace_back(
                decoded(pair.substr(0, eq)),
                eq == std::string::npos ? "" : decoded(pair.substr(eq + 1)));
        at = amp + 1;
    }
    return e;
}

}  // namespace

krzpapp::ConfigureRequest moduleChangeOf(const std::vector<std::string>& tries) {
    krzpapp::ConfigureRequest change;
    for (const std::string& t : tries) {
        std::string field = t.substr(0, t.find('='));
        std::string value = t.substr(t.find('=') + 1);
        std::optional<std::string>* slot = field == "ssid"         ? &change.ssid
                                           : field == "security"   ? &change.security
                                           : field == "encryption" ? &change.encryption
                                           : field == "key"        ? &change.key
                                                                   : nullptr;
        if (slot == nullptr)
            throw Error(ErrorKind::BadRequest,
                        "a change to try by module is ssid=, security=, encryption= or key=, not "
                        "\"" +
                            escapeText(field) + "=\"",
                        "tryChange", Advice::None, t);
        *slot = value;
    }
    return change;
}

void Recorder::observe(const KRZPAPComm& comm, const std::string& sent, bool cutShort) {
    Exchange e = sentRequest(sent);
    // A restart's polls meet cut replies: a page read keeps the complete answer it had before.
    if (e.request.method.empty() || (cutShort && e.request.method == "GET"))
        return;
    takeHeaders(comm, e.reply);
    e.reply.body = comm.getResponseBody();
    e.reply.cutShort = cutShort;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string* auth = headerOf(e.request.headers, "Authorization");
    if (basicDevice_ && auth && lower(*auth).rfind("basic ", 0) == 0 &&
        recording_.login.kind == "none") {
        std::string pair = krzlab::base64Decode(auth->substr(6));
        recording_.login.kind = "basic";
        recording_.login.user = pair.substr(0, pair.find(':'));
        recording_.login.password = o_.password;
    }
    bytes_ += static_cast<long long>(comm.getResponseHeaders().size() + e.reply.body.size());
    if (e.request.method == "GET")
        ++pages_;
    recording_.exchanges.push_back(e);
    noteSecrets(e);
    if (!e.request.body.empty())
        for (const std::string& secret : secretsOf(e.request.body))
            secrets_.emplace_back(secret, "key");
}

void Recorder::runModule() {
    {
        // The credentials the module logged in with (the password as a placeholder), also where
        // its login is its own steps: playback and its check log in with them.
        std::lock_guard<std::mutex> lock(mutex_);
        recording_.login.user = o_.user;
        recording_.login.password = o_.password;
    }
    std::string address = o_.address;
    KRZPAPComm::setExchangeObserver(
        [this, address](const KRZPAPComm& comm, const std::string& sent, bool cutShort) {
            if (dotted(comm.getAddr()) == address)
                observe(comm, sent, cutShort);
        });
    struct Unobserve {
        ~Unobserve() { KRZPAPComm::setExchangeObserver(nullptr); }
    } unobserve;
    krzpapp::Settings before = show_();
    if (o_.tryChange.empty())
        return;
    krzpapp::ConfigureRequest change = moduleChangeOf(o_.tryChange);
    // Back to what the device held: the settings the change touched, the key with its security.
    krzpapp::ConfigureRequest back;
    if (change.ssid)
        back.ssid = before.ssid;
    if (change.security || change.encryption || change.key) {
        back.security = before.security;
        if (before.security != "none") {
            back.encryption = before.encryption;
            back.key = before.key;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        secrets_.emplace_back(before.key, "key");
        if (change.key)
            secrets_.emplace_back(*change.key, "key");
    }
    krzpapp::ConfigureResult changed = configure_(change);
    krzpapp::ConfigureResult restored = configure_(back);
    if (!restored.notKept().empty())
        throw Stop{ErrorKind::DeviceFailed,
                   "the original settings did not read back after the restore (" +
                       restored.notKept() + "); the device holds network \"" +
                       escapeText(restored.device.ssid) + "\", security " +
                       restored.device.security};
    if (!changed.notKept().empty())
        throw Stop{ErrorKind::DeviceFailed, "the change did not read back (" + changed.notKept() +
                                                "); the original settings are restored"};
}

Recording Recorder::snapshot(bool complete, const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    Recording r = recording_;
    r.complete = complete;
    r.stopReason = reason;
    krzlab::SecretScrubber scrubber;
    if (o_.anonymize) {
        r.anonymized = true;
        scrubber.addMac(r.mac);
        for (const Exchange& e : r.exchanges) {
            const std::string& body = e.reply.body;
            for (const std::string& mac : macsOf(body))
                scrubber.addMac(mac);
            for (const std::string& serial : serialsOf(body))
                scrubber.add(serial, "serial");
        }
    }
    if (!o_.keepSecrets) {
        std::string stand = scrubber.add(o_.password, "password");
        // A login a script builds carries base64 of "user:password" (a description's step does
        // the same): it stands for the placeholder's, so that playback takes the login again.
        if (!o_.password.empty()) {
            std::string was = krzlab::base64Encode(o_.user + ":" + o_.password);
            std::string is = krzlab::base64Encode(o_.user + ":" + stand);
            for (Exchange& e : r.exchanges) {
                for (auto& f : e.request.form)
                    replaceAll(f.second, was, is);
                replaceAll(e.request.body, was, is);
            }
        }
        for (const auto& s : secrets_)
            scrubber.add(s.first, s.second);
        for (const std::string& change : o_.tryChange) {
            std::string field = change.substr(0, change.find('='));
            if (lower(field).find("pass") != std::string::npos ||
                lower(field).find("key") != std::string::npos ||
                lower(field).find("psk") != std::string::npos)
                scrubber.add(change.substr(change.find('=') + 1), "key");
        }
    } else {
        r.secretsKept = true;
    }
    scrubber.apply(r);
    return r;
}

void Recorder::run() {
    // --max-time holds while a request waits or a reply trickles in: a watch cuts the connection.
    std::mutex watchMutex;
    std::condition_variable wake;
    bool done = false;
    std::thread watch([&] {
        std::unique_lock<std::mutex> lock(watchMutex);
        if (wake.wait_until(lock, started_ + std::chrono::seconds(bounds_.seconds),
                            [&] { return done; }))
            return;
        outOfTime_ = true;
        if (o_.byModule && stopModule_)
            stopModule_();
        std::lock_guard<std::mutex> commLock(commMutex_);
        if (comm_)
            comm_->setCancel(true);
    });
    struct Join {
        std::mutex& m;
        std::condition_variable& c;
        bool& d;
        std::thread& t;
        ~Join() {
            {
                std::lock_guard<std::mutex> lock(m);
                d = true;
            }
            c.notify_all();
            t.join();
        }
    } join{watchMutex, wake, done, watch};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        recording_.address = o_.address;
        noteScheme(recording_);
        std::time_t now = std::time(nullptr);
        char when[32];
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
        recording_.recorded = when;
    }
    Exchange start = get("/", false);
    if (o_.byModule) {
        // The login is Basic, as for the crawl, when the start page asks for it.
        const std::string* challenge = headerOf(start.reply.headers, "WWW-Authenticate");
        basicDevice_ =
            start.reply.status == 401 && challenge && lower(*challenge).rfind("basic", 0) == 0;
        runModule();
        return;
    }
    visited_.insert("/");
    login(start);
    crawl();
    tryChange();
}

}  // namespace krzpap
