#include "FakeNetworkBackend.h"
#include "TestSupport.h"

#include "platform/krzplatform.h"

#include <cstring>
#include <stdexcept>
#include <thread>

using krztest::boundPort;
using krztest::loopback;

namespace {

const unsigned char kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

uint16_t be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

FakeNetworkBackend::FakeNetworkBackend()
    : failStatus_(KRZ_NDIS_STATUS_SUCCESS),
      failCount_(0),
      tableReadable_(true),
      invalidFrames_(0),
      tableReads_(0),
      silentListener_(-1),
      silentFiller_(-1),
      silentPort_(0) {
    makeLoopbackPorts();
}

FakeNetworkBackend::~FakeNetworkBackend() {
    for (int fd : {silentFiller_, silentListener_}) {
        if (fd >= 0) {
            closesocket(static_cast<SOCKET>(fd));
        }
    }
}

void FakeNetworkBackend::makeLoopbackPorts() {
    // A backlog of 0 admits one queued connection; the filler takes it and later SYNs are dropped,
    // so connects to this port stay in SYN_SENT.
    silentListener_ = krztest::listeningLoopbackSocket(0);
    silentPort_ = boundPort(silentListener_);
    silentFiller_ = static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = loopback(silentPort_);
    if (::connect(silentFiller_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("cannot fill the silent listener's backlog");
    }
}

// ---- set-up ----

void FakeNetworkBackend::addAdapter(const std::string& name, unsigned long index,
                                    const std::string& address, const std::string& mask,
                                    const KRZMacAddress& adapterMac) {
    std::lock_guard<std::mutex> lock(mutex_);
    adapters_.emplace_back(name, index, hostOrder(address), hostOrder(mask), adapterMac);
}

void FakeNetworkBackend::addDevice(const Device& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.push_back(device);
}

void FakeNetworkBackend::addHostArpRow(unsigned long index, const std::string& address,
                                       const KRZMacAddress& rowMac, DWORD type) {
    MIB_IPNETROW row;
    std::memset(&row, 0, sizeof row);
    row.dwIndex = static_cast<DWORD>(index);
    row.dwPhysAddrLen = 6;
    std::memcpy(row.bPhysAddr, rowMac.getBytes(), 6);
    row.dwAddr = ip(address);
    row.dwType = type;
    std::lock_guard<std::mutex> lock(mutex_);
    hostRows_.push_back(row);
}

void FakeNetworkBackend::addDriverArpEntry(const std::string& address, const KRZMacAddress& m) {
    std::lock_guard<std::mutex> lock(mutex_);
    driverTable_[ip(address)] = DriverEntry{m.toUint64(), std::chrono::steady_clock::now()};
}

void FakeNetworkBackend::failNextSends(KRZNdisStatus status, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    failStatus_ = status;
    failCount_ = count;
}

void FakeNetworkBackend::setDriverTableReadable(bool readable) {
    std::lock_guard<std::mutex> lock(mutex_);
    tableReadable_ = readable;
}

void FakeNetworkBackend::setSendHook(std::function<void(size_t)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendHook_ = std::move(hook);
}

void FakeNetworkBackend::setConnectHook(std::function<void(size_t)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    connectHook_ = std::move(hook);
}

void FakeNetworkBackend::install() {
    // The backend is owned by the test; the shared pointer must not delete it.
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>(this, [](void*) {}));
}

void FakeNetworkBackend::uninstall() {
    KRZNetworkBackend::setActive(boost::shared_ptr<KRZNetworkBackend>());
}

// ---- observation ----

std::vector<FakeNetworkBackend::SentFrame> FakeNetworkBackend::sentFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::vector<uint32_t> FakeNetworkBackend::askedAddresses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
}

size_t FakeNetworkBackend::sendCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

size_t FakeNetworkBackend::invalidFrameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return invalidFrames_;
}

size_t FakeNetworkBackend::tableReadCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tableReads_;
}

std::vector<FakeNetworkBackend::ConnectAttempt> FakeNetworkBackend::connectAttempts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connects_;
}

void FakeNetworkBackend::clearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
    asked_.clear();
    connects_.clear();
    invalidFrames_ = 0;
    tableReads_ = 0;
}

// ---- helpers ----

KRZMacAddress FakeNetworkBackend::mac(const std::string& text) {
    return KRZMacAddress::fromUtf8String(text);
}

uint32_t FakeNetworkBackend::ip(const std::string& dotted) {
    in_addr a;
    if (inet_pton(AF_INET, dotted.c_str(), &a) != 1) {
        throw std::invalid_argument("not a dotted address: " + dotted);
    }
    return a.s_addr;
}

unsigned long FakeNetworkBackend::hostOrder(const std::string& dotted) {
    return ntohl(ip(dotted));
}

