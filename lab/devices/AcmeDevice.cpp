#include "lab/devices/AcmeDevice.h"

#include <algorithm>
#include <cstdio>

#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

// The radio's security modes as the form numbers them.
const char* const kSecurityModes[] = {"none", "wep", "wpa-psk", "wpa2-psk", "wpa-wpa2-psk"};
const char* const kSecurityLabels[] = {"Disabled", "WEP", "WPA-PSK", "WPA2-PSK",
                                       "WPA-PSK / WPA2-PSK (mixed)"};
// Encryption as the form names it, beside the lab's name.
const char* const kCiphers[][3] = {{"none", "off", "None"},
                                   {"wep64", "wep64", "WEP 64-bit"},
                                   {"wep128", "wep128", "WEP 128-bit"},
                                   {"tkip", "tkip", "TKIP"},
                                   {"aes", "aes", "AES (CCMP)"},
                                   {"tkip-aes", "tkipaes", "TKIP + AES"}};
constexpr std::size_t kMaxTokens = 8;

const char kStyle[] =
    "body{font-family:Verdana,Arial,sans-serif;font-size:11px;background:#e8eef4;margin:0}"
    ".hdr{background:#1d4f91;color:#fff;padding:8px 14px;font-size:16px}"
    ".nav a{color:#1d4f91;margin-right:12px}"
    "table.cfg{border-collapse:collapse;background:#fff}"
    "table.cfg td{border:1px solid #b9c9da;padding:4px 8px}"
    "td.lbl{background:#d5e1ee;font-weight:bold;width:180px}";

std::string securityLabel(const std::string& security) {
    for (std::size_t i = 0; i < 5; ++i) {
        if (security == kSecurityModes[i]) {
            return kSecurityLabels[i];
        }
    }
    return security;
}

std::string attr(bool on, const char* name) {
    return on ? std::string(" ") + name : std::string();
}

// A page of the admin pages as the device's web server sends it.
HttpReply htmlPage(const std::string& body, bool noCache) {
    HttpReply reply;
    reply.headers.emplace_back("Server", "AcmeWeb/1.4");
    reply.headers.emplace_back("Content-Type", "text/html");
    if (noCache) {
        reply.headers.emplace_back("Cache-Control", "no-cache");
    }
    reply.body = body;
    return reply;
}

std::string securityOptions(const std::string& selected) {
    std::string options;
    for (std::size_t i = 0; i < 5; ++i) {
        options += "<option value=\"" + std::to_string(i) + "\"" +
                   attr(selected == kSecurityModes[i], "selected") + ">" + kSecurityLabels[i] +
                   "</option>\n";
    }
    return options;
}

std::string cipherOptions(const std::string& selected) {
    std::string options;
    for (const auto& c : kCiphers) {
        options += "<option value=\"" + std::string(c[1]) + "\"" +
                   attr(selected == c[0], "selected") + ">" + c[2] + "</option>\n";
    }
    return options;
}

std::string channelOptions(const std::string& selected) {
    std::string options =
        "<option value=\"auto\"" + attr(selected == "auto", "selected") + ">Auto</option>\n";
    for (int ch = 1; ch <= 11; ++ch) {
        std::string v = std::to_string(ch);
        options += "<option value=\"" + v + "\"" + attr(selected == v, "selected") + ">" + v +
                   "</option>\n";
    }
    return options;
}

}  // namespace

AcmeDevice::AcmeDevice(const DeviceSpec& profile)
    : EmulatedDevice(profile), random_(std::random_device{}()) {}

AcmeDevice::~AcmeDevice() {
    stop();
}

void AcmeDevice::resetExtras() {
    broadcastSsid_ = true;
    band_ = "2g";
    channel_ = "auto";
    tokens_.clear();
}

