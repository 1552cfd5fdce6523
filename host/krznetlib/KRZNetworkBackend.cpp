#include "krznetlib/KRZNetworkBackend.h"

#include "krznetlib/KRZSystemNetworkBackend.h"
#include "krzsettings/KRZSettings.h"

#include <mutex>

namespace {

std::recursive_mutex g_activeMutex;
boost::shared_ptr<KRZNetworkBackend> g_active;
std::mutex g_carriedMutex;
std::map<uint32_t, std::pair<KRZMacAddress, KRZMacAddress>> g_carried;
// (address, port) to the port a connect there goes to; under g_carriedMutex too.
std::map<std::pair<uint32_t, uint16_t>, uint16_t> g_ports;

boost::shared_ptr<KRZNetworkBackend> nullBackend() {
    return boost::shared_ptr<KRZNetworkBackend>(new KRZNullNetworkBackend);
}

// The lab library makes the emulated network; without it nothing is reachable.
boost::shared_ptr<KRZNetworkBackend> labBackend() {
    HMODULE lab = LoadLibraryW(L"krzlab.dll");
    if (lab == nullptr) {
        return nullBackend();
    }
    auto factory = reinterpret_cast<KRZCreateLabBackendFn>(
        reinterpret_cast<void*>(GetProcAddress(lab, KRZ_LAB_BACKEND_FACTORY)));
    KRZNetworkBackend* backend = factory != nullptr ? factory() : nullptr;
    if (backend == nullptr) {
        return nullBackend();
    }
    return boost::shared_ptr<KRZNetworkBackend>(backend);
}

boost::shared_ptr<KRZNetworkBackend> chooseBackend() {
    std::wstring choice = KRZSettings::strGetKrzGuardValue(L"KRZ_NETWORK", L"lab", true);
    if (choice == L"lab") {
        return labBackend();
    }
    // The machine's own adapters only when asked for by name; "none" and anything unknown
    // reach nothing.
    if (choice == L"system") {
        return boost::shared_ptr<KRZNetworkBackend>(new KRZSystemNetworkBackend);
    }
    return nullBackend();
}

}  // namespace

KRZNetworkBackend::~KRZNetworkBackend() = default;

std::vector<KRZMacAddress> KRZNetworkBackend::answersAt(const in_addr& address,
                                                        const KRZMacAddress&) {
    std::map<uint32_t, uint64_t> table;
    std::vector<KRZMacAddress> macs;
    if (driverArpTable(table)) {
        auto found = table.find(address.s_addr);
        if (found != table.end()) {
            macs.push_back(KRZMacAddress::fromUint64(found->second));
        }
    }
    return macs;
}

boost::shared_ptr<KRZNetworkBackend> KRZNetworkBackend::active() {
    // Re-entrant: loading the lab library runs its start-up code, which may ask for the
    // active backend itself; until the choice is made it gets the one that reaches nothing.
    static thread_local bool choosing = false;
    std::lock_guard<std::recursive_mutex> lock(g_activeMutex);
    if (!g_active) {
        if (choosing) {
            return nullBackend();
        }
        choosing = true;
        boost::shared_ptr<KRZNetworkBackend> chosen;
        try {
            chosen = chooseBackend();
        } catch (...) {
            chosen = nullBackend();  // a lab that fails to start reaches nothing
        }
        choosing = false;
        g_active = chosen;
    }
    return g_active;
}

bool KRZNetworkBackend::loopbackPassesStraight() {
    {
        std::lock_guard<std::recursive_mutex> lock(g_activeMutex);
        if (g_active)
            return g_active->passesLoopback();
    }
    if (KRZSettings::strGetKrzGuardValue(L"KRZ_NETWORK", L"lab", true) != L"lab")
        return true;
    bool ownLab = !KRZSettings::strGetKrzGuardValue(L"KRZ_LAB", L"", true).empty() ||
                  !KRZSettings::strGetKrzGuardValue(L"KRZ_LAB_FILE", L"", true).empty();
    return ownLab ? active()->passesLoopback() : true;
}

void KRZNetworkBackend::setActive(const boost::shared_ptr<KRZNetworkBackend>& backend) {
    boost::shared_ptr<KRZNetworkBackend> previous;
    std::lock_guard<std::recursive_mutex> lock(g_activeMutex);
    previous.swap(g_active);
    g_active = backend;
}

void KRZNetworkBackend::carryTo(const in_addr& address, const KRZMacAddress& interfaceMac,
                                const KRZMacAddress& destinationMac) {
    std::lock_guard<std::mutex> lock(g_carriedMutex);
    if (destinationMac.isSet() && interfaceMac.isSet()) {
        g_carried[address.s_addr] = {interfaceMac, destinationMac};
    } else {
        g_carried.erase(address.s_addr);
    }
}

bool KRZNetworkBackend::carriedTo(const in_addr& address, KRZMacAddress& interfaceMac,
                                  KRZMacAddress& destinationMac) {
    std::lock_guard<std::mutex> lock(g_carriedMutex);
    auto found = g_carried.find(address.s_addr);
    if (found == g_carried.end()) {
        return false;
    }
    interfaceMac = found->second.first;
    destinationMac = found->second.second;
    return true;
}

void KRZNetworkBackend::redirectPort(const in_addr& address, uint16_t from, uint16_t to) {
    std::lock_guard<std::mutex> lock(g_carriedMutex);
    std::pair<uint32_t, uint16_t> key(address.s_addr, from);
    if (from == to) {
        g_ports.erase(key);
    } else {
        g_ports[key] = to;
    }
}

uint16_t KRZNetworkBackend::portFor(const in_addr& address, uint16_t port) {
    std::lock_guard<std::mutex> lock(g_carriedMutex);
    auto found = g_ports.find(std::make_pair(address.s_addr, port));
    return found == g_ports.end() ? port : found->second;
}

std::vector<KRZAdapterInfo> KRZNullNetworkBackend::adapters() {
    return std::vector<KRZAdapterInfo>();
}

KRZNdisStatus KRZNullNetworkBackend::sendPacketDown(const KRZBuf&, const KRZMacAddress&) {
    return KRZ_NDIS_STATUS_ADAPTER_NOT_FOUND;
}

bool KRZNullNetworkBackend::driverArpTable(std::map<uint32_t, uint64_t>& table) {
    table.clear();
    return true;
}

std::vector<MIB_IPNETROW> KRZNullNetworkBackend::hostArpTable() {
    return std::vector<MIB_IPNETROW>();
}

int KRZNullNetworkBackend::connect(SOCKET, const sockaddr_in&, int& lastError) {
    lastError = WSAEHOSTUNREACH;
    return SOCKET_ERROR;
}

int KRZNullNetworkBackend::connectVia(SOCKET, const sockaddr_in&, const KRZMacAddress&,
                                      const KRZMacAddress&, int& lastError) {
    lastError = WSAEHOSTUNREACH;
    return SOCKET_ERROR;
}

bool KRZNullNetworkBackend::lookupInterface(const in_addr&, const std::vector<KRZMacAddress>&, int,
                                            KRZMacAddress&) {
    return false;
}
