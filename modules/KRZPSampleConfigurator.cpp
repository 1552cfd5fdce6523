#include "KRZPSampleConfigurator.h"

#include <boost/make_shared.hpp>

#include <utility>

namespace {

const char* const kUnit = "KRZPSampleConfigurator";

// The index of `name` among the first `count` names, -1 when none is `name`.
int indexOf(const char* const* names, int count, const std::string& name) {
    for (int i = 0; i < count; ++i) {
        if (name == names[i])
            return i;
    }
    return -1;
}

}  // namespace

KRZPSampleConfigurator::KRZPSampleConfigurator(const std::string& vendorName,
                                               const std::string& modelName,
                                               const KRZPAccountRules& accountRules,
                                               const in_addr& address, const KRZMacAddress& mac)
    : KRZPHttpConfigurator(address, mac),
      vendor(vendorName),
      model(modelName),
      rules(accountRules) {}

KRZPSampleConfigurator::KRZPSampleConfigurator(const std::string& vendorName,
                                               const std::string& modelName,
                                               const KRZPAccountRules& accountRules,
                                               std::vector<KRZMacAddress> macs,
                                               const std::string& userName, const std::string& pass)
    : KRZPHttpConfigurator(std::move(macs), userName, pass),
      vendor(vendorName),
      model(modelName),
      rules(accountRules) {}

std::string KRZPSampleConfigurator::getVendorName() const {
    return vendor;
}

std::string KRZPSampleConfigurator::getModelName() const {
    return model;
}

std::pair<std::string, std::string> KRZPSampleConfigurator::getDefaultCredentials() const {
    return {rules.defaultUsername, rules.defaultPassword};
}

bool KRZPSampleConfigurator::usesUsername() const {
    return rules.usesUsername;
}

int KRZPSampleConfigurator::getMinUsernameLen() const {
    return rules.minUsernameLen;
}

int KRZPSampleConfigurator::getMaxUsernameLen() const {
    return rules.maxUsernameLen;
}

int KRZPSampleConfigurator::getMinPasswordLen() const {
    return rules.minPasswordLen;
}

int KRZPSampleConfigurator::getMaxPasswordLen() const {
    return rules.maxPasswordLen;
}

void KRZPSampleConfigurator::_openConnection(int connectAttempts) {
    boost::shared_ptr<KRZPAPComm> comm = getComm();
    if (!comm) {
        KRZPAPC_THROW(kUnit, "", KRZPAPC_NOT_CONNECTED);
    }
    for (int attempt = 1;; ++attempt) {
        try {
            comm->openConnection(80, false);
            return;
        } catch (const KRZPAPCException& e) {
            if (e.getAPCErrorCode() != KRZPAPC_CONNECT_ERROR || attempt >= connectAttempts)
                throw;
        }
        sleep(500);
    }
}

std::string KRZPSampleConfigurator::fetchPage(const std::string& url) {
    return fetchPage(url, KRZPFormParams(), std::string());
}

std::string KRZPSampleConfigurator::fetchPage(const std::string& url, const KRZPFormParams& query,
                                              const std::string& expected) {
    // The GET senders do not look at the cancel event, and a new request clears the connection's
    // own flag: a cancel that arrived between two requests must be honoured here.
    if (getCancel()) {
        KRZPAPC_THROW(kUnit, "Operation cancelled", KRZPAPC_CANCELLED);
    }
    sendGetRequest(url, query, expected, false);
    boost::shared_ptr<KRZPAPComm> comm = getComm();
    if (comm->getResponseHeaders().find(" 401 ") != std::string::npos) {
        log(L"%hs: the device refused the credentials\n", url.c_str());
        KRZPAPC_THROW(kUnit, "", KRZPAPC_AUTH_ERROR);
    }
    return comm->getResponseBody();
}

boost::shared_ptr<KRZPFormParams> KRZPSampleConfigurator::fetchForm(const std::string& url) {
    KRZPHtmlParser parser(fetchPage(url));
    return parser.parseFormParams(false);
}

