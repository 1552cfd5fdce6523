#include "KRZPAcmeConfigurator.h"

namespace {

const KRZPModeNames kModes = {{"0", "1", "2", "3", "4"},
                              {"off", "wep64", "wep128", "tkip", "aes", "tkipaes"}};
const char* const kSaved = "Settings saved successfully.";

}  // namespace

KRZPAcmeConfigurator::KRZPAcmeConfigurator(const std::string& modelName, const in_addr& address,
                                           const KRZMacAddress& mac)
    : KRZPSampleConfigurator("Acme", modelName, address, mac) {}

KRZPAcmeConfigurator::KRZPAcmeConfigurator(const std::string& modelName,
                                           std::vector<KRZMacAddress> macs,
                                           const std::string& userName, const std::string& pass)
    : KRZPSampleConfigurator("Acme", modelName, std::move(macs), userName, pass) {}

std::pair<std::string, std::string> KRZPAcmeConfigurator::getDefaultCredentials() const {
    return {"admin", "admin"};
}

bool KRZPAcmeConfigurator::usesUsername() const {
    return true;
}

// The administrator form holds at most 15 characters in each field.
int KRZPAcmeConfigurator::getMinUsernameLen() const {
    return 1;
}

int KRZPAcmeConfigurator::getMaxUsernameLen() const {
    return 15;
}

int KRZPAcmeConfigurator::getMinPasswordLen() const {
    return 1;
}

int KRZPAcmeConfigurator::getMaxPasswordLen() const {
    return 15;
}

std::string KRZPAcmeConfigurator::getValidUsernameChars() const {
    return getValidUsernameCharsRestrictive();
}

void KRZPAcmeConfigurator::_retrieveAttributes() {
    setupConnection();
    std::string status = fetchPage("/index.htm");
    setFirmwareRevision(textAfter(status, "Firmware Version</td><td>", "<"));

    KRZPHtmlParser parser(fetchPage("/wireless.htm"));
    boost::shared_ptr<KRZPFormParams> form = parser.parseFormParams(false);
    storeWireless(formValue(*form, "ssid"), securityFromName(kModes, formValue(*form, "sec_mode")),
                  encryptionFromName(kModes, formValue(*form, "cipher")), formValue(*form, "psk"));
}

bool KRZPAcmeConfigurator::_completeConfiguration() {
    setupConnection();
    if (getSsidChanged() || getSecurityModeChanged()) {
        writeWireless();
        setSsidChanged(false);
        setSecurityModeChanged(false);
    }
    // Last, so that the changes above still log in with the credentials that were valid.
    if (getCredentialsChanged()) {
        writeCredentials();
        setCredentialsChanged(false);
    }
    return true;
}

void KRZPAcmeConfigurator::writeWireless() {
    // The form's token is good for one submission: take a fresh page for every change.
    KRZPHtmlParser parser(fetchPage("/wireless.htm"));
    boost::shared_ptr<KRZPFormParams> form = parser.parseFormParams(false);
    if (getSsidChanged()) {
        (*form)["ssid"] = getNewSsid();
    }
    if (getSecurityModeChanged()) {
        (*form)["sec_mode"] = securityName(kModes, getNewSecurityMode());
        (*form)["cipher"] = encryptionName(kModes, getNewEncryptionMode());
        (*form)["psk"] = pendingKeyText();
    }
    sendRequest("/goform/wireless", *form, kSaved, 1);
}

void KRZPAcmeConfigurator::writeCredentials() {
    KRZPHtmlParser parser(fetchPage("/admin.htm"));
    boost::shared_ptr<KRZPFormParams> form = parser.parseFormParams(false);
    (*form)["admin_user"] = getNewUsername();
    (*form)["admin_pass"] = getNewPassword();
    (*form)["admin_pass2"] = getNewPassword();
    sendRequest("/goform/admin", *form, kSaved, 1);
    setCredentialsReally(getNewUsername(), getNewPassword());
}
