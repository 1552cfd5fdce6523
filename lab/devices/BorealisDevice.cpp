#include "lab/devices/BorealisDevice.h"

#include <cstdio>

#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

const char kCookieName[] = "BRSID";
constexpr std::size_t kMaxSessions = 8;
// The part of the "applying" page that leaves before the reboot cuts the connection.
constexpr std::size_t kRebootPageBytes = 180;

// Lab names of security and encryption beside the ones the pages use.
const char* const kSecurity[][2] = {{"none", "open"},
                                    {"wep", "wep"},
                                    {"wpa-psk", "wpapsk"},
                                    {"wpa2-psk", "wpa2psk"},
                                    {"wpa-wpa2-psk", "wpamixed"}};
const char* const kCipher[][2] = {{"none", "none"}, {"wep64", "wep64"}, {"wep128", "wep128"},
                                  {"tkip", "tkip"}, {"aes", "aes"},     {"tkip-aes", "both"}};

const WirelessFields kWirelessFields = {"ssid", "sec", "cipher", "wpakey"};

HttpReply chunkedReply() {
    HttpReply reply;
    reply.headers.emplace_back("Server", "BorealisHTTPD/2.2");
    reply.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    reply.headers.emplace_back("Pragma", "no-cache");
    reply.framing = Framing::Chunked;
    return reply;
}

}  // namespace

BorealisDevice::BorealisDevice(const DeviceSpec& profile)
    : EmulatedDevice(profile), random_(std::random_device{}()) {}

BorealisDevice::~BorealisDevice() {
    stop();
}

void BorealisDevice::resetExtras() {
    sessions_.clear();
    failuresInARow_ = 0;
}

int BorealisDevice::failedLogins() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failedLogins_;
}

size_t BorealisDevice::openSessions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

void BorealisDevice::onReboot() {
    sessions_.clear();
}

HttpReply BorealisDevice::handle(const HttpRequest& request) {
    const std::string& path = request.path;
    if (request.method == "POST" && path == "/login.cgi") {
        return login(parseUrlEncoded(request.body));
    }
    bool session = hasSession(request);
    if (request.method == "GET" && (path == "/" || path == "/login.html")) {
        return session && path == "/" ? statusPage() : loginPage("");
    }
    if (!session) {
        return redirectToLogin();
    }
    const std::string* type = request.header("Content-Type");
    std::string contentType = type != nullptr ? *type : std::string();
    if (request.method == "GET" && path == "/status.html") {
        return statusPage();
    }
    if (request.method == "GET" && path == "/wireless.html") {
        return wirelessPage();
    }
    if (request.method == "GET" && path == "/admin.html") {
        return adminPage();
    }
    if (request.method == "POST" && path == "/wireless.cgi") {
        return applyWireless(parseMultipart(contentType, request.body));
    }
    if (request.method == "POST" && path == "/admin.cgi") {
        return applyAdmin(parseMultipart(contentType, request.body));
    }
    if (path == "/logout.cgi") {
        return logout(request);
    }
    HttpReply reply = chunkedReply();
    reply.status = 404;
    reply.reason = "Not Found";
    reply.body = "<html><body><h1>Not Found</h1></body></html>\n";
    return reply;
}

bool BorealisDevice::hasSession(const HttpRequest& request) const {
    std::string sid = cookieValue(request.header("Cookie"), kCookieName);
    std::lock_guard<std::mutex> lock(mutex_);
    return !sid.empty() && sessions_.count(sid) != 0;
}

HttpReply BorealisDevice::page(const std::string& title, const std::string& content) const {
    // mutex_ held by the caller
    HttpReply reply = chunkedReply();
    reply.body =
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Borealis " +
        htmlEscape(spec_.model) + " &middot; " + title +
        "</title>\n"
        "<style>\nbody { margin:0; font:13px/1.5 'Helvetica Neue',Arial,sans-serif; "
        "color:#233; background:#f4f7f6; }\n"
        "#top { background:linear-gradient(#0b6e69,#08524e); color:#fff; padding:10px 18px; }\n"
        "#menu { float:left; width:150px; padding:12px; }\n#menu a { display:block; color:#0b6e69; "
        "}\n"
        "#main { margin-left:180px; padding:12px 18px; }\n"
        ".row { margin:6px 0; } .row label { display:inline-block; width:170px; }\n"
        "</style>\n</head>\n<body>\n<div id=\"top\"><b>BOREALIS</b> " +
        htmlEscape(spec_.model) +
        " Wireless Router</div>\n"
        "<div id=\"menu\"><a href=\"/status.html\">Status</a><a href=\"/wireless.html\">Wireless"
        "</a><a href=\"/admin.html\">Management</a><a href=\"/logout.cgi\">Log out</a></div>\n"
        "<div id=\"main\">\n" +
        content + "</div>\n</body>\n</html>\n";
    return reply;
}

