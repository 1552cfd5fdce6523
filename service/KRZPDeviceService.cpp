#include "service/KRZPDeviceService.h"

#include "core/KRZPAPModule.h"
#include "discovery/KRZPArpScanner.h"
#include "discovery/KRZPHttpScanner.h"
#include "discovery/KRZPScanReport.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krznetlib/KRZVirtualIpLookup.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

char kUnit[] = "KRZPDeviceService";
const int kArpWaitMs = 2000;
// Two devices at one address answer within microseconds of each other on one link; the wait
// lets the second answer arrive after the first ended the ARP scanner's wait.
const int kSecondAnswerMs = 100;

bool usableAdapter(unsigned long ip) {
    return ip != 0xFFFFFFFFul && ip != 0 && (ip >> 24) != 127 && (ip >> 16) != 0xA9FE;
}

std::vector<KRZAdapterInfo> usableAdapters() {
    std::vector<KRZAdapterInfo> usable;
    boost::shared_ptr<std::vector<KRZAdapterInfo>> all = KRZAdapterInfo::getAdapterInfo();
    if (all) {
        for (const KRZAdapterInfo& adapter : *all) {
            if (usableAdapter(adapter.getIpAddress())) {
                usable.push_back(adapter);
            }
        }
    }
    return usable;
}

bool onSomeAdapterNetwork(const in_addr& address) {
    unsigned long ip = ntohl(address.s_addr);
    for (const KRZAdapterInfo& adapter : usableAdapters()) {
        if (((ip ^ adapter.getIpAddress()) & adapter.getMask()) == 0) {
            return true;
        }
    }
    return false;
}

bool isLoopback(const in_addr& address) {
    return (ntohl(address.s_addr) >> 24) == 127;
}

std::string dotted(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string macText(const KRZMacAddress& mac) {
    std::wstring wide = mac.toHexString();
    return std::string(wide.begin(), wide.end());
}

in_addr toInAddr(uint32_t networkOrder) {
    in_addr a;
    a.s_addr = networkOrder;
    return a;
}

KRZPDeviceSighting sighting(const in_addr& address, const KRZMacAddress& mac = KRZMacAddress(),
                            const KRZMacAddress& interfaceMac = KRZMacAddress()) {
    KRZPDeviceSighting s;
    s.address = address;
    s.mac = mac;
    s.interfaceMac = interfaceMac;
    return s;
}

bool sameDevice(const KRZPDeviceSighting& a, const KRZPDeviceSighting& b) {
    return a.address->s_addr == b.address->s_addr && a.mac == b.mac;
}

}  // namespace

// ---- KRZPDeviceError ----

KRZPDeviceError::KRZPDeviceError(KRZPDeviceErrorCode code, const std::string& message,
                                 const in_addr& address,
                                 const std::vector<KRZPDeviceSighting>& devices)
    : std::runtime_error(message), code_(code), address_(address), devices_(devices) {}

KRZPDeviceErrorCode KRZPDeviceError::code() const {
    return code_;
}

in_addr KRZPDeviceError::address() const {
    return *address_;
}

const std::vector<KRZPDeviceSighting>& KRZPDeviceError::devices() const {
    return devices_;
}

// ---- KRZPDeviceService ----

// The running step that cancel() reaches, and the cancel flag (atomic: a scan's waits read it
// without the lock, through krzpscanreport::HostCancel).
struct KRZPDeviceService::State {
    std::mutex mutex;
    std::atomic<bool> cancelled{false};
    bool scanning = false;
    // Held while the observer hears a result: once cancel() has taken it, the observer hears no
    // more. Recursive, for an observer that cancels from inside its call.
    std::recursive_mutex delivering;
    boost::shared_ptr<KRZPArpScanner> arp;
    boost::shared_ptr<KRZPHttpScanner> http;

