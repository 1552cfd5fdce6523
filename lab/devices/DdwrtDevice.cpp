#include "lab/devices/DdwrtDevice.h"

#include <cstdlib>

#include "lab/devices/WirelessRules.h"

namespace krzlab {

namespace {

// What the administrator's fields show instead of the stored values; posted back, it keeps them.
const char kKeep[] = "d6nw5v1x2pc7st9m";
constexpr int kDefaultRestartMs = 10000;

const char* const kSecurity[][2] = {{"none", "disabled"},
                                    {"wpa-psk", "psk"},
                                    {"wpa2-psk", "psk2"},
                                    {"wpa-wpa2-psk", "psk psk2"},
                                    {"wep", "wep"}};
const char* const kCipher[][2] = {{"tkip", "tkip"}, {"aes", "aes"}, {"tkip-aes", "tkip+aes"}};
const char* const kWepBits[][2] = {{"wep64", "64"}, {"wep128", "128"}};

template <std::size_t N>
std::string select(const char* name, const char* const (&table)[N][2], const std::string& now) {
    std::string out = std::string("<select name=\"") + name + "\">";
    for (const auto& row : table)
        out += std::string("<option value=\"") + row[1] + "\"" +
               (now == row[1] ? " selected=\"selected\"" : "") + ">" + row[0] + "</option>";
    return out + "</select>\n";
}

std::string hiddenFields(const char* page) {
    return std::string("<input type=\"hidden\" name=\"submit_button\" value=\"") + page +
           "\" />\n<input type=\"hidden\" name=\"action\" value=\"Apply\" />\n"
           "<input type=\"hidden\" name=\"change_action\" value=\"\" />\n"
           "<input type=\"hidden\" name=\"submit_type\" value=\"\" />\n"
           "<input type=\"hidden\" name=\"commit\" value=\"1\" />\n";
}

const char kButtons[] =
    "<input class=\"button\" type=\"button\" name=\"save_button\" value=\"Save\" "
    "onclick=\"to_submit(this.form)\" />\n"
    "<input class=\"button\" type=\"button\" name=\"apply_button\" value=\"Apply Settings\" "
    "onclick=\"to_apply(this.form)\" />\n";

// Every page's menu: how a browser (and a recorder) reaches the pages from the status page.
const char kMenu[] =
    "<ul id=\"menuMainList\"><li><a href=\"index.asp\">Setup</a></li>"
    "<li><a href=\"Wireless_Basic.asp\">Wireless</a></li>"
    "<li><a href=\"Wireless_Security.asp\">Wireless Security</a></li>"
    "<li><a href=\"Management.asp\">Administration</a></li>"
    "<li><a href=\"Info.htm\">Status</a></li></ul>\n";

const char kFormScript[] =
    "<script type=\"text/javascript\">\n//<![CDATA[\n"
    "function to_submit(F) { F.action.value = \"Apply\"; apply(F); }\n"
    "function to_apply(F) { F.action.value = \"ApplyTake\"; applytake(F); }\n//]]>\n</script>\n";

// The scripts the pages load, in the project's words: the buttons' apply() and applytake() post
// the form with its action field set, as the firmware's do, and keep a second click from posting
// twice while the answer is on its way.
const char kCommonJs[] =
    "function lockButtons(F) {\n"
    "  for (var i = 0; i < F.elements.length; i++)\n"
    "    if (F.elements[i].type == 'button') F.elements[i].disabled = true;\n"
    "}\n"
    "function apply(F) { F.submit_type.value = ''; lockButtons(F); F.submit(); }\n"
    "function applytake(F) { F.elements['action'].value = 'ApplyTake'; apply(F); }\n";
const char kEnglishJs[] = "var share = { apply: 'Apply Settings', save: 'Save' };\n";

}  // namespace

DdwrtDevice::DdwrtDevice(const DeviceSpec& profile) : EmulatedDevice(profile) {
    auto name = profile.options.find("routerName");
    routerName_ = name == profile.options.end() ? "DD-WRT" : name->second;
    auto info = profile.options.find("infoPassword");
    infoPassword_ = info != profile.options.end() && info->second == "1";
    if (profile.lockoutAfter > 0)
        lockoutAfter_ = profile.lockoutAfter;
    auto restart = profile.options.find("restartMs");
    if (restart != profile.options.end())
        setRestartDelay(std::atoi(restart->second.c_str()));
    else if (profile.restartMs <= 0)
        setRestartDelay(kDefaultRestartMs);
}

DdwrtDevice::~DdwrtDevice() {
    stop();
}

HttpReply DdwrtDevice::handle(const HttpRequest& request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failuresInARow_ >= lockoutAfter_) {
            HttpReply closed;  // a blocked client's connection ends before any reply
            closed.cutAfter = 0;
            return closed;
        }
    }
    if (crossSite(request))
        return error(400, "Bad Request", "Cross Site Action detected!");
    std::string file = request.path.substr(1);
    if ((file.empty() || file == "Info.htm") && !infoPassword_) {
        std::lock_guard<std::mutex> lock(mutex_);
        return infoPage();
    }
    // The scripts the status page loads too, which asks for no password.
    if (file == "common.js" || file == "lang_pack/english.js")
        return scriptReply("httpd", file == "common.js" ? kCommonJs : kEnglishJs);
    bool known = file.empty() || file == "Info.htm" || file == "apply.cgi" || file == "index.asp" ||
                 file == "Wireless_Basic.asp" || file == "Wireless_Security.asp" ||
                 file == "Management.asp";
    if (!known)
        return error(404, "Not Found", "The file " + htmlEscape(file) + " is not here.");
    if (!authorized(request)) {
        return error(401, "Unauthorized", "Authorization required.",
                     "Basic realm=\"" + routerName_ + "\"");
    }
    if (file == "apply.cgi") {
        if (request.method != "POST")
            return error(400, "Bad Request", "Settings are posted.");
        return apply(parseUrlEncoded(request.body));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (file == "Wireless_Security.asp")
        return wirelessSecurity("");
    if (file == "Management.asp")
        return management("");
    if (file.empty() || file == "Info.htm")
        return infoPage();
    return wirelessBasic("");
}

