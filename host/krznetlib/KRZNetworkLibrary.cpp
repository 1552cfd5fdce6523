#include "krznetlib/KRZNetworkLibrary.h"

#include "krznetlib/KRZGetArpTable.h"
#include "krznetlib/KRZNetworkBackend.h"

#include <atomic>

namespace {
// Instances only mark that someone uses the driver; the count is kept for diagnosis.
std::atomic<int> g_users{0};
}  // namespace

KRZNetworkLibrary::KRZNetworkLibrary() {
    ++g_users;
}
KRZNetworkLibrary::~KRZNetworkLibrary() {
    --g_users;
}

KRZNdisStatus KRZNetworkLibrary::sendPacketDown(const KRZBuf& frame,
                                                const KRZMacAddress& adapterMac) {
    return KRZNetworkBackend::active()->sendPacketDown(frame, adapterMac);
}

bool KRZNetworkLibrary::getArpTable(KRZGetArpTable& table) {
    std::map<uint32_t, uint64_t> entries;
    if (!KRZNetworkBackend::active()->driverArpTable(entries)) {
        return false;
    }
    table.table.entries.swap(entries);
    return true;
}
