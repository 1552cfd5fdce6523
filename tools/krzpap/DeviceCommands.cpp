// scan, show, configure, find, defaults: the host's side of discovery, configuration, relocation
// and the factory-defaults check.
#include "Cli.h"
#include "DeviceAccess.h"
#include "Progress.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPAPFinder.h"
#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPDefaultsRecognizer.h"
#include "krzutil/KRZAccessPointWlanInfo.h"
#include "platform/krzprocess.h"

#include <boost/make_shared.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

namespace krzpap {

namespace {

std::string firstMac(const KRZPAPConfigurator& conf) {
    std::vector<KRZMacAddress> macs = conf.getMACAddressList();
    return macs.empty() ? std::string() : narrow(macs.front().toHexString());
}

std::string orDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

void printTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(widths[i] - row[i].size() + 2, ' ');
            }
        }
        std::cout << line << "\n";
    }
}

// Runs one public operation of a configurator, turning its failure into the command's.
template <typename F>
auto deviceStep(const std::string& what, F&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, what);
    }
}

std::pair<std::string, std::string> chooseCredentials(const KRZPAPConfigurator& conf,
                                                      const DeviceOptions& device) {
    std::pair<std::string, std::string> credentials = conf.getDefaultCredentials();
    if (device.haveUser)
        credentials.first = device.user;
    if (device.havePassword)
        credentials.second = device.password;
    return credentials;
}

// Recognizes the device, logs in and checks the login, as every device command starts.
boost::shared_ptr<KRZPAPConfigurator> openDevice(const Globals& globals,
                                                 const DeviceOptions& device, CancelHook& cancel,
                                                 const std::string& user = std::string(),
                                                 const std::string& password = std::string(),
                                                 bool override = false) {
    in_addr address = parseAddress(device.address);
    boost::shared_ptr<KRZPAPConfigurator> conf;
    try {
        conf = recognizeDevice(address, cancel);
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, "looking for the device at " + device.address);
    }
    cancel.set([conf] { conf->cancelOperation(); });
    auto credentials = chooseCredentials(*conf, device);
    if (override)
        credentials = {user, password};
    conf->setCredentials(credentials.first, credentials.second);
    _KRZPAPStatus status = deviceStep("checking the login", [&] { return conf->validate(); });
    switch (status) {
        case KRZP_AP_OK:
            break;
        case KRZP_AP_LOGIN_FAILED:
            throw CommandError(EXIT_LOGIN_FAILED, "the device at " + device.address + " (" +
                                                      conf->getDescription() +
                                                      ") refused the credentials");
        case KRZP_AP_UNREACHABLE:
            throw CommandError(EXIT_UNREACHABLE,
                               "the device at " + device.address + " cannot be reached");
        default:
            throw CommandError(EXIT_ERROR, "the device at " + device.address +
                                               " did not answer as expected; see the log " +
                                               logFilePath(globals));
    }
    return conf;
}

// Runs a device command's work with Ctrl-C wired to `cancel`. A cancelled step fails in its own
// way (unreachable, unexpected answer, ...): once Ctrl-C came, the failure is reported as the
// cancel.
void runDeviceWork(CancelHook& cancel, const std::function<void()>& work) {
    try {
        runInterruptible(work, [&] { cancel.fire(); });
    } catch (const CommandError& e) {
        if (cancel.fired())
            throw CommandError(EXIT_CANCELLED, std::string("cancelled (") + e.what() + ")");
        throw;
    }
}

nlohmann::json settingsJson(KRZPAPConfigurator& conf) {
    return {{"address", dotted(conf.getAddr())},
            {"mac", firstMac(conf)},
            {"vendor", conf.getVendorName()},
            {"model", conf.getModelName()},
            {"firmware", conf.getFirmwareRevision()},
            {"ssid", conf.getSSID().getBytes()},
            {"security", securityModeName(conf.getSecurityMode())},
            {"encryption", encryptionModeName(conf.getEncryptionMode())},
            {"key", conf.getKey() ? conf.getKey()->getKey() : std::string()}};
}

}  // namespace

