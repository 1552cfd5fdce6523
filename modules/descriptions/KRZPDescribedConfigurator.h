// The configurator of a described family: every page, field, value and answer comes from the
// family's description; the steps are the same for every family.
#pragma once

#include "KRZPDescription.h"

#include "http/KRZPFormParams.h"
#include "platform/krzplatform.h"
#include "webconf/KRZPHttpConfigurator.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class KRZPDescribedConfigurator : public KRZPHttpConfigurator {
  public:
    KRZPDescribedConfigurator(std::shared_ptr<const krzdesc::Description> description,
                              const std::string& model, const in_addr& address,
                              const KRZMacAddress& mac);
    KRZPDescribedConfigurator(std::shared_ptr<const krzdesc::Description> description,
                              const std::string& model, std::vector<KRZMacAddress> macs,
                              const std::string& userName, const std::string& pass);

    std::string getVendorName() const override;
    std::string getModelName() const override;
    std::pair<std::string, std::string> getDefaultCredentials() const override;
    bool usesUsername() const override;
    int getMinUsernameLen() const override;
    int getMaxUsernameLen() const override;
    int getMinPasswordLen() const override;
    int getMaxPasswordLen() const override;
    // The device's own rules for a network name, on top of the library's.
    _KRZPStringValidatorCode validateSsid(const std::string& text) const override;

    // A firmware revision that the scan's probe reply showed.
    void noteFirmwareRevision(const std::string& revision) { setFirmwareRevision(revision); }

  protected:
    // The last failed connect throws its error, so that an unreachable device reads as such;
    // 500 ms between attempts.
    void _openConnection(int connectAttempts) override;

  private:
    std::string getValidUsernameChars() const override;
    std::string getValidPasswordChars() const override;
    bool _testLogin() override;
    void _retrieveAttributes() override;
    bool _completeConfiguration() override;

    // The wireless settings as the device holds them now.
    struct Wireless {
        std::string ssid, security, encryption, key;
    };

    // Sends the device's connections to the description's port.
    void usePort();
    bool login();
    void requireLogin();
    // Ends the operation's session where the description names a logout page; never throws.
    void logout();
    // Throws code 8, logging what the device said, when `body` is the description's lockout or
    // captcha answer: a login then is never tried again.
    void refuseLockedLogin(const std::string& body) const;
    // The body of `url`, fetched once per step (the cache is dropped by forget()); a page that
    // says the session has ended logs in again once.
    const std::string& page(const std::string& url);
    void forget() { pages.clear(); }
    std::string fetch(const std::string& url);
    int status() const;
    // The form that `where` names on its page, as a browser submits it.
    std::vector<std::pair<std::string, std::string>> form(const krzdesc::Location& where);
    // The value at `where`; `field` overrides the location's field name (a mode's key field).
    std::string read(const krzdesc::Location& where, const std::string& field = std::string());
    Wireless readWireless();
    std::string keyField(_KRZPSecurityMode mode) const;
    // A mode's key field as `where`'s reply names it: each {POINTER} in it is the value at that
    // pointer of the same reply (a key kept in one of several slots, the slot in use beside it).
    std::string keyFieldAt(const krzdesc::Location& where, _KRZPSecurityMode mode);
    std::string encryptionField(_KRZPSecurityMode mode) const;
    // Logs "<file>: <page>: <what>" and throws code 7: the description does not fit the page.
    [[noreturn]] void notOnPage(const std::string& page, const std::string& what) const;

    void write(const krzdesc::Change& change);
    // Throws, having sent nothing, when writing back `now` could lower the security: a mode the
    // description does not name, or a secured network whose key read empty.
    void keepsSecurity(const Wireless& now) const;
    // Throws, having sent nothing, when `params` leaves a field of the change's form as the HTML
    // has it although the page's script fills it in.
    void refuseScriptFilled(const krzdesc::Change& change, const KRZPFormParams& params);
    // Whether `change` is needed for what was asked.
    bool pending(const krzdesc::Change& change) const;
    // A change field's text with each {value} replaced; `written` holds the wireless values the
    // change writes.
    std::string templateValue(const std::string& text, const Wireless& written = Wireless()) const;

    // ---- Format 2 (KRZPDescribedSteps.cpp) ----
    // Starts an operation's values: the credentials, the address; no cookies yet.
    void beginValues();
    // Runs the login steps once; false when the device refused them.
    bool login2();
    void logout2();
    // Sends a step and reads its reply; takes its cookies and captures. A reply that says the
    // session ended logs in again once (unless `logging`) and sends the step again. `change`:
    // the wireless change whose settings a form body sets. Throws code 7 when the reply does
    // not show what the step expects (`why` logged) or a capture finds nothing.
    krzdesc::Reply perform(const krzdesc::Step& step, bool logging = false,
                           const krzdesc::Change* change = nullptr);
    krzdesc::Reply sendStep(const krzdesc::Step& step, const krzdesc::Change* change);
    std::string requestBody(const krzdesc::Step& step, const krzdesc::Change* change,
                            std::string& contentType);
    // Whether the reply holds what a step expects, and its captures; `why` says what not.
    bool accept(const krzdesc::Step& step, const krzdesc::Reply& reply, std::string& why);
    // Throws code 8 when a login reply is the device's lockout, captcha or busy answer.
    void refuseBusyLogin(const std::string& body) const;
    void write2(const krzdesc::Change& change);
    // The device's security and encryption values for the modes asked for.
    bool deviceModes(_KRZPSecurityMode mode, _KRZPEncryptionMode encryption, std::string& security,
                     std::string& cipher) const;
    // The text of a setting's page, or of the reply to its request.
    const std::string& pageOf(const krzdesc::Location& where);
    _KRZPSecurityMode securityOf(const Wireless& w) const;
    _KRZPEncryptionMode encryptionOf(const Wireless& w) const;
    // The encryption the description's table names for the value read, UNSET when none.
    _KRZPEncryptionMode encryptionRead(const Wireless& w) const;
    bool format2() const { return description->format == 2; }

    krzdesc::Values values;
    std::vector<std::pair<std::string, std::string>> cookies;  // as a browser keeps them
    std::string lastPage = "/";                                // the Referer's default
    bool sessionHeaders = false;  // the login steps ran: their headers go along

    std::shared_ptr<const krzdesc::Description> description;
    bool loggedIn = false;  // a session the logout page ends
    std::string model;
    std::map<std::string, std::string> pages;
};
