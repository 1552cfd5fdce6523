// The device operations' steps and the checks that come before them.
#include "app/Work.h"
#include "app/Recorder.h"

#include "krzutil/KRZTextCoding.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

namespace krzpap {

using krzpapp::ConfigureRequest;
using krzpapp::DeviceRequest;

namespace {

std::string firstMac(const KRZPAPConfigurator& conf) {
    std::vector<KRZMacAddress> macs = conf.getMACAddressList();
    return macs.empty() ? std::string() : narrow(macs.front().toHexString());
}

// A request's text, empty when it is not given: a security or encryption given empty is not given.
std::string given(const std::optional<std::string>& asked) {
    return asked.value_or("");
}

}  // namespace

krzpapp::Device deviceOf(const KRZPAPConfigurator& conf) {
    krzpapp::Device d;
    d.address = dotted(conf.getAddr());
    d.mac = firstMac(conf);
    d.macVendor = krzpapp::ouiVendor(d.mac);
    d.vendor = conf.getVendorName();
    d.model = conf.getModelName();
    d.firmware = conf.getFirmwareRevision();
    d.description = conf.getDescription();
    d.recognized = true;
    return d;
}

krzpapp::Settings settingsOf(KRZPAPConfigurator& conf) {
    krzpapp::Settings s;
    s.device = deviceOf(conf);
    s.ssid = conf.getSSID().getBytes();
    s.security = securityModeName(conf.getSecurityMode());
    s.encryption = encryptionModeName(conf.getEncryptionMode());
    s.key = conf.getKey() ? conf.getKey()->getKey() : std::string();
    s.usesUsername = conf.usesUsername();
    s.usernameRule = conf.usesUsername() ? narrow(conf.getUsernameRequirementsDescription())
                                         : std::string("(the device has no user name)");
    s.passwordRule = narrow(conf.getPasswordRequirementsDescription());
    s.ssidRule = narrow(conf.getSsidRequirementsDescription());
    s.minUsername = conf.getMinUsernameLen();
    s.maxUsername = conf.getMaxUsernameLen();
    s.minPassword = conf.getMinPasswordLen();
    s.maxPassword = conf.getMaxPasswordLen();
    return s;
}

boost::shared_ptr<KRZPAPConfigurator> openDevice(
    const DeviceRequest& device, CancelHook& cancel,
    const std::pair<std::string, std::string>* credentials) {
    std::string named = device.address;
    in_addr address = takeDeviceAddress(named, device.port);
    boost::shared_ptr<KRZPAPConfigurator> conf;
    try {
        conf = recognizeDevice(address, device.mac, cancel);
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, "looking for the device at " + device.address);
    }
    cancel.set([conf] { conf->cancelOperation(); });
    std::pair<std::string, std::string> login = conf->getDefaultCredentials();
    login.first = device.user.value_or(login.first);
    login.second = device.password.value_or(login.second);
    if (credentials)
        login = *credentials;
    conf->setCredentials(login.first, login.second);
    _KRZPAPStatus status = deviceStep("checking the login", [&] { return conf->validate(); });
    const std::string notice = takeLoginNotice();
    const std::string at = "the device at " + device.address;
    if (status != KRZP_AP_OK && !notice.empty()) {
        Error locked(ErrorKind::LoginLocked, at + " (" + conf->getDescription() +
                                                 ") refuses logins for now, " + escapeText(notice) +
                                                 "; krzpap tried once and will not try again");
        locked.deviceWords = notice;
        throw locked;
    }
    switch (status) {
        case KRZP_AP_OK:
            break;
        case KRZP_AP_LOGIN_FAILED:
            throw Error(ErrorKind::LoginRefused,
                        at + " (" + conf->getDescription() + ") refused the credentials",
                        "password", Advice::GiveCredentials);
        case KRZP_AP_UNREACHABLE:
            throw Error(ErrorKind::Unreachable, at + " cannot be reached; check that it is on and "
                                                     "that 'krzpap scan' lists it");
        default:
            throw Error(ErrorKind::DeviceFailed, at + " did not answer as expected", "",
                        Advice::SeeLog);
    }
    return conf;
}

namespace {

bool isHex(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return krzHexDigitValue(c) >= 0; });
}