HttpReply BorealisDevice::loginPage(const std::string& notice) const {
    std::lock_guard<std::mutex> lock(mutex_);
    HttpReply reply = chunkedReply();
    reply.body =
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Borealis " +
        htmlEscape(spec_.model) +
        " &middot; Login</title>\n"
        "<script type=\"text/javascript\">\n"
        "function doLogin(f) {\n"
        "  if (f.uname.value == '') { alert('Please enter the user name.'); return false; }\n"
        "  return true;\n}\n"
        "</script>\n</head>\n"
        "<body style=\"background:#0b6e69;font-family:Arial,sans-serif\">\n"
        "<div style=\"width:340px;margin:80px auto;background:#fff;padding:20px;"
        "border-radius:6px\">\n<h2 style=\"color:#0b6e69\">BOREALIS " +
        htmlEscape(spec_.model) + "</h2>\n" +
        (notice.empty() ? std::string()
                        : "<p id=\"err\" style=\"color:#b00\">" + notice + "</p>\n") +
        "<form name=\"login\" method=\"post\" action=\"/login.cgi\" "
        "onsubmit=\"return doLogin(this)\">\n"
        "<div>User name<br><input type=\"text\" name=\"uname\" value=\"\"></div>\n"
        "<div>Password<br><input type=\"password\" name=\"upass\" value=\"\"></div>\n"
        "<div><input type=\"submit\" value=\"Log in\"></div>\n</form>\n"
        "<p style=\"font-size:11px;color:#777\">Firmware " +
        htmlEscape(spec_.firmware) + "</p>\n</div>\n</body>\n</html>\n";
    return reply;
}

HttpReply BorealisDevice::redirectToLogin() const {
    HttpReply reply = chunkedReply();
    reply.status = 302;
    reply.reason = "Found";
    reply.headers.emplace_back("Location", "/login.html");
    reply.body = "<html><body>Please <a href=\"/login.html\">log in</a>.</body></html>\n";
    return reply;
}

HttpReply BorealisDevice::login(const FormFields& form) {
    std::string sid;
    bool locked = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        locked = spec_.lockoutAfter > 0 && failuresInARow_ >= spec_.lockoutAfter;
        if (locked) {
            ++failedLogins_;
        } else if (formField(form, "uname") == spec_.username &&
                   formField(form, "upass") == spec_.password && form.count("uname") != 0) {
            char text[25];
            std::snprintf(text, sizeof text, "%08x%08x%08x", static_cast<unsigned>(random_()),
                          static_cast<unsigned>(random_()), static_cast<unsigned>(random_()));
            sid = text;
            if (sessions_.size() >= kMaxSessions) {
                sessions_.erase(sessions_.begin());
            }
            sessions_.insert(sid);
            failuresInARow_ = 0;
        } else {
            ++failedLogins_;
            ++failuresInARow_;
        }
    }
    if (locked) {
        return loginPage("Too many failed logins. The login is locked for 5 minutes.");
    }
    if (sid.empty()) {
        return loginPage("Invalid user name or password.");
    }
    HttpReply reply = chunkedReply();
    reply.headers.emplace_back("Set-Cookie", std::string(kCookieName) + "=" + sid + "; path=/");
    reply.body =
        "<html><head><script type=\"text/javascript\">\n"
        "window.location.href = '/status.html';\n</script></head>\n"
        "<body>Login successful. <a href=\"/status.html\">Continue</a></body></html>\n";
    return reply;
}

HttpReply BorealisDevice::logout(const HttpRequest& request) {
    std::string sid = cookieValue(request.header("Cookie"), kCookieName);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.erase(sid);
    }
    return loginPage("You have logged out.");
}

HttpReply BorealisDevice::statusPage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const DeviceSpec& s = spec_;
    std::string content =
        "<h3>Router Status</h3>\n<script type=\"text/javascript\">\n"
        "var sysModel = '" +
        jsEscape(s.model) +
        "';\n"
        "var sysFirmware = '" +
        jsEscape(s.firmware) +
        "';\n"
        "var lanIp = '" +
        jsEscape(s.address) +
        "';\n"
        "var lanMac = '" +
        jsEscape(s.mac) +
        "';\n"
        "var wlanSsid = '" +
        jsEscape(s.wireless.ssid) +
        "';\n"
        "document.write('<table border=\"0\" cellpadding=\"3\">');\n"
        "document.write('<tr><td>Model<\\/td><td>' + sysModel + '<\\/td><\\/tr>');\n"
        "document.write('<tr><td>Firmware<\\/td><td>' + sysFirmware + '<\\/td><\\/tr>');\n"
        "document.write('<tr><td>LAN IP<\\/td><td>' + lanIp + '<\\/td><\\/tr>');\n"
        "document.write('<tr><td>MAC<\\/td><td>' + lanMac + '<\\/td><\\/tr>');\n"
        "document.write('<tr><td>Network name<\\/td><td>' + wlanSsid + '<\\/td><\\/tr>');\n"
        "document.write('<\\/table>');\n</script>\n";
    return page("Status", content);
}

