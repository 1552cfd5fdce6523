#include "discovery/KRZPHttpScanner.h"

#include "core/KRZPAPCException.h"
#include "core/KRZPAPModule.h"
#include "core/KRZPModuleOrigin.h"
#include "discovery/KRZPArpBlock.h"
#include "discovery/KRZPArpScanner.h"
#include "discovery/KRZPScanReport.h"
#include "http/KRZPAPComm.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "platform/krziphlp.h"
#include "platform/krzplatform.h"
#include "platform/krzwake.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace {

char kUnit[] = "KRZPHTTPScanner";
const int kLineCancelWaitingForRoom = 187;
const int kLineCancelDraining = 201;
const int kLineCancelSingle = 384;

const size_t kMaxOutstanding = 7;
const int kPassMs = 300;
const int kArpWaitMs = 2000;
const int kArpBurst = 40;   // requests between two pauses of the ARP sweep
const int kArpPollMs = 50;  // how often the ARP answers are taken after the last request
const int kReplyDeadlineMs = 2000;
const int kConnectDeadlineMs = 1000;
const long long kUnlistedLimitMs = 5000;
const unsigned short kHttpPort = 80;
const unsigned short kHttpsPort = 443;
// A probe over TLS has the reply's deadline for its handshake too, a step of the select loop; the
// connection's time-out bounds only the write of its request.
const int kTlsHandshakeSeconds = kReplyDeadlineMs / 1000;

std::atomic<bool> g_httpsProbe{false};

// A probe that goes on over TLS (KRZPHttpScanner::setHttpsProbe); out of the exported class, so
// that nothing of it is exported.
struct TlsProbe {
    unsigned short port;
    bool redirected;
    std::string headers;  // the redirect, when `redirected`
    std::string body;
    bool handshaking = false;  // a step of the select loop, as the connect and the reply are
};

struct Registered {
    boost::shared_ptr<KRZPHttpRecognizer> recognizer;
    int priority;
    std::wstring module;  // the module list's name of the library that registered it
};
typedef std::list<Registered> RecognizerList;

RecognizerList& recognizers() {
    static RecognizerList instance;
    return instance;
}

std::string dotted(uint32_t networkOrder) {
    in_addr a;
    a.s_addr = networkOrder;
    return inet_ntoa(a);
}

// Failures since the host last took them; scanForThisAP may run on several threads at once.
struct Failures {
    std::mutex mutex;
    std::vector<KRZPRecognizerFailure> list;
};

Failures& failures() {
    static Failures instance;
    return instance;
}

void recognizerFailed(const Registered& registered, const in_addr& address,
                      const std::string& reason) {
    const std::wstring who = registered.module.empty()
                                 ? std::wstring(L"a recognizer registered outside the module list")
                                 : L"the recognizer of module " + registered.module;
    KRZPAPModule::log(L"KRZPHttpScanner: %s failed on the reply from %hs: %hs\n", who.c_str(),
                      dotted(address.s_addr).c_str(), reason.c_str());
    Failures& f = failures();
    std::lock_guard<std::mutex> lock(f.mutex);
    for (KRZPRecognizerFailure& failure : f.list) {
        if (failure.module == registered.module) {
            ++failure.replies;
            return;
        }
    }
    f.list.push_back(KRZPRecognizerFailure{registered.module, reason, 1});
}

bool isSwept(uint32_t ip) {
    return ip != 0xFFFFFFFFu && ip != 0 && (ip >> 24) != 127;
}

// Rows of the host ARP table for one interface; an address already answered keeps its MAC.
void mergeHostArpTable(std::map<uint32_t, KRZMacAddress>& answers, unsigned long index) {
    ULONG size = 0;
    GetIpNetTable(nullptr, &size, FALSE);
    if (size == 0) {
        return;
    }
    std::vector<unsigned char> buffer(size);
    PMIB_IPNETTABLE table = reinterpret_cast<PMIB_IPNETTABLE>(buffer.data());
    if (GetIpNetTable(table, &size, FALSE) != NO_ERROR) {
        return;
    }
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPNETROW& row = table->table[i];
        if (row.dwIndex != index) {
            continue;
        }
        unsigned char bytes[6] = {0, 0, 0, 0, 0, 0};
        std::memcpy(bytes, row.bPhysAddr, row.dwPhysAddrLen < 6 ? row.dwPhysAddrLen : 6);
        answers.emplace(row.dwAddr, KRZMacAddress(bytes));
    }
}

