// The device commands' work as steps that return data, shared by the command line (which prints
// them) and the page of 'krzpap ui' (which shows them): the same library calls and the same
// sentences for every failure.
#pragma once

#include "Cli.h"
#include "DeviceAccess.h"

#include "discovery/KRZPAPScanner.h"

#include <memory>
#include <mutex>
#include <utility>

namespace krzpap {

// Runs one public operation of a configurator, turning its failure into the command's.
template <typename F>
auto deviceStep(const std::string& what, F&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const KRZPAPCException& e) {
        throw describeFailure(e, what);
    }
}

nlohmann::json orNull(const std::string& text);

// Recognizes the device, logs in and checks the login, as every device command starts. With
// `override` the given user and password are used instead of the device options'.
boost::shared_ptr<KRZPAPConfigurator> openDevice(const Globals& globals,
                                                 const DeviceOptions& device, CancelHook& cancel,
                                                 const std::string& user = std::string(),
                                                 const std::string& password = std::string(),
                                                 bool override = false);
// openDevice, then the login test and the reading of the settings (what show does).
void loginAndRead(const Globals& globals, const DeviceOptions& device, CancelHook& cancel,
                  boost::shared_ptr<KRZPAPConfigurator>& conf);

// A device as the scan lists it; with its settings; and with the rules of its fields as well.
nlohmann::json deviceJson(const KRZPAPConfigurator& conf);
nlohmann::json settingsJson(const Globals& globals, KRZPAPConfigurator& conf);
nlohmann::json shownJson(const Globals& globals, KRZPAPConfigurator& conf);

// What the scan driver's observer heard while the scan ran: so the host knows what was found
// while the scan runs, keeps it when Ctrl-C ends the scan, and learns of hosts that answered but
// no recognizer knows. A recognized device is kept as its row, read on the scanning thread as it
// is heard: the report after Ctrl-C touches no configurator that the scan may still hold.
struct ScanTap {
    std::mutex mutex;
    int answered = 0;  // hosts that answered HTTP
    std::vector<nlohmann::json> recognized;
    std::vector<std::pair<std::string, std::string>> unrecognized;  // address, MAC
    std::vector<std::pair<std::string, std::string>> arpOnly;       // address, MAC

    void hear(const KRZPScanResult& result) {
        nlohmann::json row;
        if (result.kind == KRZPScanResult::RECOGNIZED)
            row = deviceJson(*result.configurator);
        std::pair<std::string, std::string> host(dotted(*result.address),
                                                 narrow(result.mac.toHexString()));
        std::lock_guard<std::mutex> lock(mutex);
        switch (result.kind) {
            case KRZPScanResult::RECOGNIZED:
                ++answered;
                recognized.push_back(std::move(row));
                break;
            case KRZPScanResult::UNRECOGNIZED:
                ++answered;
                unrecognized.push_back(host);
                break;
            case KRZPScanResult::ARP_ONLY:
                arpOnly.push_back(host);
                break;
        }
    }
};

// Registered for one scan; a scan observer that outlives its command would hear the next one.
class ScanObserverScope {
  public:
    explicit ScanObserverScope(std::shared_ptr<ScanTap> tap)
        : handle_(KRZPAPScanner::registerScanObserver(
              [tap](const KRZPScanResult& result) { tap->hear(result); })) {}
    ~ScanObserverScope() { KRZPAPScanner::unregisterScanObserver(handle_); }
    ScanObserverScope(const ScanObserverScope&) = delete;
    ScanObserverScope& operator=(const ScanObserverScope&) = delete;

  private:
    int handle_;
};

// The hosts the scan found, in address order as arp-scan and nmap list them, whatever order they
// answered in; with options.all also those that no module recognized.
nlohmann::json scanDevicesJson(const ScanOptions& options, const ScanTap& tap,
                               const std::vector<nlohmann::json>& found);
// The recognized devices' rows: the scan's complete list when it ended, else what the tap heard
// (the caller holds the tap's lock).
std::vector<nlohmann::json> foundRows(const ScanTap& tap, const KRZPAPConfiguratorList* complete);

// Configure's checks that need no device (throw CommandError, usage); nothing is sent before
// they pass.
void precheck(const ConfigureOptions& o);
// The device's own rules, checked before anything is changed.
void checkDeviceRules(KRZPAPConfigurator& conf, const ConfigureOptions& o);
// Writes the asked changes through the device's configuration session.
void applyChanges(KRZPAPConfigurator& conf, const ConfigureOptions& o);
// A fresh configurator that logs in with the new credentials, as a host would after a restart.
boost::shared_ptr<KRZPAPConfigurator> reopenWithNewCredentials(const Globals& globals,
                                                               const DeviceOptions& device,
                                                               const KRZPAPConfigurator& conf,
                                                               const ConfigureOptions& o,
                                                               CancelHook& cancel);
// A change as asked, and whether the device holds it now.
struct Change {
    std::string setting;
    nlohmann::json value;
    std::string text;
    bool confirmed;
};
std::vector<Change> compareChanges(const Globals& globals, const ConfigureOptions& o,
                                   const KRZPAPConfigurator& check, bool credentialsConfirmed);
nlohmann::json changesJson(const std::vector<Change>& changes);
// The failure when the device did not keep some change; empty when it kept them all.
std::string changesNotKept(const std::vector<Change>& changes);
// What a cancelled configure adds to "cancelled".
extern const char* const kMayHoldChanges;

// find: the MACs as given (CommandError, usage, for one that is not); what was found for each,
// in their order (`found` null: not known yet); the sentence for MACs not found.
std::vector<KRZMacAddress> parseMacs(const std::vector<std::string>& macs);
nlohmann::json findResultsJson(const std::vector<KRZMacAddress>& wanted,
                               const std::vector<KRZPDeviceSighting>* found);
std::string findShortfall(size_t located, size_t wanted);

// defaults: the arguments' check, then the recognizers' verdict as the command's JSON result.
KRZMacAddress checkDefaults(const DefaultsOptions& options);
nlohmann::json judgeDefaults(const DefaultsOptions& options);

}  // namespace krzpap