int runScanCommand(const Globals& globals, const ScanOptions&) {
    initLibrary(globals);
    auto start = std::chrono::steady_clock::now();
    KRZPAPConfiguratorList found;
    bool showProgress = !globals.quiet && krzprocess::isTerminal(krzprocess::Stream::err);
    ScanProgress progress(logFilePath(globals), showProgress);
    bool interrupted = false;
    std::atomic<bool> cancelled{false};
    try {
        interrupted = runInterruptible([&] { found = KRZPAPScanner::runScan(); },
                                       [&] {
                                           cancelled = true;
                                           KRZPAPScanner::cancelScan();
                                       });
    } catch (const KRZPAPCException& e) {
        progress.stop();
        // A cancelled sweep drops its results, which the driver then reports as no connectivity.
        if (cancelled) {
            throw CommandError(EXIT_CANCELLED, "the scan was cancelled");
        }
        if (e.getAPCErrorCode() == KRZPAPC_NO_CONNECTIVITY) {
            throw CommandError(EXIT_UNREACHABLE,
                               "no connectivity: no usable adapter reached any device");
        }
        throw describeFailure(e, "the scan");
    }
    progress.stop();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    nlohmann::json devices = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows = {
        {"ADDRESS", "MAC", "MAC VENDOR", "VENDOR", "MODEL", "FIRMWARE"}};
    for (const auto& conf : found) {
        std::string mac = firstMac(*conf);
        devices.push_back({{"address", dotted(conf->getAddr())},
                           {"mac", mac},
                           {"macVendor", ouiVendor(mac)},
                           {"vendor", conf->getVendorName()},
                           {"model", conf->getModelName()},
                           {"firmware", conf->getFirmwareRevision()}});
        rows.push_back({dotted(conf->getAddr()), orDash(mac), orDash(ouiVendor(mac)),
                        conf->getVendorName(), conf->getModelName(),
                        orDash(conf->getFirmwareRevision())});
    }
    if (globals.json) {
        printJson({{"devices", devices}, {"seconds", seconds}, {"interrupted", interrupted}});
    } else {
        printTable(rows);
        if (!globals.quiet) {
            std::ostringstream summary;
            summary << found.size() << " device(s) recognized in " << std::fixed
                    << std::setprecision(1) << seconds << " s"
                    << (interrupted ? " (interrupted)" : "");
            std::cerr << summary.str() << "\n";
        }
    }
    if (interrupted)
        return EXIT_CANCELLED;
    return found.empty() ? EXIT_NOTHING_FOUND : EXIT_OK;
}

int runShowCommand(const Globals& globals, const DeviceOptions& device) {
    parseAddress(device.address);
    initLibrary(globals);
    CancelHook cancel;
    boost::shared_ptr<KRZPAPConfigurator> conf;
    runDeviceWork(cancel, [&] {
        conf = openDevice(globals, device, cancel);
        bool loggedIn = deviceStep("logging in", [&] { return conf->testLogin(); });
        if (!loggedIn) {
            throw CommandError(EXIT_LOGIN_FAILED, "the device refused the credentials");
        }
        deviceStep("reading the settings", [&] { conf->retrieveAttributes(); });
    });

    std::string userRules = conf->usesUsername()
                                ? narrow(conf->getUsernameRequirementsDescription())
                                : std::string("(the device has no user name)");
    std::string passwordRules = narrow(conf->getPasswordRequirementsDescription());
    std::string ssidRules = narrow(conf->getSsidRequirementsDescription());
    if (globals.json) {
        nlohmann::json doc = settingsJson(*conf);
        doc["usesUsername"] = conf->usesUsername();
        doc["requirements"] = {
            {"username", userRules}, {"password", passwordRules}, {"ssid", ssidRules}};
        printJson(doc);
        return EXIT_OK;
    }
    printTable({{"Device:", conf->getDescription() + " at " + dotted(conf->getAddr()) + " (" +
                                firstMac(*conf) + ")"},
                {"Firmware:", orDash(conf->getFirmwareRevision())},
                {"SSID:", conf->getSSID().getBytes()},
                {"Security:", securityModeName(conf->getSecurityMode())},
                {"Encryption:", encryptionModeName(conf->getEncryptionMode())},
                {"User names:", userRules},
                {"Passwords:", passwordRules},
                {"SSIDs:", ssidRules}});
    return EXIT_OK;
}