HttpReply AcmeDevice::handle(const HttpRequest& request) {
    if (request.path == "/acme.css") {
        HttpReply css;
        css.headers.emplace_back("Content-Type", "text/css");
        css.body = kStyle;
        return css;
    }
    if (!authorized(request)) {
        return unauthorized();
    }
    const std::string& path = request.path;
    if (request.method == "GET" && (path == "/" || path == "/index.htm")) {
        return homePage();
    }
    if (request.method == "GET" && path == "/wireless.htm") {
        return wirelessPage();
    }
    if (request.method == "GET" && path == "/admin.htm") {
        return adminPage();
    }
    if (request.method == "POST" && path == "/goform/wireless") {
        return applyWireless(parseUrlEncoded(request.body));
    }
    if (request.method == "POST" && path == "/goform/admin") {
        return applyAdmin(parseUrlEncoded(request.body));
    }
    return notFound();
}

bool AcmeDevice::authorized(const HttpRequest& request) const {
    std::string user, password;
    if (!basicCredentials(request.header("Authorization"), user, password)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return user == spec_.username && password == spec_.password;
}

HttpReply AcmeDevice::unauthorized() const {
    std::string model;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        model = spec_.model;
    }
    HttpReply reply;
    reply.status = 401;
    reply.reason = "Unauthorized";
    reply.headers.emplace_back("Server", "AcmeWeb/1.4");
    reply.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Acme " + model + "\"");
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body =
        "<HTML><HEAD><TITLE>401 Unauthorized</TITLE></HEAD>\n<BODY BGCOLOR=\"#e8eef4\">\n"
        "<H2>401 Unauthorized</H2>\n<P>Access to this resource is denied; your client has not "
        "supplied the correct authentication.</P>\n<HR><ADDRESS>AcmeWeb/1.4</ADDRESS>\n"
        "</BODY></HTML>\n";
    return reply;
}

HttpReply AcmeDevice::notFound() const {
    HttpReply reply;
    reply.status = 404;
    reply.reason = "Not Found";
    reply.headers.emplace_back("Server", "AcmeWeb/1.4");
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.body =
        "<HTML><BODY><H2>404 Not Found</H2><P>The requested URL was not found on this "
        "server.</P></BODY></HTML>\n";
    return reply;
}

std::string AcmeDevice::layout(const std::string& title, const std::string& content) const {
    // mutex_ held by the caller
    return "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n<html>\n<head>\n"
           "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">\n"
           "<title>Acme " +
           htmlEscape(spec_.model) + " - " + title +
           "</title>\n"
           "<link rel=\"stylesheet\" href=\"/acme.css\" type=\"text/css\">\n</head>\n<body>\n"
           "<div class=\"hdr\">Acme Networks &nbsp;|&nbsp; Wireless Access Point " +
           htmlEscape(spec_.model) +
           "</div>\n<div class=\"nav\" style=\"padding:6px 14px\">"
           "<a href=\"/index.htm\">Status</a><a href=\"/wireless.htm\">Wireless</a>"
           "<a href=\"/admin.htm\">Administrator</a></div>\n"
           "<div style=\"padding:10px 14px\">\n" +
           content + "</div>\n</body>\n</html>\n";
}

HttpReply AcmeDevice::homePage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const DeviceSpec& s = spec_;
    std::string rows;
    auto row = [&rows](const std::string& label, const std::string& value) {
        rows += "<tr><td class=\"lbl\">" + label + "</td><td>" + htmlEscape(value) + "</td></tr>\n";
    };
    row("Vendor", "Acme Networks");
    row("Model", s.model);
    row("Firmware Version", s.firmware);
    row("MAC Address", s.mac);
    row("IP Address", s.address);
    row("SSID", s.wireless.ssid);
    row("Security", securityLabel(s.wireless.security));
    row("SSID Broadcast", broadcastSsid_ ? "Enabled" : "Disabled");
    return htmlPage(
        layout("Status", "<h3>Device Status</h3>\n<table class=\"cfg\">\n" + rows + "</table>\n"),
        true);
}

