// A device family described as data: how to recognize it, how to log in, where each setting lives
// on its pages, how its values map to the library's modes, how a change is written and what the
// device answers. Read from a JSON file (krzpap-description.schema.json is its published schema);
// an error names the file and the place in it as a JSON pointer.
#pragma once

#include "KRZPMatcher.h"
#include "KRZPSteps.h"

#include "core/KRZPAPConfigurator.h"

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace krzdesc {

// A regular expression whose first group is the value; kept with its source for messages.
struct Pattern {
    std::string source;
    Matcher matcher;
    // Looked for in the reply's header text instead of its body.
    bool inHeaders = false;

    // Group 1 of the first match (the whole match when there is no group); false without one.
    bool find(const std::string& headers, const std::string& body, std::string& value) const;
};

// Where one value lives on the device: a page, and on it a form's field, a script's string
// literal (`var NAME = '...'`), a member of a script's object (`var NAME = {member: '...'}`), the
// value a script gives an element (`document.getElementById('ID').value = '...'`), a member of a
// page that answers JSON (by JSON pointer), or the first group of a pattern over the page's text.
struct Location {
    std::string page;
    // Which form of the page: its position, or its name or id when `formName` is set.
    int formIndex = 0;
    std::string formName;
    std::string field;    // the form field: read from it, and written under this name
    std::string script;   // read from this script variable instead of the form
    std::string member;   // with `script`: the member of the script's object
    std::string element;  // read from what the script sets this element's value to
    std::string json;     // the page answers JSON: read the value at this JSON pointer
    std::unique_ptr<Pattern> pattern;
    // Format 2: the value is in the reply to this request instead of the page read with GET.
    std::shared_ptr<const Step> request;

    // Whether the value is read from the page's script or a JSON reply, not from the form.
    bool scripted() const { return !script.empty() || !element.empty() || !json.empty(); }
    // Reads a scripted value from the page's text into `value`; false, with what is missing in
    // `why`, when the page does not hold it. Reads linearly, never past the page.
    bool readScripted(const std::string& text, std::string& value, std::string& why) const;
    std::string pointer;  // where in the description, for messages
};

struct TextRule {
    int min = -1;  // -1: the library's default
    int max = -1;
    std::string chars;         // explicit set of allowed characters
    bool restrictive = false;  // the library's restrictive set
};

enum class LoginKind { Basic, Form };

struct Login {
    LoginKind kind = LoginKind::Basic;
    std::string action;    // where the login is posted
    std::string formPage;  // the page whose form is submitted (hidden fields such as a token kept)
    std::string userField;
    std::string passwordField;
    std::string cookie;     // the session cookie's name; empty: the first one the device sets
    int expiredStatus = 0;  // a page answering this status means the session has ended
    // What the device answers a login with when it refuses logins for now: after too many
    // failures (and for how many minutes, 0: unknown), or until a captcha is solved in a browser.
    std::string lockoutText;
    int lockoutMinutes = 0;
    std::string captchaText;
    std::string logout;  // the page that ends the session; empty: none
};

enum class Method { Get, Post, Multipart };

// One write: the form it starts from, where it is sent, the fields it sets, and the answer that
// confirms it. `change` is "wireless" or "credentials".
struct Change {
    std::string change;
    std::unique_ptr<Location> form;  // page and form only; null: start from no form
    std::string action;
    Method method = Method::Post;
    std::vector<std::pair<std::string, std::string>> fields;  // name, template
    std::string answerText;
    // The device restarts: its reply is cut short, then it is polled until it answers again.
    int restartPolls = 0;
    int restartPauseMs = 0;
    // A page before this delay counts only once the device was seen away (see waitUntilBack).
    int restartMinimumMs = 0;
    std::string pointer;
    // Format 2: the requests in order, the longest the restart may take, the steps that keep the
    // change (an apply with rollback) and whether the settings are read back.
    std::vector<Step> steps;
    int restartMaximumMs = 0;
    std::vector<Step> confirm;
    bool readBack = true;

    // Whether this write sets `setting`: a wireless write does, alone or when the setting lives
    // on its form (the settings are spread over `wirelessWrites` forms).
    bool writes(const Location& setting, size_t wirelessWrites) const;
};

// Whether the page's script sets form field or element `name` (an assignment to its value), so
// that its value in the HTML is not what the device holds.
bool scriptSets(const std::string& text, const std::string& name);

// The same form of the same page.
bool sameForm(const Location& a, const Location& b);

// Format 2: a security value of the device that implies its encryption too.
struct SecurityValue {
    _KRZPSecurityMode mode;
    _KRZPEncryptionMode encryption;
    std::string value;
};

// How a format 2 description starts and ends a session.
struct Session {
    bool basic = false;  // every request carries the credentials as HTTP Basic
    std::vector<Step> steps;
    std::vector<std::pair<std::string, std::string>> headers;  // on every request after login
    Answer expired;                                            // a reply saying the session ended
    std::string busyText;                                      // another administrator is logged in
    std::vector<Step> logout;
};

struct Description {
    std::string file;
    int format = 1;
    std::string vendor;
    std::vector<std::string> models;
    std::string factoryAddress;
    std::string factorySsid;
    int port = 80;       // where the device serves its admin pages
    bool https = false;  // the pages are served over TLS (format 2's "scheme": "https")

    int priority = 500;
    int probeStatus = 0;  // 0: any
    std::vector<Pattern> match;
    std::vector<Pattern> model;
    std::string digestPage;
    // A further page (a frame of a frameset start page) that `model` and `probeFirmware` read.
    std::string recognizePage;
    std::map<std::string, std::string> modelsByDigest;
    std::vector<Pattern> probeFirmware;

    Login login;

    std::string defaultUser;
    std::string defaultPassword;
    bool usesUsername = true;
    TextRule user;
    TextRule password;
    TextRule ssid;

    std::unique_ptr<Location> firmware;
    Location ssidAt;
    Location securityAt;
    Location encryptionAt;
    std::unique_ptr<Location> keyAt;
    // A security mode's own key field, where it differs from keyAt's.
    std::map<_KRZPSecurityMode, std::string> keyFields;
    // A security mode's own encryption field (WEP's key length beside WPA's cipher), on
    // encryptionAt's page and form.
    std::map<_KRZPSecurityMode, std::string> encryptionFields;

    std::map<_KRZPSecurityMode, std::string> securityValues;
    std::map<_KRZPEncryptionMode, std::string> encryptionValues;

    std::vector<Change> changes;
    size_t wirelessWrites() const;

    // Format 2.
    Session session;
    std::map<std::string, Expression> values;
    std::string fixedUser;  // the user name every login uses, whatever the host gives
    // Without an encryption setting: the security values with the encryption each implies (a
    // mode's first value is the one written; every one is read).
    std::vector<SecurityValue> impliedSecurity;
    // Every device value read as a mode (a table's value may list several; the first is written).
    std::vector<std::pair<std::string, _KRZPSecurityMode>> securityReads;
    std::vector<std::pair<std::string, _KRZPEncryptionMode>> encryptionReads;
    // A security value that several modes share (an open system's and WEP's), with the encryption
    // field they all own: it reads as the mode that takes the encryption that field holds.
    std::map<std::string, std::string> sharedSecurity;

    // The model's name as the description spells it, letter case ignored; empty when unknown.
    std::string knownModel(const std::string& name) const;
    bool isVendor(const std::string& name) const;
};

// What is wrong with a description, and where (a JSON pointer; empty for the whole document).
class DescriptionError : public std::runtime_error {
  public:
    DescriptionError(const std::string& pointer, const std::string& message);
    const std::string& pointer() const { return pointer_; }

  private:
    std::string pointer_;
};

// Reads a description from its text; `file` is kept for messages. Throws DescriptionError.
std::shared_ptr<const Description> parseDescription(const std::string& text,
                                                    const std::string& file);

// The library's names of the modes as descriptions write them ("wpa2-psk", "tkip-aes", ...).
const std::map<std::string, _KRZPSecurityMode>& securityModeNames();
const std::map<std::string, _KRZPEncryptionMode>& encryptionModeNames();
// Whether a network secured by `mode` can use `encryption` (WEP its key lengths, WPA its ciphers).
bool takes(_KRZPSecurityMode mode, _KRZPEncryptionMode encryption);
// Fills `d.sharedSecurity` from the values read as modes and the modes' own encryption fields.
// Modes that share a value must each own the same encryption field and take no encryption in
// common; otherwise names the first such mode in `mode` and says what is wrong (empty: all well).
std::string shareSecurity(Description& d, std::string& mode);

// Every "*.json" file in the folders, in name order within each folder, loaded one by one: a file
// that fails is reported through `report` ("FILE: POINTER: message") and skipped; a folder that
// does not exist is reported and skipped.
std::vector<std::shared_ptr<const Description>> loadDescriptions(
    const std::vector<std::string>& folders, const std::function<void(const std::string&)>& report);

// The folders of a ';'-separated setting, empty pieces dropped.
std::vector<std::string> splitFolders(const std::string& setting);

}  // namespace krzdesc
