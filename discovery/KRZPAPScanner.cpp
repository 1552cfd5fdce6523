#include "discovery/KRZPAPScanner.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPModule.h"
#include "discovery/KRZPScanReport.h"
#include "krzutil/KRZMiscUtil.h"
#include "krzutil/KRZMutex.h"

#include <atomic>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace {

char kUnit[] = "KRZPAPScanner";
const int kLineInProgress = 47;
const int kLineCancelled = 59;
const int kLineNoConnectivity = 88;

// The driver's process-wide state. Reached through a function so that scanners registered by
// other units' static initialisers find it constructed.
struct ScanDriver {
    std::vector<boost::shared_ptr<KRZPAPScanner>> scanners;
    boost::shared_ptr<KRZPAPScanner> currentScanner;
    // Written under currentMutex by cancelScan but cleared without it at the start of a scan.
    std::atomic<bool> cancelRequested{false};
    KRZMutex currentMutex;
    KRZMutex scanMutex;
    // The observers by handle; copied for each report, so an observer may register or
    // unregister from inside its call.
    std::mutex observerMutex;
    std::map<int, KRZPScanObserver> observers;
    int lastHandle = 0;
};

ScanDriver& driver() {
    static ScanDriver instance;
    return instance;
}

// The scan running on this thread: what it already reported, so that a configurator that a
// scanner reported while it scanned is not reported again when runScan gathers its list.
struct RunningScan {
    std::set<const KRZPAPConfigurator*> reported;
};
thread_local RunningScan* t_running = nullptr;
// The host's cancel that covers this thread's scans (krzpscanreport::HostCancel), if any.
thread_local const std::atomic<bool>* t_hostCancel = nullptr;
// A cancelled host waits no longer than this for a sleeping sweep to look again.
const unsigned kHostCancelSliceMs = 10;

struct RunningScope {
    explicit RunningScope(RunningScan& scan) : outer(t_running) { t_running = &scan; }
    ~RunningScope() { t_running = outer; }
    RunningScan* outer;
};

void deliver(const KRZPScanResult& result) {
    ScanDriver& d = driver();
    std::vector<KRZPScanObserver> observers;
    {
        std::lock_guard<std::mutex> lock(d.observerMutex);
        for (const auto& entry : d.observers) {
            observers.push_back(entry.second);
        }
    }
    for (const KRZPScanObserver& observer : observers) {
        try {
            observer(result);
        } catch (const std::exception& e) {
            KRZPAPModule::log(L"KRZPAPScanner: a scan observer failed: %hs\n", e.what());
        } catch (...) {
            KRZPAPModule::log(L"KRZPAPScanner: a scan observer failed\n");
        }
    }
}

void clearCurrent(ScanDriver& d) {
    KRZMutexGrabber grabber(d.currentMutex);
    d.currentScanner.reset();
}

}  // namespace

KRZPAPScanner::KRZPAPScanner() {}

KRZPAPScanner::KRZPAPScanner(const KRZPAPScanner& other) = default;
KRZPAPScanner& KRZPAPScanner::operator=(const KRZPAPScanner& other) = default;

KRZPAPScanner::~KRZPAPScanner() {}

void KRZPAPScanner::registerScanner(boost::shared_ptr<KRZPAPScanner> scanner) {
    if (scanner) {
        driver().scanners.push_back(scanner);
    }
}

