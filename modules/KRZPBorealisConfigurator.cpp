#include "KRZPBorealisConfigurator.h"

#include "http/KRZPMultipartParams.h"
#include "platform/krzplatform.h"

#include <cstring>

namespace {

const char* const kUnit = "KRZPBorealisConfigurator";
// The device takes 1 to 31 characters for the password; the user name is held to the same.
const KRZPAccountRules kAccount = {"root", "borealis", true, 1, 31, 1, 31};
const KRZPWirelessForm kWireless = {"ssid",
                                    "sec",
                                    "cipher",
                                    "wpakey",
                                    {{"open", "wep", "wpapsk", "wpa2psk", "wpamixed"},
                                     {"none", "wep64", "wep128", "tkip", "aes", "both"}}};
const char* const kSessionCookie = "Set-Cookie: ";
// A restart takes about a second and a half; allow several times that.
const int kRestartPolls = 20;
const int kRestartPauseMs = 500;

// The body of the JavaScript literal assigned to `name` ("var name = '...';").
std::string jsVar(const std::string& page, const std::string& name) {
    KRZPHtmlParser parser(page);
    parser.skipPast("var " + name + " = '");
    return parser.grabJs('\'');
}

}  // namespace

KRZPBorealisConfigurator::KRZPBorealisConfigurator(const std::string& modelName,
                                                   const in_addr& address, const KRZMacAddress& mac)
    : KRZPSampleConfigurator("Borealis", modelName, kAccount, address, mac) {}

KRZPBorealisConfigurator::KRZPBorealisConfigurator(const std::string& modelName,
                                                   std::vector<KRZMacAddress> macs,
                                                   const std::string& userName,
                                                   const std::string& pass)
    : KRZPSampleConfigurator("Borealis", modelName, kAccount, std::move(macs), userName, pass) {}

std::string KRZPBorealisConfigurator::getValidUsernameChars() const {
    return getValidUsernameCharsRestrictive();
}

template <typename Work>
auto KRZPBorealisConfigurator::inSession(Work work) -> decltype(work()) {
    struct Logout {
        KRZPBorealisConfigurator* conf;
        ~Logout() {
            if (conf->getCancel())
                return;
            try {
                conf->fetchPage("/logout.cgi");
            } catch (...) {
                // The device ends an idle session by itself; the outcome stands.
            }
        }
    } logout{this};
    return work();
}

bool KRZPBorealisConfigurator::_testLogin() {
    setupConnection();
    return inSession([this] { return login(); });
}

bool KRZPBorealisConfigurator::login() {
    std::pair<std::string, std::string> credentials = getCredentials();
    KRZPFormParams form;
    form.addParam("uname", credentials.first);
    form.addParam("upass", credentials.second);
    sendRequest("/login.cgi", form, "", 1);
    boost::shared_ptr<KRZPAPComm> comm = getComm();
    const std::string& headers = comm->getResponseHeaders();
    size_t at = headers.find(kSessionCookie);
    if (at == std::string::npos) {
        log(L"login refused\n");
        return false;
    }
    KRZPHtmlParser parser(headers.substr(at + std::strlen(kSessionCookie)));
    std::string cookie = parser.grabTo(";");
    comm->setCookie("Cookie", cookie);
    return true;
}

void KRZPBorealisConfigurator::requireLogin() {
    if (!login()) {
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
}

std::string KRZPBorealisConfigurator::sessionPage(const std::string& url) {
    std::string page = fetchPage(url);
    // Without a session every page redirects to the login page.
    if (getComm()->getResponseHeaders().find(" 302 ") != std::string::npos) {
        requireLogin();
        page = fetchPage(url);
        if (getComm()->getResponseHeaders().find(" 302 ") != std::string::npos) {
            log(L"%hs: the session is not accepted\n", url.c_str());
            KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
        }
    }
    return page;
}

void KRZPBorealisConfigurator::_retrieveAttributes() {
    setupConnection();
    inSession([this] {
        requireLogin();
        setFirmwareRevision(jsVar(sessionPage("/status.html"), "sysFirmware"));
        std::string page = sessionPage("/wireless.html");
        storeWireless(
            jsVar(page, "wlanSsid"), securityFromName(kWireless.modes, jsVar(page, "wlanSecurity")),
            encryptionFromName(kWireless.modes, jsVar(page, "wlanCipher")), jsVar(page, "wlanKey"));
    });
}

bool KRZPBorealisConfigurator::_completeConfiguration() {
    setupConnection();
    return inSession([this] {
        requireLogin();
        // The account first: the wireless change restarts the device and ends the session.
        commitCredentials();
        commitWireless();
        return true;
    });
}

void KRZPBorealisConfigurator::writeCredentials() {
    sessionPage("/admin.html");
    KRZPMultipartParams parts;
    parts.addParam("newuser", getNewUsername());
    parts.addParam("newpass", getNewPassword());
    parts.addParam("confirm", getNewPassword());
    parts.addParam("save", "Save");
    if (getCancel()) {
        KRZPAPC_THROW(kUnit, "Operation cancelled", KRZPAPC_CANCELLED);
    }
    boost::shared_ptr<KRZPAPComm> comm = getComm();
    comm->openConnection(80, false);
    comm->writeMultipartPostRequest("/admin.cgi", parts);
    comm->readResponseSynchronous();
    requireText(comm->getResponseBody(), "Account settings saved.", "/admin.cgi");
    setCredentialsReally(getNewUsername(), getNewPassword());
}

void KRZPBorealisConfigurator::writeWireless() {
    // The page fills its form from script literals: start from the current values.
    std::string page = sessionPage("/wireless.html");
    std::map<std::string, std::string> form;
    form["ssid"] = jsVar(page, "wlanSsid");
    form["sec"] = jsVar(page, "wlanSecurity");
    form["cipher"] = jsVar(page, "wlanCipher");
    form["wpakey"] = jsVar(page, "wlanKey");
    form["save"] = "Save & Restart";
    putPendingWireless(kWireless, form);
    try {
        // The device restarts at once and cuts its reply short.
        sendMultipartRequest("/wireless.cgi", form, "", true);
    } catch (const KRZPAPCException& e) {
        if (e.getAPCErrorCode() != KRZPAPC_IO_ERROR)
            throw;
        log(L"the connection dropped as the device restarts\n");
    }
    waitUntilBack(kRestartPolls, kRestartPauseMs);
    // The restart ended the session; a new one keeps this configurator usable. The reply to the
    // change never arrived, so the settings page is the confirmation.
    requireLogin();
    if (jsVar(sessionPage("/wireless.html"), "wlanSsid") != form["ssid"]) {
        log(L"/wireless.cgi: the device came back without the new settings\n");
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
}