bool printableAscii(const std::string& text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

const char* ruleText(_KRZPStringValidatorCode code) {
    switch (code) {
        case KRZP_SV_TOO_SHORT:
            return "is too short";
        case KRZP_SV_TOO_LONG:
            return "is too long";
        case KRZP_SV_BAD_CHARS:
            return "holds a character the device does not accept";
        default:
            return "is accepted";
    }
}

Error badRequest(const std::string& sentence, const std::string& field,
                 Advice advice = Advice::None, const std::string& detail = std::string()) {
    return Error(ErrorKind::BadRequest, sentence, field, advice, detail);
}

// Which fields go together: a key and an encryption belong to a security mode, which (but none)
// needs a key; and something must change.
void checkFieldsGoTogether(const ConfigureRequest& o) {
    if (o.key.has_value() && given(o.security).empty())
        throw badRequest("a key needs a security mode: say which mode the key is for", "security",
                         Advice::KeyNeedsSecurity);
    if (!given(o.encryption).empty() && given(o.security).empty())
        throw badRequest("an encryption needs a security mode", "security",
                         Advice::EncryptionNeedsSecurity);
    if (!o.ssid.has_value() && given(o.security).empty() && !o.newUser.has_value() &&
        !o.newPassword.has_value())
        throw badRequest("nothing to change", "", Advice::NothingToChange);
    if (!given(o.security).empty() && given(o.security) != "none" && !o.key.has_value())
        throw badRequest(
            "security " + given(o.security) + " needs a key (the new passphrase or WEP key)", "key",
            Advice::SecurityNeedsKey, given(o.security));
}

// A known mode, and an encryption the mode can carry (anything else would be changed by the
// device), and for WEP one that fits the key's length.
void checkEncryption(const ConfigureRequest& o) {
    static const std::map<std::string, std::vector<std::string>> allowed = {
        {"none", {"none"}},
        {"wep", {"wep64", "wep128"}},
        {"wpa-psk", {"tkip", "aes", "tkip-aes"}},
        {"wpa2-psk", {"aes", "tkip", "tkip-aes"}},
        {"wpa-wpa2-psk", {"tkip-aes", "tkip", "aes"}}};
    if (!given(o.security).empty() && allowed.count(given(o.security)) == 0)
        throw badRequest("there is no security mode \"" + escapeText(given(o.security)) +
                             "\"; give none, wep, wpa-psk, wpa2-psk or wpa-wpa2-psk",
                         "security");
    if (given(o.encryption).empty())
        return;
    const auto& list = allowed.at(given(o.security));
    if (std::find(list.begin(), list.end(), given(o.encryption)) == list.end()) {
        std::string names;
        for (const auto& n : list)
            names += (names.empty() ? "" : ", ") + n;
        throw badRequest("security mode " + given(o.security) + " cannot use encryption " +
                             given(o.encryption) + "; it takes " + names,
                         "encryption");
    }
    bool short64 = given(o.key).size() == 5 || given(o.key).size() == 10;
    if (given(o.security) == "wep" && short64 != (given(o.encryption) == "wep64")) {
        throw badRequest(
            "a " + given(o.encryption) + " key is " +
                (given(o.encryption) == "wep64" ? "5 characters or 10 hexadecimal digits"
                                                : "13 characters or 26 hexadecimal digits"),
            "key");
    }
}

// The key formats of the wireless standards, whatever the device.
void checkKey(const ConfigureRequest& o) {
    size_t n = given(o.key).size();
    if (given(o.security) == "none") {
        if (o.key.has_value() && !given(o.key).empty())
            throw badRequest("security mode none takes no key", "key");
    } else if (given(o.security) == "wep") {
        bool text = (n == 5 || n == 13) && printableAscii(given(o.key));
        if (!text && !((n == 10 || n == 26) && isHex(given(o.key))))
            throw badRequest("a WEP key is 5 or 13 characters, or 10 or 26 hexadecimal digits",
                             "key");
    } else if (!given(o.security).empty()) {
        bool passphrase = n >= 8 && n <= 63 && printableAscii(given(o.key));
        if (!passphrase && !(n == 64 && isHex(given(o.key))))
            throw badRequest(
                "a WPA passphrase is 8 to 63 printable characters (or 64 hexadecimal digits)",
                "key");
    }
}

// The standard's bound on an SSID, whatever the device; its characters are each device's own.
void checkSsidLength(const ConfigureRequest& o) {
    if (o.ssid.has_value() && (given(o.ssid).empty() || given(o.ssid).size() > 32)) {
        throw badRequest("an SSID is 1 to 32 bytes long; \"" + escapeText(given(o.ssid)) +
                             "\" has " + std::to_string(given(o.ssid).size()),
                         "ssid");
    }
}

_KRZPEncryptionMode defaultEncryption(const ConfigureRequest& o) {
    if (!given(o.encryption).empty())
        return encryptionModeFromName(given(o.encryption));
    if (given(o.security) == "none")
        return KRZP_ENCRYPTION_NONE;
    if (given(o.security) == "wep") {
        return (given(o.key).size() == 5 || given(o.key).size() == 10) ? KRZP_ENCRYPTION_WEP64
                                                                       : KRZP_ENCRYPTION_WEP128;
    }
    if (given(o.security) == "wpa-psk")
        return KRZP_ENCRYPTION_TKIP;
    if (given(o.security) == "wpa2-psk")
        return KRZP_ENCRYPTION_AES;
    return KRZP_ENCRYPTION_TKIP_AES;
}

// A value the device's own rule refuses.
Error ruleBroken(const std::string& sentence, const std::string& field, const std::wstring& rule,
                 const std::string& after = std::string()) {
    Error e(ErrorKind::DeviceRule, sentence + ": " + narrow(rule) + after, field);
    e.deviceWords = narrow(rule);
    return e;
}

}  // namespace

