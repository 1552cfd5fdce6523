#include "discovery/KRZPAPFinder.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPModule.h"
#include "krzutil/KRZMutex.h"

#include <map>

namespace {

struct FinderDriver {
    KRZMutex finderMutex;
    KRZPAPFinder* currentFinder = nullptr;
    bool findCanceled = false;
};

FinderDriver& finderDriver() {
    static FinderDriver instance;
    return instance;
}

}  // namespace

KRZPAPFinder::KRZPAPFinder() {}

KRZPAPFinder::KRZPAPFinder(const KRZPAPFinder& other) = default;
KRZPAPFinder& KRZPAPFinder::operator=(const KRZPAPFinder& other) = default;

KRZPAPFinder::~KRZPAPFinder() {}

// A KRZException from a configurator's getFinder or from a finder's findAps is logged and the
// work goes on, so that one failing finder does not lose what the others find; the configurators
// concerned are then simply not in the result.
KRZPAPConfiguratorVector KRZPAPFinder::findAllAps(const KRZPAPConfiguratorVector& configurators) {
    FinderDriver& d = finderDriver();
    {
        KRZMutexGrabber grabber(d.finderMutex);
        d.findCanceled = false;
    }
    KRZPAPConfiguratorVector result;

    std::map<KRZPAPFinder*, KRZPAPConfiguratorVector> groups;
    for (const boost::shared_ptr<KRZPAPConfigurator>& configurator : configurators) {
        if (!configurator) {
            continue;
        }
        try {
            KRZPAPFinder* finder = configurator->getFinder();
            if (finder != nullptr) {
                groups[finder].push_back(configurator);
            }
        } catch (const KRZException& e) {
            KRZPAPModule::log(L"KRZPAPFinder::findAllAps() : caught exception from a finder: %s\n",
                              e.getLogLine().c_str());
        }
    }

    for (auto& group : groups) {
        KRZPAPFinder* finder = group.first;
        {
            KRZMutexGrabber grabber(d.finderMutex);
            if (d.findCanceled) {
                KRZPAPModule::log(L"KRZPAPFinder::findAllAps(): user canceled\n");
                KRZPAPC_THROW("KRZPAPFinder", "", KRZPAPC_CANCELLED);
            }
            d.currentFinder = finder;
            finder->uncancel();
        }
        KRZPAPConfiguratorVector found;
        try {
            found = finder->findAps(group.second);
        } catch (const KRZException& e) {
            KRZPAPModule::log(L"KRZPAPFinder::findAllAps() : caught exception from a finder: %s\n",
                              e.getLogLine().c_str());
        }
        {
            KRZMutexGrabber grabber(d.finderMutex);
            d.currentFinder = nullptr;
        }
        result.insert(result.end(), found.begin(), found.end());
    }
    return result;
}

void KRZPAPFinder::cancelScan() {
    FinderDriver& d = finderDriver();
    KRZMutexGrabber grabber(d.finderMutex);
    d.findCanceled = true;
    if (d.currentFinder != nullptr) {
        d.currentFinder->cancel();
    }
}