    void check(int line) {
        if (cancelled) {
            KRZPAPModule::log(L"KRZPDeviceService: cancelled\n");
            throw KRZPAPCException(kUnit, line, "", KRZPAPC_CANCELLED);
        }
    }
    // Installs the step that cancel() stops; a cancel that came first stops it at once.
    void running(const boost::shared_ptr<KRZPArpScanner>& scanner) {
        std::lock_guard<std::mutex> lock(mutex);
        arp = scanner;
        if (cancelled && arp) {
            arp->cancel();
        }
    }
    void running(const boost::shared_ptr<KRZPHttpScanner>& scanner) {
        std::lock_guard<std::mutex> lock(mutex);
        http = scanner;
        if (cancelled && http) {
            http->cancel();
        }
    }
    void idle() {
        std::lock_guard<std::mutex> lock(mutex);
        arp.reset();
        http.reset();
    }
    void setScanning(bool now) {
        std::lock_guard<std::mutex> lock(mutex);
        scanning = now;
    }

    std::vector<KRZPDeviceSighting> askArp(const in_addr& address);
    std::vector<KRZPDeviceSighting> sweep(const std::vector<KRZMacAddress>& macs);
    KRZPDeviceSighting place(const std::string& device, KRZMacAddress mac, bool needMac);
    KRZPScanOutcome scan(const KRZPScanObserver& observer);
};

// Who answers ARP for the address: on the first usable adapter where anybody does, every device
// that answers there.
std::vector<KRZPDeviceSighting> KRZPDeviceService::State::askArp(const in_addr& address) {
    std::vector<KRZPDeviceSighting> found;
    krzpscanreport::HostCancel hostCancel(cancelled);  // the ARP wait ends at a cancel
    for (const KRZAdapterInfo& adapter : usableAdapters()) {
        boost::shared_ptr<KRZPArpScanner> scanner = KRZPArpScanner::createInstance();
        running(scanner);
        scanner->setInterface(adapter);
        scanner->addIp(address);
        ArpResponseMap answers = scanner->getAllResponses(kArpWaitMs);
        idle();
        check(__LINE__);
        auto it = answers->find(address.s_addr);
        if (it == answers->end()) {
            continue;
        }
        found.push_back(sighting(address, it->second, adapter.getMacAddress()));
        Sleep(kSecondAnswerMs);
        for (const KRZMacAddress& mac :
             KRZNetworkBackend::active()->answersAt(address, adapter.getMacAddress())) {
            KRZPDeviceSighting other = sighting(address, mac, adapter.getMacAddress());
            if (!sameDevice(other, found.front())) {
                found.push_back(other);
            }
        }
        break;
    }
    return found;
}

// Every device answering with one of `macs`: each usable adapter's network and the modules'
// factory addresses swept, and every MAC at each answering address taken, not only the one the
// driver's table keeps.
std::vector<KRZPDeviceSighting> KRZPDeviceService::State::sweep(
    const std::vector<KRZMacAddress>& macs) {
    std::vector<KRZPDeviceSighting> heard;
    std::vector<unsigned long> factoryAddresses = KRZPAPModule::getDefaultIps();
    krzpscanreport::HostCancel hostCancel(cancelled);
    for (const KRZAdapterInfo& adapter : usableAdapters()) {
        boost::shared_ptr<KRZPArpScanner> scanner = KRZPArpScanner::createInstance();
        running(scanner);
        scanner->setInterface(adapter);
        scanner->addNet(adapter);
        for (unsigned long address : factoryAddresses) {
            scanner->addIp(toInAddr(static_cast<uint32_t>(address)));
        }
        ArpResponseMap answers = scanner->getAllResponses(kArpWaitMs);
        idle();
        check(__LINE__);
        for (const auto& answer : *answers) {
            in_addr address = toInAddr(answer.first);
            std::vector<KRZMacAddress> all =
                KRZNetworkBackend::active()->answersAt(address, adapter.getMacAddress());
            if (std::find(all.begin(), all.end(), answer.second) == all.end()) {
                all.insert(all.begin(), answer.second);
            }
            for (const KRZMacAddress& mac : all) {
                heard.push_back(sighting(address, mac, adapter.getMacAddress()));
            }
        }
    }
    std::vector<KRZPDeviceSighting> found;
    for (const KRZMacAddress& wanted : macs) {
        for (const KRZPDeviceSighting& s : heard) {
            bool known = std::any_of(found.begin(), found.end(),
                                     [&](const KRZPDeviceSighting& f) { return sameDevice(f, s); });
            if (s.mac == wanted && !known) {
                found.push_back(s);
            }
        }
    }
    return found;
}

