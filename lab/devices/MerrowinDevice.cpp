#include "lab/devices/MerrowinDevice.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>

#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

const char kCookieName[] = "mw_sid";
constexpr std::size_t kMaxSessions = 8;
constexpr int kDefaultRestartMs = 3000;

const char* const kSecurity[][2] = {
    {"none", "0"}, {"wep", "1"}, {"wpa-psk", "2"}, {"wpa2-psk", "3"}, {"wpa-wpa2-psk", "4"}};
const char* const kCipher[][2] = {{"none", "n"}, {"wep64", "w64"}, {"wep128", "w128"},
                                  {"tkip", "t"}, {"aes", "a"},     {"tkip-aes", "ta"}};

const WirelessFields kWirelessFields = {"wl_ssid", "wl_sec", "wl_enc", "wl_key"};

// The options of a select, none of them selected: the page's script picks one.
template <std::size_t N>
std::string options(const char* const (&table)[N][2]) {
    std::string out;
    for (const auto& row : table)
        out += std::string("<option value=\"") + row[1] + "\">" + row[0] + "</option>";
    return out;
}

}  // namespace

MerrowinDevice::MerrowinDevice(const DeviceSpec& profile)
    : EmulatedDevice(profile), random_(std::random_device{}()) {
    auto shape = profile.options.find("script");
    shape_ = shape == profile.options.end() ? "vars" : shape->second;
    if (shape_ != "vars" && shape_ != "object" && shape_ != "element" && shape_ != "json" &&
        shape_ != "opaque")
        throw std::invalid_argument("merrowin: unknown script shape " + shape_);
    auto restart = profile.options.find("restartMs");
    setRestartDelay(restart == profile.options.end() ? kDefaultRestartMs
                                                     : std::atoi(restart->second.c_str()));
}

MerrowinDevice::~MerrowinDevice() {
    stop();
}

HttpReply MerrowinDevice::handle(const HttpRequest& request) {
    const std::string& path = request.path;
    bool post = request.method == "POST";
    if (post && path == "/login.cgi")
        return login(parseUrlEncoded(request.body));
    if (!post && path == "/login.html")
        return loginPage("");
    std::string token = sessionToken(request);
    if (token.empty() && path == "/") {
        HttpReply reply = page("Login", "<p><a href=\"/login.html\">Log in</a></p>", 302);
        reply.headers.emplace_back("Location", "/login.html");
        return reply;
    }
    if (token.empty())
        return loginPage("Your session has ended. Please log in.", 403);
    if (!post && (path == "/" || path == "/status.html"))
        return statusPage();
    if (!post && path == "/wireless.html")
        return wirelessPage(token);
    if (!post && path == "/wireless.json")
        return wirelessJson();
    if (!post && path == "/password.html")
        return passwordPage(token);
    if (post && (path == "/apply.cgi" || path == "/password.cgi")) {
        FormFields form = parseUrlEncoded(request.body);
        if (formField(form, "token") != token)
            return page("Error", "<p class=err>ERROR: the form has expired.</p>", 403);
        return path == "/apply.cgi" ? applyWireless(form) : applyPassword(form);
    }
    return page("Not found", "<p>No such page.</p>", 404);
}

std::string MerrowinDevice::sessionToken(const HttpRequest& request) const {
    std::string sid = cookieValue(request.header("Cookie"), kCookieName);
    std::lock_guard<std::mutex> lock(mutex_);
    auto session = sessions_.find(sid);
    return sid.empty() || session == sessions_.end() ? std::string() : session->second;
}

HttpReply MerrowinDevice::page(const std::string& title, const std::string& content,
                               int status) const {
    HttpReply reply;
    reply.status = status;
    reply.reason = status == 200   ? "OK"
                   : status == 302 ? "Found"
                   : status == 400 ? "Bad Request"
                   : status == 404 ? "Not Found"
                                   : "Forbidden";
    reply.headers.emplace_back("Server", "mw-httpd");
    reply.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    reply.headers.emplace_back("Cache-Control", "no-store");
    std::string model;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        model = spec_.model;
    }
    reply.body = "<!DOCTYPE html>\n<html><head><title>Merrowin " + htmlEscape(model) + " - " +
                 title + "</title></head>\n<body>\n<h1>" + title + "</h1>\n" + content +
                 "\n</body></html>\n";
    return reply;
}