void checkDeviceRules(KRZPAPConfigurator& conf, const ConfigureRequest& request) {
    const ConfigureRequest& o = request;
    if (o.newUser.has_value() && !conf.usesUsername()) {
        throw Error(ErrorKind::DeviceRule,
                    "the " + conf.getDescription() + " has no administrator user name", "newUser",
                    Advice::LeaveOutNewUser);
    }
    if (o.ssid.has_value()) {
        _KRZPStringValidatorCode code = conf.validateSsid(given(o.ssid));
        if (code != KRZP_SV_OK) {
            throw ruleBroken("the SSID \"" + escapeText(given(o.ssid)) + "\" " + ruleText(code) +
                                 " for the " + conf.getDescription(),
                             "ssid", conf.getSsidRequirementsDescription(),
                             "; nothing was changed");
        }
    }
    if (o.newUser.has_value() && conf.usesUsername()) {
        _KRZPStringValidatorCode code = conf.validateUsername(given(o.newUser));
        if (code != KRZP_SV_OK) {
            throw ruleBroken("the new user name " + std::string(ruleText(code)) + " for the " +
                                 conf.getDescription() + " (" +
                                 std::to_string(conf.getMinUsernameLen()) + " to " +
                                 std::to_string(conf.getMaxUsernameLen()) + " characters)",
                             "newUser", conf.getUsernameRequirementsDescription());
        }
    }
    if (o.newPassword.has_value()) {
        _KRZPStringValidatorCode code = conf.validatePassword(given(o.newPassword));
        if (code != KRZP_SV_OK) {
            throw ruleBroken("the new password " + std::string(ruleText(code)) + " for the " +
                                 conf.getDescription() + " (" +
                                 std::to_string(conf.getMinPasswordLen()) + " to " +
                                 std::to_string(conf.getMaxPasswordLen()) + " characters)",
                             "newPassword", conf.getPasswordRequirementsDescription());
        }
    }
}

void applyChanges(KRZPAPConfigurator& conf, const ConfigureRequest& request) {
    const ConfigureRequest& o = request;
    deviceStep("reading the settings", [&] { conf.retrieveAttributes(); });
    deviceStep("starting the configuration", [&] { return conf.startConfiguration(); });
    if (o.ssid.has_value()) {
        deviceStep("changing the SSID", [&] { return conf.changeSSID(KRZSsid(given(o.ssid))); });
    }
    if (!given(o.security).empty()) {
        auto key = boost::make_shared<KRZPKey>(given(o.key));
        deviceStep("changing the security mode", [&] {
            return conf.changeSecurityMode(securityModeFromName(given(o.security)), key,
                                           defaultEncryption(o));
        });
    }
    if (o.newUser.has_value() || o.newPassword.has_value()) {
        // What is not given stays as it is now.
        auto current = conf.getCredentials();
        std::string user = o.newUser.has_value() ? given(o.newUser) : current.first;
        std::string password = o.newPassword.has_value() ? given(o.newPassword) : current.second;
        deviceStep("changing the credentials",
                   [&] { return conf.changeCredentials(user, password); });
    }
    deviceStep("writing the changes", [&] { return conf.completeConfiguration(); });
}

