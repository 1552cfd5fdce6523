// scan, show, configure, find, defaults: the command line's side of discovery, configuration,
// relocation and the factory-defaults check. The work is the application layer's; here are the
// options, the output and Ctrl-C.
#include "DeviceJson.h"
#include "Progress.h"
#include "Words.h"

#include "app/KRZPApp.h"
#include "platform/krzprocess.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>

namespace krzpap {

namespace {

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

}  // namespace

nlohmann::json orNull(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

krzpapp::DeviceRequest deviceRequest(const DeviceOptions& device) {
    krzpapp::DeviceRequest r;
    r.address = device.address;
    r.port = device.port;
    r.mac = device.mac;
    if (device.haveUser)
        r.user = device.user;
    if (device.havePassword)
        r.password = device.password;
    return r;
}

krzpapp::ConfigureRequest configureRequest(const ConfigureOptions& o) {
    krzpapp::ConfigureRequest r;
    if (o.haveSsid)
        r.ssid = o.ssid;
    if (!o.security.empty())
        r.security = o.security;
    if (!o.encryption.empty())
        r.encryption = o.encryption;
    if (o.haveKey)
        r.key = o.key;
    if (o.haveNewUser)
        r.newUser = o.newUser;
    if (o.haveNewPassword)
        r.newPassword = o.newPassword;
    return r;
}

nlohmann::json deviceJson(const krzpapp::Device& d) {
    if (!d.recognized) {
        // A host no module recognized: what the network told of it, nothing a module would know.
        nlohmann::json host = {
            {"address", d.address}, {"mac", d.mac},     {"macVendor", orNull(d.macVendor)},
            {"vendor", nullptr},    {"model", nullptr}, {"firmware", nullptr},
            {"recognized", false}};
        if (d.arpOnly)
            host["arpOnly"] = true;
        return host;
    }
    return {{"address", d.address}, {"mac", d.mac},     {"macVendor", orNull(d.macVendor)},
            {"vendor", d.vendor},   {"model", d.model}, {"firmware", orNull(d.firmware)},
            {"recognized", true}};
}

nlohmann::json settingsJson(const Globals& globals, const krzpapp::Settings& s) {
    nlohmann::json device = deviceJson(s.device);
    device["ssid"] = s.ssid;
    device["security"] = s.security;
    device["encryption"] = s.encryption;
    device["key"] = secretJson(globals, s.key);
    return device;
}

nlohmann::json shownJson(const Globals& globals, const krzpapp::Settings& s) {
    nlohmann::json shown = settingsJson(globals, s);
    shown["usesUsername"] = s.usesUsername;
    shown["requirements"] = {
        {"username", s.usernameRule}, {"password", s.passwordRule}, {"ssid", s.ssidRule}};
    return shown;
}

nlohmann::json scanDevicesJson(const std::vector<krzpapp::Device>& devices, bool all) {
    nlohmann::json list = nlohmann::json::array();
    for (const krzpapp::Device& d : devices)
        if (all || d.recognized)
            list.push_back(deviceJson(d));
    return list;
}

nlohmann::json changesJson(const Globals& globals, const std::vector<krzpapp::Change>& changes) {
    nlohmann::json list = nlohmann::json::array();
    for (const krzpapp::Change& c : changes)
        list.push_back(
            {{"setting", c.setting},
             {"value", c.secret ? secretJson(globals, c.value) : nlohmann::json(c.value)},
             {"confirmed", c.confirmed}});
    return list;
}

nlohmann::json findResultsJson(const std::vector<krzpapp::Sighting>& results) {
    nlohmann::json list = nlohmann::json::array();
    for (const krzpapp::Sighting& s : results)
        list.push_back({{"mac", s.mac}, {"found", s.found}, {"address", orNull(s.address)}});
    return list;
}

nlohmann::json defaultsJson(const krzpapp::DefaultsVerdict& v) {
    return {{"ssid", v.ssid},
            {"bssid", v.bssid},
            {"verdict", v.verdict},
            {"factoryDefaults", v.verdict > 0},
            {"meaning", v.meaning}};
}

namespace {

// The layer's checks that need no device, before the library is set up: nothing is sent before
// they pass.
template <typename F>
auto checked(const Globals& globals, F&& check) -> decltype(check()) {
    try {
        return check();
    } catch (const krzpapp::Error& e) {
        throw commandError(e, globals);
    }
}

// Runs a device command's work with Ctrl-C wired to the layer's cancel. A cancelled step fails
// in its own way; once Ctrl-C came, the failure is reported as the cancel.
void runDeviceWork(const Globals& globals, krzpapp::Application& app,
                   const std::function<void()>& work,
                   const std::string& whatMayBeLeft = std::string()) {
    std::string cancelled = "cancelled" + whatMayBeLeft;
    bool interrupted = false;
    try {
        interrupted = runInterruptible(
            work, [&] { app.cancel(); },
            [&] {
                if (globals.json)
                    printDocument(globals, EXIT_CANCELLED, nullptr, true, cancelled);
                std::cerr << "krzpap: " << cancelled << "\n";
            });
    } catch (const krzpapp::Error& e) {
        if (app.cancelled() || e.kind() == krzpapp::ErrorKind::Cancelled)
            throw CommandError(EXIT_CANCELLED, cancelled);
        throw commandError(e, globals);
    }
    if (interrupted)
        throw CommandError(EXIT_CANCELLED, cancelled);
}

// What the scan heard while it ran: the report after Ctrl-C, and the progress line, read it.
class Heard : public krzpapp::Observer {
  public:
    void found(const krzpapp::Device& device) override {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.push_back(device);
        answered_ += device.arpOnly ? 0 : 1;
    }
    // For the progress line: what the scan has heard so far.
    std::string summary() {
        std::lock_guard<std::mutex> lock(mutex_);
        int recognized = 0;
        for (const auto& d : devices_)
            recognized += d.recognized ? 1 : 0;
        return std::to_string(answered_) + " replies, " + std::to_string(recognized) +
               " recognized";
    }
    // What a scan that has not ended would answer.
    krzpapp::ScanResult sofar() {
        std::lock_guard<std::mutex> lock(mutex_);
        krzpapp::ScanResult r;
        r.devices = devices_;
        std::stable_sort(r.devices.begin(), r.devices.end(),
                         [](const krzpapp::Device& x, const krzpapp::Device& y) {
                             return addressOrder(x.address) < addressOrder(y.address);
                         });
        r.answered = answered_;
        for (const auto& d : devices_)
            r.recognized += d.recognized ? 1 : 0;
        r.cancelled = true;
        return r;
    }

  private:
    static uint64_t addressOrder(const std::string& address) {
        unsigned a = 0, b = 0, c = 0, e = 0;
        std::sscanf(address.c_str(), "%u.%u.%u.%u", &a, &b, &c, &e);
        return (static_cast<uint64_t>(a) << 24) | (b << 16) | (c << 8) | e;
    }

    std::mutex mutex_;
    std::vector<krzpapp::Device> devices_;
    int answered_ = 0;
};

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

int reportScan(const Globals& globals, const ScanOptions& options, const krzpapp::ScanResult& r,
               const std::vector<std::string>& adapters, double seconds) {
    nlohmann::json devices = scanDevicesJson(r.devices, options.all);
    const bool interrupted = r.cancelled;
    int code = interrupted ? EXIT_CANCELLED : r.recognized == 0 ? EXIT_NOTHING_FOUND : EXIT_OK;
    if (globals.json) {
        printDocument(globals, code,
                      {{"devices", devices},
                       {"adapters", adapters},
                       {"answered", r.answered},
                       {"recognized", r.recognized},
                       {"seconds", seconds}},
                      interrupted);
        return code;
    }
    printScanTable(devices);
    if (!globals.quiet) {
        std::ostringstream summary;
        summary << r.answered << " host(s) answered, " << r.recognized << " recognized, in "
                << std::fixed << std::setprecision(1) << seconds << " s"
                << (interrupted ? " (interrupted: the rest of the network was not scanned)" : "");
        if (!options.all && r.answered > r.recognized && !interrupted)
            summary << "; --all lists the others";
        std::cerr << summary.str() << "\n";
    }
    return code;
}

}  // namespace

int runScanCommand(const Globals& globals, const ScanOptions& options) {
    initLibrary(globals);
    krzpapp::ScanRequest request;
    request.adapters = options.adapters;
    std::vector<std::string> adapters =
        checked(globals, [&] { return krzpapp::Application::adaptersFor(request); });
    Heard heard;
    krzpapp::Application app(&heard);
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    bool showProgress = !globals.quiet && krzprocess::isTerminal(krzprocess::Stream::err);
    ScanProgress progress(logFilePath(globals), showProgress, [&heard] { return heard.summary(); });
    krzpapp::ScanResult result;
    std::unique_ptr<krzpapp::Error> failure;
    bool interrupted = runInterruptible(
        [&] {
            try {
                result = app.scan(request);
            } catch (const krzpapp::Error& e) {
                failure = std::make_unique<krzpapp::Error>(e);
            }
        },
        [&app] { app.cancel(); },
        [&] {
            progress.stop();
            reportScan(globals, options, heard.sofar(), adapters, elapsed());
        });
    progress.stop();
    if (failure && !interrupted)
        throw commandError(*failure, globals);
    if (interrupted)
        result = heard.sofar();
    const std::string failed =
        recognizerFailuresText(result.recognizerFailures, Audience::CommandLine);
    if (!failed.empty())
        std::cerr << "krzpap: " << failed << "\n";
    const std::string shortfall = scanShortfall(result, Audience::CommandLine);
    if (!shortfall.empty())
        std::cerr << "krzpap: " << shortfall << "\n";
    return reportScan(globals, options, result, adapters, elapsed());
}

int runShowCommand(const Globals& globals, const DeviceOptions& device) {
    krzpapp::DeviceRequest request = deviceRequest(device);
    checked(globals, [&] { krzpapp::Application::checkDevice(request); });
    initLibrary(globals);
    krzpapp::Application app;
    krzpapp::Settings s;
    runDeviceWork(globals, app, [&] { s = app.show(request); });

    nlohmann::json shown = shownJson(globals, s);
    if (globals.json) {
        printDocument(globals, EXIT_OK, {{"device", shown}});
        return EXIT_OK;
    }
    printTable({{"Device:", s.device.description + " at " + s.device.address +
                                (s.device.mac.empty() ? std::string() : " (" + s.device.mac + ")")},
                {"Firmware:", orDash(s.device.firmware)},
                {"SSID:", s.ssid},
                {"Security:", s.security},
                {"Encryption:", s.encryption},
                {"Key:", secretText(globals, s.key)},
                {"User names:", s.usernameRule},
                {"Passwords:", s.passwordRule},
                {"SSIDs:", s.ssidRule}});
    return EXIT_OK;
}

namespace {

// Prints the changes and whether the device kept them; a change it did not keep is a failure.
int reportChanges(const Globals& globals, const std::string& address,
                  const krzpapp::ConfigureResult& result) {
    std::string error = changesNotKept(result);
    int code = error.empty() ? EXIT_OK : EXIT_ERROR;
    if (globals.json) {
        printDocument(globals, code,
                      {{"device", settingsJson(globals, result.device)},
                       {"changes", changesJson(globals, result.changes)}},
                      false, error);
    } else {
        std::cout << "Configured " << result.device.device.description << " at " << address
                  << ":\n";
        std::vector<std::vector<std::string>> rows;
        for (const krzpapp::Change& c : result.changes)
            rows.push_back({"  " + c.setting + ":",
                            c.secret ? secretText(globals, c.value) : c.value,
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
    krzpapp::DeviceRequest request = deviceRequest(device);
    krzpapp::ConfigureRequest changes = configureRequest(o);
    checked(globals, [&] {
        krzpapp::Application::checkDevice(request);
        krzpapp::Application::checkConfigure(changes);
    });
    initLibrary(globals);
    krzpapp::Application app;
    krzpapp::ConfigureResult result;
    runDeviceWork(
        globals, app, [&] { result = app.configure(request, changes); }, kMayHoldChanges);
    return reportChanges(globals, device.address, result);
}

int runFindCommand(const Globals& globals, const std::vector<std::string>& macs) {
    std::vector<std::string> wanted =
        checked(globals, [&] { return krzpapp::Application::checkMacs(macs); });
    initLibrary(globals);
    krzpapp::Application app;
    std::vector<krzpapp::Sighting> found;
    // Read by the report of an interrupted search, while the search may still run.
    std::atomic<bool> done{false};
    auto report = [&](bool interrupted) {
        std::vector<krzpapp::Sighting> results = done ? found : std::vector<krzpapp::Sighting>();
        if (!done)
            for (const std::string& mac : wanted)
                results.push_back({mac, false, ""});
        std::vector<std::vector<std::string>> rows = {{"MAC", "ADDRESS"}};
        size_t located = 0;
        for (const krzpapp::Sighting& r : results) {
            located += r.found ? 1 : 0;
            rows.push_back({r.mac, r.found       ? r.address
                                   : interrupted ? "(interrupted)"
                                                 : "not found"});
        }
        int code = interrupted                ? EXIT_CANCELLED
                   : located == wanted.size() ? EXIT_OK
                                              : EXIT_NOTHING_FOUND;
        if (globals.json) {
            printDocument(globals, code, {{"results", findResultsJson(results)}}, interrupted);
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
                found = app.find(wanted);
                done = true;
            },
            [&app] { app.cancel(); }, [&] { report(true); });
    } catch (const krzpapp::Error& e) {
        throw commandError(e, globals);
    }
    return report(interrupted);
}

int runDefaultsCommand(const Globals& globals, const DefaultsOptions& options) {
    krzpapp::DefaultsRequest request{options.ssid, options.bssid, options.channel, options.privacy,
                                     options.rsn};
    checked(globals, [&] { krzpapp::Application::checkDefaults(request); });
    initLibrary(globals);
    krzpapp::Application app;
    nlohmann::json judged = defaultsJson(checked(globals, [&] { return app.defaults(request); }));
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