bool DdwrtDevice::crossSite(const HttpRequest& request) {
    const std::string* referer = request.header("Referer");
    const std::string* host = request.header("Host");
    if (!referer)
        return request.method == "POST";
    std::size_t start = referer->find("//");
    if (!host || start == std::string::npos)
        return false;
    // The referer's host must be exactly the request's Host, followed by a path.
    std::string expected = *host + "/";
    return referer->compare(start + 2, expected.size(), expected) != 0;
}

bool DdwrtDevice::authorized(const HttpRequest& request) {
    std::string user, password;
    bool sent = basicCredentials(request.header("Authorization"), user, password);
    std::lock_guard<std::mutex> lock(mutex_);
    if (sent && user == spec_.username && password == spec_.password) {
        failuresInARow_ = 0;
        return true;
    }
    if (sent)
        ++failuresInARow_;  // a request without credentials is only asked for them
    return false;
}

HttpReply DdwrtDevice::apply(const FormFields& form) {
    std::string page = formField(form, "submit_button"), action = formField(form, "action");
    if (action != "Apply" && action != "ApplyTake")
        return error(400, "Bad Request", "Invalid action " + htmlEscape(action));
    std::unique_lock<std::mutex> lock(mutex_);
    WirelessSettings next = spec_.wireless;
    auto posted = [&](const char* name, std::string& into) {
        auto it = form.find(name);
        if (it != form.end())
            into = it->second;
    };
    std::string note;
    if (page == "Wireless_Basic") {
        posted("wl0_ssid", next.ssid);
    } else if (page == "Wireless_Security") {
        std::string mode = translateMode(kSecurity, next.security, 0);
        std::string cipher = translateMode(kCipher, next.encryption, 0);
        std::string bits = translateMode(kWepBits, next.encryption, 0);
        posted("wl0_security_mode", mode);
        posted("wl0_crypto", cipher);
        posted("wl0_wep_bit", bits);
        next.security = translateMode(kSecurity, mode, 1);
        if (next.security == "none") {
            next.encryption = "none";
            next.key.clear();
        } else if (next.security == "wep") {
            next.encryption = translateMode(kWepBits, bits.empty() ? "64" : bits, 1);
            posted("wl0_key1", next.key);
        } else {
            next.encryption = translateMode(kCipher, cipher.empty() ? "aes" : cipher, 1);
            posted("wl0_wpa_psk", next.key);
        }
        if (next.security.empty() || next.encryption.empty())
            note = "Invalid security mode or cipher.";
    } else if (page == "Management") {
        std::string user = spec_.username, password = spec_.password;
        posted("http_username", user);
        posted("http_passwd", password);
        if (user == kKeep)
            user = spec_.username;
        if (password == kKeep)
            password = spec_.password;
        if (user.empty() || password.empty() || user.size() > 63 || password.size() > 63) {
            note = "The user name and password take 1 to 63 characters.";
        } else {
            spec_.username = user;
            spec_.password = password;
        }
    } else {
        lock.unlock();
        return error(404, "Not Found", "No page " + htmlEscape(page) + ".");
    }
    if (note.empty() && page != "Management") {
        note = settingsProblem(next);
        if (note.empty())
            spec_.wireless = next;
    }
    if (note.empty() && action == "ApplyTake") {
        // The services restart once this page is out; the page shows the saved values.
        lock.unlock();
        rebootSoon();
        lock.lock();
    }
    if (page == "Wireless_Security")
        return wirelessSecurity(note);
    if (page == "Management")
        return management(note);
    return wirelessBasic(note);
}

