#include "lab/devices/AsusWrtDevice.h"

#include <nlohmann/json.hpp>

#include <cstdlib>

#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultLockoutAfter = 5;
// The login page's error_status values.
constexpr int kAccountFail = 3;
constexpr int kLoginLock = 7;

const char* const kAuthMode[][2] = {
    {"wpa-psk", "psk"}, {"wpa2-psk", "psk2"}, {"wpa-wpa2-psk", "pskpsk2"}};
const char* const kCrypto[][2] = {{"tkip", "tkip"}, {"aes", "aes"}, {"tkip-aes", "tkip+aes"}};

// The wireless variables of radio 0, as the firmware names them.
struct NvWireless {
    std::map<std::string, std::string> v;
};

// The WEP variables the firmware keeps beside the lab's settings: the four key slots, the one in
// use (wl0_key) and shared-key authentication ("wep_shared").
const char* const kWepHeld[] = {"wl0_key", "wl0_key1", "wl0_key2", "wl0_key3", "wl0_key4"};

NvWireless toNvram(const WirelessSettings& w, const std::map<std::string, std::string>& held) {
    NvWireless nv;
    bool wpa = w.security.compare(0, 3, "wpa") == 0;
    nv.v["wl0_ssid"] = w.ssid;
    nv.v["wl0_auth_mode_x"] = wpa ? translateMode(kAuthMode, w.security, 0) : "open";
    nv.v["wl0_crypto"] = wpa ? translateMode(kCrypto, w.encryption, 0) : "aes";
    nv.v["wl0_wpa_psk"] = wpa ? w.key : "";
    nv.v["wl0_wep_x"] = w.encryption == "wep64" ? "1" : w.encryption == "wep128" ? "2" : "0";
    nv.v["wl0_key"] = "1";
    for (const char* k : {"wl0_key1", "wl0_key2", "wl0_key3", "wl0_key4"})
        nv.v[k] = "";
    for (const char* name : kWepHeld)
        if (held.count(name))
            nv.v[name] = held.at(name);
    if (w.security == "wep") {
        nv.v["wl0_key" + nv.v["wl0_key"]] = w.key;
        if (held.count("wep_shared"))
            nv.v["wl0_auth_mode_x"] = "shared";
    }
    return nv;
}

void setHeld(std::map<std::string, std::string>& held, const char* name, bool on) {
    if (on)
        held[name] = "1";
    else
        held.erase(name);
}

// The lab's settings from the variables; `refused` names the variable that does not fit.
WirelessSettings fromNvram(NvWireless nv, std::string& refused) {
    WirelessSettings w;
    w.ssid = nv.v["wl0_ssid"];
    const std::string& mode = nv.v["wl0_auth_mode_x"];
    const std::string& wep = nv.v["wl0_wep_x"];
    if (mode == "open" || mode == "shared") {
        if (wep == "0" && mode == "open") {
            w.security = w.encryption = "none";
        } else if (wep == "1" || wep == "2") {
            w.security = "wep";
            w.encryption = wep == "1" ? "wep64" : "wep128";
            const std::string& index = nv.v["wl0_key"];
            if (index.size() != 1 || index[0] < '1' || index[0] > '4')
                refused = "wl0_key";
            else
                w.key = nv.v[std::string("wl0_key") + index];
        } else {
            refused = "wl0_wep_x";
        }
    } else {
        w.security = translateMode(kAuthMode, mode, 1);
        w.encryption = translateMode(kCrypto, nv.v["wl0_crypto"], 1);
        w.key = nv.v["wl0_wpa_psk"];
        if (w.security.empty())
            refused = "wl0_auth_mode_x";
        else if (w.encryption.empty())
            refused = "wl0_crypto";
    }
    if (refused.empty() && !settingsProblem(w).empty())
        refused = "wl0_ssid";
    return w;
}

