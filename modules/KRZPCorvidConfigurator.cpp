#include "KRZPCorvidConfigurator.h"

namespace {

const KRZPModeNames kModes = {{"open", "wep", "wpa", "wpa2", "wpawpa2"},
                              {"none", "64", "128", "tkip", "aes", "tkip+aes"}};
const char* const kApplied = "Your settings have been applied.";

}  // namespace

KRZPCorvidConfigurator::KRZPCorvidConfigurator(const std::string& modelName, const in_addr& address,
                                               const KRZMacAddress& mac)
    : KRZPSampleConfigurator("Corvid", modelName, address, mac) {}

KRZPCorvidConfigurator::KRZPCorvidConfigurator(const std::string& modelName,
                                               std::vector<KRZMacAddress> macs,
                                               const std::string& userName, const std::string& pass)
    : KRZPSampleConfigurator("Corvid", modelName, std::move(macs), userName, pass) {}

// Out of the box the router has no password at all.
std::pair<std::string, std::string> KRZPCorvidConfigurator::getDefaultCredentials() const {
    return {"", ""};
}

bool KRZPCorvidConfigurator::usesUsername() const {
    return false;
}

// The password form takes 1 to 12 characters.
int KRZPCorvidConfigurator::getMinPasswordLen() const {
    return 1;
}

int KRZPCorvidConfigurator::getMaxPasswordLen() const {
    return 12;
}

std::string KRZPCorvidConfigurator::getValidPasswordChars() const {
    return getValidPasswordCharsRestrictive();
}

void KRZPCorvidConfigurator::_retrieveAttributes() {
    setupConnection();
    std::string status = fetchPage("/status.htm");
    setFirmwareRevision(textAfter(status, "<td>Firmware</td><td>", "<"));

    KRZPHtmlParser parser(fetchPage("/wireless.htm"));
    boost::shared_ptr<KRZPFormParams> form = parser.parseFormParams(false);
    storeWireless(formValue(*form, "wl_ssid"),
                  securityFromName(kModes, formValue(*form, "wl_auth")),
                  encryptionFromName(kModes, formValue(*form, "wl_crypto")),
                  formValue(*form, "wl_passphrase"));
}

bool KRZPCorvidConfigurator::_completeConfiguration() {
    setupConnection();
    if (getSsidChanged() || getSecurityModeChanged()) {
        writeWireless();
        setSsidChanged(false);
        setSecurityModeChanged(false);
    }
    if (getCredentialsChanged()) {
        writeCredentials();
        setCredentialsChanged(false);
    }
    return true;
}

void KRZPCorvidConfigurator::writeWireless() {
    KRZPHtmlParser parser(fetchPage("/wireless.htm"));
    boost::shared_ptr<KRZPFormParams> form = parser.parseFormParams(false);
    if (getSsidChanged()) {
        (*form)["wl_ssid"] = getNewSsid();
    }
    if (getSecurityModeChanged()) {
        (*form)["wl_auth"] = securityName(kModes, getNewSecurityMode());
        (*form)["wl_crypto"] = encryptionName(kModes, getNewEncryptionMode());
        (*form)["wl_passphrase"] = pendingKeyText();
    }
    // The form's method is GET: the settings travel in the query.
    fetchPage("/wlset.cgi", *form, kApplied);
}

void KRZPCorvidConfigurator::writeCredentials() {
    KRZPFormParams form;
    form.addParam("curpw", getCredentials().second);
    form.addParam("newpw", getNewPassword());
    form.addParam("newpw2", getNewPassword());
    sendRequest("/pwset.cgi", form, kApplied, 1);
    setCredentialsReally(getCredentials().first, getNewPassword());
}
