// scan, show, configure, find, defaults: the host's side of discovery, configuration, relocation
// and the factory-defaults check.
#include "Cli.h"
#include "DeviceAccess.h"
#include "DeviceWork.h"
#include "Progress.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPDefaultsRecognizer.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZAccessPointWlanInfo.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzprocess.h"
#include "platform/krzplatform.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
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

std::pair<std::string, std::string> chooseCredentials(const KRZPAPConfigurator& conf,
                                                      const DeviceOptions& device) {
    std::pair<std::string, std::string> credentials = conf.getDefaultCredentials();
    if (device.haveUser)
        credentials.first = device.user;
    if (device.havePassword)
        credentials.second = device.password;
    return credentials;
}

}  // namespace

namespace {

// The device's address, port and MAC, checked before anything else is done.
void checkDeviceNamed(const DeviceOptions& device) {
    std::string named = device.address;
    takeDeviceAddress(named, device.port);
    if (!device.mac.empty())
        parseMac(device.mac);
}

}  // namespace

// Recognizes the device, logs in and checks the login, as every device command starts.
boost::shared_ptr<KRZPAPConfigurator> openDevice(const Globals& globals,
                                                 const DeviceOptions& device, CancelHook& cancel,
                                                 const std::string& user,
                                                 const std::string& password, bool override) {
    std::string named = device.address;
    in_addr address = takeDeviceAddress(named, device.port);
    boost::shared_ptr<KRZPAPConfigurator> conf;
    try {
        conf = recognizeDevice(address, device.mac, cancel);
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, "looking for the device at " + device.address);
    }
    cancel.set([conf] { conf->cancelOperation(); });
    auto credentials = chooseCredentials(*conf, device);
    if (override)
        credentials = {user, password};
    conf->setCredentials(credentials.first, credentials.second);
    _KRZPAPStatus status = deviceStep("checking the login", [&] { return conf->validate(); });
    const std::string notice = takeLoginNotice();
    if (status != KRZP_AP_OK && !notice.empty()) {
        throw CommandError(EXIT_LOGIN_FAILED,
                           "the device at " + device.address + " (" + conf->getDescription() +
                               ") refuses logins for "
                               "now, " +
                               escapeText(notice) + "; krzpap tried once and will not try again");
    }
    switch (status) {
        case KRZP_AP_OK:
            break;
        case KRZP_AP_LOGIN_FAILED:
            throw CommandError(EXIT_LOGIN_FAILED, "the device at " + device.address + " (" +
                                                      conf->getDescription() +
                                                      ") refused the credentials; give the "
                                                      "right ones with --user and --password");
        case KRZP_AP_UNREACHABLE:
            throw CommandError(EXIT_UNREACHABLE, "the device at " + device.address +
                                                     " cannot be reached; check that it is on and "
                                                     "that 'krzpap scan' lists it");
        default:
            throw CommandError(EXIT_ERROR, "the device at " + device.address +
                                               " did not answer as expected; see the log " +
                                               logFilePath(globals));
    }
    return conf;
}

namespace {

// Runs a device command's work with Ctrl-C wired to `cancel`. A cancelled step fails in its own
// way (unreachable, unexpected answer, ...): once Ctrl-C came, the failure is reported as the
// cancel.
void runDeviceWork(const Globals& globals, CancelHook& cancel, const std::function<void()>& work,
                   const std::string& whatMayBeLeft = std::string()) {
    std::string cancelled = "cancelled" + whatMayBeLeft;
    bool interrupted = false;
    try {
        interrupted = runInterruptible(
            work, [&] { cancel.fire(); },
            [&] {
                if (globals.json)
                    printDocument(globals, EXIT_CANCELLED, nullptr, true, cancelled);
                std::cerr << "krzpap: " << cancelled << "\n";
            });
    } catch (const CommandError& e) {
        if (cancel.fired())
            throw CommandError(EXIT_CANCELLED, cancelled);
        throw;
    }
    if (interrupted)
        throw CommandError(EXIT_CANCELLED, cancelled);
}

}  // namespace