KRZPAPConfiguratorList KRZPAPScanner::runScan() {
    ScanDriver& d = driver();
    KRZMutexGrabber scanGrabber(d.scanMutex, false);
    if (!scanGrabber.lock(0)) {
        throw KRZPAPCException(kUnit, kLineInProgress, "Scan already in progress",
                               KRZPAPC_SCAN_IN_PROGRESS);
    }
    d.cancelRequested = false;
    RunningScan running;
    RunningScope scope(running);
    KRZPAPConfiguratorList result;
    bool anyConnectivity = false;

    // The size is read again before each scanner: registration during a scan is not expected,
    // but must not make the walk read past the end.
    for (size_t i = 0; i < d.scanners.size(); ++i) {
        boost::shared_ptr<KRZPAPScanner> scanner = d.scanners[i];
        if (!scanner) {
            continue;
        }
        {
            KRZMutexGrabber grabber(d.currentMutex);
            if (d.cancelRequested || krzpscanreport::hostCancelled()) {
                KRZPAPModule::log(L"KRZPAPScanner::runScan(): user canceled\n");
                throw KRZPAPCException(kUnit, kLineCancelled, "", KRZPAPC_CANCELLED);
            }
            d.currentScanner = scanner;
            scanner->uncancel();
        }
        try {
            scanner->scan();
        } catch (const KRZPAPCException&) {
            KRZPAPModule::log(L"Caught exception while scanning\n");
            clearCurrent(d);
            continue;
        }
        clearCurrent(d);
        if (scanner->getConnectivity()) {
            anyConnectivity = true;
        }
        KRZPAPConfiguratorList found = scanner->getAPList();
        for (const boost::shared_ptr<KRZPAPConfigurator>& configurator : found) {
            KRZPAPModule::log(L"KRZPAPScanner::runScan(): recognized %hs\n",
                              configurator->getDescription().c_str());
            result.push_back(configurator);
            if (configurator && running.reported.count(configurator.get()) == 0) {
                // A scanner that reports only through its list (a plug-in's, say) is heard here.
                std::vector<KRZMacAddress> macs = configurator->getMACAddressList();
                krzpscanreport::report(KRZPScanResult::RECOGNIZED, configurator->getAddr(),
                                       macs.empty() ? KRZMacAddress() : macs.front(), configurator);
            }
        }
    }
    if (!anyConnectivity) {
        throw KRZPAPCException(kUnit, kLineNoConnectivity,
                               "AP scanners failed to detect any connectivity",
                               KRZPAPC_NO_CONNECTIVITY);
    }
    return result;
}

void KRZPAPScanner::cancelScan() {
    ScanDriver& d = driver();
    KRZMutexGrabber grabber(d.currentMutex);
    boost::shared_ptr<KRZPAPScanner> current = d.currentScanner;
    d.cancelRequested = true;
    if (current) {
        current->cancel();
    }
    current.reset();
}

int KRZPAPScanner::registerScanObserver(KRZPScanObserver observer) {
    ScanDriver& d = driver();
    std::lock_guard<std::mutex> lock(d.observerMutex);
    int handle = ++d.lastHandle;
    if (observer) {
        d.observers.emplace(handle, std::move(observer));
    }
    return handle;
}

void KRZPAPScanner::unregisterScanObserver(int handle) {
    ScanDriver& d = driver();
    std::lock_guard<std::mutex> lock(d.observerMutex);
    d.observers.erase(handle);
}

void krzpscanreport::report(KRZPScanResult::Kind kind, const in_addr& address,
                            const KRZMacAddress& mac,
                            const boost::shared_ptr<KRZPAPConfigurator>& configurator) {
    if (t_running == nullptr) {
        return;
    }
    if (configurator) {
        t_running->reported.insert(configurator.get());
    }
    KRZPScanResult result;
    result.kind = kind;
    result.address = address;
    result.mac = mac;
    result.configurator = configurator;
    deliver(result);
}

krzpscanreport::HostCancel::HostCancel(const std::atomic<bool>& flag) : outer_(t_hostCancel) {
    t_hostCancel = &flag;
}

krzpscanreport::HostCancel::~HostCancel() {
    t_hostCancel = outer_;
}

bool krzpscanreport::hostCancelled() {
    return t_hostCancel != nullptr && t_hostCancel->load();
}

void krzpscanreport::pause(unsigned milliseconds) {
    if (t_hostCancel == nullptr) {
        Sleep(milliseconds);
        return;
    }
    while (milliseconds > 0 && !hostCancelled()) {
        unsigned slice = milliseconds < kHostCancelSliceMs ? milliseconds : kHostCancelSliceMs;
        Sleep(slice);
        milliseconds -= slice;
    }
}
