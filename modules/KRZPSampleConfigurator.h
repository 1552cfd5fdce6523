// What the sample families' configurators share: vendor and model names, the account rules,
// page fetches that recognise a refused login, the translation between the wireless settings and
// a device's own form fields and option values, the order of pending writes, and waiting for a
// device that restarts.
#pragma once

#include "webconf/KRZPHttpConfigurator.h"
#include "platform/krzplatform.h"

#include <map>
#include <string>
#include <vector>

// A device's own names for the security modes (none, WEP, WPA-PSK, WPA2-PSK, mixed) and the
// encryption modes (none, WEP 64, WEP 128, TKIP, AES, TKIP+AES), in the order of the enums.
struct KRZPModeNames {
    const char* security[5];
    const char* encryption[6];
};

// A device's wireless form: its field names and its option values.
struct KRZPWirelessForm {
    const char* ssid;
    const char* security;
    const char* encryption;
    const char* key;
    KRZPModeNames modes;
};

// What a device's administrator account accepts (the character sets are each family's own).
struct KRZPAccountRules {
    const char* defaultUsername;
    const char* defaultPassword;
    bool usesUsername;
    int minUsernameLen;
    int maxUsernameLen;
    int minPasswordLen;
    int maxPasswordLen;
};

class KRZPSampleConfigurator : public KRZPHttpConfigurator {
  public:
    // `rules` must outlive the configurator.
    KRZPSampleConfigurator(const std::string& vendor, const std::string& model,
                           const KRZPAccountRules& rules, const in_addr& address,
                           const KRZMacAddress& mac);
    KRZPSampleConfigurator(const std::string& vendor, const std::string& model,
                           const KRZPAccountRules& rules, std::vector<KRZMacAddress> macs,
                           const std::string& userName, const std::string& pass);

    std::string getVendorName() const override;
    std::string getModelName() const override;
    std::pair<std::string, std::string> getDefaultCredentials() const override;
    bool usesUsername() const override;
    int getMinUsernameLen() const override;
    int getMaxUsernameLen() const override;
    int getMinPasswordLen() const override;
    int getMaxPasswordLen() const override;
    // A firmware revision that an unauthenticated page (the scan's probe reply) shows.
    void noteFirmwareRevision(const std::string& revision) { setFirmwareRevision(revision); }

  protected:
    // Like the base, but the last failed attempt throws its connect error instead of leaving the
    // connection closed for the request to fail on: an unreachable device then reads as
    // unreachable, not as an I/O error. Waits 500 ms between attempts.
    void _openConnection(int connectAttempts) override;

    // GETs `url` and returns the body. Throws code 14 when a cancel is pending, code 8 when the
    // device answers 401.
    std::string fetchPage(const std::string& url);
    std::string fetchPage(const std::string& url, const KRZPFormParams& query,
                          const std::string& expected);
    // The first form of the page at `url`.
    boost::shared_ptr<KRZPFormParams> fetchForm(const std::string& url);
    // Throws code 7 (logged with `what`) when `page` lacks `expected`.
    void requireText(const std::string& page, const std::string& expected, const char* what);

    // Stores the settings read from the device; an empty key is stored as no key.
    void storeWireless(const std::string& ssidText, _KRZPSecurityMode mode,
                       _KRZPEncryptionMode encryption, const std::string& keyText);
    // Stores the settings of a wireless form as the device filled it in.
    void storeWireless(const KRZPWirelessForm& fields, const KRZPFormParams& form);
    // The pending key's text, empty without one.
    std::string pendingKeyText() const;
    // Puts the pending SSID and security settings, those that changed, into `form`.
    // Throws code 7, before anything is sent, when a setting that does not change reads empty or
    // unknown in `form`: written back so, it would lower the device's security.
    template <typename Form>
    void putPendingWireless(const KRZPWirelessForm& fields, Form& form) const {
        requireKnown(fields, form[fields.ssid], form[fields.security], form[fields.encryption],
                     form[fields.key]);
        if (getSsidChanged()) {
            form[fields.ssid] = getNewSsid();
        }
        if (getSecurityModeChanged()) {
            form[fields.security] = securityName(fields.modes, getNewSecurityMode());
            form[fields.encryption] = encryptionName(fields.modes, getNewEncryptionMode());
            form[fields.key] = pendingKeyText();
        }
    }

    // A pending change, when there is one, goes to the device through the family's writer and
    // is then no longer pending.
    void commitWireless();
    void commitCredentials();

    // Device value ↔ mode. Unknown names read as unset; a mode the device cannot express throws
    // code 5.
    static _KRZPSecurityMode securityFromName(const KRZPModeNames& names, const std::string& name);
    static _KRZPEncryptionMode encryptionFromName(const KRZPModeNames& names,
                                                  const std::string& name);
    const char* securityName(const KRZPModeNames& names, _KRZPSecurityMode mode) const;
    const char* encryptionName(const KRZPModeNames& names, _KRZPEncryptionMode mode) const;

    // The value of the first field called `name`, empty when there is none.
    static std::string formValue(const KRZPFormParams& form, const char* name);

    // The text between `before` and the next `end` after it, searched from the start of `page`;
    // throws code 7 when either is missing.
    static std::string textAfter(const std::string& page, const std::string& before,
                                 const std::string& end);

  private:
    void requireKnown(const KRZPWirelessForm& fields, const std::string& ssidText,
                      const std::string& security, const std::string& encryption,
                      const std::string& keyText) const;
    // names[index], with `index` checked against `count`: throws code 5 (logged with `kind` and
    // `mode`) when it is out of range.
    const char* modeName(const char* const* names, int count, int index, const char* kind,
                         int mode) const;

    // The family's writers behind commitWireless() and commitCredentials().
    virtual void writeWireless() = 0;
    virtual void writeCredentials() = 0;

    std::string vendor;
    std::string model;
    const KRZPAccountRules& rules;
};