nlohmann::json orNull(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

nlohmann::json deviceJson(const KRZPAPConfigurator& conf) {
    std::string mac = firstMac(conf);
    return {{"address", dotted(conf.getAddr())},
            {"mac", mac},
            {"macVendor", orNull(ouiVendor(mac))},
            {"vendor", conf.getVendorName()},
            {"model", conf.getModelName()},
            {"firmware", orNull(conf.getFirmwareRevision())},
            {"recognized", true}};
}

nlohmann::json settingsJson(const Globals& globals, KRZPAPConfigurator& conf) {
    nlohmann::json device = deviceJson(conf);
    device["ssid"] = conf.getSSID().getBytes();
    device["security"] = securityModeName(conf.getSecurityMode());
    device["encryption"] = encryptionModeName(conf.getEncryptionMode());
    device["key"] = secretJson(globals, conf.getKey() ? conf.getKey()->getKey() : std::string());
    return device;
}

namespace {

std::string adapterAddress(const KRZAdapterInfo& adapter) {
    in_addr a;
    a.s_addr = htonl(static_cast<uint32_t>(adapter.getIpAddress()));
    return dotted(a);
}

// The adapters the scan sweeps: every usable one, or those named with -I (by name or address).
std::vector<std::string> chooseAdapters(const ScanOptions& options) {
    std::vector<std::string> names;
    std::string known;
    boost::shared_ptr<std::vector<KRZAdapterInfo>> all = KRZAdapterInfo::getAdapterInfo();
    for (const KRZAdapterInfo& adapter : *all) {
        if (!usableAdapter(adapter.getIpAddress()))
            continue;
        std::string address = adapterAddress(adapter);
        known += (known.empty() ? "" : ", ") + adapter.getName() + " (" + address + ")";
        bool wanted = options.adapters.empty();
        for (const std::string& given : options.adapters)
            wanted = wanted || given == adapter.getName() || given == address;
        if (wanted)
            names.push_back(adapter.getName());
    }
    if (known.empty()) {
        throw CommandError(EXIT_UNREACHABLE,
                           "this network has no usable adapter (one with an address other than "
                           "loopback or link-local); nothing can be scanned");
    }
    for (const std::string& given : options.adapters) {
        bool found = false;
        for (const KRZAdapterInfo& adapter : *all)
            found = found || ((given == adapter.getName() || given == adapterAddress(adapter)) &&
                              usableAdapter(adapter.getIpAddress()));
        if (!found) {
            throw CommandError(EXIT_UNREACHABLE,
                               "no usable adapter \"" + escapeText(given) +
                                   "\" on this network; give -I with one of: " + known);
        }
    }
    return names;
}

}  // namespace

std::vector<nlohmann::json> foundRows(const ScanTap& tap, const KRZPAPConfiguratorList* complete) {
    if (!complete)
        return tap.recognized;
    std::vector<nlohmann::json> rows;
    for (const auto& conf : *complete)
        rows.push_back(deviceJson(*conf));
    return rows;
}

// The hosts the scan found, in address order as arp-scan and nmap list them, whatever order they
// answered in; with --all also those that no module recognized.
nlohmann::json scanDevicesJson(const ScanOptions& options, const ScanTap& tap,
                               const std::vector<nlohmann::json>& found) {
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& device : found)
        devices.push_back(device);
    if (options.all) {
        // A host no module recognized: what the network told of it, nothing a module would know.
        auto unknownHost = [](const std::string& address, const std::string& mac) {
            return nlohmann::json{
                {"address", address}, {"mac", mac},       {"macVendor", orNull(ouiVendor(mac))},
                {"vendor", nullptr},  {"model", nullptr}, {"firmware", nullptr},
                {"recognized", false}};
        };
        for (const auto& [address, mac] : tap.unrecognized)
            devices.push_back(unknownHost(address, mac));
        for (const auto& [address, mac] : tap.arpOnly) {
            nlohmann::json host = unknownHost(address, mac);
            host["arpOnly"] = true;
            devices.push_back(host);
        }
    }
    auto addressKey = [](const nlohmann::json& d) {
        unsigned a = 0, b = 0, c = 0, e = 0;
        std::sscanf(d["address"].get<std::string>().c_str(), "%u.%u.%u.%u", &a, &b, &c, &e);
        return (static_cast<uint64_t>(a) << 24) | (b << 16) | (c << 8) | e;
    };
    std::stable_sort(devices.begin(), devices.end(),
                     [&](const nlohmann::json& x, const nlohmann::json& y) {
                         return addressKey(x) < addressKey(y);
                     });
    return devices;
}