HttpReply MerrowinDevice::loginPage(const std::string& note, int status) const {
    return page("Login",
                (note.empty() ? "" : "<p class=err>" + note + "</p>\n") +
                    "<form name=\"login\" action=\"/login.cgi\" method=\"post\">\n"
                    "<input type=\"text\" name=\"username\" value=\"\">\n"
                    "<input type=\"password\" name=\"password\" value=\"\">\n"
                    "<input type=\"submit\" value=\"Log in\">\n</form>",
                status);
}

HttpReply MerrowinDevice::login(const FormFields& form) {
    std::string sid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (form.count("username") != 0 && formField(form, "username") == spec_.username &&
            formField(form, "password") == spec_.password) {
            char text[2][17];
            for (auto& t : text)
                std::snprintf(t, sizeof t, "%08x%08x", static_cast<unsigned>(random_()),
                              static_cast<unsigned>(random_()));
            sid = text[0];
            if (sessions_.size() >= kMaxSessions)
                sessions_.erase(sessions_.begin());
            sessions_[sid] = text[1];
        }
    }
    if (sid.empty())
        return loginPage("Wrong user name or password.");
    HttpReply reply = page("Welcome", "<p><a href=\"/status.html\">Continue</a></p>");
    reply.headers.emplace_back("Set-Cookie", std::string(kCookieName) + "=" + sid + "; Path=/");
    return reply;
}

HttpReply MerrowinDevice::statusPage() const {
    std::string firmware, ssid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        firmware = spec_.firmware;
        ssid = spec_.wireless.ssid;
    }
    return page("Status", "<table><tr><th>Firmware</th><td id=\"fw\">" + htmlEscape(firmware) +
                              "</td></tr></table>\n<p><a href=\"/wireless.html\">Wireless</a> "
                              "<a href=\"/password.html\">Password</a></p>");
}

HttpReply MerrowinDevice::wirelessPage(const std::string& token) const {
    WirelessSettings w;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        w = spec_.wireless;
    }
    const std::string values[] = {w.ssid, translateMode(kSecurity, w.security, 0),
                                  translateMode(kCipher, w.encryption, 0), w.key};
    const char* const fields[] = {kWirelessFields.ssid, kWirelessFields.security,
                                  kWirelessFields.encryption, kWirelessFields.key};
    const char* const names[] = {"Ssid", "Sec", "Enc", "Key"};
    const char* const members[] = {"ssid", "sec", "enc", "key"};
    std::string script;
    for (int i = 0; i < 4; ++i) {
        std::string literal = "'" + jsEscape(values[i]) + "'";
        std::string target = std::string("document.getElementById('") + fields[i] + "').value";
        if (shape_ == "vars")
            script += std::string("var wl") + names[i] + " = " + literal + ";\n";
        else if (shape_ == "element")
            script += target + " = " + literal + ";\n";
        else if (shape_ == "opaque")
            script += target + " = atob('" + base64Encode(values[i]) + "');\n";
        else if (shape_ == "object")
            script += std::string(i == 0 ? "var cfg = {" : ", ") + members[i] + ": " + literal +
                      (i == 3 ? "};\n" : "");
    }
    if (shape_ == "vars")
        script += "var f = document.forms.wl;\n";
    for (int i = 0; i < 4; ++i) {
        std::string target = std::string("document.getElementById('") + fields[i] + "').value";
        if (shape_ == "vars")
            script += std::string("f.") + fields[i] + ".value = wl" + names[i] + ";\n";
        else if (shape_ == "object")
            script += target + " = cfg." + members[i] + ";\n";
    }
    if (shape_ == "json") {
        script =
            "fetch('/wireless.json').then(function (r) { return r.json(); })"
            ".then(function (d) {\n";
        for (int i = 0; i < 4; ++i)
            script += std::string("  document.getElementById('") + fields[i] +
                      "').value = d.wireless." + members[i] + ";\n";
        script += "});\n";
    }
    return page("Wireless",
                "<form name=\"wl\" id=\"wl\" action=\"/apply.cgi\" method=\"post\">\n"
                "<input type=\"hidden\" name=\"token\" value=\"" +
                    token +
                    "\">\n"
                    "SSID <input type=\"text\" name=\"wl_ssid\" id=\"wl_ssid\" value=\"\">\n"
                    "Security <select name=\"wl_sec\" id=\"wl_sec\">" +
                    options(kSecurity) +
                    "</select>\n"
                    "Encryption <select name=\"wl_enc\" id=\"wl_enc\">" +
                    options(kCipher) +
                    "</select>\n"
                    "Key <input type=\"password\" name=\"wl_key\" id=\"wl_key\" value=\"\">\n"
                    "<input type=\"submit\" name=\"save\" value=\"Save\">\n</form>\n"
                    "<script type=\"text/javascript\">\n" +
                    script + "</script>");
}