bool FakeNetworkBackend::decodeArpRequest(const KRZBuf& frame, const KRZMacAddress& adapterMac,
                                          ArpRequest& out) {
    if (frame.size() != 42) {
        return false;
    }
    const unsigned char* p = frame.data();
    const unsigned char* own = adapterMac.getBytes();
    bool valid = std::memcmp(p, kBroadcast, 6) == 0 && std::memcmp(p + 6, own, 6) == 0 &&
                 be16(p + 12) == 0x0806 && be16(p + 14) == 1 && be16(p + 16) == 0x0800 &&
                 p[18] == 6 && p[19] == 4 && be16(p + 20) == 1 && std::memcmp(p + 22, own, 6) == 0;
    for (int i = 32; valid && i < 38; ++i) {
        valid = p[i] == 0;
    }
    if (!valid) {
        return false;
    }
    out.senderMac = KRZMacAddress(p + 22);
    std::memcpy(&out.senderIp, p + 28, 4);
    std::memcpy(&out.targetIp, p + 38, 4);
    return true;
}

// ---- KRZNetworkBackend ----

std::vector<KRZAdapterInfo> FakeNetworkBackend::adapters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return adapters_;
}

KRZNdisStatus FakeNetworkBackend::sendPacketDown(const KRZBuf& frame,
                                                 const KRZMacAddress& adapterMac) {
    KRZNdisStatus status = KRZ_NDIS_STATUS_SUCCESS;
    std::function<void(size_t)> hook;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto now = std::chrono::steady_clock::now();
        frames_.push_back(SentFrame{frame, adapterMac, now});
        count = frames_.size();
        hook = sendHook_;
        ArpRequest request;
        if (failCount_ > 0) {
            --failCount_;
            status = failStatus_;
        } else if (!decodeArpRequest(frame, adapterMac, request)) {
            ++invalidFrames_;
            status = KRZ_NDIS_STATUS_INVALID_PACKET;
        } else {
            asked_.push_back(request.targetIp);
            for (const Device& d : devices_) {
                if (d.answersArp && ip(d.address) == request.targetIp &&
                    driverTable_.count(request.targetIp) == 0) {
                    driverTable_[request.targetIp] = DriverEntry{
                        d.mac.toUint64(), now + std::chrono::milliseconds(d.arpDelayMs)};
                }
            }
        }
    }
    if (hook) {
        hook(count);
    }
    return status;
}

bool FakeNetworkBackend::driverArpTable(std::map<uint32_t, uint64_t>& table) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++tableReads_;
    if (!tableReadable_) {
        return false;
    }
    auto now = std::chrono::steady_clock::now();
    for (const auto& entry : driverTable_) {
        if (entry.second.visibleFrom <= now) {
            table.emplace(entry.first, entry.second.mac);
        }
    }
    return true;
}

std::vector<MIB_IPNETROW> FakeNetworkBackend::hostArpTable() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hostRows_;
}

const FakeNetworkBackend::Device* FakeNetworkBackend::findDevice(uint32_t address,
                                                                 const KRZMacAddress& m) const {
    for (const Device& d : devices_) {
        if (ip(d.address) == address && (!m.isSet() || d.mac == m)) {
            return &d;
        }
    }
    return nullptr;
}

int FakeNetworkBackend::carry(SOCKET s, const sockaddr_in& address,
                              const KRZMacAddress& interfaceMac,
                              const KRZMacAddress& destinationMac, int& lastError) {
    int result = -1;
    unsigned short port = 0;
    std::function<void(size_t)> hook;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Device* d = findDevice(address.sin_addr.s_addr, destinationMac);
        connects_.push_back(ConnectAttempt{address.sin_addr.s_addr, interfaceMac, destinationMac,
                                           d != nullptr, std::chrono::steady_clock::now(),
                                           ntohs(address.sin_port)});
        count = connects_.size();
        hook = connectHook_;
        if (d == nullptr) {
            lastError = WSAEHOSTUNREACH;
        } else if (auto other = d->ports.find(ntohs(address.sin_port)); other != d->ports.end()) {
            port = other->second != 0 ? other->second : refusing_.port();
        } else {
            port = d->silent                      ? silentPort_
                   : (d->refuses || d->port == 0) ? refusing_.port()
                                                  : d->port;
        }
    }
    if (port != 0) {
        sockaddr_in target = loopback(port);
        result = ::connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target);
        if (result != 0) {
            lastError = WSAGetLastError();
            result = -1;
        }
    }
    if (hook) {
        hook(count);
    }
    return result;
}

int FakeNetworkBackend::connect(SOCKET s, const sockaddr_in& address, int& lastError) {
    return carry(s, address, KRZMacAddress(), KRZMacAddress(), lastError);
}

int FakeNetworkBackend::connectVia(SOCKET s, const sockaddr_in& address,
                                   const KRZMacAddress& interfaceMac,
                                   const KRZMacAddress& destinationMac, int& lastError) {
    return carry(s, address, interfaceMac, destinationMac, lastError);
}

bool FakeNetworkBackend::lookupInterface(const in_addr& address,
                                         const std::vector<KRZMacAddress>& macs, int timeoutMs,
                                         KRZMacAddress& interfaceMac) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const KRZMacAddress& m : macs) {
        if (findDevice(address.s_addr, m) != nullptr && !adapters_.empty()) {
            interfaceMac = adapters_.front().getMacAddress();
            return true;
        }
    }
    return false;
}