namespace {

// The scan's table; a firmware column only when some device names its firmware.
void printScanTable(const nlohmann::json& devices) {
    if (devices.empty()) {
        std::cout << "No device recognized.\n";
        return;
    }
    bool anyFirmware = false;
    for (const auto& d : devices)
        anyFirmware = anyFirmware || !d["firmware"].is_null();
    std::vector<std::vector<std::string>> rows = {
        {"ADDRESS", "MAC", "MAC VENDOR", "VENDOR", "MODEL"}};
    if (anyFirmware)
        rows[0].push_back("FIRMWARE");
    auto text = [](const nlohmann::json& v, const char* none) {
        return v.is_null() ? std::string(none) : v.get<std::string>();
    };
    for (const auto& d : devices) {
        const char* none = d.contains("arpOnly") ? "(answered ARP only)" : "(not recognized)";
        rows.push_back({d["address"], d["mac"], text(d["macVendor"], "-"), text(d["vendor"], "-"),
                        text(d["model"], none)});
        if (anyFirmware)
            rows.back().push_back(text(d["firmware"], "-"));
    }
    printTable(rows);
}

int reportScan(const Globals& globals, const ScanOptions& options, ScanTap& tap,
               const KRZPAPConfiguratorList* complete, const std::vector<std::string>& adapters,
               std::chrono::steady_clock::time_point start, bool interrupted) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard<std::mutex> lock(tap.mutex);
    const std::vector<nlohmann::json> found = foundRows(tap, complete);
    nlohmann::json devices = scanDevicesJson(options, tap, found);
    int answered = std::max(tap.answered, static_cast<int>(found.size()));
    int code = interrupted ? EXIT_CANCELLED : found.empty() ? EXIT_NOTHING_FOUND : EXIT_OK;
    if (globals.json) {
        printDocument(globals, code,
                      {{"devices", devices},
                       {"adapters", adapters},
                       {"answered", answered},
                       {"recognized", found.size()},
                       {"seconds", seconds}},
                      interrupted);
        return code;
    }
    printScanTable(devices);
    if (!globals.quiet) {
        std::ostringstream summary;
        summary << answered << " host(s) answered, " << found.size() << " recognized, in "
                << std::fixed << std::setprecision(1) << seconds << " s"
                << (interrupted ? " (interrupted: the rest of the network was not scanned)" : "");
        if (!options.all && answered > static_cast<int>(found.size()) && !interrupted)
            summary << "; --all lists the others";
        std::cerr << summary.str() << "\n";
    }
    return code;
}

}  // namespace

int runScanCommand(const Globals& globals, const ScanOptions& options) {
    initLibrary(globals);
    std::vector<std::string> adapters = chooseAdapters(options);
    if (!options.adapters.empty()) {
        std::string list;
        for (const std::string& name : adapters)
            list += (list.empty() ? "" : ",") + name;
        krzprocess::setEnvironment("KRZ_ADAPTERS", list);
        KRZSettings::reload();
    }
    auto tap = std::make_shared<ScanTap>();
    ScanObserverScope observing(tap);

    auto start = std::chrono::steady_clock::now();
    bool showProgress = !globals.quiet && krzprocess::isTerminal(krzprocess::Stream::err);
    ScanProgress progress(logFilePath(globals), showProgress, [tap] {
        std::lock_guard<std::mutex> lock(tap->mutex);
        return tap->answered;
    });
    KRZPAPConfiguratorList found;
    bool completed = false;
    boost::shared_ptr<KRZPAPCException> failure;
    bool interrupted = runInterruptible(
        [&] {
            try {
                found = KRZPAPScanner::runScan();
                completed = true;
            } catch (const KRZPAPCException& e) {
                failure = boost::make_shared<KRZPAPCException>(e);
            }
        },
        [] { KRZPAPScanner::cancelScan(); },
        [&] {
            progress.stop();
            reportScan(globals, options, *tap, nullptr, adapters, start, true);
        });
    progress.stop();
    const std::string failed = failedRecognizers();
    if (!failed.empty())
        std::cerr << "krzpap: " << failed << "\n";
    // A cancelled sweep drops its results (the driver then reports no connectivity): what the
    // host saw until then is the answer.
    if (failure && !interrupted) {
        if (failure->getAPCErrorCode() != KRZPAPC_NO_CONNECTIVITY)
            throw describeFailure(*failure, "the scan");
        std::string list;
        for (const std::string& name : adapters)
            list += (list.empty() ? "" : ", ") + name;
        int answered = 0;
        {
            std::lock_guard<std::mutex> lock(tap->mutex);
            answered = tap->answered;
        }
        // Hosts answered, yet the sweep ended without a result: a recognizer failed on them.
        if (answered > 0)
            std::cerr << "krzpap: " << answered
                      << " host(s) answered, but the scan ended without a result: a module's "
                         "recognizer failed (the log names it); leave that module out with "
                         "--modules, or tell its authors\n";
        else
            std::cerr << "krzpap: nothing answered on the network (adapters swept: " << list
                      << ")\n";
    }
    return reportScan(globals, options, *tap, completed ? &found : nullptr, adapters, start,
                      interrupted);
}

