#include "KRZPAcmeConfigurator.h"

namespace {

// The administrator form holds at most 15 characters in each field.
const KRZPAccountRules kAccount = {"admin", "admin", true, 1, 15, 1, 15};
const KRZPWirelessForm kWireless = {
    "ssid",
    "sec_mode",
    "cipher",
    "psk",
    {{"0", "1", "2", "3", "4"}, {"off", "wep64", "wep128", "tkip", "aes", "tkipaes"}}};
const char* const kSaved = "Settings saved successfully.";

}  // namespace

KRZPAcmeConfigurator::KRZPAcmeConfigurator(const std::string& modelName, const in_addr& address,
                                           const KRZMacAddress& mac)
    : KRZPSampleConfigurator("Acme", modelName, kAccount, address, mac) {}

KRZPAcmeConfigurator::KRZPAcmeConfigurator(const std::string& modelName,
                                           std::vector<KRZMacAddress> macs,
                                           const std::string& userName, const std::string& pass)
    : KRZPSampleConfigurator("Acme", modelName, kAccount, std::move(macs), userName, pass) {}

std::string KRZPAcmeConfigurator::getValidUsernameChars() const {
    return getValidUsernameCharsRestrictive();
}

void KRZPAcmeConfigurator::_retrieveAttributes() {
    setupConnection();
    std::string status = fetchPage("/index.htm");
    setFirmwareRevision(textAfter(status, "Firmware Version</td><td>", "<"));
    storeWireless(kWireless, *fetchForm("/wireless.htm"));
}

bool KRZPAcmeConfigurator::_completeConfiguration() {
    setupConnection();
    commitWireless();
    // Last, so that the changes above still log in with the credentials that were valid.
    commitCredentials();
    return true;
}

void KRZPAcmeConfigurator::writeWireless() {
    // The form's token is good for one submission: take a fresh page for every change.
    boost::shared_ptr<KRZPFormParams> form = fetchForm("/wireless.htm");
    putPendingWireless(kWireless, *form);
    sendRequest("/goform/wireless", *form, kSaved, 1);
}

void KRZPAcmeConfigurator::writeCredentials() {
    boost::shared_ptr<KRZPFormParams> form = fetchForm("/admin.htm");
    (*form)["admin_user"] = getNewUsername();
    (*form)["admin_pass"] = getNewPassword();
    (*form)["admin_pass2"] = getNewPassword();
    sendRequest("/goform/admin", *form, kSaved, 1);
    setCredentialsReally(getNewUsername(), getNewPassword());
}
