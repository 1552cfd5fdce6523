#include "lab/devices/CorvidDevice.h"

#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

const char kServer[] = "Corvid-Embedded/0.9";

const char* const kAuth[][2] = {{"none", "open"},
                                {"wep", "wep"},
                                {"wpa-psk", "wpa"},
                                {"wpa2-psk", "wpa2"},
                                {"wpa-wpa2-psk", "wpawpa2"}};
const char* const kCrypto[][2] = {{"none", "none"}, {"wep64", "64"}, {"wep128", "128"},
                                  {"tkip", "tkip"}, {"aes", "aes"},  {"tkip-aes", "tkip+aes"}};

const WirelessFields kWirelessFields = {"wl_ssid", "wl_auth", "wl_crypto", "wl_passphrase"};

// A page that runs until the close.
HttpReply closeReply(const char* version) {
    HttpReply reply;
    reply.version = version;
    reply.framing = Framing::Close;
    reply.headers.emplace_back("Server", kServer);
    reply.headers.emplace_back("Content-Type", "text/html");
    return reply;
}

const char kPageTop[] =
    "<html>\n<head>\n<title>Corvid Broadband Router</title>\n"
    "<link rel=stylesheet href=\"/style.css\">\n</head>\n"
    "<body bgcolor=\"#ffffff\" topmargin=0 leftmargin=0>\n"
    "<table width=\"100%\" cellspacing=0 cellpadding=6>\n"
    "<tr><td bgcolor=\"#2b2b2b\"><img src=\"/images/logo.gif\" width=120 height=32 "
    "alt=\"Corvid\"></td></tr>\n</table>\n";

// A page in the router's frame: the top bar, then `content`, read to the close.
HttpReply framedPage(const char* version, const std::string& content) {
    HttpReply reply = closeReply(version);
    reply.body = kPageTop + content;
    return reply;
}

// A small GIF, one palette per model: the only bytes by which the models tell themselves apart.
std::string gifLogo(const std::string& model) {
    unsigned char r = 0x20, g = 0x20, b = 0x20;
    if (model == "CV-20") {
        r = 0x10;
        g = 0x48;
        b = 0xb0;
    } else {
        r = 0xb0;
        g = 0x18;
        b = 0x18;
    }
    // One pixel of palette entry 0, which carries the model's colour.
    const unsigned char bytes[] = {'G', 'I', 'F', '8', '9',  'a',  1,    0,    1,    0, 0x80, 0,
                                   0,   r,   g,   b,   0xff, 0xff, 0xff, ',',  0,    0, 0,    0,
                                   1,   0,   1,   0,   0,    2,    2,    0x44, 0x01, 0, ';'};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace

CorvidDevice::CorvidDevice(const DeviceSpec& profile) : EmulatedDevice(profile) {}

CorvidDevice::~CorvidDevice() {
    stop();
}

HttpReply CorvidDevice::handle(const HttpRequest& request) {
    const std::string& path = request.path;
    if (path == "/images/logo.gif") {
        return logo();
    }
    if (path == "/style.css") {
        return styleSheet();
    }
    if (!authorized(request)) {
        return unauthorized();
    }
    if (request.method == "GET" && (path == "/" || path == "/index.html")) {
        return homePage();
    }
    if (request.method == "GET" && path == "/status.htm") {
        return statusPage();
    }
    if (request.method == "GET" && path == "/wireless.htm") {
        return wirelessPage();
    }
    if (request.method == "GET" && path == "/password.htm") {
        return passwordPage();
    }
    if (request.method == "GET" && path == "/reset.htm") {
        return resetPage();
    }
    if (path == "/wlset.cgi") {
        return applyWireless(
            parseUrlEncoded(request.method == "POST" ? request.body : request.query));
    }
    if (request.method == "POST" && path == "/pwset.cgi") {
        return applyPassword(parseUrlEncoded(request.body));
    }
    if (request.method == "POST" && path == "/reset.cgi") {
        return applyReset(parseUrlEncoded(request.body));
    }
    return notFound();
}

bool CorvidDevice::authorized(const HttpRequest& request) const {
    std::string user, password;
    bool sent = basicCredentials(request.header("Authorization"), user, password);
    // There is no user name: whatever the browser sends for it is ignored. Without a password
    // (as from the factory) a request without credentials is let in as well.
    std::lock_guard<std::mutex> lock(mutex_);
    return sent ? password == spec_.password : spec_.password.empty();
}

HttpReply CorvidDevice::unauthorized() const {
    HttpReply reply = closeReply("HTTP/1.0");
    reply.status = 401;
    reply.reason = "Unauthorized";
    reply.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Corvid Router\"");
    reply.body = std::string(kPageTop) +
                 "<p>&nbsp;</p><center><font face=Arial size=3 color=\"#b01818\"><b>Password "
                 "required</b></font><br>\n<font face=Arial size=2>Enter the router password "
                 "(leave the user name empty).</font></center>\n</body>\n</html>\n";
    return reply;
}