std::string AcmeDevice::issueToken() {
    // mutex_ held by the caller
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", static_cast<unsigned>(random_()),
                  static_cast<unsigned>(random_()));
    tokens_.push_back(text);
    if (tokens_.size() > kMaxTokens) {
        tokens_.pop_front();
    }
    return text;
}

bool AcmeDevice::takeToken(const FormFields& form) {
    // mutex_ held by the caller
    auto field = form.find("token");
    if (field == form.end()) {
        return false;
    }
    auto it = std::find(tokens_.begin(), tokens_.end(), field->second);
    if (it == tokens_.end()) {
        return false;
    }
    tokens_.erase(it);
    return true;
}

HttpReply AcmeDevice::wirelessPage() {
    std::lock_guard<std::mutex> lock(mutex_);
    const WirelessSettings& w = spec_.wireless;
    bool dualBand = spec_.model != "AP-100";
    std::string security = securityOptions(w.security);
    std::string ciphers = cipherOptions(w.encryption);
    std::string channels = channelOptions(channel_);
    std::string form =
        "<script type=\"text/javascript\">\n"
        "function secChanged(f) {\n"
        "  var off = f.sec_mode.selectedIndex == 0;\n"
        "  f.psk.disabled = off; f.cipher.disabled = off;\n"
        "}\n"
        "function checkForm(f) {\n"
        "  if (f.ssid.value.length < 1 || f.ssid.value.length > 32) {\n"
        "    alert('The SSID must be 1 to 32 characters.'); return false; }\n"
        "  return true;\n"
        "}\n"
        "</script>\n"
        "<h3>Wireless Settings</h3>\n"
        "<form name=\"wlform\" method=\"POST\" action=\"/goform/wireless\" "
        "onsubmit=\"return checkForm(this)\">\n"
        "<input type=\"hidden\" name=\"token\" value=\"" +
        issueToken() +
        "\">\n"
        "<table class=\"cfg\">\n"
        "<tr><td class=\"lbl\">Network Name (SSID)</td><td><input type=\"text\" name=\"ssid\" "
        "size=\"32\" maxlength=\"32\" value=\"" +
        htmlEscape(w.ssid) +
        "\"></td></tr>\n"
        "<tr><td class=\"lbl\">Broadcast SSID</td><td><input type=\"checkbox\" name=\"ssid_bcast\" "
        "value=\"1\"" +
        attr(broadcastSsid_, "checked") +
        "> Visible to all</td></tr>\n"
        "<tr><td class=\"lbl\">Band</td><td>"
        "<input type=\"radio\" name=\"band\" value=\"2g\"" +
        attr(band_ == "2g", "checked") +
        "> 2.4 GHz &nbsp; <input type=\"radio\" name=\"band\" value=\"5g\"" +
        attr(band_ == "5g", "checked") + attr(!dualBand, "disabled") +
        "> 5 GHz</td></tr>\n"
        "<tr><td class=\"lbl\">Channel</td><td><select name=\"channel\">\n" +
        channels +
        "</select></td></tr>\n"
        "<tr><td class=\"lbl\">Security Mode</td><td><select name=\"sec_mode\" "
        "onchange=\"secChanged(this.form)\">\n" +
        security +
        "</select></td></tr>\n"
        "<tr><td class=\"lbl\">Encryption</td><td><select name=\"cipher\">\n" +
        ciphers +
        "</select></td></tr>\n"
        "<tr><td class=\"lbl\">Key / Passphrase</td><td><input type=\"password\" name=\"psk\" "
        "size=\"40\" maxlength=\"64\" value=\"" +
        htmlEscape(w.key) +
        "\"></td></tr>\n"
        "</table>\n<p><input type=\"submit\" name=\"apply\" value=\"Apply\">&nbsp;"
        "<input type=\"reset\" value=\"Cancel\"></p>\n</form>\n";
    return htmlPage(layout("Wireless", form), true);
}