std::string DdwrtDevice::build() const {
    std::size_t r = spec_.firmware.find("-r");
    std::size_t end = spec_.firmware.find_first_not_of("0123456789", r + 2);
    return r == std::string::npos ? "0" : spec_.firmware.substr(r + 2, end - r - 2);
}

HttpReply DdwrtDevice::page(const std::string& name, const std::string& title,
                            const std::string& content) const {
    HttpReply reply;
    reply.reason = "Ok";
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.headers.emplace_back("Server", "httpd");
    reply.headers.emplace_back("Cache-Control", "no-store, no-cache, must-revalidate");
    reply.headers.emplace_back("Pragma", "no-cache");
    reply.body = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\" />\n<title>" +
                 htmlEscape(routerName_) + " (build " + build() + ") - " + title +
                 "</title>\n<link type=\"text/css\" rel=\"stylesheet\" "
                 "href=\"style/elegant/style.css\" />\n"
                 "<script type=\"text/javascript\" src=\"common.js\"></script>\n"
                 "<script type=\"text/javascript\" src=\"lang_pack/english.js\"></script>\n"
                 "</head>\n<body class=\"gui\">\n<div id=\"main\">\n" +
                 kMenu + "<div id=\"contents\">\n" +
                 (name.empty() ? "" : "<h2>" + title + "</h2>\n") + content +
                 "</div>\n</div>\n</body>\n</html>\n";
    return reply;
}

HttpReply DdwrtDevice::infoPage() const {
    return page("", "Info",
                "<fieldset><legend>Router</legend>\n"
                "<div class=\"setting\"><div class=\"label\">Router Name</div>" +
                    htmlEscape(routerName_) +
                    "</div>\n"
                    "<div class=\"setting\"><div class=\"label\">Router Model</div>" +
                    htmlEscape(spec_.model) +
                    "</div>\n"
                    "<div class=\"setting\"><div class=\"label\">Firmware Version</div>"
                    "DD-WRT " +
                    htmlEscape(spec_.firmware) + " std (03/15/24)</div>\n</fieldset>\n");
}