// The fields of a post: a JSON object (as the pages' scripts send) or a urlencoded form.
FormFields postedFields(const HttpRequest& request) {
    std::size_t start = request.body.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || request.body[start] != '{')
        return parseUrlEncoded(request.body);
    FormFields fields;
    nlohmann::json j = nlohmann::json::parse(request.body, nullptr, false);
    if (!j.is_object())
        return fields;
    for (auto it = j.begin(); it != j.end(); ++it)
        fields[it.key()] = it->is_string() ? it->get<std::string>() : it->dump();
    return fields;
}

// The host (and port) a Referer names, "" when it names none.
std::string refererHost(const std::string* referer) {
    if (referer == nullptr)
        return "";
    std::size_t scheme = referer->find("://");
    if (scheme == std::string::npos)
        return "";
    std::size_t begin = scheme + 3;
    return referer->substr(begin, referer->find('/', begin) - begin);
}

int option(const DeviceSpec& profile, const char* name, int fallback) {
    auto it = profile.options.find(name);
    return it == profile.options.end() ? fallback : std::atoi(it->second.c_str());
}

}  // namespace

AsusWrtDevice::AsusWrtDevice(const DeviceSpec& profile)
    : EmulatedDevice(profile), random_(std::random_device{}()) {
    lockMs_ = option(profile, "lockMs", 60000);
    sessionMs_ = option(profile, "sessionMs", 30 * 60 * 1000);
    // The lab option "restartMs" (a test's short restart) wins over the profile's.
    radioRestartMs_ =
        option(profile, "restartMs", profile.restartMs > 0 ? profile.restartMs : 10000);
    if (spec_.lockoutAfter == 0)
        spec_.lockoutAfter = kDefaultLockoutAfter;
    // A test's device that keeps its WEP key in another slot, as the firmware lets a user choose.
    auto slot = profile.options.find("wepKeySlot");
    if (slot != profile.options.end())
        wepHeld_["wl0_key"] = slot->second;
    // And one set to shared-key authentication, which WEP keeps until WEP is posted again.
    auto auth = profile.options.find("wepAuth");
    setHeld(wepHeld_, "wep_shared", auth != profile.options.end() && auth->second == "shared");
}

AsusWrtDevice::~AsusWrtDevice() {
    stop();
}

bool AsusWrtDevice::radioRestarting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Clock::now() < radioBackAt_;
}

std::string AsusWrtDevice::nvram(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nvramGet(name);
}

void AsusWrtDevice::resetExtras() {
    tokens_.clear();
    loginHost_.clear();
    failuresInARow_ = 0;
    lockedUntil_ = {};
    wepHeld_.clear();
}

// HTTPS only: plain requests get a 307 to the HTTPS port, always named (8443 by default).
HttpReply AsusWrtDevice::httpsRedirect(const HttpRequest& request) {
    HttpReply reply;
    reply.status = 307;
    reply.reason = "Temporary Redirect";
    reply.headers.emplace_back("Server", "httpd/2.0");
    reply.headers.emplace_back("Location", httpsLocation(request, true));
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body = "<html><body>Please use HTTPS.</body></html>\n";
    return reply;
}

HttpReply AsusWrtDevice::handle(const HttpRequest& request) {
    const std::string& path = request.path;
    bool post = request.method == "POST";
    bool cgi = path == "/appGet.cgi" || path == "/applyapp.cgi" || path == "/apply.cgi";
    if (path == "/login.cgi") {
        if (!post || !sameHost(request, ""))
            return toLoginPage();
        return login(postedFields(request), *request.header("Host"));
    }
    if (path == "/Main_Login.asp")
        return loginPage(request.query);
    if (!validToken(request))
        return toLoginPage();
    std::string loginHost;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loginHost = loginHost_;
    }
    // A CGI must be called from a page of this host, as the browser named it at the login.
    if (cgi && !sameHost(request, loginHost))
        return toLoginPage();
    if (path == "/Logout.asp") {
        std::string token = cookieValue(request.header("Cookie"), "asus_token");
        std::lock_guard<std::mutex> lock(mutex_);
        tokens_.erase(token);
        return toLoginPage();
    }
    if (path == "/appGet.cgi")
        return appGet(post ? request.body : request.query);
    if (post && cgi)
        return apply(postedFields(request));
    if (path == "/" || path == "/index.asp")
        return reply("<HTML><HEAD><title>ASUS Wireless Router " + htmlEscape(state().model) +
                     " - Network Map</title></HEAD><BODY><a href=\"Advanced_Wireless_Content.asp\">"
                     "Wireless</a> <a href=\"Advanced_System_Content.asp\">Administration</a>"
                     "</BODY></HTML>\n");
    if (path == "/Advanced_Wireless_Content.asp")
        return wirelessPage();
    if (path == "/Advanced_System_Content.asp")
        return systemPage();
    HttpReply missing = reply(
        "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H4>404 Not "
        "Found</H4>\nNo such page.\n</BODY></HTML>\n");
    missing.status = 404;
    missing.reason = "Not Found";
    return missing;
}