void KRZPSampleConfigurator::requireText(const std::string& page, const std::string& expected,
                                         const char* what) {
    if (page.find(expected) == std::string::npos) {
        log(L"%hs: the device did not confirm the change\n", what);
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
}

void KRZPSampleConfigurator::storeWireless(const std::string& ssidText, _KRZPSecurityMode mode,
                                           _KRZPEncryptionMode encryption,
                                           const std::string& keyText) {
    setSSID(ssidText);
    setSecurityMode(mode);
    setEncryptionMode(encryption);
    setKey(keyText.empty() ? boost::shared_ptr<KRZPKey>() : boost::make_shared<KRZPKey>(keyText));
}

void KRZPSampleConfigurator::storeWireless(const KRZPWirelessForm& fields,
                                           const KRZPFormParams& form) {
    storeWireless(formValue(form, fields.ssid),
                  securityFromName(fields.modes, formValue(form, fields.security)),
                  encryptionFromName(fields.modes, formValue(form, fields.encryption)),
                  formValue(form, fields.key));
}

void KRZPSampleConfigurator::commitWireless() {
    if (getSsidChanged() || getSecurityModeChanged()) {
        writeWireless();
        setSsidChanged(false);
        setSecurityModeChanged(false);
    }
}

void KRZPSampleConfigurator::commitCredentials() {
    if (getCredentialsChanged()) {
        writeCredentials();
        setCredentialsChanged(false);
    }
}

std::string KRZPSampleConfigurator::pendingKeyText() const {
    boost::shared_ptr<KRZPKey> pending = getNewKey();
    return pending ? pending->getKey() : std::string();
}

_KRZPSecurityMode KRZPSampleConfigurator::securityFromName(const KRZPModeNames& names,
                                                           const std::string& name) {
    int index = indexOf(names.security, 5, name);
    return index < 0 ? KRZP_SECURITY_UNSET
                     : static_cast<_KRZPSecurityMode>(KRZP_SECURITY_NONE + index);
}

_KRZPEncryptionMode KRZPSampleConfigurator::encryptionFromName(const KRZPModeNames& names,
                                                               const std::string& name) {
    int index = indexOf(names.encryption, 6, name);
    return index < 0 ? KRZP_ENCRYPTION_UNSET
                     : static_cast<_KRZPEncryptionMode>(KRZP_ENCRYPTION_NONE + index);
}

const char* KRZPSampleConfigurator::securityName(const KRZPModeNames& names,
                                                 _KRZPSecurityMode mode) const {
    return modeName(names.security, 5, mode - KRZP_SECURITY_NONE, "security", mode);
}

const char* KRZPSampleConfigurator::encryptionName(const KRZPModeNames& names,
                                                   _KRZPEncryptionMode mode) const {
    return modeName(names.encryption, 6, mode - KRZP_ENCRYPTION_NONE, "encryption", mode);
}

const char* KRZPSampleConfigurator::modeName(const char* const* names, int count, int index,
                                             const char* kind, int mode) const {
    if (index < 0 || index >= count) {
        log(L"%hs mode %d is not supported by this device\n", kind, mode);
        KRZPAPC_THROW(kUnit, "", KRZPAPC_INTERNAL_ERROR);
    }
    return names[index];
}

std::string KRZPSampleConfigurator::formValue(const KRZPFormParams& form, const char* name) {
    KRZPFormParams::const_iterator it = form.find(name);
    return it == form.end() ? std::string() : it->second;
}

std::string KRZPSampleConfigurator::textAfter(const std::string& page, const std::string& before,
                                              const std::string& end) {
    KRZPHtmlParser parser(page);
    parser.skipPast(before);
    return parser.grabTo(end);
}

void KRZPSampleConfigurator::requireKnown(const KRZPWirelessForm& fields,
                                          const std::string& ssidText, const std::string& security,
                                          const std::string& encryption,
                                          const std::string& keyText) const {
    const char* unknown = nullptr;
    if (!getSsidChanged() && ssidText.empty())
        unknown = fields.ssid;
    if (!getSecurityModeChanged()) {
        _KRZPSecurityMode mode = securityFromName(fields.modes, security);
        if (mode == KRZP_SECURITY_UNSET)
            unknown = fields.security;
        else if (encryptionFromName(fields.modes, encryption) == KRZP_ENCRYPTION_UNSET)
            unknown = fields.encryption;
        else if (mode != KRZP_SECURITY_NONE && keyText.empty())
            unknown = fields.key;
    }
    if (unknown) {
        log(L"the device's value of \"%hs\" is unknown; nothing was sent, so as not to change "
            L"it\n",
            unknown);
        KRZPAPC_THROW(kUnit, "", KRZPAPC_PARSE_ERROR);
    }
}