HttpReply CorvidDevice::notFound() const {
    HttpReply reply = closeReply("HTTP/1.0");
    reply.status = 404;
    reply.reason = "Not Found";
    reply.body = "<html><body>404 - file not found</body></html>\n";
    return reply;
}

HttpReply CorvidDevice::logo() const {
    HttpReply reply = closeReply("HTTP/1.0");
    reply.headers.back().second = "image/gif";
    std::lock_guard<std::mutex> lock(mutex_);
    reply.body = gifLogo(spec_.model);
    return reply;
}

HttpReply CorvidDevice::styleSheet() const {
    HttpReply reply = closeReply("HTTP/1.1");
    reply.headers.back().second = "text/css";
    std::lock_guard<std::mutex> lock(mutex_);
    std::string accent = spec_.model == "CV-20" ? "#1048b0" : "#b01818";
    reply.body =
        "body,td { font-family: Arial, Helvetica; font-size: 12px; }\n"
        "h1 { color: " +
        accent +
        "; font-size: 16px; }\n"
        "a:link, a:visited { color: " +
        accent +
        "; }\n"
        ".box { border: 1px solid #cccccc; padding: 8px; }\n";
    return reply;
}

HttpReply CorvidDevice::homePage() const {
    // The same for every model: it names no model and no setting.
    return framedPage(
        "HTTP/1.0",
        "<table cellpadding=8><tr><td valign=top width=160>\n"
        "<a href=\"/status.htm\">Status</a><br>\n<a href=\"/wireless.htm\">Wireless</a>"
        "<br>\n<a href=\"/password.htm\">Password</a><br>\n"
        "<a href=\"/reset.htm\">Factory Defaults</a></td>\n"
        "<td valign=top><h1>Welcome</h1>Use the menu to configure your Corvid "
        "router.</td></tr></table>\n</body>\n</html>\n");
}

HttpReply CorvidDevice::statusPage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    HttpReply reply;
    reply.framing = Framing::Bare;  // this page has always gone out without a status line
    reply.body = std::string(kPageTop) +
                 "<h1>Status</h1>\n<table class=box>\n"
                 "<tr><td>Model</td><td>" +
                 htmlEscape(spec_.model) +
                 "</td></tr>\n"
                 "<tr><td>Firmware</td><td>" +
                 htmlEscape(spec_.firmware) +
                 "</td></tr>\n"
                 "<tr><td>LAN IP</td><td>" +
                 htmlEscape(spec_.address) +
                 "</td></tr>\n"
                 "<tr><td>MAC</td><td>" +
                 htmlEscape(spec_.mac) +
                 "</td></tr>\n"
                 "<tr><td>SSID</td><td>" +
                 htmlEscape(spec_.wireless.ssid) +
                 "</td></tr>\n"
                 "</table>\n</body>\n</html>\n";
    return reply;
}

