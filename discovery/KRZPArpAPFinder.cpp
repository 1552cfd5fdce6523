#include "discovery/KRZPArpAPFinder.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPModule.h"
#include "discovery/KRZPArpScanner.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "platform/krzplatform.h"

#include <algorithm>

namespace {

const int kArpWaitMs = 2000;

bool isUsable(const KRZAdapterInfo& adapter) {
    uint32_t ip = static_cast<uint32_t>(adapter.getIpAddress());
    return ip != 0xFFFFFFFFu && ip != 0 && (ip >> 24) != 127 && (ip >> 16) != 0xA9FE;
}

std::vector<KRZAdapterInfo> usableAdapters() {
    std::vector<KRZAdapterInfo> usable;
    boost::shared_ptr<std::vector<KRZAdapterInfo>> all = KRZAdapterInfo::getAdapterInfo();
    if (all) {
        for (const KRZAdapterInfo& adapter : *all) {
            if (isUsable(adapter)) {
                usable.push_back(adapter);
            }
        }
    }
    return usable;
}

bool holdsMac(const KRZPAPConfigurator& configurator, const KRZMacAddress& mac) {
    std::vector<KRZMacAddress> macs = configurator.getMACAddressList();
    return std::find(macs.begin(), macs.end(), mac) != macs.end();
}

in_addr toInAddr(uint32_t address) {
    in_addr a;
    a.s_addr = address;
    return a;
}

// The process-wide finder exists from the moment the library is loaded.
struct BuildAtLoad {
    BuildAtLoad() { KRZPArpAPFinder::getInstance(); }
} buildAtLoad;

}  // namespace

KRZPArpAPFinder::KRZPArpAPFinder() : cancelled(false) {}

KRZPArpAPFinder::KRZPArpAPFinder(const KRZPArpAPFinder& other)
    : KRZPAPFinder(other), cancelled(other.cancelled.load()) {}

KRZPArpAPFinder& KRZPArpAPFinder::operator=(const KRZPArpAPFinder& other) {
    cancelled = other.cancelled.load();
    return *this;
}

KRZPArpAPFinder::~KRZPArpAPFinder() {}

KRZPAPFinder* KRZPArpAPFinder::getInstance() {
    static KRZPArpAPFinder instance;
    return &instance;
}

bool KRZPArpAPFinder::findAp(KRZPAPConfigurator& configurator) {
    for (const KRZAdapterInfo& adapter : usableAdapters()) {
        boost::shared_ptr<KRZPArpScanner> scanner = KRZPArpScanner::createInstance();
        scanner->setInterface(adapter);
        scanner->addNet(adapter);
        ArpResponseMap answers = scanner->getAllResponses(kArpWaitMs);
        for (const auto& answer : *answers) {
            if (holdsMac(configurator, answer.second)) {
                configurator.setAddr(toInAddr(answer.first));
                return true;
            }
        }
        if (cancelled) {
            KRZPAPC_THROW("KRZPArpAPFinder", "", KRZPAPC_CANCELLED);
        }
    }
    return false;
}

KRZPAPConfiguratorVector KRZPArpAPFinder::findAps(KRZPAPConfiguratorVector& configurators) {
    KRZPAPConfiguratorVector found;
    std::vector<unsigned long> defaultIps = KRZPAPModule::getDefaultIps();
    for (const KRZAdapterInfo& adapter : usableAdapters()) {
        boost::shared_ptr<KRZPArpScanner> scanner = KRZPArpScanner::createInstance();
        scanner->setInterface(adapter);
        scanner->addNet(adapter);
        for (unsigned long address : defaultIps) {
            scanner->addIp(toInAddr(static_cast<uint32_t>(address)));
        }
        ArpResponseMap answers = scanner->getAllResponses(kArpWaitMs);
        for (const auto& answer : *answers) {
            // Several configurators may share one MAC; each is given at most one address.
            for (auto it = configurators.begin(); it != configurators.end();) {
                if (*it && holdsMac(**it, answer.second)) {
                    (*it)->setAddr(toInAddr(answer.first));
                    found.push_back(*it);
                    it = configurators.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    return found;
}

void KRZPArpAPFinder::cancel() {
    cancelled = true;
}

void KRZPArpAPFinder::uncancel() {
    cancelled = false;
}
