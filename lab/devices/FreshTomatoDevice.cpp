#include "lab/devices/FreshTomatoDevice.h"

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

constexpr int kDefaultRestartMs = 10000;
// What the password fields show and post back when the password is to stay as it is.
const char kUnchanged[] = "**********";

// Lab security mode -> wl0_security_mode.
const char* const kSecurity[][2] = {{"none", "disabled"},
                                    {"wep", "wep"},
                                    {"wpa-psk", "wpa_personal"},
                                    {"wpa2-psk", "wpa2_personal"},
                                    {"wpa-wpa2-psk", "wpaX_personal"}};
// Lab cipher -> wl0_crypto (WPA modes only).
const char* const kCrypto[][2] = {{"tkip", "tkip"}, {"aes", "aes"}, {"tkip-aes", "tkip+aes"}};

// The wireless settings as the firmware keeps them: one variable a setting, the WPA passphrase
// apart from the WEP key.
struct NvWireless {
    std::string ssid, mode, crypto, psk, wepBit, keyIndex, key[4];
};

bool isWpa(const std::string& security) {
    return security.compare(0, 3, "wpa") == 0;
}

NvWireless toNvram(const WirelessSettings& w) {
    NvWireless nv;
    nv.ssid = w.ssid;
    nv.mode = translateMode(kSecurity, w.security, 0);
    nv.crypto = isWpa(w.security) ? translateMode(kCrypto, w.encryption, 0) : "aes";
    nv.psk = isWpa(w.security) ? w.key : "";
    nv.wepBit = w.encryption == "wep64" ? "64" : "128";
    nv.keyIndex = "1";
    nv.key[0] = w.security == "wep" ? w.key : "";
    return nv;
}

// The pages' script, in the project's words: visible fields for the network name and key drawn
// over the page's hidden ones (which its nvram fills), and a Save button that copies them back
// and posts the form to tomato.cgi as the firmware's pages do: by XMLHttpRequest with `_ajax=1`
// and the page id as `_http_id`, the answer's `@msg:` text shown under the button.
const char kTomatoJs[] =
    "function E(id) { return document.getElementById(id); }\n"
    "var shownFields = [['wl0_ssid', 'Network Name (SSID)', 'text'],\n"
    "                   ['wl0_wpa_psk', 'Shared Key', 'password']];\n"
    "function drawFields() {\n"
    "  var f = E('t_fom');\n"
    "  if (!f || !f.wl0_ssid) return;\n"
    "  var box = document.createElement('div');\n"
    "  shownFields.forEach(function (s) {\n"
    "    var label = document.createElement('label');\n"
    "    label.textContent = s[1] + ' ';\n"
    "    var input = document.createElement('input');\n"
    "    input.type = s[2]; input.id = '_' + s[0]; input.value = f[s[0]].value;\n"
    "    label.appendChild(input); box.appendChild(label);\n"
    "  });\n"
    "  var button = document.createElement('input');\n"
    "  button.type = 'button'; button.id = 'save-button'; button.value = 'Save';\n"
    "  button.onclick = save;\n"
    "  var note = document.createElement('div');\n"
    "  note.id = 'footer-msg';\n"
    "  box.appendChild(button); box.appendChild(note);\n"
    "  f.parentNode.insertBefore(box, f);\n"
    "}\n"
    "function save() {\n"
    "  var f = E('t_fom'), body = [];\n"
    "  shownFields.forEach(function (s) { f[s[0]].value = E('_' + s[0]).value; });\n"
    "  for (var i = 0; i < f.elements.length; i++)\n"
    "    if (f.elements[i].name)\n"
    "      body.push(encodeURIComponent(f.elements[i].name) + '=' +\n"
    "                encodeURIComponent(f.elements[i].value));\n"
    "  body.push('_ajax=1', '_http_id=' + encodeURIComponent(nvram.http_id));\n"
    "  E('save-button').disabled = true;\n"
    "  var x = new XMLHttpRequest();\n"
    "  x.open('POST', 'tomato.cgi');\n"
    "  x.setRequestHeader('Content-Type', 'application/x-www-form-urlencoded');\n"
    "  x.onload = function () { E('footer-msg').textContent = "
    "x.responseText.replace(/^@msg:/, ''); };\n"
    "  x.send(body.join('&'));\n"
    "}\n"
    "document.addEventListener('DOMContentLoaded', drawFields);\n";

