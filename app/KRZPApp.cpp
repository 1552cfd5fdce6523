// The application layer: every host's work with the library, once.
#include "app/KRZPApp.h"
#include "app/DeviceAccess.h"
#include "app/HarImport.h"
#include "app/Work.h"

#include "discovery/KRZPAPScanner.h"
#include "discovery/KRZPDefaultsRecognizer.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "krzsettings/KRZSettings.h"
#include "krzutil/KRZAccessPointWlanInfo.h"
#include "krzutil/KRZTextCoding.h"
#include "platform/krzprocess.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace krzpapp {

Error::Error(ErrorKind kind, const std::string& message, const std::string& field, Advice advice,
             const std::string& detail)
    : std::runtime_error(message), kind_(kind), field_(field), advice_(advice), detail_(detail) {}

Observer::~Observer() = default;
void Observer::step(const std::string&) {}
void Observer::found(const Device&) {}
void Observer::recorded(const std::string&, int, long long) {}

std::string ConfigureResult::notKept() const {
    std::string list;
    for (const Change& c : changes)
        if (!c.confirmed)
            list += (list.empty() ? "" : ", ") + c.setting;
    return list;
}

namespace {

// The hexadecimal digits of a text, upper-cased, everything else left out ("00-22-72" -> "002272").
std::string upperHexDigits(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (krzHexDigitValue(c) >= 0) {
            digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return digits;
}

std::map<std::string, std::string> loadOuiRegistry() {
    std::map<std::string, std::string> registry;
    for (const char* path : {"/usr/share/ieee-data/oui.txt", "/usr/share/misc/oui.txt"}) {
        std::ifstream in(path);
        if (!in) {
            continue;
        }
        std::string line;
        while (std::getline(in, line)) {
            // "00-22-72   (hex)\t\tVendor name"
            size_t hex = line.find("(hex)");
            if (hex == std::string::npos || line.size() < 8 || line[2] != '-') {
                continue;
            }
            std::string prefix = upperHexDigits(line.substr(0, 8));
            size_t start = line.find_first_not_of(" \t", hex + 5);
            if (prefix.size() == 6 && start != std::string::npos) {
                std::string vendor = line.substr(start);
                while (!vendor.empty() && std::isspace(static_cast<unsigned char>(vendor.back()))) {
                    vendor.pop_back();
                }
                registry.emplace(prefix, vendor);
            }
        }
        break;
    }
    return registry;
}

}  // namespace

std::string ouiVendor(const std::string& mac) {
    std::string digits = upperHexDigits(mac);
    if (digits.size() < 6) {
        return "";
    }
    int first = std::stoi(digits.substr(0, 2), nullptr, 16);
    if (first & 0x02) {
        return "(locally administered)";
    }
    static const std::map<std::string, std::string> registry = loadOuiRegistry();
    auto it = registry.find(digits.substr(0, 6));
    return it == registry.end() ? "" : it->second;
}

struct Application::State {
    Observer* observer = nullptr;
    krzpap::CancelHook cancel;
    std::mutex recorderMutex;
    std::shared_ptr<krzpap::Recorder> recorder;