bool AsusWrtDevice::sameHost(const HttpRequest& request, const std::string& loginHost) {
    const std::string* host = request.header("Host");
    std::string named = refererHost(request.header("Referer"));
    return host != nullptr && !named.empty() && named == *host &&
           (loginHost.empty() || named == loginHost);
}

HttpReply AsusWrtDevice::reply(const std::string& body, const char* type) const {
    HttpReply r;
    r.headers.emplace_back("Server", "httpd/2.0");
    r.headers.emplace_back("x-frame-options", "SAMEORIGIN");
    r.headers.emplace_back("Content-Type", type);
    r.headers.emplace_back("Cache-Control", "no-cache");
    r.body = body;
    return r;
}

HttpReply AsusWrtDevice::toLoginPage() const {
    return reply(
        "<HTML><HEAD><script>window.top.location.href='/Main_Login.asp';</script>\n"
        "</HEAD></HTML>\n");
}

HttpReply AsusWrtDevice::loginPage(const std::string& query) const {
    std::string note;
    if (query.find("error_status=" + std::to_string(kLoginLock)) != std::string::npos)
        note = "Too many failed logins: try again later.";
    else if (query.find("error_status=" + std::to_string(kAccountFail)) != std::string::npos)
        note = "Invalid user name or password.";
    return reply(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n<title>ASUS Login</title>\n"
        "<script>\nfunction login() {\n  var f = document.form;\n"
        "  f.login_authorization.value = btoa(f.login_username.value + ':' + "
        "f.login_passwd.value);\n"
        "  f.login_username.disabled = true; f.login_passwd.disabled = true;\n"
        "  f.submit();\n}\n</script>\n</head><body>\n<div class=\"error\">" +
        note + "</div>\n<div class=\"prod_madelName\">" + htmlEscape(state().model) +
        "</div>\n<form method=\"post\" name=\"form\" action=\"login.cgi\" target=\"\">\n"
        "<input type=\"hidden\" name=\"group_id\" value=\"\">\n"
        "<input type=\"hidden\" name=\"action_mode\" value=\"\">\n"
        "<input type=\"hidden\" name=\"action_script\" value=\"\">\n"
        "<input type=\"hidden\" name=\"action_wait\" value=\"5\">\n"
        "<input type=\"hidden\" name=\"current_page\" value=\"Main_Login.asp\">\n"
        "<input type=\"hidden\" name=\"next_page\" value=\"index.asp\">\n"
        "<input type=\"hidden\" name=\"login_authorization\" value=\"\">\n"
        "<input type=\"text\" name=\"login_username\" value=\"\">\n"
        "<input type=\"password\" name=\"login_passwd\" value=\"\">\n"
        "<div class=\"button\" onclick=\"login();\">Sign In</div>\n</form>\n</body></html>\n");
}