// The device's address, with connections carried to its MAC where they must be. `needMac`: the
// caller needs the MAC even where the kernel's routes would serve.
KRZPDeviceSighting KRZPDeviceService::State::place(const std::string& device, KRZMacAddress mac,
                                                   bool needMac) {
    check(__LINE__);
    in_addr address = toInAddr(0);
    KRZMacAddress named;
    if (inet_pton(AF_INET, device.c_str(), &address) != 1) {
        address.s_addr = 0;
        bool isMac = true;
        try {
            named = KRZMacAddress::fromUtf8String(device);
        } catch (const KRZException&) {
            isMac = false;
        }
        if (isMac) {
            std::vector<KRZPDeviceSighting> found = sweep({named});
            if (found.empty()) {
                throw KRZPDeviceError(
                    KRZP_DEVICE_NOTHING_ANSWERED,
                    "no device answers for MAC " + macText(named) + " on any usable adapter",
                    address, {});
            }
            address = *found.front().address;
            if (!mac.isSet()) {
                mac = named;
            }
        } else if (hostent* entry = device.empty() ? nullptr : gethostbyname(device.c_str())) {
            if (entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr) {
                std::memcpy(&address.s_addr, entry->h_addr_list[0], sizeof address.s_addr);
            }
        }
    }
    if (address.s_addr == 0 || address.s_addr == INADDR_NONE) {
        throw KRZPDeviceError(
            KRZP_DEVICE_BAD_NAME,
            "not a device: \"" + device + "\" (give an IPv4 address, a host name or a MAC address)",
            toInAddr(0), {});
    }
    if (mac.isSet()) {
        KRZVirtualIpLookup lookup;
        lookup.setIpAddress(address);
        if (!lookup.lookup(kArpWaitMs, {mac})) {
            throw KRZPDeviceError(KRZP_DEVICE_MAC_NOT_THERE,
                                  "no device with MAC " + macText(mac) + " answers at " +
                                      dotted(address) + " on any usable adapter",
                                  address, {});
        }
        check(__LINE__);
        KRZNetworkBackend::carryTo(address, lookup.getInterfaceMac(), mac);
        return sighting(address, mac, lookup.getInterfaceMac());
    }
    bool routed = isLoopback(address) || onSomeAdapterNetwork(address);
    if ((routed && !needMac) || isLoopback(address)) {
        return sighting(address);  // a server on this computer has no MAC to ask for
    }
    std::vector<KRZPDeviceSighting> answers = askArp(address);
    if (answers.size() > 1) {
        std::string list;
        for (const KRZPDeviceSighting& s : answers) {
            list += (list.empty() ? "" : ", ") + macText(s.mac);
        }
        throw KRZPDeviceError(KRZP_DEVICE_SEVERAL,
                              "several devices answer at " + dotted(address) + " (MACs " + list +
                                  "); say which one with its MAC",
                              address, answers);
    }
    if (answers.empty()) {
        if (needMac) {
            throw KRZPDeviceError(KRZP_DEVICE_NOTHING_ANSWERED,
                                  "nothing answers at " + dotted(address) +
                                      ": no device holds that address on this network",
                                  address, {});
        }
        return sighting(address);  // the connect will say so
    }
    if (!routed) {
        KRZNetworkBackend::carryTo(address, answers.front().interfaceMac, answers.front().mac);
        return answers.front();
    }
    // Reached by the kernel's routes; the MAC only names the device.
    return sighting(address, answers.front().mac);
}