HttpReply CorvidDevice::wirelessPage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const WirelessSettings& w = spec_.wireless;
    auto options = [](const auto& table, const std::string& current, const char* const* labels) {
        std::string out;
        std::size_t i = 0;
        for (const auto& row : table) {
            out += std::string("<option value=\"") + row[1] + "\"" +
                   (current == row[0] ? " selected" : "") + ">" + labels[i++] + "\n";
        }
        return out;
    };
    static const char* const authLabels[] = {"Open", "Shared WEP", "WPA", "WPA2", "WPA+WPA2"};
    static const char* const cryptoLabels[] = {"None", "64 bit WEP", "128 bit WEP",
                                               "TKIP", "AES",        "TKIP+AES"};
    return framedPage(
        "HTTP/1.1",
        "<h1>Wireless</h1>\n"
        "<form action=\"/wlset.cgi\" method=\"get\">\n<table class=box>\n"
        "<tr><td>SSID</td><td><input name=wl_ssid size=32 maxlength=32 value=\"" +
            htmlEscape(w.ssid) +
            "\"></td></tr>\n"
            "<tr><td>Authentication</td><td><select name=wl_auth>\n" +
            options(kAuth, w.security, authLabels) +
            "</select></td></tr>\n"
            "<tr><td>Encryption</td><td><select name=wl_crypto>\n" +
            options(kCrypto, w.encryption, cryptoLabels) +
            "</select></td></tr>\n"
            "<tr><td>Passphrase</td><td><input type=password name=wl_passphrase size=40 "
            "maxlength=64 value=\"" +
            htmlEscape(w.key) +
            "\"></td></tr>\n"
            "</table>\n<input type=submit name=wl_apply value=\"Apply\">\n</form>\n"
            "</body>\n</html>\n");
}

HttpReply CorvidDevice::passwordPage() const {
    return framedPage(
        "HTTP/1.1",
        "<h1>Router Password</h1>\n"
        "<form action=\"/pwset.cgi\" method=\"post\">\n<table class=box>\n"
        "<tr><td>Current password</td><td><input type=password name=curpw></td></tr>\n"
        "<tr><td>New password</td><td><input type=password name=newpw></td></tr>\n"
        "<tr><td>Re-enter</td><td><input type=password name=newpw2></td></tr>\n"
        "</table>\n<input type=submit value=\"Change\">\n</form>\n</body>\n</html>\n");
}

HttpReply CorvidDevice::resetPage() const {
    return framedPage("HTTP/1.1",
                      "<h1>Factory Defaults</h1>\n"
                      "<p>Restoring the factory defaults erases all settings, including the "
                      "password and the LAN address.</p>\n"
                      "<form action=\"/reset.cgi\" method=\"post\" "
                      "onsubmit=\"return confirm('Restore factory defaults?');\">\n"
                      "<input type=hidden name=restore value=1>\n"
                      "<input type=submit name=go value=\"Restore Factory Defaults\">\n</form>\n"
                      "</body>\n</html>\n");
}

HttpReply CorvidDevice::message(const std::string& text) const {
    return framedPage("HTTP/1.1",
                      "<p>&nbsp;</p><center class=box>" + text +
                          "<br><br><a href=\"/\">Continue</a></center>\n</body>\n</html>\n");
}

HttpReply CorvidDevice::applyWireless(const FormFields& form) {
    WirelessSettings next;
    std::string problem = postedWireless(form, kWirelessFields, kAuth, kCrypto,
                                         "unsupported authentication or encryption", next);
    if (!problem.empty()) {
        return message("ERROR: " + htmlEscape(problem));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        spec_.wireless = next;
    }
    return message("Your settings have been applied.");
}

HttpReply CorvidDevice::applyPassword(const FormFields& form) {
    std::string next = formField(form, "newpw");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (formField(form, "curpw") != spec_.password) {
            return message("ERROR: the current password is wrong.");
        }
        if (next.empty() || next.size() > 12 || next != formField(form, "newpw2")) {
            return message("ERROR: enter the same new password (1-12 characters) twice.");
        }
        spec_.password = next;
    }
    return message("Your settings have been applied.");
}

HttpReply CorvidDevice::applyReset(const FormFields& form) {
    if (formField(form, "restore") != "1") {
        return message("ERROR: nothing to do.");
    }
    std::string moved;
    std::string address;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        moved = resetLocked();
        address = spec_.address;
    }
    HttpReply reply = message("Factory defaults restored. The router restarts at http://" +
                              htmlEscape(address) + "/");
    if (!moved.empty()) {
        reply.afterClose = [this, moved] { announceAddress(moved); };
    }
    return reply;
}

}  // namespace krzlab