void loginAndRead(const Globals& globals, const DeviceOptions& device, CancelHook& cancel,
                  boost::shared_ptr<KRZPAPConfigurator>& conf) {
    conf = openDevice(globals, device, cancel);
    bool loggedIn = deviceStep("logging in", [&] { return conf->testLogin(); });
    if (!loggedIn) {
        throw CommandError(EXIT_LOGIN_FAILED,
                           "the device refused the credentials; give the right ones with "
                           "--user and --password");
    }
    deviceStep("reading the settings", [&] { conf->retrieveAttributes(); });
}

nlohmann::json shownJson(const Globals& globals, KRZPAPConfigurator& conf) {
    nlohmann::json shown = settingsJson(globals, conf);
    shown["usesUsername"] = conf.usesUsername();
    shown["requirements"] = {
        {"username", conf.usesUsername() ? narrow(conf.getUsernameRequirementsDescription())
                                         : std::string("(the device has no user name)")},
        {"password", narrow(conf.getPasswordRequirementsDescription())},
        {"ssid", narrow(conf.getSsidRequirementsDescription())}};
    return shown;
}

int runShowCommand(const Globals& globals, const DeviceOptions& device) {
    checkDeviceNamed(device);
    initLibrary(globals);
    CancelHook cancel;
    boost::shared_ptr<KRZPAPConfigurator> conf;
    runDeviceWork(globals, cancel, [&] { loginAndRead(globals, device, cancel, conf); });

    nlohmann::json shown = shownJson(globals, *conf);
    if (globals.json) {
        printDocument(globals, EXIT_OK, {{"device", shown}});
        return EXIT_OK;
    }
    std::string key = conf->getKey() ? conf->getKey()->getKey() : std::string();
    const nlohmann::json& rules = shown["requirements"];
    const std::string mac = firstMac(*conf);
    printTable({{"Device:", conf->getDescription() + " at " + dotted(conf->getAddr()) +
                                (mac.empty() ? std::string() : " (" + mac + ")")},
                {"Firmware:", orDash(conf->getFirmwareRevision())},
                {"SSID:", conf->getSSID().getBytes()},
                {"Security:", securityModeName(conf->getSecurityMode())},
                {"Encryption:", encryptionModeName(conf->getEncryptionMode())},
                {"Key:", secretText(globals, key)},
                {"User names:", rules["username"]},
                {"Passwords:", rules["password"]},
                {"SSIDs:", rules["ssid"]}});
    return EXIT_OK;
}