HttpReply AsusWrtDevice::login(const FormFields& form, const std::string& host) {
    std::string decoded = base64Decode(formField(form, "login_authorization"));
    std::size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return toLoginPage();
    std::string token;
    int status = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto now = Clock::now();
        if (now < lockedUntil_) {
            status = kLoginLock;  // even the right password waits for the lock to end
        } else if (decoded.substr(0, colon) == spec_.username &&
                   decoded.substr(colon + 1) == spec_.password) {
            static const char kAlphabet[] =
                "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
            for (int i = 0; i < 30; ++i)
                token += kAlphabet[random_() % (sizeof kAlphabet - 1)];
            if (tokens_.size() >= 8)
                tokens_.erase(tokens_.begin());
            tokens_[token] = now + std::chrono::milliseconds(sessionMs_);
            loginHost_ = host;
            failuresInARow_ = 0;
        } else if (++failuresInARow_ >= spec_.lockoutAfter) {
            failuresInARow_ = 0;
            lockedUntil_ = now + std::chrono::milliseconds(lockMs_);
            status = kLoginLock;
        } else {
            status = kAccountFail;
        }
    }
    if (status != 0) {
        std::string query = "error_status=" + std::to_string(status);
        if (status == kLoginLock)
            query += "&lock_time=" + std::to_string(lockMs_ / 1000);
        return reply("<HTML><HEAD>\n<script>parent.location.href='/Main_Login.asp?" + query +
                     "';</script>\n</HEAD></HTML>\n");
    }
    HttpReply r = reply(
        "<HTML><HEAD>\n<meta http-equiv=\"refresh\" content=\"0; "
        "url=index.asp\">\r\n</HEAD></HTML>\n");
    r.headers.emplace_back("Set-Cookie", "asus_token=" + token + "; HttpOnly;");
    return r;
}

bool AsusWrtDevice::validToken(const HttpRequest& request) {
    std::string token = cookieValue(request.header("Cookie"), "asus_token");
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = Clock::now();
    if (now < lockedUntil_)
        return false;  // while logins are locked, so is every page
    auto found = tokens_.find(token);
    if (found == tokens_.end())
        return false;
    if (found->second > now)
        return true;
    tokens_.erase(found);  // the session has ended
    return false;
}

std::string AsusWrtDevice::nvramGet(const std::string& name) const {
    if (name == "productid" || name == "odmpid")
        return spec_.model;
    if (name == "firmver" || name == "buildno")
        return spec_.firmware;
    if (name == "http_username")
        return spec_.username;
    NvWireless nv = toNvram(spec_.wireless, wepHeld_);
    std::string unit0 = name.compare(0, 3, "wl_") == 0 ? "wl0_" + name.substr(3) : name;
    auto it = nv.v.find(unit0);
    return it == nv.v.end() ? std::string() : it->second;
}

HttpReply AsusWrtDevice::appGet(const std::string& query) const {
    std::string hook = urlDecode(query.compare(0, 5, "hook=") == 0 ? query.substr(5) : query);
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t pos = 0;
    while (pos < hook.size() && out.size() < 64) {
        std::size_t end = hook.find(';', pos);
        std::string call = hook.substr(pos, end == std::string::npos ? end : end - pos);
        pos = end == std::string::npos ? hook.size() : end + 1;
        const std::string prefix = "nvram_get(";
        if (call.size() <= prefix.size() || call.compare(0, prefix.size(), prefix) != 0 ||
            call.back() != ')')
            continue;  // hooks this lab does not know answer nothing
        std::string name = call.substr(prefix.size(), call.size() - prefix.size() - 1);
        out[name] = name == "http_passwd" ? "" : nvramGet(name);
    }
    return reply(out.dump(), "application/json;charset=UTF-8");
}