boost::shared_ptr<KRZPAPConfigurator> reopenWithNewCredentials(const DeviceRequest& device,
                                                               const KRZPAPConfigurator& conf,
                                                               const ConfigureRequest& request,
                                                               CancelHook& cancel) {
    const ConfigureRequest& o = request;
    auto credentials = conf.getCredentials();
    if (o.newUser.has_value())
        credentials.first = given(o.newUser);
    if (o.newPassword.has_value())
        credentials.second = given(o.newPassword);
    for (int attempt = 0;; ++attempt) {
        try {
            return openDevice(device, cancel, &credentials);
        } catch (const Error& e) {
            // A device that restarts after a change is away for a few seconds.
            if (e.kind() != ErrorKind::Unreachable || attempt >= 10 || cancel.fired())
                throw;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
}

std::vector<krzpapp::Change> compareChanges(const ConfigureRequest& request,
                                            const KRZPAPConfigurator& check) {
    const ConfigureRequest& o = request;
    std::vector<krzpapp::Change> changes;
    std::string key = check.getKey() ? check.getKey()->getKey() : std::string();
    if (o.ssid.has_value())
        changes.push_back(
            {"ssid", given(o.ssid), false, check.getSSID().getBytes() == given(o.ssid)});
    if (!given(o.security).empty()) {
        changes.push_back({"security", given(o.security), false,
                           check.getSecurityMode() == securityModeFromName(given(o.security))});
        changes.push_back({"encryption", encryptionModeName(defaultEncryption(o)), false,
                           check.getEncryptionMode() == defaultEncryption(o)});
        if (given(o.security) != "none")
            changes.push_back({"key", given(o.key), true, key == given(o.key)});
    }
    // A login with the new credentials worked: they are confirmed.
    if (o.newUser.has_value())
        changes.push_back({"username", given(o.newUser), false, true});
    if (o.newPassword.has_value())
        changes.push_back({"password", given(o.newPassword), true, true});
    return changes;
}

}  // namespace krzpap

namespace krzpapp {

void Application::checkDevice(const DeviceRequest& device) {
    std::string named = device.address;
    krzpap::takeDeviceAddress(named, device.port);
    if (!device.mac.empty())
        krzpap::parseMac(device.mac);
}

void Application::checkConfigure(const ConfigureRequest& changes) {
    const ConfigureRequest& o = changes;
    krzpap::checkFieldsGoTogether(o);
    krzpap::checkEncryption(o);
    krzpap::checkSsidLength(o);
    krzpap::checkKey(o);
}

std::vector<std::string> Application::checkMacs(const std::vector<std::string>& macs) {
    std::vector<std::string> spelled;
    for (const std::string& text : macs)
        spelled.push_back(krzpap::narrow(krzpap::parseMac(text).toHexString()));
    return spelled;
}

void Application::checkDefaults(const DefaultsRequest& request) {
    try {
        KRZMacAddress::fromUtf8String(request.bssid);
    } catch (const KRZException&) {
        throw Error(ErrorKind::BadRequest, "not a MAC address: \"" + request.bssid + "\"", "bssid");
    }
    if (request.ssid.size() > 32)
        throw Error(ErrorKind::BadRequest, "an SSID has at most 32 bytes", "ssid");
    // 0 (unknown), the 2.4 GHz channels and the 5 GHz ones.
    int c = request.channel;
    bool channelOk = (c >= 0 && c <= 14) || (c >= 32 && c <= 144 && c % 4 == 0) ||
                     (c >= 149 && c <= 177 && c % 4 == 1);
    if (!channelOk) {
        throw Error(ErrorKind::BadRequest,
                    "there is no Wi-Fi channel " + std::to_string(c) +
                        "; give 1 to 14, a 5 GHz channel (36, 40, ... 165), or 0 when unknown",
                    "channel");
    }
}

void Application::checkRecord(const RecordRequest& request) {
    for (const std::string& change : request.tryChange)
        if (change.find('=') == std::string::npos || change[0] == '=')
            throw Error(
                ErrorKind::BadRequest,
                "a change to try is FIELD=VALUE, not \"" + krzpap::escapeText(change) + "\"",
                "tryChange", Advice::None, change);
    if (request.byModule && !request.tryChange.empty())
        checkConfigure(krzpap::moduleChangeOf(request.tryChange));
}

}  // namespace krzpapp