namespace {

// A configurator of no particular device: it carries the MAC addresses the finders look for, and
// judges values by the library's own rules.
class BareConfigurator : public KRZPAPConfigurator {
  public:
    explicit BareConfigurator(std::vector<KRZMacAddress> macs = {})
        : KRZPAPConfigurator(std::move(macs), "", "") {}
    std::string getVendorName() const override { return "device"; }
    std::string getModelName() const override {
        std::vector<KRZMacAddress> macs = getMACAddressList();
        return macs.empty() ? std::string() : narrow(macs[0].toHexString());
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

// Which options go together: a key and an encryption belong to a security mode, which (but none)
// needs a key; and something must change.
void checkOptionsGoTogether(const ConfigureOptions& o) {
    if (o.haveKey && o.security.empty()) {
        throw CommandError(EXIT_USAGE,
                           "--key needs --security: say which mode the key is for, "
                           "e.g. --security wpa2-psk --key PASSPHRASE");
    }
    if (!o.encryption.empty() && o.security.empty()) {
        throw CommandError(EXIT_USAGE, "--encryption needs --security");
    }
    if (!o.haveSsid && o.security.empty() && !o.haveNewUser && !o.haveNewPassword) {
        throw CommandError(EXIT_USAGE,
                           "nothing to change: give --ssid, --security with --key, or "
                           "--new-user/--new-password");
    }
    if (!o.security.empty() && o.security != "none" && !o.haveKey) {
        throw CommandError(EXIT_USAGE, "--security " + o.security +
                                           " needs --key (the new passphrase or WEP key)");
    }
}

// An encryption the mode can carry (anything else would be changed by the device), and for WEP
// one that fits the key's length.
void checkEncryption(const ConfigureOptions& o) {
    if (o.encryption.empty())
        return;
    static const std::map<std::string, std::vector<std::string>> allowed = {
        {"none", {"none"}},
        {"wep", {"wep64", "wep128"}},
        {"wpa-psk", {"tkip", "aes", "tkip-aes"}},
        {"wpa2-psk", {"aes", "tkip", "tkip-aes"}},
        {"wpa-wpa2-psk", {"tkip-aes", "tkip", "aes"}}};
    const auto& list = allowed.at(o.security);
    if (std::find(list.begin(), list.end(), o.encryption) == list.end()) {
        std::string names;
        for (const auto& n : list)
            names += (names.empty() ? "" : ", ") + n;
        throw CommandError(EXIT_USAGE, "security mode " + o.security + " cannot use encryption " +
                                           o.encryption + "; it takes " + names);
    }
    bool short64 = o.key.size() == 5 || o.key.size() == 10;
    if (o.security == "wep" && short64 != (o.encryption == "wep64")) {
        throw CommandError(
            EXIT_USAGE, "a " + o.encryption + " key is " +
                            (o.encryption == "wep64" ? "5 characters or 10 hexadecimal digits"
                                                     : "13 characters or 26 hexadecimal digits"));
    }
}

// The key formats of the wireless standards, whatever the device.
void checkKey(const ConfigureOptions& o) {
    size_t n = o.key.size();
    if (o.security == "none") {
        if (o.haveKey && !o.key.empty())
            throw CommandError(EXIT_USAGE, "security mode none takes no key");
    } else if (o.security == "wep") {
        bool text = (n == 5 || n == 13) && printableAscii(o.key);
        if (!text && !((n == 10 || n == 26) && isHex(o.key))) {
            throw CommandError(EXIT_USAGE,
                               "a WEP key is 5 or 13 characters, or 10 or 26 "
                               "hexadecimal digits");
        }
    } else if (!o.security.empty()) {
        bool passphrase = n >= 8 && n <= 63 && printableAscii(o.key);
        if (!passphrase && !(n == 64 && isHex(o.key))) {
            throw CommandError(EXIT_USAGE,
                               "a WPA passphrase is 8 to 63 printable characters "
                               "(or 64 hexadecimal digits)");
        }
    }
}

// The standard's bound on an SSID, whatever the device; its characters are each device's own.
void checkSsidLength(const ConfigureOptions& o) {
    if (o.haveSsid && (o.ssid.empty() || o.ssid.size() > 32)) {
        throw CommandError(EXIT_USAGE, "an SSID is 1 to 32 bytes long; \"" + escapeText(o.ssid) +
                                           "\" has " + std::to_string(o.ssid.size()));
    }
}

}  // namespace

// Checks that need no device. Nothing is sent to any device before these pass. The characters
// and lengths of SSIDs, user names and passwords are left to the device's own rules, so that a
// refusal quotes the rule that applies.
void precheck(const ConfigureOptions& o) {
    checkOptionsGoTogether(o);
    checkEncryption(o);
    checkSsidLength(o);
    checkKey(o);
}

// The device's own rules, checked before anything is changed.
void checkDeviceRules(KRZPAPConfigurator& conf, const ConfigureOptions& o) {
    if (o.haveNewUser && !conf.usesUsername()) {
        throw CommandError(EXIT_USAGE, "the " + conf.getDescription() +
                                           " has no administrator user name; leave out "
                                           "--new-user");
    }
    if (o.haveSsid) {
        _KRZPStringValidatorCode code = conf.validateSsid(o.ssid);
        if (code != KRZP_SV_OK) {
            throw CommandError(EXIT_USAGE, "the SSID \"" + escapeText(o.ssid) + "\" " +
                                               ruleText(code) + " for the " +
                                               conf.getDescription() + ": " +
                                               narrow(conf.getSsidRequirementsDescription()) +
                                               "; nothing was changed");
        }
    }
    if (o.haveNewUser && conf.usesUsername()) {
        _KRZPStringValidatorCode code = conf.validateUsername(o.newUser);
        if (code != KRZP_SV_OK) {
            throw CommandError(
                EXIT_USAGE,
                "the new user name " + std::string(ruleText(code)) + " for the " +
                    conf.getDescription() + " (" + std::to_string(conf.getMinUsernameLen()) +
                    " to " + std::to_string(conf.getMaxUsernameLen()) +
                    " characters): " + narrow(conf.getUsernameRequirementsDescription()));
        }
    }
    if (o.haveNewPassword) {
        _KRZPStringValidatorCode code = conf.validatePassword(o.newPassword);
        if (code != KRZP_SV_OK) {
            throw CommandError(
                EXIT_USAGE,
                "the new password " + std::string(ruleText(code)) + " for the " +
                    conf.getDescription() + " (" + std::to_string(conf.getMinPasswordLen()) +
                    " to " + std::to_string(conf.getMaxPasswordLen()) +
                    " characters): " + narrow(conf.getPasswordRequirementsDescription()));
        }
    }
}

namespace {

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

// Writes the asked changes through the device's configuration session.
void applyChanges(KRZPAPConfigurator& conf, const ConfigureOptions& o) {
    deviceStep("reading the settings", [&] { conf.retrieveAttributes(); });
    deviceStep("starting the configuration", [&] { return conf.startConfiguration(); });
    if (o.haveSsid) {
        deviceStep("changing the SSID", [&] { return conf.changeSSID(KRZSsid(o.ssid)); });
    }
    if (!o.security.empty()) {
        auto key = boost::make_shared<KRZPKey>(o.key);
        deviceStep("changing the security mode", [&] {
            return conf.changeSecurityMode(securityModeFromName(o.security), key,
                                           defaultEncryption(o));
        });
    }
    if (o.haveNewUser || o.haveNewPassword) {
        // What is not given stays as it is now.
        auto current = conf.getCredentials();
        std::string user = o.haveNewUser ? o.newUser : current.first;
        std::string password = o.haveNewPassword ? o.newPassword : current.second;
        deviceStep("changing the credentials",
                   [&] { return conf.changeCredentials(user, password); });
    }
    deviceStep("writing the changes", [&] { return conf.completeConfiguration(); });
}

// A fresh configurator that logs in with the new credentials, as a host would after a restart:
// a login that works confirms them.
boost::shared_ptr<KRZPAPConfigurator> reopenWithNewCredentials(const Globals& globals,
                                                               const DeviceOptions& device,
                                                               const KRZPAPConfigurator& conf,
                                                               const ConfigureOptions& o,
                                                               CancelHook& cancel) {
    auto credentials = conf.getCredentials();
    if (o.haveNewUser)
        credentials.first = o.newUser;
    if (o.haveNewPassword)
        credentials.second = o.newPassword;
    for (int attempt = 0;; ++attempt) {
        try {
            return openDevice(globals, device, cancel, credentials.first, credentials.second, true);
        } catch (const CommandError& e) {
            // A device that restarts after a change is away for a few seconds.
            if (e.code() != EXIT_UNREACHABLE || attempt >= 10 || cancel.fired())
                throw;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
}

std::vector<Change> compareChanges(const Globals& globals, const ConfigureOptions& o,
                                   const KRZPAPConfigurator& check, bool credentialsConfirmed) {
    std::vector<Change> changes;
    std::string key = check.getKey() ? check.getKey()->getKey() : std::string();
    if (o.haveSsid)
        changes.push_back({"ssid", o.ssid, o.ssid, check.getSSID().getBytes() == o.ssid});
    if (!o.security.empty()) {
        changes.push_back({"security", o.security, o.security,
                           check.getSecurityMode() == securityModeFromName(o.security)});
        std::string encryption = encryptionModeName(defaultEncryption(o));
        changes.push_back({"encryption", encryption, encryption,
                           check.getEncryptionMode() == defaultEncryption(o)});
        if (o.security != "none")
            changes.push_back(
                {"key", secretJson(globals, o.key), secretText(globals, o.key), key == o.key});
    }
    if (o.haveNewUser)
        changes.push_back({"username", o.newUser, o.newUser, credentialsConfirmed});
    if (o.haveNewPassword)
        changes.push_back({"password", secretJson(globals, o.newPassword),
                           secretText(globals, o.newPassword), credentialsConfirmed});
    return changes;
}

namespace {}  // namespace

const char* const kMayHoldChanges =
    "; the device may hold some of the changes ('krzpap show' tells)";

nlohmann::json changesJson(const std::vector<Change>& changes) {
    nlohmann::json list = nlohmann::json::array();
    for (const Change& c : changes)
        list.push_back({{"setting", c.setting}, {"value", c.value}, {"confirmed", c.confirmed}});
    return list;
}

std::string changesNotKept(const std::vector<Change>& changes) {
    std::string list;
    for (const Change& c : changes)
        if (!c.confirmed)
            list += (list.empty() ? "" : ", ") + c.setting;
    return list.empty()
               ? std::string()
               : "the device did not keep: " + list + "; 'krzpap show' tells what it holds now";
}

namespace {

// Prints the changes and whether the device kept them; a change it did not keep is a failure.
int reportChanges(const Globals& globals, const std::string& description,
                  const std::string& address, KRZPAPConfigurator& check,
                  const std::vector<Change>& changes) {
    nlohmann::json changeList = changesJson(changes);
    std::string error = changesNotKept(changes);
    int code = error.empty() ? EXIT_OK : EXIT_ERROR;
    if (globals.json) {
        printDocument(globals, code,
                      {{"device", settingsJson(globals, check)}, {"changes", changeList}}, false,
                      error);
    } else {
        std::cout << "Configured " << description << " at " << address << ":\n";
        std::vector<std::vector<std::string>> rows;
        for (const Change& c : changes)
            rows.push_back({"  " + c.setting + ":", c.text,
                            c.confirmed ? "confirmed" : "NOT kept by the device"});
        printTable(rows);
    }
    if (!error.empty())
        std::cerr << "krzpap: " << error << "\n";
    return code;
}

}  // namespace

int runConfigureCommand(const Globals& globals, const DeviceOptions& device,
                        const ConfigureOptions& o) {
    checkDeviceNamed(device);
    precheck(o);
    initLibrary(globals);
    CancelHook cancel;
    boost::shared_ptr<KRZPAPConfigurator> conf;
    boost::shared_ptr<KRZPAPConfigurator> check;
    bool credentialsConfirmed = false;
    runDeviceWork(
        globals, cancel,
        [&] {
            conf = openDevice(globals, device, cancel);
            checkDeviceRules(*conf, o);
            applyChanges(*conf, o);
            check = reopenWithNewCredentials(globals, device, *conf, o, cancel);
            credentialsConfirmed = true;
            deviceStep("reading the settings back", [&] { check->retrieveAttributes(); });
        },
        kMayHoldChanges);
    return reportChanges(globals, conf->getDescription(), device.address, *check,
                         compareChanges(globals, o, *check, credentialsConfirmed));
}

std::vector<KRZMacAddress> parseMacs(const std::vector<std::string>& macs) {
    std::vector<KRZMacAddress> wanted;
    for (const std::string& text : macs)
        wanted.push_back(parseMac(text));
    return wanted;
}

nlohmann::json findResultsJson(const std::vector<KRZMacAddress>& wanted,
                               const std::vector<KRZPDeviceSighting>* found) {
    nlohmann::json results = nlohmann::json::array();
    for (const KRZMacAddress& mac : wanted) {
        std::string address;
        if (found) {
            for (const KRZPDeviceSighting& s : *found)
                if (s.mac == mac && address.empty())
                    address = dotted(*s.address);
        }
        results.push_back({{"mac", narrow(mac.toHexString())},
                           {"found", !address.empty()},
                           {"address", orNull(address)}});
    }
    return results;
}

std::string findShortfall(size_t located, size_t wanted) {
    return std::to_string(located) + " of " + std::to_string(wanted) +
           " found; a device not found may be switched off, or on a network no adapter reaches "
           "('krzpap scan' lists what answers)";
}

int runFindCommand(const Globals& globals, const std::vector<std::string>& macs) {
    std::vector<KRZMacAddress> wanted = parseMacs(macs);
    initLibrary(globals);
    auto service = boost::make_shared<KRZPDeviceService>();
    std::vector<KRZPDeviceSighting> found;
    // Read by the report of an interrupted search, while the search may still run.
    std::atomic<bool> done{false};
    auto report = [&](bool interrupted) {
        nlohmann::json results = findResultsJson(wanted, done ? &found : nullptr);
        std::vector<std::vector<std::string>> rows = {{"MAC", "ADDRESS"}};
        size_t located = 0;
        for (const nlohmann::json& r : results) {
            bool isFound = r["found"];
            located += isFound ? 1 : 0;
            rows.push_back({r["mac"], isFound       ? r["address"].get<std::string>()
                                      : interrupted ? "(interrupted)"
                                                    : "not found"});
        }
        int code = interrupted                ? EXIT_CANCELLED
                   : located == wanted.size() ? EXIT_OK
                                              : EXIT_NOTHING_FOUND;
        if (globals.json) {
            printDocument(globals, code, {{"results", results}}, interrupted);
        } else {
            printTable(rows);
        }
        // Exit 3 when any MAC is missing, so the user is told how many.
        if (code == EXIT_NOTHING_FOUND && !globals.quiet)
            std::cerr << findShortfall(located, wanted.size()) << "\n";
        return code;
    };
    bool interrupted = false;
    try {
        interrupted = runInterruptible(
            [&] {
                found = service->findByMac(wanted);
                done = true;
            },
            [service] { service->cancel(); }, [&] { report(true); });
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, "the search");
    }
    return report(interrupted);
}

KRZMacAddress checkDefaults(const DefaultsOptions& options) {
    KRZMacAddress bssid;
    try {
        bssid = KRZMacAddress::fromUtf8String(options.bssid);
    } catch (const KRZException&) {
        throw CommandError(EXIT_USAGE, "not a MAC address: \"" + options.bssid + "\"");
    }
    if (options.ssid.size() > 32) {
        throw CommandError(EXIT_USAGE, "an SSID has at most 32 bytes");
    }
    // 0 (unknown), the 2.4 GHz channels and the 5 GHz ones.
    int c = options.channel;
    bool channelOk = (c >= 0 && c <= 14) || (c >= 32 && c <= 144 && c % 4 == 0) ||
                     (c >= 149 && c <= 177 && c % 4 == 1);
    if (!channelOk) {
        throw CommandError(EXIT_USAGE, "there is no Wi-Fi channel " + std::to_string(c) +
                                           "; give 1 to 14, a 5 GHz channel (36, 40, ... 165), "
                                           "or 0 when unknown");
    }
    return bssid;
}

nlohmann::json judgeDefaults(const DefaultsOptions& options) {
    KRZMacAddress bssid = checkDefaults(options);
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
    return {{"ssid", options.ssid},
            {"bssid", narrow(bssid.toHexString())},
            {"verdict", verdict},
            {"factoryDefaults", verdict > 0},
            {"meaning", meaning}};
}

int runDefaultsCommand(const Globals& globals, const DefaultsOptions& options) {
    checkDefaults(options);
    initLibrary(globals);
    nlohmann::json judged = judgeDefaults(options);
    if (globals.json) {
        printDocument(globals, EXIT_OK, judged);
    } else {
        std::cout << "Network \"" << options.ssid << "\" (" << judged["bssid"].get<std::string>()
                  << "): verdict " << judged["verdict"].get<int>() << ", "
                  << judged["meaning"].get<std::string>() << ".\n";
    }
    return EXIT_OK;
}

}  // namespace krzpap