HttpReply AsusWrtDevice::wirelessPage() const {
    // No form: the page's script reads the settings through appGet.cgi and posts the ones to
    // change to applyapp.cgi.
    return reply(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
        "<title>ASUS Wireless Router " +
        htmlEscape(state().model) +
        " - Wireless - General</title>\n<script src=\"/js/httpApi.js\"></script>\n</head><body>\n"
        "<input type=\"text\" id=\"wl_ssid\" maxlength=\"32\">\n<select id=\"wl_auth_mode_x\">"
        "<option value=\"open\">Open System</option><option value=\"psk\">WPA-Personal</option>"
        "<option value=\"psk2\">WPA2-Personal</option><option value=\"pskpsk2\">WPA-Auto-"
        "Personal</option></select>\n<select id=\"wl_crypto\"><option value=\"aes\">AES</option>"
        "<option value=\"tkip+aes\">TKIP+AES</option></select>\n"
        "<input type=\"password\" id=\"wl_wpa_psk\" maxlength=\"64\">\n"
        "<script>\nvar names = ['wl0_ssid', 'wl0_auth_mode_x', 'wl0_crypto', 'wl0_wpa_psk'];\n"
        "fetch('/appGet.cgi?hook=' + names.map(function (n) { return 'nvram_get(' + n + ')'; })"
        ".join(';')).then(function (r) { return r.json(); }).then(function (nv) {\n"
        "  names.forEach(function (n) { document.getElementById(n.replace('wl0_', 'wl_')).value "
        "= nv[n]; });\n});\nfunction applyRule() {\n  var post = {wl_unit: '0', action_mode: "
        "'apply', rc_service: 'restart_wireless'};\n  ['wl_ssid', 'wl_auth_mode_x', 'wl_crypto', "
        "'wl_wpa_psk'].forEach(function (n) { post[n] = document.getElementById(n).value; });\n"
        "  fetch('/applyapp.cgi', {method: 'POST', body: JSON.stringify(post)});\n}\n</script>\n"
        "<div class=\"button\" onclick=\"applyRule();\">Apply</div>\n</body></html>\n");
}

HttpReply AsusWrtDevice::systemPage() const {
    return reply(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
        "<title>ASUS Wireless Router " +
        htmlEscape(state().model) +
        " - Administration - System</title></head><body>\n"
        "<form method=\"post\" name=\"form\" action=\"/applyapp.cgi\">\n"
        "<input type=\"hidden\" name=\"action_mode\" value=\"apply\">\n"
        "<input type=\"hidden\" name=\"rc_service\" value=\"restart_time;restart_upnp\">\n"
        "<input type=\"text\" name=\"http_username\" value=\"" +
        htmlEscape(state().username) +
        "\">\n<input type=\"password\" name=\"http_passwd\" value=\"\">\n"
        "</form>\n</body></html>\n");
}

HttpReply AsusWrtDevice::apply(const FormFields& posted) {
    nlohmann::ordered_json answer = {{"modify", "0"}};
    if (formField(posted, "action_mode") != "apply")
        return reply(answer.dump(), "application/json;charset=UTF-8");
    std::string unit = posted.count("wl_unit") ? formField(posted, "wl_unit") : "0";
    std::lock_guard<std::mutex> lock(mutex_);
    NvWireless nv = toNvram(spec_.wireless, wepHeld_);
    bool wireless = false;
    for (const auto& field : posted) {
        std::string name = field.first;
        if (name.compare(0, 3, "wl_") == 0 && name != "wl_unit") {
            if (unit != "0")
                continue;  // another radio: not emulated, left alone
            name = "wl0_" + name.substr(3);
        }
        if (nv.v.count(name) != 0) {
            nv.v[name] = field.second;
            wireless = true;
        }
    }
    std::string refused;
    WirelessSettings next = wireless ? fromNvram(nv, refused) : spec_.wireless;
    std::string password = spec_.password;
    if (posted.count("http_passwd") != 0) {
        password = formField(posted, "http_passwd");
        if (password.empty() || password.size() > 32)
            refused = "http_passwd";
    }
    if (refused.empty()) {
        bool changed = !(next == spec_.wireless) || password != spec_.password;
        spec_.wireless = next;
        spec_.password = password;
        for (const char* name : kWepHeld)
            wepHeld_[name] = nv.v[name];
        if (next.security == "wep")
            setHeld(wepHeld_, "wep_shared", nv.v["wl0_auth_mode_x"] == "shared");
        answer["modify"] = changed ? "1" : "0";
        std::string service = formField(posted, "rc_service");
        answer["run_service"] = service;
        if (service.find("restart_wireless") != std::string::npos)
            radioBackAt_ = Clock::now() + std::chrono::milliseconds(radioRestartMs_);
    }
    return reply(answer.dump(), "application/json;charset=UTF-8");
}

}  // namespace krzlab