HttpReply AcmeDevice::adminPage() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string form =
        "<h3>Administrator</h3>\n"
        "<form method=\"POST\" action=\"/goform/admin\">\n"
        "<input type=\"hidden\" name=\"token\" value=\"" +
        issueToken() +
        "\">\n"
        "<table class=\"cfg\">\n"
        "<tr><td class=\"lbl\">User Name</td><td><input type=\"text\" name=\"admin_user\" "
        "maxlength=\"15\" value=\"" +
        htmlEscape(spec_.username) +
        "\"></td></tr>\n"
        "<tr><td class=\"lbl\">New Password</td><td><input type=\"password\" "
        "name=\"admin_pass\" maxlength=\"15\" value=\"\"></td></tr>\n"
        "<tr><td class=\"lbl\">Confirm Password</td><td><input type=\"password\" "
        "name=\"admin_pass2\" maxlength=\"15\" value=\"\"></td></tr>\n"
        "</table>\n<p><input type=\"submit\" name=\"save\" value=\"Save\"></p>\n</form>\n";
    return htmlPage(layout("Administrator", form), false);
}

HttpReply AcmeDevice::resultPage(const std::string& title, const std::string& message,
                                 bool ok) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string content = std::string("<h3>") + title +
                          "</h3>\n<p style=\"color:" + (ok ? "#1a7f1a" : "#c00000") + "\">" +
                          htmlEscape(message) + "</p>\n" +
                          (ok ? "<script type=\"text/javascript\">setTimeout(function(){"
                                "location.href='/index.htm';}, 3000);</script>\n"
                              : "<p><a href=\"javascript:history.back()\">Back</a></p>\n");
    return htmlPage(layout(title, content), false);
}

HttpReply AcmeDevice::applyWireless(const FormFields& form) {
    WirelessSettings next;
    next.ssid = formField(form, "ssid");
    std::string mode = formField(form, "sec_mode");
    next.security = mode.size() == 1 && mode[0] >= '0' && mode[0] <= '4'
                        ? kSecurityModes[mode[0] - '0']
                        : "invalid";
    std::string cipher = formField(form, "cipher");
    next.encryption = "invalid";
    for (const auto& c : kCiphers) {
        if (cipher == c[1]) {
            next.encryption = c[0];
        }
    }
    next.key = next.security == "none" ? std::string() : formField(form, "psk");
    std::string problem;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!takeToken(form)) {
            problem = "Session expired or invalid token. Please reload the page.";
        } else {
            problem = settingsProblem(next);
        }
        if (problem.empty()) {
            spec_.wireless = next;
            broadcastSsid_ = form.count("ssid_bcast") != 0;
            if (formField(form, "band") == "5g" && spec_.model != "AP-100") {
                band_ = "5g";
            } else if (formField(form, "band") == "2g") {
                band_ = "2g";
            }
            if (!formField(form, "channel").empty()) {
                channel_ = formField(form, "channel");
            }
        }
    }
    if (!problem.empty()) {
        return resultPage("Error", "Error: " + problem, false);
    }
    return resultPage("Wireless", "Settings saved successfully.", true);
}

HttpReply AcmeDevice::applyAdmin(const FormFields& form) {
    std::string user = formField(form, "admin_user");
    std::string pass = formField(form, "admin_pass");
    std::string problem;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!takeToken(form)) {
            problem = "Session expired or invalid token. Please reload the page.";
        } else if (user.empty() || user.size() > 15 || user.find(':') != std::string::npos) {
            problem = "The user name must be 1 to 15 characters and must not contain ':'.";
        } else if (pass.size() > 15) {
            problem = "The password must not be longer than 15 characters.";
        } else if (pass != formField(form, "admin_pass2")) {
            problem = "The passwords do not match.";
        } else {
            spec_.username = user;
            spec_.password = pass;
        }
    }
    if (!problem.empty()) {
        return resultPage("Error", "Error: " + problem, false);
    }
    return resultPage("Administrator", "Settings saved successfully.", true);
}

}  // namespace krzlab