HttpReply MerrowinDevice::wirelessJson() const {
    WirelessSettings w;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        w = spec_.wireless;
    }
    HttpReply reply;
    reply.headers.emplace_back("Content-Type", "application/json");
    nlohmann::json j = {{"wireless",
                         {{"ssid", w.ssid},
                          {"sec", translateMode(kSecurity, w.security, 0)},
                          {"enc", translateMode(kCipher, w.encryption, 0)},
                          {"key", w.key}}}};
    reply.body = j.dump();
    return reply;
}

HttpReply MerrowinDevice::passwordPage(const std::string& token) const {
    return page("Password",
                "<form name=\"pw\" action=\"/password.cgi\" method=\"post\">\n"
                "<input type=\"hidden\" name=\"token\" value=\"" +
                    token +
                    "\">\n"
                    "Old password <input type=\"password\" name=\"old_password\">\n"
                    "New password <input type=\"password\" name=\"new_password\">\n"
                    "Again <input type=\"password\" name=\"new_password2\">\n"
                    "<input type=\"submit\" value=\"Change\">\n</form>");
}

HttpReply MerrowinDevice::applyWireless(const FormFields& form) {
    // A setting left out or emptied is refused, never taken as "none".
    const char* const required[] = {kWirelessFields.ssid, kWirelessFields.security,
                                    kWirelessFields.encryption, kWirelessFields.key};
    for (const char* name : required) {
        if (form.count(name) == 0)
            return page("Error", std::string("<p class=err>ERROR: ") + name + " is missing.</p>",
                        400);
    }
    WirelessSettings next;
    std::string problem = postedWireless(form, kWirelessFields, kSecurity, kCipher,
                                         "unknown security or encryption", next);
    if (!problem.empty())
        return page("Error", "<p class=err>ERROR: " + htmlEscape(problem) + "</p>");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        spec_.wireless = next;
    }
    // The listener closes at once: from this reply on, the device is away until it has restarted.
    rebootSoon();
    return page("Saved", "<p>Settings saved. The router restarts now.</p>");
}

HttpReply MerrowinDevice::applyPassword(const FormFields& form) {
    std::string next = formField(form, "new_password");
    const char* problem = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (formField(form, "old_password") != spec_.password)
            problem = "the old password is wrong.";
        else if (next.empty() || next.size() > 32 || next != formField(form, "new_password2"))
            problem = "enter the same new password (1-32) twice.";
        else
            spec_.password = next;
    }
    if (problem)
        return page("Error", std::string("<p class=err>ERROR: ") + problem + "</p>");
    return page("Saved", "<p>Your password has been changed.</p>");
}

}  // namespace krzlab