// The library's own scanner, registered while the library loads.
struct RegisterAtLoad {
    RegisterAtLoad() {
        KRZPAPScanner::registerScanner(boost::shared_ptr<KRZPAPScanner>(new KRZPHttpScanner()));
    }
} registerAtLoad;

// A probe that ends without a complete reply: the host answered ARP only.
void reportArpOnly(const KRZPAPCommEntry& entry) {
    krzpscanreport::report(KRZPScanResult::ARP_ONLY, entry.comm->getAddr(), entry.mac);
}

// A snapshot of the TCP endpoint table, kept in buffer; null when the system gives none.
const MIB_TCPTABLE* tcpTable(std::vector<unsigned char>& buffer) {
    ULONG size = 0;
    if (GetTcpTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return nullptr;
    }
    buffer.resize(size);
    PMIB_TCPTABLE filled = reinterpret_cast<PMIB_TCPTABLE>(buffer.data());
    return GetTcpTable(filled, &size, TRUE) == NO_ERROR ? filled : nullptr;
}

// 1 when the TCP table lists the socket's local port (or there is no table to ask), 0 when it does
// not, -1 when the socket's own port is unknown.
int listedIn(const MIB_TCPTABLE* table, SOCKET socket) {
    if (table == nullptr) {
        return 1;
    }
    sockaddr_in local;
    int length = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return -1;
    }
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        if (table->table[i].dwLocalPort == static_cast<DWORD>(local.sin_port)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

// ---- KRZPAPCommEntry ----

KRZPAPCommEntry::KRZPAPCommEntry()
    : comm(nullptr), deadlineSeconds(0), deadlineMillis(0), armed(false) {}

KRZPAPCommEntry::KRZPAPCommEntry(KRZPAPComm* connection)
    : comm(connection), deadlineSeconds(0), deadlineMillis(0), armed(false) {}

KRZPAPCommEntry::~KRZPAPCommEntry() {
    delete comm;
    comm = nullptr;
}

void KRZPAPCommEntry::setDeadline(int milliseconds) {
    __timeb64 now;
    _ftime64(&now);
    long long millis = static_cast<long long>(now.millitm) + milliseconds;
    deadlineSeconds = static_cast<int>(now.time + millis / 1000);
    deadlineMillis = static_cast<int>(millis % 1000);
}

// ---- KRZPHttpScanner ----

struct KRZPHttpScanner::SocketSets {
    SocketSets() {
        FD_ZERO(&read);
        FD_ZERO(&write);
        FD_ZERO(&except);
    }
    fd_set read;
    fd_set write;
    fd_set except;
    // The probes that went on over TLS, by socket: each is retried once only, a complete reply
    // makes its device an HTTPS one, and one that fails offers the redirect it followed.
    std::map<unsigned int, TlsProbe> overTls;
    // Probes to go on over TLS once the pass has looked at every socket.
    std::vector<std::pair<boost::shared_ptr<KRZPAPCommEntry>, TlsProbe>> retries;
};

KRZPHttpScanner::KRZPHttpScanner()
    : canceled(false), connectivity(false), responseCount(0), wake(new KRZWakeHandle) {}

KRZPHttpScanner::KRZPHttpScanner(const KRZPHttpScanner& other)
    : KRZPAPScanner(other),
      apList(other.apList),
      probes(other.probes),
      canceled(other.canceled.load()),
      connectivity(other.connectivity),
      sets(other.sets),
      responseCount(other.responseCount),
      unlistedSince(other.unlistedSince),
      wake(new KRZWakeHandle) {}

KRZPHttpScanner& KRZPHttpScanner::operator=(const KRZPHttpScanner& other) {
    if (this != &other) {
        apList = other.apList;
        probes = other.probes;
        canceled = other.canceled.load();
        connectivity = other.connectivity;
        sets = other.sets;
        responseCount = other.responseCount;
        unlistedSince = other.unlistedSince;
    }
    return *this;
}

KRZPHttpScanner::~KRZPHttpScanner() {
    probes.clear();
    apList.clear();
}

void KRZPHttpScanner::scan() {
    KRZPAPModule::log(L"KRZPHttpScanner::scan()\n");
    connectivity = false;
    apList.clear();
    boost::shared_ptr<std::vector<KRZAdapterInfo>> adapters = KRZAdapterInfo::getAdapterInfo();
    if (!adapters) {
        return;
    }
    for (KRZAdapterInfo adapter : *adapters) {
        if (isSwept(static_cast<uint32_t>(adapter.getIpAddress()))) {
            _scanNetwork(adapter);
        }
    }
}

KRZPAPConfiguratorList KRZPHttpScanner::getAPList() {
    return apList;
}

bool KRZPHttpScanner::getConnectivity() {
    return connectivity;
}

// The flag first: the pass that the wake ends returns to a loop that finds it set.
void KRZPHttpScanner::cancel() {
    canceled = true;
    wake->wake();
}

void KRZPHttpScanner::uncancel() {
    wake->clear();
    canceled = false;
}

// Each host is probed as soon as it answers ARP, so that the scan reports a device when it is
// recognized, not after the sweep's whole wait: the requests go out a burst at a time, the answers
// are taken between bursts, then polled until every asked address answered or the wait ended.
void KRZPHttpScanner::_scanNetwork(KRZAdapterInfo& adapter) {
    boost::shared_ptr<KRZPArpScanner> arp = KRZPArpScanner::createInstance();
    std::string address = dotted(htonl(static_cast<uint32_t>(adapter.getIpAddress())));
    std::string mask = dotted(htonl(static_cast<uint32_t>(adapter.getMask())));
    KRZPAPModule::log(L"Scanning %hs/%hs (adapter MAC %s)\n", address.c_str(), mask.c_str(),
                      adapter.getMacAddress().toHexString().c_str());
    arp->setInterface(adapter);

    std::set<uint32_t> asked;
    std::set<uint32_t> probed;
    size_t answered = 0;
    auto cancelled = [this] { return canceled || krzpscanreport::hostCancelled(); };
    auto probe = [&](const std::map<uint32_t, KRZMacAddress>& hosts) {
        for (const auto& host : hosts) {
            if (!probed.insert(host.first).second)
                continue;
            while (probes.size() >= kMaxOutstanding) {
                if (cancelled()) {
                    clearProbes();
                    throw KRZPAPCException(kUnit, kLineCancelWaitingForRoom, "", KRZPAPC_CANCELLED);
                }
                _waitForResponse(kPassMs);
            }
            _addProbe(host.first, adapter.getMacAddress(), host.second);
            _waitForResponse(0);
        }
    };
    auto takeAnswers = [&] {
        ArpResponseMap answers = arp->getResponses();
        connectivity = connectivity || !answers->empty();
        answered += answers->size();
        probe(*answers);
        _waitForResponse(0);  // the probes already out move on between bursts too
    };

    in_addr first;
    int count = 0;
    krzArpBlock(adapter, first, count);
    for (int sent = 0; sent < count && !cancelled(); sent += kArpBurst) {
        in_addr from;
        from.s_addr = htonl(ntohl(first.s_addr) + static_cast<uint32_t>(sent));
        const int burst = std::min(kArpBurst, count - sent);
        arp->addNet(from, burst);  // with the pause after a whole burst
        for (int i = 0; i < burst; ++i)
            asked.insert(htonl(ntohl(from.s_addr) + static_cast<uint32_t>(i)));
        takeAnswers();
    }
    for (unsigned long defaultIp : KRZPAPModule::getDefaultIps()) {
        in_addr a;
        a.s_addr = static_cast<uint32_t>(defaultIp);
        arp->addIp(a);
        asked.insert(a.s_addr);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kArpWaitMs);
    while (answered < asked.size() && std::chrono::steady_clock::now() <= deadline &&
           !cancelled()) {
        if (probes.empty())
            krzpscanreport::pause(kArpPollMs);
        else
            _waitForResponse(kArpPollMs);
        takeAnswers();
    }
    if (cancelled()) {
        clearProbes();
        throw KRZPAPCException(kUnit, kLineCancelDraining, "", KRZPAPC_CANCELLED);
    }
    // Hosts the system's table holds for this adapter that did not answer this sweep.
    std::map<uint32_t, KRZMacAddress> known;
    mergeHostArpTable(known, adapter.getIndex());
    probe(known);
    KRZPAPModule::log(L"Probed %d addresses\n", static_cast<int>(probed.size()));

    while (!probes.empty()) {
        if (cancelled()) {
            clearProbes();
            throw KRZPAPCException(kUnit, kLineCancelDraining, "", KRZPAPC_CANCELLED);
        }
        _waitForResponse(kPassMs);
    }
    clearProbes();
}

void KRZPHttpScanner::_addProbe(unsigned long address, KRZMacAddress interfaceMac,
                                KRZMacAddress deviceMac) {
    in_addr a;
    a.s_addr = static_cast<uint32_t>(address);
    KRZPAPComm* comm = new KRZPAPComm(a);
    boost::shared_ptr<KRZPAPCommEntry> entry(new KRZPAPCommEntry(comm));
    comm->setInterfaceMac(interfaceMac);
    comm->setDestinationMac(deviceMac);
    entry->mac = deviceMac;
    _addProbe(entry);
}

void KRZPHttpScanner::_addProbe(boost::shared_ptr<KRZPAPCommEntry> entry) {
    in_addr address = entry->comm->getAddr();
    try {
        entry->comm->openConnection(kHttpPort, true);
    } catch (const KRZPAPCException&) {
        KRZPAPModule::log(L"Unable to connect to %hs\n", dotted(address.s_addr).c_str());
        if (unsigned short port = tlsRetryPort(*entry, false)) {
            sets->retries.push_back({entry, {port, false, "", ""}});
            startTlsProbes();
        } else {
            reportArpOnly(*entry);
        }
        return;
    }
    unsigned int socket = entry->comm->getFD();
    probes.emplace(socket, entry);
    FD_SET(socket, &sets->write);
    FD_SET(socket, &sets->except);
}

void KRZPHttpScanner::sendRequest(KRZPAPCommEntry& entry) {
    entry.comm->writeGetRequest("/");
    FD_SET(entry.comm->getFD(), &sets->read);
    entry.setDeadline(kReplyDeadlineMs);
    connectivity = true;
}

void KRZPHttpScanner::dropSocket(unsigned int socket) {
    sets->overTls.erase(socket);
    FD_CLR(socket, &sets->read);
    FD_CLR(socket, &sets->write);
    FD_CLR(socket, &sets->except);
    unlistedSince.erase(socket);
}

void KRZPHttpScanner::clearProbes() {
    for (const auto& probe : probes) {
        dropSocket(probe.first);
    }
    probes.clear();  // dropSocket has forgotten each one's unlisted time
}

// A pending connection gets its one-second deadline once the TCP table lists its local port.
void KRZPHttpScanner::armPending(unsigned int socket, KRZPAPCommEntry& entry, bool listed,
                                 long long now) {
    if (listed) {
        entry.armed = true;
        entry.setDeadline(kConnectDeadlineMs);
        unlistedSince.erase(socket);
        return;
    }
    auto since = unlistedSince.emplace(socket, now).first;
    if (now - since->second > kUnlistedLimitMs) {
        entry.armed = true;
        entry.setDeadline(0);
    }
}

void KRZPHttpScanner::_waitForResponse(int milliseconds) {
    if (probes.empty()) {
        return;
    }
    std::vector<unsigned char> tableBuffer;
    const MIB_TCPTABLE* table = tcpTable(tableBuffer);
    if (table == nullptr) {
        KRZPAPModule::log(
            L"KRZPHttpScanner::_waitForResponse(): unable to get TCP endpoint table\n");
    }

    // A TLS probe may hold decrypted bytes its socket no longer shows: those are read in this
    // pass, which then does not wait.
    std::vector<unsigned int> held;
    for (const auto& probe : probes) {
        if (FD_ISSET(probe.first, &sets->read) && sets->overTls.count(probe.first) != 0 &&
            probe.second->comm->hasBufferedData())
            held.push_back(probe.first);
    }
    fd_set readable = sets->read;
    fd_set writable = sets->write;
    fd_set failed = sets->except;
    SOCKET wakeHandle = wake->handle();
    if (wakeHandle != INVALID_SOCKET) {
        FD_SET(wakeHandle, &readable);
    }
    timeval timeout;
    timeout.tv_sec = 0;
    timeout.tv_usec = held.empty() ? milliseconds * 1000 : 0;
    if (select(0, &readable, &writable, &failed, &timeout) == SOCKET_ERROR) {
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
    }
    for (unsigned int socket : held)
        FD_SET(socket, &readable);
    // A cancel ended the pass: the caller's loop looks at the flag next.
    if (wakeHandle != INVALID_SOCKET && FD_ISSET(wakeHandle, &readable)) {
        wake->clear();
    }

    __timeb64 now;
    _ftime64(&now);
    long long nowMs = static_cast<long long>(now.time) * 1000 + now.millitm;

    for (auto it = probes.begin(); it != probes.end();) {
        unsigned int socket = it->first;
        boost::shared_ptr<KRZPAPCommEntry> entry = it->second;
        bool expired = entry->armed &&
                       (now.time > entry->deadlineSeconds || (now.time == entry->deadlineSeconds &&
                                                              now.millitm > entry->deadlineMillis));
        // What came before the deadline is read however late this pass runs (the sweep between
        // passes, a loaded machine): the deadline ends only a probe that still waits after it.
        if (FD_ISSET(socket, &readable)) {
            const bool pending = readReply(socket, entry);
            if (pending && expired)
                giveUp(socket, *entry);
            if (pending && !expired) {
                ++it;
            } else {
                dropSocket(socket);
                it = probes.erase(it);
            }
        } else if (FD_ISSET(socket, &writable)) {
            entry->armed = true;
            FD_CLR(socket, &sets->except);
            FD_CLR(socket, &sets->write);
            unlistedSince.erase(socket);
            if (sendProbe(socket, entry)) {
                ++it;
            } else {
                dropSocket(socket);
                it = probes.erase(it);
            }
        } else if (FD_ISSET(socket, &failed)) {
            if (unsigned short port = tlsRetryPort(*entry, false))
                sets->retries.push_back({entry, {port, false, "", ""}});
            else
                giveUp(socket, *entry);
            dropSocket(socket);
            it = probes.erase(it);
        } else if (expired) {
            giveUp(socket, *entry);
            dropSocket(socket);
            it = probes.erase(it);
        } else {
            const int listing = entry->armed ? -1 : listedIn(table, socket);
            if (listing >= 0) {
                armPending(socket, *entry, listing == 1, nowMs);
            }
            ++it;
        }
    }
    startTlsProbes();
}

// Reads what a probe's connection holds; true while its reply is still coming, false once the
// probe is done (a complete reply handled, a close, or a failure).
bool KRZPHttpScanner::readReply(const boost::shared_ptr<KRZPAPCommEntry>& entry) {
    return readReply(entry->comm->getFD(), entry);
}

bool KRZPHttpScanner::readReply(unsigned int socket,
                                const boost::shared_ptr<KRZPAPCommEntry>& entry) {
    auto probe = sets->overTls.find(socket);
    if (probe != sets->overTls.end() && probe->second.handshaking)
        return shakeHands(socket, entry);
    KRZPAPCReadStatus status;
    try {
        status = entry->comm->readResponse();
    } catch (const KRZPAPCException& e) {
        // One device that resets or floods costs its own probe, not the sweep.
        KRZPAPModule::log(L"KRZPHttpScanner: reply from %hs failed (code %d), dropped\n",
                          dotted(entry->comm->getAddr().s_addr).c_str(),
                          static_cast<int>(e.getAPCErrorCode()));
        giveUp(socket, *entry);
        return false;
    }
    if (status == KRZPAPC_READ_PENDING) {
        return true;
    }
    if (status != KRZPAPC_READ_OK) {
        giveUp(socket, *entry);
    } else if (unsigned short port = tlsRetryPort(*entry, true)) {
        KRZPAPModule::log(L"KRZPHttpScanner: %hs redirects to its HTTPS port %d\n",
                          dotted(entry->comm->getAddr().s_addr).c_str(), static_cast<int>(port));
        sets->retries.push_back(
            {entry,
             {port, true, entry->comm->getResponseHeaders(), entry->comm->getResponseBody()}});
    } else {
        auto tls = sets->overTls.find(socket);
        if (tls != sets->overTls.end())
            reachOverTls(entry->comm->getAddr(), tls->second.port);
        offerReply(*entry, entry->comm->getResponseHeaders(), entry->comm->getResponseBody());
        ++responseCount;
    }
    return false;
}

void KRZPHttpScanner::_handleResponse(boost::shared_ptr<KRZPAPCommEntry> entry) {
    offerReply(*entry, entry->comm->getResponseHeaders(), entry->comm->getResponseBody());
}

void KRZPHttpScanner::offerReply(const KRZPAPCommEntry& entry, std::string headers,
                                 std::string body) {
    in_addr address = entry.comm->getAddr();
    KRZMacAddress mac = entry.mac;
    size_t before = apList.size();
    handleScanResult(address, headers, body, mac);
    // What handleScanResult accepted is heard at once; a reply that nobody claimed too.
    if (apList.size() == before) {
        krzpscanreport::report(KRZPScanResult::UNRECOGNIZED, entry.comm->getAddr(), entry.mac);
        return;
    }
    auto added = apList.begin();
    std::advance(added, static_cast<long>(before));
    for (; added != apList.end(); ++added) {
        krzpscanreport::report(KRZPScanResult::RECOGNIZED, (*added)->getAddr(), entry.mac, *added);
    }
}

// ---- HTTPS probes (setHttpsProbe) ----

void KRZPHttpScanner::setHttpsProbe(bool on) {
    g_httpsProbe = on;
}

bool KRZPHttpScanner::httpsProbe() {
    return g_httpsProbe;
}

unsigned short KRZPHttpScanner::httpsRedirectPort(const in_addr& address, int status,
                                                  const std::string& location) {
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return 0;
    const std::string prefix = "https://" + dotted(address.s_addr);
    if (location.compare(0, prefix.size(), prefix) != 0)
        return 0;
    size_t at = prefix.size();
    unsigned long port = kHttpsPort;
    if (at < location.size() && location[at] == ':') {
        size_t end = location.find_first_not_of("0123456789", at + 1);
        std::string digits = location.substr(at + 1, end == std::string::npos ? end : end - at - 1);
        if (digits.empty() || digits.size() > 5)
            return 0;
        port = std::stoul(digits);
        at = end == std::string::npos ? location.size() : end;
    }
    // "https://10.0.0.1.evil/" or "https://10.0.0.10/" is another host.
    if (at < location.size() && location[at] != '/')
        return 0;
    return port >= 1 && port <= 65535 ? static_cast<unsigned short>(port) : 0;
}

unsigned short KRZPHttpScanner::tlsRetryPort(const KRZPAPCommEntry& entry, bool reply) const {
    if (!g_httpsProbe || sets->overTls.count(entry.comm->getFD()) != 0)
        return 0;
    in_addr address = entry.comm->getAddr();
    if (KRZPAPComm::tlsFor(address, KRZNetworkBackend::portFor(address, kHttpPort)))
        return 0;  // port 80 is sent to an HTTPS port already
    if (!reply)
        return kHttpsPort;
    unsigned short port = httpsRedirectPort(address, entry.comm->getResponseStatus(),
                                            entry.comm->getResponseHeader("Location"));
    if (port == 0 && entry.comm->getResponseStatus() / 100 == 3 &&
        entry.comm->getResponseHeader("Location").compare(0, 8, "https://") == 0) {
        KRZPAPModule::log(L"KRZPHttpScanner: %hs redirects to another host, not followed\n",
                          dotted(address.s_addr).c_str());
    }
    return port;
}

void KRZPHttpScanner::startTlsProbes() {
    std::vector<std::pair<boost::shared_ptr<KRZPAPCommEntry>, TlsProbe>> retries;
    retries.swap(sets->retries);
    for (auto& retry : retries) {
        boost::shared_ptr<KRZPAPCommEntry> entry = retry.first;
        entry->armed = false;
        entry->comm->setTls(true);
        entry->comm->setTimeout(kTlsHandshakeSeconds);
        try {
            entry->comm->openConnection(retry.second.port, true);
        } catch (const KRZPAPCException&) {
            KRZPAPModule::log(L"Unable to connect to %hs on port %d\n",
                              dotted(entry->comm->getAddr().s_addr).c_str(),
                              static_cast<int>(retry.second.port));
            const unsigned int none = entry->comm->getFD();
            sets->overTls[none] = retry.second;
            giveUp(none, *entry);
            sets->overTls.erase(none);
            continue;
        }
        unsigned int socket = entry->comm->getFD();
        sets->overTls[socket] = retry.second;
        probes.emplace(socket, entry);
        FD_SET(socket, &sets->write);
        FD_SET(socket, &sets->except);
    }
}

void KRZPHttpScanner::reachOverTls(const in_addr& address, unsigned short port) {
    unsigned short connected = KRZNetworkBackend::portFor(address, port);
    KRZPAPComm::setTlsFor(address, connected, true);
    if (KRZNetworkBackend::portFor(address, kHttpPort) == kHttpPort)
        KRZNetworkBackend::redirectPort(address, kHttpPort, connected);
}

bool KRZPHttpScanner::sendProbe(unsigned int socket,
                                const boost::shared_ptr<KRZPAPCommEntry>& entry) {
    auto probe = sets->overTls.find(socket);
    if (probe == sets->overTls.end()) {
        sendRequest(*entry);
        return true;
    }
    if (!probe->second.handshaking) {
        probe->second.handshaking = true;
        entry->setDeadline(kReplyDeadlineMs);
    }
    return shakeHands(socket, entry);
}

// One step of a TLS probe's handshake; the host's certificate check runs at its end, before the
// request. A device that fails either costs its own probe.
bool KRZPHttpScanner::shakeHands(unsigned int socket,
                                 const boost::shared_ptr<KRZPAPCommEntry>& entry) {
    try {
        KRZPAPComm::TlsStep step = entry->comm->stepTls();
        FD_CLR(socket, &sets->read);
        FD_CLR(socket, &sets->write);
        if (step == KRZPAPComm::TlsStep::WantRead) {
            FD_SET(socket, &sets->read);
            return true;
        }
        if (step == KRZPAPComm::TlsStep::WantWrite) {
            FD_SET(socket, &sets->write);
            return true;
        }
        sets->overTls[socket].handshaking = false;
        sendRequest(*entry);
        return true;
    } catch (const KRZPAPCException& e) {
        KRZPAPModule::log(L"KRZPHttpScanner: HTTPS probe of %hs failed: %hs\n",
                          dotted(entry->comm->getAddr().s_addr).c_str(), e.what());
        if (e.getAPCErrorCode() == KRZPAPC_CANCELLED)
            throw;
    }
    giveUp(socket, *entry);
    return false;
}

void KRZPHttpScanner::giveUp(unsigned int socket, const KRZPAPCommEntry& entry) {
    auto tls = sets->overTls.find(socket);
    if (tls == sets->overTls.end() || !tls->second.redirected) {
        reportArpOnly(entry);
        return;
    }
    // The HTTPS side failed: the redirect is what the device answered, as with HTTPS probes off.
    TlsProbe redirect = tls->second;
    offerReply(entry, redirect.headers, redirect.body);
    ++responseCount;
}

int KRZPHttpScanner::scanForThisAP(in_addr& address, KRZMacAddress& mac) {
    KRZPAPModule::log(L"KRZPHttpScanner::scanForThisAP( %hs )\n", dotted(address.s_addr).c_str());
    apList.clear();
    boost::shared_ptr<KRZPAPCommEntry> entry(new KRZPAPCommEntry(new KRZPAPComm(address)));
    entry->mac = mac;
    _addProbe(entry);
    responseCount = 0;
    while (!probes.empty()) {
        if (canceled) {
            clearProbes();
            throw KRZPAPCException(kUnit, kLineCancelSingle, "", KRZPAPC_CANCELLED);
        }
        _waitForResponse(kPassMs);
    }
    return responseCount;
}

void KRZPHttpScanner::handleScanResult(in_addr& address, std::string& headers, std::string& body,
                                       KRZMacAddress& mac) {
    for (const Registered& registered : recognizers()) {
        boost::shared_ptr<KRZPAPConfigurator> configurator;
        // One module's fault costs its own recognizer this reply, not the others nor the sweep.
        try {
            configurator = registered.recognizer->recognize(address, headers, body, mac);
        } catch (const KRZPAPCException& e) {
            if (e.getAPCErrorCode() == KRZPAPC_CANCELLED) {
                throw;
            }
            recognizerFailed(registered, address, e.what());
        } catch (const std::exception& e) {
            recognizerFailed(registered, address, e.what());
        } catch (...) {
            recognizerFailed(registered, address, "not a std::exception");
        }
        if (configurator) {
            apList.push_back(configurator);
            return;
        }
    }
}

void KRZPHttpScanner::registerHttpRecognizer(boost::shared_ptr<KRZPHttpRecognizer> recognizer,
                                             int priority) {
    RecognizerList& list = recognizers();
    auto position = list.begin();
    while (position != list.end() && position->priority <= priority) {
        ++position;
    }
    list.insert(position, Registered{recognizer, priority, krzpmoduleorigin::loading()});
}

std::vector<KRZPRecognizerFailure> KRZPHttpScanner::takeRecognizerFailures() {
    Failures& f = failures();
    std::lock_guard<std::mutex> lock(f.mutex);
    std::vector<KRZPRecognizerFailure> taken;
    taken.swap(f.list);
    return taken;
}