HttpReply BorealisDevice::wirelessPage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const WirelessSettings& w = spec_.wireless;
    std::string content =
        "<h3>Wireless Security</h3>\n<script type=\"text/javascript\">\n"
        "var wlanSsid = '" +
        jsEscape(w.ssid) +
        "';\n"
        "var wlanSecurity = '" +
        translateMode(kSecurity, w.security, 0) +
        "';\n"
        "var wlanCipher = '" +
        translateMode(kCipher, w.encryption, 0) +
        "';\n"
        "var wlanKey = '" +
        jsEscape(w.key) +
        "';\n"
        "function pick(sel, v) {\n"
        "  for (var i = 0; i < sel.options.length; i++)\n"
        "    if (sel.options[i].value == v) sel.selectedIndex = i;\n}\n"
        "function init() {\n"
        "  var f = document.forms['wlan'];\n"
        "  f.ssid.value = wlanSsid; f.wpakey.value = wlanKey;\n"
        "  pick(f.sec, wlanSecurity); pick(f.cipher, wlanCipher);\n}\n"
        "window.onload = init;\n</script>\n"
        "<form name=\"wlan\" method=\"post\" action=\"/wireless.cgi\" "
        "enctype=\"multipart/form-data\">\n"
        "<div class=\"row\"><label>Network name (SSID)</label><input type=\"text\" name=\"ssid\" "
        "maxlength=\"32\"></div>\n"
        "<div class=\"row\"><label>Security</label><select name=\"sec\">"
        "<option value=\"open\">Open</option><option value=\"wep\">WEP</option>"
        "<option value=\"wpapsk\">WPA Personal</option>"
        "<option value=\"wpa2psk\">WPA2 Personal</option>"
        "<option value=\"wpamixed\">WPA/WPA2 Personal</option></select></div>\n"
        "<div class=\"row\"><label>Cipher</label><select name=\"cipher\">"
        "<option value=\"none\">None</option><option value=\"wep64\">WEP 64</option>"
        "<option value=\"wep128\">WEP 128</option><option value=\"tkip\">TKIP</option>"
        "<option value=\"aes\">AES</option><option value=\"both\">TKIP/AES</option>"
        "</select></div>\n"
        "<div class=\"row\"><label>Key</label><input type=\"password\" name=\"wpakey\" "
        "maxlength=\"64\"></div>\n"
        "<div class=\"row\"><input type=\"submit\" name=\"save\" value=\"Save &amp; Restart\">"
        "</div>\n</form>\n"
        "<p style=\"color:#777\">Saving restarts the router; it is back after a short while.</p>\n";
    return page("Wireless", content);
}

HttpReply BorealisDevice::adminPage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string content =
        "<h3>Management Account</h3>\n<script type=\"text/javascript\">\n"
        "var adminName = '" +
        jsEscape(spec_.username) +
        "';\n"
        "window.onload = function() { document.forms['acct'].newuser.value = adminName; };\n"
        "</script>\n"
        "<form name=\"acct\" method=\"post\" action=\"/admin.cgi\" "
        "enctype=\"multipart/form-data\">\n"
        "<div class=\"row\"><label>User name</label><input type=\"text\" name=\"newuser\"></div>\n"
        "<div class=\"row\"><label>New password</label><input type=\"password\" "
        "name=\"newpass\"></div>\n"
        "<div class=\"row\"><label>Repeat password</label><input type=\"password\" "
        "name=\"confirm\"></div>\n"
        "<div class=\"row\"><input type=\"submit\" name=\"save\" value=\"Save\"></div>\n</form>\n";
    return page("Management", content);
}

HttpReply BorealisDevice::applyWireless(const FormFields& form) {
    WirelessSettings next;
    std::string problem = postedWireless(form, kWirelessFields, kSecurity, kCipher,
                                         "unknown security or cipher", next);
    HttpReply reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!problem.empty()) {
            return page("Wireless", "<h3>Not saved</h3>\n<p style=\"color:#b00\">Invalid input: " +
                                        htmlEscape(problem) +
                                        ".</p>\n<p><a href=\"/wireless.html\">Back</a></p>\n");
        }
        spec_.wireless = next;
        reply = page("Restarting",
                     "<h3>Settings applied</h3>\n<p>The router is restarting to apply the new "
                     "settings. Please wait about a minute, then log in again.</p>\n");
    }
    // The reply starts, the reboot cuts it: only the first part of the page gets out.
    reply.cutAfter = bodyOffset(encodeReply(reply)) + kRebootPageBytes;
    rebootSoon();
    return reply;
}

HttpReply BorealisDevice::applyAdmin(const FormFields& form) {
    std::string user = formField(form, "newuser");
    std::string pass = formField(form, "newpass");
    std::lock_guard<std::mutex> lock(mutex_);
    std::string problem;
    if (user.empty() || user.size() > 31) {
        problem = "the user name must be 1 to 31 characters";
    } else if (pass.empty() || pass.size() > 31) {
        problem = "the password must be 1 to 31 characters";
    } else if (pass != formField(form, "confirm")) {
        problem = "the passwords differ";
    }
    if (!problem.empty()) {
        return page("Management", "<h3>Not saved</h3>\n<p style=\"color:#b00\">Invalid input: " +
                                      problem + ".</p>\n");
    }
    spec_.username = user;
    spec_.password = pass;
    return page("Management", "<h3>Saved</h3>\n<p>Account settings saved.</p>\n");
}

}  // namespace krzlab
