#include "discovery/KRZPArpScanner.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPModule.h"
#include "discovery/KRZPArpBlock.h"
#include "discovery/KRZPScanReport.h"
#include "krznetlib/KRZNetworkLibrary.h"
#include "krzutil/KRZArpFrame.h"
#include "krzutil/KRZBuf.h"
#include "platform/krzplatform.h"

#include <boost/weak_ptr.hpp>

#include <cstring>
#include <list>

namespace {

const KRZNdisStatus kStatusResources = KRZ_NDIS_STATUS_RESOURCES;
const KRZNdisStatus kStatusFailure = 0xFFFFFFFFu;
const int kSendAttempts = 50;
const DWORD kResourceRetrySleepMs = 100;
const size_t kBurst = 40;
const DWORD kBurstPauseMs = 167;
const DWORD kPollMs = 50;

// Reached through functions so that scanners made during other units' static initialisation
// find them constructed.
KRZMutex& scannersMutex() {
    static KRZMutex instance;
    return instance;
}

std::list<boost::weak_ptr<KRZPArpScanner>>& liveScanners() {
    static std::list<boost::weak_ptr<KRZPArpScanner>> instance;
    return instance;
}

long long nowMillis() {
    __timeb64 now;
    _ftime64(&now);
    return static_cast<long long>(now.time) * 1000 + now.millitm;
}

}  // namespace

KRZPArpScanner::KRZPArpScanner()
    : cancelled(false), responses(new std::map<uint32_t, KRZMacAddress>()) {
    std::memset(arpRequest, 0, sizeof arpRequest);
}

KRZPArpScanner::KRZPArpScanner(const KRZPArpScanner& other) : cancelled(other.cancelled.load()) {
    KRZMutexGrabber grabber(scannersMutex());
    responses = other.responses;
    std::memcpy(arpRequest, other.arpRequest, sizeof arpRequest);
    pendingAddresses = other.pendingAddresses;
    interfaceMac = other.interfaceMac;
}

KRZPArpScanner& KRZPArpScanner::operator=(const KRZPArpScanner& other) {
    if (this != &other) {
        KRZMutexGrabber grabber(scannersMutex());
        cancelled = other.cancelled.load();
        responses = other.responses;
        std::memcpy(arpRequest, other.arpRequest, sizeof arpRequest);
        pendingAddresses = other.pendingAddresses;
        interfaceMac = other.interfaceMac;
    }
    return *this;
}

// The weak entry in liveScanners is dropped by the next table reading.
KRZPArpScanner::~KRZPArpScanner() {}

boost::shared_ptr<KRZPArpScanner> KRZPArpScanner::createInstance() {
    KRZMutexGrabber grabber(scannersMutex());
    _handleResponses(true);
    boost::shared_ptr<KRZPArpScanner> scanner(new KRZPArpScanner());
    liveScanners().push_back(scanner);
    return scanner;
}

void KRZPArpScanner::setInterface(const KRZAdapterInfo& adapter) {
    interfaceMac = adapter.getMacAddress();
    // The asked address stays as it was: each send sets its own.
    uint32_t target;
    std::memcpy(&target, arpRequest + 38, 4);
    KRZArpFrame::buildRequest(arpRequest, interfaceMac.getBytes(),
                              htonl(static_cast<uint32_t>(adapter.getIpAddress())), target);
}

void KRZPArpScanner::setInterface(const KRZMacAddress& mac) {
    boost::shared_ptr<std::vector<KRZAdapterInfo>> adapters = KRZAdapterInfo::getAdapterInfo();
    if (adapters) {
        for (const KRZAdapterInfo& adapter : *adapters) {
            if (adapter.getMacAddress() == mac) {
                setInterface(adapter);
                return;
            }
        }
    }
    KRZPAPModule::log(
        L"KRZPArpScanner::setInterface(): no interface found with the given MAC "
        L"address");
    KRZPAPC_THROW("KRZPArpScanner", "", KRZPAPC_INTERNAL_ERROR);
}

