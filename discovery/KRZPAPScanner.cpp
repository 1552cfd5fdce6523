#include "discovery/KRZPAPScanner.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPModule.h"
#include "krzutil/KRZMiscUtil.h"
#include "krzutil/KRZMutex.h"

#include <atomic>
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
};

ScanDriver& driver() {
    static ScanDriver instance;
    return instance;
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
            if (d.cancelRequested) {
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