// The nvram names of the wireless settings, in the order the pages list them.
const char* const kWirelessNames[] = {
    "wl0_ssid", "wl0_security_mode", "wl0_crypto", "wl0_wpa_psk", "wl0_wep_bit",
    "wl0_key",  "wl0_key1",          "wl0_key2",   "wl0_key3",    "wl0_key4"};

std::string* nvField(NvWireless& nv, int i) {
    std::string* fields[] = {&nv.ssid,     &nv.mode,   &nv.crypto, &nv.psk,    &nv.wepBit,
                             &nv.keyIndex, &nv.key[0], &nv.key[1], &nv.key[2], &nv.key[3]};
    return fields[i];
}

// The lab's settings from the firmware's variables; "" with `refused` naming the variable that
// does not fit.
WirelessSettings fromNvram(const NvWireless& nv, std::string& refused) {
    WirelessSettings w;
    w.ssid = nv.ssid;
    w.security = translateMode(kSecurity, nv.mode, 1);
    if (w.security.empty()) {
        refused = "wl0_security_mode";
    } else if (w.security == "none") {
        w.encryption = "none";
    } else if (w.security == "wep") {
        int index = nv.keyIndex.size() == 1 ? nv.keyIndex[0] - '1' : -1;
        if (nv.wepBit != "64" && nv.wepBit != "128")
            refused = "wl0_wep_bit";
        else if (index < 0 || index > 3)
            refused = "wl0_key";
        else
            w.key = nv.key[index];
        w.encryption = nv.wepBit == "64" ? "wep64" : "wep128";
    } else {
        w.encryption = translateMode(kCrypto, nv.crypto, 1);
        w.key = nv.psk;
        if (w.encryption.empty())
            refused = "wl0_crypto";
    }
    if (refused.empty() && !settingsProblem(w).empty())
        refused = w.ssid.empty() || w.ssid.size() > 32 ? "wl0_ssid"
                  : w.security == "wep"                ? "wl0_key1"
                                                       : "wl0_wpa_psk";
    return w;
}

std::string nvramObject(const std::vector<std::pair<std::string, std::string>>& values) {
    std::string out = "nvram = {\n";
    for (std::size_t i = 0; i < values.size(); ++i)
        out += "\t'" + values[i].first + "': '" + jsEscape(values[i].second) + "'" +
               (i + 1 < values.size() ? ",\n" : "};\n");
    return out;
}

}  // namespace

FreshTomatoDevice::FreshTomatoDevice(const DeviceSpec& profile)
    : EmulatedDevice(profile), random_(std::random_device{}()) {
    auto name = profile.options.find("routerName");
    routerName_ = name == profile.options.end() ? "FreshTomato" : name->second;
    httpId_ = newHttpId();
    // The lab option "restartMs" (a test's short restart) wins over the profile's.
    auto restart = profile.options.find("restartMs");
    setRestartDelay(restart != profile.options.end() ? std::atoi(restart->second.c_str())
                    : profile.restartMs > 0          ? profile.restartMs
                                                     : kDefaultRestartMs);
}

FreshTomatoDevice::~FreshTomatoDevice() {
    stop();
}

std::string FreshTomatoDevice::newHttpId() {
    char text[20];
    std::snprintf(text, sizeof text, "TID%08x%08x", static_cast<unsigned>(random_()),
                  static_cast<unsigned>(random_()));
    return text;
}