void KRZPArpScanner::_sendArp(uint32_t address) {
    KRZNetworkLibrary library;
    KRZArpFrame::setTarget(arpRequest, address);
    KRZBuf frame(arpRequest, sizeof arpRequest);
    KRZNdisStatus status = kStatusResources;
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        status = KRZNetworkLibrary::sendPacketDown(frame, interfaceMac);
        if (status != kStatusResources) {
            break;
        }
        Sleep(kResourceRetrySleepMs);
        if (cancelled) {
            return;
        }
    }
    if (status == kStatusResources) {
        KRZPAPC_THROW("KRZPArpScanner", "Failed to send ARP due to KRZ_NDIS_STATUS_RESOURCES",
                      KRZPAPC_INTERNAL_ERROR);
    }
    if (status == kStatusFailure) {
        KRZPAPC_THROW("KRZPArpScanner", "", KRZPAPC_INTERNAL_ERROR);
    }
    KRZMutexGrabber grabber(scannersMutex());
    pendingAddresses.insert(address);
}

void KRZPArpScanner::pace(size_t sentSoFar, bool& stop) {
    stop = false;
    if (sentSoFar % kBurst == 0) {
        krzpscanreport::pause(kBurstPauseMs);
        stop = cancelled || krzpscanreport::hostCancelled();
    }
}

void KRZPArpScanner::addIp(const in_addr& address) {
    _sendArp(address.s_addr);
}

void KRZPArpScanner::addIps(const std::vector<uint32_t>& addresses) {
    size_t sent = 0;
    for (uint32_t address : addresses) {
        _sendArp(address);
        bool stop = false;
        pace(++sent, stop);
        if (stop) {
            return;
        }
    }
}

void KRZPArpScanner::addIps(const std::set<uint32_t>& addresses) {
    addIps(std::vector<uint32_t>(addresses.begin(), addresses.end()));
}

void KRZPArpScanner::addNet(const in_addr& first, int count) {
    uint32_t base = ntohl(first.s_addr);
    for (int i = 0; i < count; ++i) {
        _sendArp(htonl(base + static_cast<uint32_t>(i)));
        bool stop = false;
        pace(static_cast<size_t>(i) + 1, stop);
        if (stop) {
            return;
        }
    }
}

void KRZPArpScanner::addNet(const KRZAdapterInfo& adapter) {
    in_addr first;
    int count = 0;
    krzArpBlock(adapter, first, count);
    addNet(first, count);
}

void KRZPArpScanner::_handleResponses(bool log) {
    KRZMutexGrabber grabber(scannersMutex());
    KRZNetworkLibrary library;
    KRZGetArpTable table;
    KRZNetworkLibrary::getArpTable(table);
    if (log) {
        for (const auto& entry : table.table.entries) {
            in_addr address;
            address.s_addr = entry.first;
            KRZPAPModule::log(L"KRZPArpScanner::_handleResponses(): got ARP response from %hs\n",
                              inet_ntoa(address));
        }
    }
    std::list<boost::weak_ptr<KRZPArpScanner>>& live = liveScanners();
    for (auto it = live.begin(); it != live.end();) {
        boost::shared_ptr<KRZPArpScanner> scanner = it->lock();
        if (!scanner) {
            it = live.erase(it);
            continue;
        }
        scanner->_addResponses(table);
        ++it;
    }
}

// An answered address leaves pendingAddresses, so getAllResponses returns as soon as every asked
// address has answered and an answer is handed out once.
void KRZPArpScanner::_addResponses(const KRZGetArpTable& table) {
    for (const auto& entry : table.table.entries) {
        auto pending = pendingAddresses.find(entry.first);
        if (pending == pendingAddresses.end()) {
            continue;
        }
        responses->emplace(entry.first, KRZMacAddress::fromUint64(entry.second));
        pendingAddresses.erase(pending);
    }
}

ArpResponseMap KRZPArpScanner::getResponses() {
    _handleResponses(false);
    KRZMutexGrabber grabber(scannersMutex());
    ArpResponseMap out = responses;
    responses.reset(new std::map<uint32_t, KRZMacAddress>());
    return out;
}

ArpResponseMap KRZPArpScanner::getAllResponses(int timeoutMs) {
    long long deadline = nowMillis() + timeoutMs;
    _handleResponses(false);
    auto nothingPending = [this]() {
        KRZMutexGrabber grabber(scannersMutex());
        return pendingAddresses.empty();
    };
    if (!nothingPending()) {
        while (nowMillis() <= deadline && !krzpscanreport::hostCancelled()) {
            krzpscanreport::pause(kPollMs);
            _handleResponses(false);
            if (nothingPending()) {
                break;
            }
        }
    }
    return getResponses();
}

void KRZPArpScanner::cancel() {
    cancelled = true;
}

const unsigned char* KRZPArpScanner::getRequestFrame() const {
    return arpRequest;
}
