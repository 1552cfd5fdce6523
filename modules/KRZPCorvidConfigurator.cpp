#include "KRZPCorvidConfigurator.h"

namespace {

// Out of the box the router has no password at all; the password form takes 1 to 12 characters.
const KRZPAccountRules kAccount = {"", "", false, 0, 0, 1, 12};
const KRZPWirelessForm kWireless = {
    "wl_ssid",
    "wl_auth",
    "wl_crypto",
    "wl_passphrase",
    {{"open", "wep", "wpa", "wpa2", "wpawpa2"}, {"none", "64", "128", "tkip", "aes", "tkip+aes"}}};
const char* const kApplied = "Your settings have been applied.";

}  // namespace

KRZPCorvidConfigurator::KRZPCorvidConfigurator(const std::string& modelName, const in_addr& address,
                                               const KRZMacAddress& mac)
    : KRZPSampleConfigurator("Corvid", modelName, kAccount, address, mac) {}

KRZPCorvidConfigurator::KRZPCorvidConfigurator(const std::string& modelName,
                                               std::vector<KRZMacAddress> macs,
                                               const std::string& userName, const std::string& pass)
    : KRZPSampleConfigurator("Corvid", modelName, kAccount, std::move(macs), userName, pass) {}

std::string KRZPCorvidConfigurator::getValidPasswordChars() const {
    return getValidPasswordCharsRestrictive();
}

void KRZPCorvidConfigurator::_retrieveAttributes() {
    setupConnection();
    std::string status = fetchPage("/status.htm");
    setFirmwareRevision(textAfter(status, "<td>Firmware</td><td>", "<"));
    storeWireless(kWireless, *fetchForm("/wireless.htm"));
}

bool KRZPCorvidConfigurator::_completeConfiguration() {
    setupConnection();
    commitWireless();
    commitCredentials();
    return true;
}

void KRZPCorvidConfigurator::writeWireless() {
    boost::shared_ptr<KRZPFormParams> form = fetchForm("/wireless.htm");
    putPendingWireless(kWireless, *form);
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