    void step(const char* what) {
        if (observer)
            observer->step(what);
    }
};

Application::Application(Observer* observer) : state_(new State) {
    state_->observer = observer;
}

Application::~Application() = default;

void Application::cancel() {
    state_->cancel.fire();
}

void Application::uncancel() {
    state_->cancel.clear();
}

bool Application::cancelled() const {
    return state_->cancel.fired();
}

namespace {

using krzpap::dotted;
using krzpap::narrow;

// A step's failure after a cancel is the cancel, whatever way the step failed.
template <typename F>
auto cancellable(krzpap::CancelHook& cancel, F&& work) -> decltype(work()) {
    if (cancel.fired())
        throw Error(ErrorKind::Cancelled, "cancelled");
    try {
        return work();
    } catch (const Error&) {
        if (cancel.fired())
            throw Error(ErrorKind::Cancelled, "cancelled");
        throw;
    } catch (const KRZPAPCException& e) {
        if (cancel.fired())
            throw Error(ErrorKind::Cancelled, "cancelled");
        throw krzpap::describeFailure(e, "the work");
    }
}

std::string adapterAddress(const KRZAdapterInfo& adapter) {
    in_addr a;
    a.s_addr = htonl(static_cast<uint32_t>(adapter.getIpAddress()));
    return dotted(a);
}

}  // namespace

// Every usable adapter, or those named (by name or address).
std::vector<std::string> Application::adaptersFor(const ScanRequest& request) {
    std::vector<std::string> names;
    std::string known;
    boost::shared_ptr<std::vector<KRZAdapterInfo>> all = KRZAdapterInfo::getAdapterInfo();
    for (const KRZAdapterInfo& adapter : *all) {
        if (!krzpap::usableAdapter(adapter.getIpAddress()))
            continue;
        std::string address = adapterAddress(adapter);
        known += (known.empty() ? "" : ", ") + adapter.getName() + " (" + address + ")";
        bool wanted = request.adapters.empty();
        for (const std::string& given : request.adapters)
            wanted = wanted || given == adapter.getName() || given == address;
        if (wanted)
            names.push_back(adapter.getName());
    }
    if (known.empty()) {
        throw Error(ErrorKind::NoAdapter,
                    "this network has no usable adapter (one with an address other than "
                    "loopback or link-local); nothing can be scanned");
    }
    for (const std::string& given : request.adapters) {
        bool found = false;
        for (const KRZAdapterInfo& adapter : *all)
            found = found || ((given == adapter.getName() || given == adapterAddress(adapter)) &&
                              krzpap::usableAdapter(adapter.getIpAddress()));
        if (!found) {
            throw Error(ErrorKind::NoAdapter,
                        "no usable adapter \"" + krzpap::escapeText(given) + "\" on this network",
                        "adapters", Advice::ChooseAdapter, known);
        }
    }
    return names;
}

namespace {

Device hostRow(const std::string& address, const std::string& mac) {
    Device d;
    d.address = address;
    d.mac = mac;
    d.macVendor = ouiVendor(mac);
    return d;
}

uint64_t addressKey(const Device& d) {
    unsigned a = 0, b = 0, c = 0, e = 0;
    std::sscanf(d.address.c_str(), "%u.%u.%u.%u", &a, &b, &c, &e);
    return (static_cast<uint64_t>(a) << 24) | (b << 16) | (c << 8) | e;
}

// A host the scan heard, as the scan lists it; a recognized device is read as it is heard.
Device rowOf(const KRZPScanResult& r) {
    Device d = r.kind == KRZPScanResult::RECOGNIZED
                   ? krzpap::deviceOf(*r.configurator)
                   : hostRow(dotted(*r.address), narrow(r.mac.toHexString()));
    d.arpOnly = r.kind == KRZPScanResult::ARP_ONLY;
    return d;
}

}  // namespace

ScanResult Application::scan(const ScanRequest& request) {
    ScanResult result;
    result.adapters = adaptersFor(request);
    if (!request.adapters.empty()) {
        std::string list;
        for (const std::string& name : result.adapters)
            list += (list.empty() ? "" : ",") + name;
        krzprocess::setEnvironment("KRZ_ADAPTERS", list);
        KRZSettings::reload();
    }
    // The service's scan: its cancel is never lost, and a cancelled scan ends as cancelled.
    auto service = std::make_shared<KRZPDeviceService>();
    Observer* observer = state_->observer;
    auto start = std::chrono::steady_clock::now();
    state_->step("sweeping the network");
    KRZPScanOutcome outcome;
    state_->cancel.set([service] { service->cancel(); });
    try {
        outcome = service->scan([observer](const KRZPScanResult& r) {
            if (observer)
                observer->found(rowOf(r));
        });
    } catch (const KRZPAPCException& e) {
        state_->cancel.set(nullptr);
        if (!state_->cancel.fired())
            throw krzpap::describeFailure(e, "the scan");
        outcome.end = KRZP_SCAN_CANCELLED;
    }
    state_->cancel.set(nullptr);
    result.cancelled = outcome.end == KRZP_SCAN_CANCELLED || state_->cancel.fired();
    result.nothingAnswered = outcome.end == KRZP_SCAN_NOTHING_ANSWERED;
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.recognizerFailures = krzpap::takeRecognizerFailures();
    const bool complete = outcome.end == KRZP_SCAN_COMPLETE && !result.cancelled;
    std::vector<Device> others;
    for (const KRZPScanResult& r : outcome.heard) {
        result.answered += r.kind == KRZPScanResult::ARP_ONLY ? 0 : 1;
        if (r.kind != KRZPScanResult::RECOGNIZED)
            others.push_back(rowOf(r));
        else if (!complete)
            result.devices.push_back(rowOf(r));
    }
    if (complete) {
        for (const auto& conf : outcome.devices)
            result.devices.push_back(krzpap::deviceOf(*conf));
    }
    result.recognized = static_cast<int>(result.devices.size());
    result.answered = std::max(result.answered, result.recognized);
    result.devices.insert(result.devices.end(), others.begin(), others.end());
    std::stable_sort(
        result.devices.begin(), result.devices.end(),
        [](const Device& x, const Device& y) { return addressKey(x) < addressKey(y); });
    return result;
}

Settings Application::show(const DeviceRequest& device) {
    checkDevice(device);
    return cancellable(state_->cancel, [&] {
        state_->step("logging in");
        auto conf = krzpap::openDevice(device, state_->cancel);
        bool loggedIn = krzpap::deviceStep("logging in", [&] { return conf->testLogin(); });
        if (!loggedIn)
            throw Error(ErrorKind::LoginRefused, "the device refused the credentials", "password",
                        Advice::GiveCredentials);
        state_->step("reading the settings");
        krzpap::deviceStep("reading the settings", [&] { conf->retrieveAttributes(); });
        return krzpap::settingsOf(*conf);
    });
}

ConfigureResult Application::configure(const DeviceRequest& device,
                                       const ConfigureRequest& changes) {
    checkDevice(device);
    checkConfigure(changes);
    return cancellable(state_->cancel, [&] {
        state_->step("logging in");
        auto conf = krzpap::openDevice(device, state_->cancel);
        krzpap::checkDeviceRules(*conf, changes);
        state_->step("writing the changes");
        krzpap::applyChanges(*conf, changes);
        state_->step("reading the settings back");
        auto check = krzpap::reopenWithNewCredentials(device, *conf, changes, state_->cancel);
        krzpap::deviceStep("reading the settings back", [&] { check->retrieveAttributes(); });
        ConfigureResult result;
        result.device = krzpap::settingsOf(*check);
        result.changes = krzpap::compareChanges(changes, *check);
        return result;
    });
}

void Application::reach(const DeviceRequest& device) {
    checkDevice(device);
    cancellable(state_->cancel, [&] {
        state_->step("reaching the device");
        std::string address = device.address;
        in_addr at = krzpap::takeDeviceAddress(address, device.port);
        krzpap::carryToDevice(at, device.mac, state_->cancel);
    });
}

std::vector<Sighting> Application::find(const std::vector<std::string>& macs) {
    std::vector<std::string> spelled = checkMacs(macs);
    std::vector<KRZMacAddress> wanted;
    for (const std::string& mac : spelled)
        wanted.push_back(krzpap::parseMac(mac));
    auto service = boost::make_shared<KRZPDeviceService>();
    state_->step("looking for the MAC addresses");
    std::vector<KRZPDeviceSighting> found = cancellable(state_->cancel, [&] {
        state_->cancel.set([service] { service->cancel(); });
        try {
            auto seen = service->findByMac(wanted);
            state_->cancel.set(nullptr);
            return seen;
        } catch (const KRZPAPCException& e) {
            state_->cancel.set(nullptr);
            if (state_->cancel.fired())
                throw Error(ErrorKind::Cancelled, "cancelled");
            throw krzpap::describeFailure(e, "the search");
        }
    });
    std::vector<Sighting> results;
    for (size_t i = 0; i < wanted.size(); ++i) {
        Sighting s{spelled[i], false, ""};
        for (const KRZPDeviceSighting& seen : found)
            if (seen.mac == wanted[i] && !s.found) {
                s.found = true;
                s.address = dotted(*seen.address);
            }
        results.push_back(s);
    }
    return results;
}

DefaultsVerdict Application::defaults(const DefaultsRequest& request) {
    checkDefaults(request);
    auto info = boost::make_shared<KRZAccessPointWlanInfo>();
    info->ssid = KRZSsid(request.ssid);
    info->bssid = KRZMacAddress::fromUtf8String(request.bssid);
    info->channel = request.channel;
    info->privacy = request.privacy || !request.rsn.empty();
    info->rsnInfo = request.rsn;
    DefaultsVerdict v;
    v.ssid = request.ssid;
    v.bssid = narrow(info->bssid.toHexString());
    v.verdict = KRZPDefaultsRecognizer::isFactoryDefaultsAccessPoint(info);
    v.meaning = v.verdict > 0   ? "still at its factory defaults"
                : v.verdict < 0 ? "changed from its factory defaults"
                                : "no recognizer has an opinion";
    return v;
}

namespace {

// The MAC of the device at `address` as the service finds it, or the one given; "" for a server
// on this computer, which has none.
std::string macOfDevice(const in_addr& address, const std::string& given,
                        krzpap::CancelHook& cancel) {
    if (!given.empty())
        return narrow(krzpap::parseMac(given).toHexString());
    auto service = std::make_shared<KRZPDeviceService>();
    cancel.set([service] { service->cancel(); });
    KRZMacAddress mac;
    try {
        mac = service->macOf(dotted(address));
    } catch (const KRZPDeviceError& e) {
        cancel.set(nullptr);
        throw krzpap::describeDeviceError(e);
    } catch (const KRZPAPCException& e) {
        cancel.set(nullptr);
        throw krzpap::describeFailure(e, "asking for the device's MAC");
    }
    cancel.set(nullptr);
    return mac == KRZMacAddress() ? std::string() : narrow(mac.toHexString());
}

RecordResult snapshotOf(krzpap::Recorder& recorder, RecordResult result,
                        const std::string& reason) {
    krzlab::Recording r = recorder.snapshot(result.complete, reason);
    result.recording = r.toText();
    result.exchanges = r.exchanges.size();
    result.pages = recorder.pages();
    result.secretsKept = r.secretsKept;
    result.anonymized = r.anonymized;
    return result;
}

}  // namespace

RecordResult Application::record(const RecordRequest& request) {
    checkDevice(request.device);
    checkRecord(request);
    // The recorder works with the device's address alone; a port given goes to the backend.
    RecordRequest named = request;
    in_addr parsed = krzpap::takeDeviceAddress(named.device.address, request.device.port);
    auto recorder = std::make_shared<krzpap::Recorder>(named, state_->observer);
    {
        std::lock_guard<std::mutex> lock(state_->recorderMutex);
        state_->recorder = recorder;
    }
    RecordResult result;
    try {
        // The anonymizer replaces the MAC wherever it stands, so it must know it first.
        recorder->setMac(macOfDevice(parsed, request.device.mac, state_->cancel));
        state_->cancel.set([recorder] { recorder->cancel(); });
        recorder->setModuleSteps([this, &request] { return show(request.device); },
                                 [this, &request](const ConfigureRequest& changes) {
                                     return configure(request.device, changes);
                                 },
                                 [this] { cancel(); });
        recorder->run();
        result.complete = true;
    } catch (const krzpap::Stop& stop) {
        result.stopped = std::make_shared<Error>(stop.code, stop.sentence);
    } catch (const Error& e) {
        result.stopped = std::make_shared<Error>(e);
    }
    state_->cancel.set(nullptr);
    if (recorder->outOfTime() && request.byModule) {
        // The module's operation was stopped for --max-time, not by the host.
        state_->cancel.clear();
        result.complete = false;
        result.stopped =
            std::make_shared<Error>(ErrorKind::DeviceFailed, recorder->timeBoundReached());
    } else if (state_->cancel.fired()) {
        result.complete = false;
        result.stopped = std::make_shared<Error>(ErrorKind::Cancelled, "cancelled");
    }
    return snapshotOf(*recorder, result, result.stopped ? result.stopped->what() : "");
}

RecordResult Application::recordingSoFar(const std::string& reason) {
    std::shared_ptr<krzpap::Recorder> recorder;
    {
        std::lock_guard<std::mutex> lock(state_->recorderMutex);
        recorder = state_->recorder;
    }
    RecordResult result;
    return recorder ? snapshotOf(*recorder, result, reason) : result;
}

DescribeResult Application::describe(const std::string& text, const std::string& source) {
    krzlab::Recording recording;
    try {
        recording = krzlab::Recording::fromText(text);
    } catch (const std::invalid_argument& e) {
        throw Error(ErrorKind::BadRequest, std::string("not a recording (") + e.what() + ")",
                    "recording", Advice::None, e.what());
    }
    nlohmann::ordered_json draft;
    try {
        draft = krzpap::draftDescription(recording, source);
    } catch (const std::invalid_argument& e) {
        throw Error(ErrorKind::BadRequest, std::string("cannot describe the device: ") + e.what(),
                    "draft", Advice::None, e.what());
    }
    DescribeResult result;
    result.description = draft.dump(2);
    result.guesses = draft["draft"]["guesses"].size();
    result.gaps = draft["draft"]["gaps"].size();
    return result;
}

HarResult Application::importHar(const HarRequest& request) {
    krzpap::HarImport imported;
    try {
        imported =
            krzpap::importHar(request.har, request.address, request.password, request.keepSecrets);
    } catch (const std::invalid_argument& e) {
        throw Error(ErrorKind::BadRequest, std::string("not a usable HAR file (") + e.what() + ")",
                    "har", Advice::None, e.what());
    }
    HarResult result;
    result.recording = imported.recording.toText();
    result.exchanges = imported.recording.exchanges.size();
    result.host = imported.host;
    result.login = imported.recording.login.kind;
    // A page's script that posted the password (as typed or transformed) is no form login, but a
    // login all the same.
    const krzlab::Recording& r = imported.recording;
    auto posted = [&](const krzlab::Placeholder& p) {
        return p.kind == "password" &&
               std::any_of(r.exchanges.begin(), r.exchanges.end(), [&](const krzlab::Exchange& e) {
                   return e.request.body.find(p.value) != std::string::npos;
               });
    };
    if (result.login == "none" && std::any_of(r.placeholders.begin(), r.placeholders.end(), posted))
        result.login = "scripted";
    result.otherHosts = imported.otherHosts;
    result.notes = krzpap::groupedNotes(imported.notes);
    result.sanitized = imported.sanitized;
    return result;
}

}  // namespace krzpapp