HttpReply DdwrtDevice::wirelessBasic(const std::string& note) const {
    return page("Wireless_Basic", "Wireless",
                (note.empty() ? "" : "<div class=\"error\">" + htmlEscape(note) + "</div>\n") +
                    "<form name=\"wireless\" action=\"apply.cgi\" method=\"post\">\n" +
                    hiddenFields("Wireless_Basic") +
                    "<select name=\"wl0_mode\"><option value=\"ap\" selected=\"selected\">AP"
                    "</option><option value=\"sta\">Client</option></select>\n"
                    "<select name=\"wl0_net_mode\"><option value=\"mixed\" "
                    "selected=\"selected\">Mixed</option><option value=\"n-only\">N-Only"
                    "</option></select>\n"
                    "<input name=\"wl0_ssid\" size=\"20\" maxlength=\"32\" value=\"" +
                    htmlEscape(spec_.wireless.ssid) +
                    "\" />\n"
                    "<input type=\"radio\" name=\"wl0_closed\" value=\"0\" checked=\"checked\" />"
                    "<input type=\"radio\" name=\"wl0_closed\" value=\"1\" />\n" +
                    kButtons + "</form>\n" + kFormScript);
}

HttpReply DdwrtDevice::wirelessSecurity(const std::string& note) const {
    const WirelessSettings& w = spec_.wireless;
    std::string cipher = translateMode(kCipher, w.encryption, 0);
    return page(
        "Wireless_Security", "Wireless Security",
        (note.empty() ? "" : "<div class=\"error\">" + htmlEscape(note) + "</div>\n") +
            "<form name=\"wpa\" action=\"apply.cgi\" method=\"post\">\n" +
            hiddenFields("Wireless_Security") +
            "<input type=\"hidden\" name=\"security_varname\" value=\"wl0_security_mode\" />\n" +
            select("wl0_security_mode", kSecurity, translateMode(kSecurity, w.security, 0)) +
            select("wl0_crypto", kCipher, cipher.empty() ? "aes" : cipher) +
            "<input type=\"password\" name=\"wl0_wpa_psk\" maxlength=\"64\" value=\"" +
            htmlEscape(w.security == "wep" ? "" : w.key) + "\" />\n" +
            select("wl0_wep_bit", kWepBits, w.encryption == "wep128" ? "128" : "64") +
            "<input name=\"wl0_key1\" size=\"36\" value=\"" +
            htmlEscape(w.security == "wep" ? w.key : "") + "\" />\n" + kButtons + "</form>\n" +
            kFormScript);
}

HttpReply DdwrtDevice::management(const std::string& note) const {
    std::string keep = std::string("\" value=\"") + kKeep + "\" />\n";
    return page("Management", "Management",
                (note.empty() ? "" : "<div class=\"error\">" + htmlEscape(note) + "</div>\n") +
                    "<form name=\"setup\" action=\"apply.cgi\" method=\"post\">\n" +
                    hiddenFields("Management") +
                    "<input type=\"password\" name=\"http_username\" maxlength=\"63" + keep +
                    "<input type=\"password\" name=\"http_passwd\" maxlength=\"63" + keep +
                    "<input type=\"password\" name=\"http_passwdConfirm\" maxlength=\"63" + keep +
                    "<select name=\"remote_management\"><option value=\"0\" "
                    "selected=\"selected\">Disable</option><option value=\"1\">Enable</option>"
                    "</select>\n" +
                    kButtons + "</form>\n" + kFormScript);
}

HttpReply DdwrtDevice::error(int status, const std::string& reason, const std::string& text,
                             const std::string& authenticate) const {
    HttpReply reply;
    reply.status = status;
    reply.reason = reason;
    reply.headers.emplace_back("Content-Type", "text/html");
    reply.headers.emplace_back("Server", "httpd");
    if (!authenticate.empty())
        reply.headers.emplace_back("WWW-Authenticate", authenticate);
    std::string head = std::to_string(status) + " " + reason;
    reply.body = "<HTML><HEAD><TITLE>" + head + "</TITLE></HEAD>\n<BODY><H4>" + head + "</H4>\n" +
                 text + "\n</BODY></HTML>\n";
    return reply;
}

}  // namespace krzlab