HttpReply FreshTomatoDevice::handle(const HttpRequest& request) {
    bool post = request.method == "POST";
    if (!post && request.method != "GET")
        return reply(501,
                     "<html><head><title>Error</title></head><body><h2>501 Not "
                     "Implemented</h2></body></html>");
    std::string user, password;
    bool sent = basicCredentials(request.header("Authorization"), user, password);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sent = sent && user == spec_.username && password == spec_.password;
    }
    if (!sent)
        return unauthorized();
    const std::string& path = request.path;
    if (path == "/tomato.cgi") {
        // The page id may come in the query or in the body, as any of the CGI's fields.
        FormFields form = parseUrlEncoded(request.body);
        for (const auto& field : parseUrlEncoded(request.query))
            form.insert(field);
        bool known;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            known = formField(form, "_http_id") == httpId_;
        }
        if (!known) {
            HttpReply none;
            none.cutAfter = 0;  // the firmware's handler exits: not one byte of reply
            return none;
        }
        return save(form);
    }
    if (path == "/" || path == "/index.asp" || path == "/status-overview.asp")
        return statusPage();
    if (path == "/basic-network.asp")
        return networkPage();
    if (path == "/admin-access.asp")
        return accessPage();
    if (path == "/tomato.js")
        return reply(200, kTomatoJs, "text/javascript");
    return reply(404,
                 "<html><head><title>Error</title></head><body><h2>404 Not Found</h2> "
                 "No such page.</body></html>");
}

HttpReply FreshTomatoDevice::reply(int status, const std::string& body, const char* type) const {
    HttpReply r;
    r.version = "HTTP/1.0";
    r.status = status;
    r.reason = status == 200   ? "OK"
               : status == 401 ? "Unauthorized"
               : status == 404 ? "Not Found"
                               : "Not Implemented";
    r.headers.emplace_back("Server", "httpd");
    r.headers.emplace_back("X-Frame-Options", "SAMEORIGIN");
    r.headers.emplace_back("Content-Type", type);
    r.headers.emplace_back("Cache-Control", "no-cache, no-store, must-revalidate, private");
    r.headers.emplace_back("Expires", "Thu, 31 Dec 1970 00:00:00 GMT");
    r.headers.emplace_back("Pragma", "no-cache");
    r.body = body;
    return r;
}

HttpReply FreshTomatoDevice::unauthorized() const {
    HttpReply r = reply(401,
                        "<html><head><title>401 Unauthorized</title></head><body>"
                        "<h2>401 Unauthorized</h2>Log in to administer the router."
                        "</body></html>\n");
    r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"" + routerName_ + "\"");
    return r;
}

HttpReply FreshTomatoDevice::page(const std::string& title, const std::string& nvram,
                                  const std::string& content) const {
    return reply(200, "<!DOCTYPE html>\n<html><head>\n<meta charset=\"utf-8\">\n<title>[" +
                          htmlEscape(routerName_) + "] " + title +
                          "</title>\n<script src=\"tomato.js\"></script>\n"
                          "<script>\n" +
                          nvram + "</script>\n</head>\n<body>\n" + content + "\n</body></html>\n");
}

HttpReply FreshTomatoDevice::statusPage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return page("Status: Overview",
                nvramObject({{"router_name", routerName_},
                             {"t_model_name", spec_.model},
                             {"os_version", spec_.firmware},
                             {"wl0_ssid", spec_.wireless.ssid},
                             {"http_id", httpId_}}),
                "<div id=\"content\"><a href=\"basic-network.asp\">Network</a> "
                "<a href=\"admin-access.asp\">Access</a></div>");
}