namespace {

bool isHex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

bool printableAscii(const std::string& text, char low, char high, const std::string& banned) {
    for (char c : text) {
        if (c < low || c > high || banned.find(c) != std::string::npos)
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

// Checks that need no device: the fixed SSID limits, the default character sets and the key
// formats. Nothing is sent to any device before these pass.
void precheck(const ConfigureOptions& o) {
    if (!o.haveSsid && o.security.empty() && !o.haveNewUser && !o.haveNewPassword) {
        throw CommandError(EXIT_USAGE,
                           "nothing to change: give --ssid, --security/--key or --new-user/"
                           "--new-password");
    }
    if (o.haveSsid) {
        if (o.ssid.empty() || o.ssid.size() > 32) {
            throw CommandError(EXIT_USAGE, "the SSID must be 1 to 32 bytes long; \"" + o.ssid +
                                               "\" has " + std::to_string(o.ssid.size()));
        }
        if (!printableAscii(o.ssid, 0x20, 0x7E, "")) {
            throw CommandError(EXIT_USAGE,
                               "the SSID may hold only printable ASCII characters and spaces");
        }
    }
    if (o.haveKey && o.security.empty()) {
        throw CommandError(EXIT_USAGE, "--key needs --security");
    }
    if (!o.security.empty()) {
        if (o.security == "none") {
            if (o.haveKey && !o.key.empty()) {
                throw CommandError(EXIT_USAGE, "security mode none takes no key");
            }
        } else if (o.security == "wep") {
            size_t n = o.key.size();
            bool ok = ((n == 5 || n == 13) && printableAscii(o.key, 0x20, 0x7E, "")) ||
                      ((n == 10 || n == 26) && isHex(o.key));
            if (!ok) {
                throw CommandError(EXIT_USAGE,
                                   "a WEP key is 5 or 13 characters, or 10 or 26 "
                                   "hexadecimal digits");
            }
        } else {
            size_t n = o.key.size();
            bool ok = (n >= 8 && n <= 63 && printableAscii(o.key, 0x20, 0x7E, "")) ||
                      (n == 64 && isHex(o.key));
            if (!ok) {
                throw CommandError(EXIT_USAGE,
                                   "a WPA passphrase is 8 to 63 printable characters "
                                   "(or 64 hexadecimal digits)");
            }
        }
    }
    if (o.haveNewUser && !printableAscii(o.newUser, 0x21, 0x7E, ":")) {
        throw CommandError(EXIT_USAGE,
                           "the new user name may hold only printable ASCII "
                           "characters other than space and colon");
    }
    if (o.haveNewPassword && !printableAscii(o.newPassword, 0x21, 0x7E, ":")) {
        throw CommandError(EXIT_USAGE,
                           "the new password may hold only printable ASCII "
                           "characters other than space and colon");
    }
}

// The device's own rules, checked before anything is changed.
void checkDeviceRules(KRZPAPConfigurator& conf, const ConfigureOptions& o) {
    if (o.haveSsid) {
        _KRZPStringValidatorCode code = conf.validateSsid(o.ssid);
        if (code != KRZP_SV_OK) {
            throw CommandError(EXIT_USAGE, "the SSID \"" + o.ssid + "\" " + ruleText(code) + ": " +
                                               narrow(conf.getSsidRequirementsDescription()));
        }
    }
    if (o.haveNewUser && conf.usesUsername()) {
        _KRZPStringValidatorCode code = conf.validateUsername(o.newUser);
        if (code != KRZP_SV_OK) {
            throw CommandError(EXIT_USAGE, "the new user name " + std::string(ruleText(code)) +
                                               " (" + std::to_string(conf.getMinUsernameLen()) +
                                               " to " + std::to_string(conf.getMaxUsernameLen()) +
                                               " characters): " +
                                               narrow(conf.getUsernameRequirementsDescription()));
        }
    }
    if (o.haveNewPassword) {
        _KRZPStringValidatorCode code = conf.validatePassword(o.newPassword);
        if (code != KRZP_SV_OK) {
            throw CommandError(EXIT_USAGE, "the new password " + std::string(ruleText(code)) +
                                               " (" + std::to_string(conf.getMinPasswordLen()) +
                                               " to " + std::to_string(conf.getMaxPasswordLen()) +
                                               " characters): " +
                                               narrow(conf.getPasswordRequirementsDescription()));
        }
    }
}

_KRZPEncryptionMode defaultEncryption(const ConfigureOptions& o) {
    if (!o.encryption.empty())
        return encryptionModeFromName(o.encryption);
    if (o.security == "none")
        return KRZP_ENCRYPTION_NONE;
    if (o.security == "wep") {
        return (o.key.size() == 5 || o.key.size() == 10) ? KRZP_ENCRYPTION_WEP64
                                                         : KRZP_ENCRYPTION_WEP128;
    }
    if (o.security == "wpa-psk")
        return KRZP_ENCRYPTION_TKIP;
    if (o.security == "wpa2-psk")
        return KRZP_ENCRYPTION_AES;
    return KRZP_ENCRYPTION_TKIP_AES;
}

}  // namespace

int runConfigureCommand(const Globals& globals, const DeviceOptions& device,
                        const ConfigureOptions& o) {
    parseAddress(device.address);
    precheck(o);
    initLibrary(globals);
    CancelHook cancel;
    boost::shared_ptr<KRZPAPConfigurator> conf;
    nlohmann::json readBack;
    std::vector<std::string> mismatches;
    runDeviceWork(cancel, [&] {
        conf = openDevice(globals, device, cancel);
        checkDeviceRules(*conf, o);
        deviceStep("reading the settings", [&] { conf->retrieveAttributes(); });
        deviceStep("starting the configuration", [&] { return conf->startConfiguration(); });
        if (o.haveSsid) {
            deviceStep("changing the SSID", [&] { return conf->changeSSID(KRZSsid(o.ssid)); });
        }
        if (!o.security.empty()) {
            auto key = boost::make_shared<KRZPKey>(o.key);
            deviceStep("changing the security mode", [&] {
                return conf->changeSecurityMode(securityModeFromName(o.security), key,
                                                defaultEncryption(o));
            });
        }
        if (o.haveNewUser || o.haveNewPassword) {
            // What is not given stays as it is now.
            auto current = conf->getCredentials();
            std::string user = o.haveNewUser ? o.newUser : current.first;
            std::string password = o.haveNewPassword ? o.newPassword : current.second;
            deviceStep("changing the credentials",
                       [&] { return conf->changeCredentials(user, password); });
        }
        deviceStep("writing the changes", [&] { return conf->completeConfiguration(); });

        // Read back through a fresh configurator, as a host would after a restart.
        auto credentials = conf->getCredentials();
        if (o.haveNewUser)
            credentials.first = o.newUser;
        if (o.haveNewPassword)
            credentials.second = o.newPassword;
        boost::shared_ptr<KRZPAPConfigurator> check;
        for (int attempt = 0;; ++attempt) {
            try {
                check = openDevice(globals, device, cancel, credentials.first, credentials.second,
                                   true);
                break;
            } catch (const CommandError& e) {
                // A device that restarts after a change is away for a few seconds.
                if (e.code() != EXIT_UNREACHABLE || attempt >= 10 || cancel.fired())
                    throw;
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        }
        deviceStep("reading the settings back", [&] { check->retrieveAttributes(); });
        readBack = settingsJson(*check);
        if (o.haveSsid && check->getSSID().getBytes() != o.ssid)
            mismatches.push_back("SSID");
        if (!o.security.empty() && check->getSecurityMode() != securityModeFromName(o.security)) {
            mismatches.push_back("security mode");
        }
        if (o.haveKey && o.security != "none" &&
            (!check->getKey() || check->getKey()->getKey() != o.key)) {
            mismatches.push_back("key");
        }
    });

    if (globals.json) {
        printJson(
            {{"changed", mismatches.empty()}, {"mismatches", mismatches}, {"settings", readBack}});
    } else {
        std::cout << "Configured " << conf->getDescription() << " at " << device.address << ".\n";
        printTable({{"SSID:", readBack["ssid"].get<std::string>()},
                    {"Security:", readBack["security"].get<std::string>()},
                    {"Encryption:", readBack["encryption"].get<std::string>()},
                    {"Key:", readBack["key"].get<std::string>()}});
        if (mismatches.empty()) {
            std::cout << "Read back: the device holds the new settings.\n";
        }
    }
    if (!mismatches.empty()) {
        std::string list;
        for (const auto& m : mismatches)
            list += (list.empty() ? "" : ", ") + m;
        throw CommandError(EXIT_ERROR, "the device did not keep: " + list);
    }
    return EXIT_OK;
}

namespace {

// A configurator that only knows a device's MAC address: enough for the finders.
class MacOnlyConfigurator : public KRZPAPConfigurator {
  public:
    explicit MacOnlyConfigurator(const KRZMacAddress& mac)
        : KRZPAPConfigurator(std::vector<KRZMacAddress>{mac}, "", "") {}
    std::string getVendorName() const override { return "device"; }
    std::string getModelName() const override {
        return narrow(getMACAddressList()[0].toHexString());
    }
    std::string getAdminPageUrl() const override { return ""; }
    std::pair<std::string, std::string> getDefaultCredentials() const override { return {}; }
    bool usesUsername() const override { return false; }
    int getMaxPasswordLen() const override { return 0; }

  private:
    void _onNewAddr(const in_addr&) override {}
    bool _testLogin() override { return false; }
    void _retrieveAttributes() override {}
    bool _changeCredentials(const std::string&, const std::string&) override { return false; }
    bool _changeSSID(const KRZSsid&) override { return false; }
    bool _changeSecurityMode(_KRZPSecurityMode, boost::shared_ptr<KRZPKey>,
                             _KRZPEncryptionMode) override {
        return false;
    }
    _KRZPAPStatus _validate() override { return KRZP_AP_ERROR; }
    void _cancelOperation() override {}
    void _clearPendingChanges() override {}
};

}  // namespace

int runFindCommand(const Globals& globals, const std::vector<std::string>& macs) {
    std::vector<KRZMacAddress> wanted;
    for (const std::string& text : macs) {
        try {
            wanted.push_back(KRZMacAddress::fromUtf8String(text));
        } catch (const KRZException&) {
            throw CommandError(EXIT_USAGE, "not a MAC address: \"" + text +
                                               "\" (give 12 hexadecimal digits, e.g. "
                                               "02:00:5e:10:00:01)");
        }
    }
    initLibrary(globals);
    KRZPAPConfiguratorVector configurators;
    for (const KRZMacAddress& mac : wanted) {
        configurators.push_back(boost::make_shared<MacOnlyConfigurator>(mac));
    }
    KRZPAPConfiguratorVector found;
    bool interrupted = false;
    try {
        interrupted = runInterruptible([&] { found = KRZPAPFinder::findAllAps(configurators); },
                                       [] { KRZPAPFinder::cancelScan(); });
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, "the search");
    }
    nlohmann::json results = nlohmann::json::array();
    std::vector<std::vector<std::string>> rows = {{"MAC", "ADDRESS"}};
    size_t located = 0;
    for (const auto& conf : configurators) {
        bool isFound = std::find(found.begin(), found.end(), conf) != found.end();
        std::string mac = narrow(conf->getMACAddressList()[0].toHexString());
        std::string address = isFound ? dotted(conf->getAddr()) : std::string();
        located += isFound ? 1 : 0;
        results.push_back({{"mac", mac}, {"found", isFound}, {"address", address}});
        rows.push_back({mac, isFound ? address : "not found"});
    }
    if (globals.json) {
        printJson({{"results", results}});
    } else {
        printTable(rows);
    }
    if (interrupted)
        return EXIT_CANCELLED;
    return located == configurators.size() ? EXIT_OK : EXIT_NOTHING_FOUND;
}

int runDefaultsCommand(const Globals& globals, const DefaultsOptions& options) {
    KRZMacAddress bssid;
    try {
        bssid = KRZMacAddress::fromUtf8String(options.bssid);
    } catch (const KRZException&) {
        throw CommandError(EXIT_USAGE, "not a MAC address: \"" + options.bssid + "\"");
    }
    if (options.ssid.size() > 32) {
        throw CommandError(EXIT_USAGE, "an SSID has at most 32 bytes");
    }
    initLibrary(globals);
    auto info = boost::make_shared<KRZAccessPointWlanInfo>();
    info->ssid = KRZSsid(options.ssid);
    info->bssid = bssid;
    info->channel = options.channel;
    info->privacy = options.privacy || !options.rsn.empty();
    info->rsnInfo = options.rsn;
    int verdict = KRZPDefaultsRecognizer::isFactoryDefaultsAccessPoint(info);
    std::string meaning = verdict > 0   ? "still at its factory defaults"
                          : verdict < 0 ? "changed from its factory defaults"
                                        : "no recognizer has an opinion";
    if (globals.json) {
        printJson({{"ssid", options.ssid},
                   {"bssid", narrow(bssid.toHexString())},
                   {"verdict", verdict},
                   {"factoryDefaults", verdict > 0},
                   {"meaning", meaning}});
    } else {
        std::cout << "Network \"" << options.ssid << "\" (" << narrow(bssid.toHexString())
                  << "): verdict " << verdict << ", " << meaning << ".\n";
    }
    return EXIT_OK;
}

}  // namespace krzpap