// The scan driver's run with this service's cancel over it: results heard on this thread until a
// cancel, the driver's code 18 told apart from a cancel that made its scanners give up.
KRZPScanOutcome KRZPDeviceService::State::scan(const KRZPScanObserver& observer) {
    KRZPScanOutcome outcome;
    const std::thread::id self = std::this_thread::get_id();
    int handle = KRZPAPScanner::registerScanObserver([&](const KRZPScanResult& result) {
        std::lock_guard<std::recursive_mutex> lock(delivering);
        if (std::this_thread::get_id() != self || cancelled) {
            return;  // another thread's scan, or too late
        }
        outcome.heard.push_back(result);
        if (observer) {
            observer(result);
        }
    });
    struct Cleanup {
        State& state;
        int handle;
        ~Cleanup() {
            state.setScanning(false);
            KRZPAPScanner::unregisterScanObserver(handle);
        }
    } cleanup{*this, handle};
    setScanning(true);
    krzpscanreport::HostCancel hostCancel(cancelled);
    try {
        if (!cancelled) {
            outcome.devices = KRZPAPScanner::runScan();
        }
    } catch (const KRZPAPCException& e) {
        if (!cancelled && e.getAPCErrorCode() != KRZPAPC_NO_CONNECTIVITY) {
            throw;
        }
        outcome.end = KRZP_SCAN_NOTHING_ANSWERED;
    }
    if (cancelled) {
        KRZPAPModule::log(L"KRZPDeviceService: scan cancelled\n");
        outcome.end = KRZP_SCAN_CANCELLED;
        outcome.devices.clear();
    }
    return outcome;
}

KRZPDeviceService::KRZPDeviceService() : state_(new State) {}

KRZPDeviceService::~KRZPDeviceService() = default;

boost::shared_ptr<KRZPAPConfigurator> KRZPDeviceService::open(const std::string& device,
                                                              const KRZMacAddress& mac) {
    KRZPDeviceSighting placed = state_->place(device, mac, true);
    auto scanner = boost::shared_ptr<KRZPHttpScanner>(new KRZPHttpScanner());
    state_->running(scanner);
    in_addr address = *placed.address;
    KRZMacAddress deviceMac = placed.mac;
    int replies = 0;
    try {
        replies = scanner->scanForThisAP(address, deviceMac);
    } catch (...) {
        state_->idle();
        throw;
    }
    state_->idle();
    KRZPAPConfiguratorList found = scanner->getAPList();
    if (!found.empty()) {
        return found.front();
    }
    // A server on this computer (loopback) has no MAC to name.
    std::string where =
        dotted(*placed.address) + (placed.mac.isSet() ? " (MAC " + macText(placed.mac) + ")" : "");
    std::vector<KRZPDeviceSighting> seen;
    if (placed.mac.isSet())
        seen.push_back(placed);
    if (replies == 0) {
        throw KRZPDeviceError(KRZP_DEVICE_NO_WEB_SERVER, "no web server answers at " + where,
                              *placed.address, seen);
    }
    throw KRZPDeviceError(KRZP_DEVICE_NOT_RECOGNIZED, "no module recognizes the device at " + where,
                          *placed.address, seen);
}

KRZMacAddress KRZPDeviceService::macOf(const std::string& device) {
    return state_->place(device, KRZMacAddress(), true).mac;
}

KRZPScanOutcome KRZPDeviceService::scan(const KRZPScanObserver& observer) {
    return state_->scan(observer);
}

KRZPDeviceSighting KRZPDeviceService::reach(const std::string& device, const KRZMacAddress& mac) {
    return state_->place(device, mac, false);
}

std::vector<KRZPDeviceSighting> KRZPDeviceService::findByMac(
    const std::vector<KRZMacAddress>& macs) {
    state_->check(__LINE__);
    return state_->sweep(macs);
}

void KRZPDeviceService::cancel() {
    state_->cancelled = true;
    { std::lock_guard<std::recursive_mutex> barrier(state_->delivering); }
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->arp) {
        state_->arp->cancel();
    }
    if (state_->http) {
        state_->http->cancel();
    }
    if (state_->scanning) {
        KRZPAPScanner::cancelScan();  // wakes the running scanner; the flag does the rest
    }
}

void KRZPDeviceService::uncancel() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->cancelled = false;
}