HttpReply FreshTomatoDevice::networkPage() const {
    std::vector<std::pair<std::string, std::string>> values;
    std::string fields;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        NvWireless nv = toNvram(spec_.wireless);
        for (int i = 0; i < 10; ++i)
            values.emplace_back(kWirelessNames[i], *nvField(nv, i));
        values.emplace_back("wl_unit", "0");
        values.emplace_back("http_id", httpId_);
    }
    // The form's fields are empty: the page's script fills them from the nvram object, as the
    // firmware's pages do.
    for (const char* name : kWirelessNames)
        fields += std::string("<input type=\"hidden\" name=\"") + name + "\" id=\"" + name +
                  "\" value=\"\">\n";
    return page("Basic: Network", nvramObject(values),
                "<form id=\"t_fom\" method=\"post\" action=\"tomato.cgi\">\n"
                "<input type=\"hidden\" name=\"_nextpage\" value=\"basic-network.asp\">\n"
                "<input type=\"hidden\" name=\"_nextwait\" value=\"10\">\n"
                "<input type=\"hidden\" name=\"_service\" value=\"*\">\n" +
                    fields +
                    "</form>\n<script>\n"
                    "for (var k in nvram) { var e = E(k); if (e) e.value = nvram[k]; }\n"
                    "</script>");
}

HttpReply FreshTomatoDevice::accessPage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return page(
        "Admin: Access", nvramObject({{"http_username", spec_.username}, {"http_id", httpId_}}),
        std::string("<form id=\"t_fom\" method=\"post\" action=\"tomato.cgi\">\n"
                    "<input type=\"hidden\" name=\"_nextpage\" "
                    "value=\"admin-access.asp\">\n"
                    "<input type=\"hidden\" name=\"_service\" value=\"admin-restart\">\n"
                    "User <input type=\"text\" name=\"http_username\" id=\"http_username\" "
                    "value=\"\">\n"
                    "Password <input type=\"password\" name=\"set_password_1\" "
                    "value=\"") +
            kUnchanged + "\">\nAgain <input type=\"password\" name=\"set_password_2\" value=\"" +
            kUnchanged + "\">\n</form>");
}

std::string FreshTomatoDevice::applyFields(const FormFields& form) {
    std::lock_guard<std::mutex> lock(mutex_);
    NvWireless nv = toNvram(spec_.wireless);
    bool wireless = false;
    for (int i = 0; i < 10; ++i) {
        auto posted = form.find(kWirelessNames[i]);
        if (posted != form.end()) {
            *nvField(nv, i) = posted->second;
            wireless = true;
        }
    }
    std::string refused;
    WirelessSettings next = wireless ? fromNvram(nv, refused) : spec_.wireless;
    std::string password = spec_.password;
    std::string username = spec_.username;
    auto user = form.find("http_username");
    if (refused.empty() && user != form.end()) {
        // An empty name is the firmware's default name.
        username = user->second.empty() ? "root" : user->second;
        if (username.size() > 32)
            refused = "http_username";
    }
    auto first = form.find("set_password_1");
    if (refused.empty() && first != form.end() && first->second != kUnchanged) {
        if (first->second.empty() || first->second.size() > 32 ||
            first->second != formField(form, "set_password_2"))
            refused = "password";
        password = first->second;
    }
    if (refused.empty()) {
        spec_.wireless = next;
        spec_.username = username;
        spec_.password = password;
    }
    return refused;
}

HttpReply FreshTomatoDevice::save(const FormFields& form) {
    bool ajax = formField(form, "_ajax") == "1";
    std::string refused = applyFields(form);
    if (!refused.empty()) {
        std::string text = "The value of " + refused + " was refused; nothing was changed.";
        return ajax ? reply(200, "@msg:" + text)
                    : page("Error", "", "<p class=\"error\">" + htmlEscape(text) + "</p>");
    }
    HttpReply r =
        ajax ? reply(200, "@msg:Settings saved.") : page("Saved", "", "<p>Settings saved.</p>");
    // Every service restarts, the web server with them; the page id stays (it is kept in nvram).
    if (formField(form, "_service") == "*")
        rebootSoon();
    return r;
}

}  // namespace krzlab
