#define KRZ_PLATFORM_IMPLEMENTATION
#include "krznetlib/KRZPacketLinks.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <set>
#include <tuple>
#include <mutex>
#include <thread>

extern "C" {
#include "lwip/etharp.h"
#include "lwip/netif.h"
#include "lwip/pbuf.h"
#include "lwip/tcp.h"
#include "lwip/tcpip.h"
#include "netif/ethernet.h"
}

namespace {

using Clock = std::chrono::steady_clock;
using Mac = std::array<unsigned char, 6>;

// Winsock numbers the carried connect reports (the platform layer maps errno the same way).
const int kWsaWouldBlock = 10035;
const int kWsaNoBufs = 10055;
const int kWsaHostUnreach = 10065;

// How a free source address is claimed: two ARP probes 100 ms apart, then 300 ms in all without
// anyone answering for the address.
const int kProbeGapMs = 100;
const int kProbeWaitMs = 300;
const int kProbeCandidates = 16;

std::once_flag g_lwipStarted;

void startLwip() {
    std::call_once(g_lwipStarted, [] { tcpip_init(nullptr, nullptr); });
}

struct CoreLock {
    CoreLock() { LOCK_TCPIP_CORE(); }
    ~CoreLock() { UNLOCK_TCPIP_CORE(); }
};

bool sameFile(int fd, dev_t dev, ino_t ino) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

uint64_t macValue(const unsigned char* bytes) {
    uint64_t value = 0;
    unsigned char raw[8] = {0};
    std::memcpy(raw, bytes, 6);
    std::memcpy(&value, raw, 8);
    return value;
}

uint16_t be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t be32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

}  // namespace

struct KRZPacketLinks::Impl {
    struct Link {
        Adapter adapter;
        int fd = -1;
        std::atomic<bool> prepared{false};
    };

    struct Conn;

    // One source address on one adapter: an lwIP interface with the adapter's MAC and an address
    // that nobody on the link uses, claimed by ARP probes first.
    struct Source {
        enum State { Probing, Ready, Failed };
        Impl* owner = nullptr;
        Link* link = nullptr;
        netif nif{};
        uint32_t net = 0, mask = 0, address = 0;  // host order
        State state = Probing;
        std::vector<uint32_t> candidates;
        size_t next = 0;
        Clock::time_point probeStart;
        int probesSent = 0;
        std::map<uint16_t, Mac> peers;  // local TCP port to the device's MAC
        std::list<Conn*> waiting;
    };

    struct Conn {
        enum State { Waiting, Connecting, Connected, Done };
        Impl* owner = nullptr;
        State state = Waiting;
        int fd = -1;      // the caller's descriptor number
        int parked = -1;  // our own reference to the parked socket
        dev_t dev = 0;
        ino_t ino = 0;  // what it referred to while parked
        int bridge = -1;
        tcp_pcb* pcb = nullptr;
        Source* source = nullptr;
        uint32_t destination = 0;  // network order
        uint16_t port = 0;         // host order
        uint16_t localPort = 0;
        Mac mac{};
        std::string toCaller;  // received, not yet written to the bridge
        bool peerClosed = false;
        bool sendBlocked = false;
    };

    std::mutex mutex;  // adapters, links, driver table, ARP sightings
    std::vector<Adapter> adapters;
    bool listed = false;
    std::map<int, std::unique_ptr<Link>> links;
    std::map<uint32_t, std::pair<uint64_t, int>> driver;     // address to MAC and adapter index
    std::map<uint32_t, Clock::time_point> arpSeen;           // address (host order) last claimed
    std::set<std::tuple<uint32_t, uint64_t, int>> answered;  // every (address, MAC, adapter)

    // Guarded by lwIP's core lock (every callback runs with it held).
    std::list<std::unique_ptr<Source>> sources;
    std::list<std::unique_ptr<Conn>> conns;

    int wake = -1;
    int parkListener = -1, parkFiller = -1, refuser = -1;
    sockaddr_in parkAddress{}, refuseAddress{};
    std::atomic<bool> stop{false};
    std::thread pump;
    std::once_flag started;

    ~Impl();
    std::vector<Adapter> list();
    Link* linkFor(const Adapter& adapter);
    void start();
    bool startParking();
    void run();
    bool collectPolled(std::vector<pollfd>& pfds, std::vector<Link*>& polledLinks,
                       std::vector<Conn*>& polledConns);
    void dropFinishedConns(bool checkCallers);
    void readFrames(Link* link);
    void handleFrame(Link* link, const unsigned char* frame, size_t length);
    Source* sourceFor(Link* link, uint32_t destination);
    void advanceProbe(Source& source, Clock::time_point now);
    void sendProbe(Source& source);
    void sourceReady(Source& source);
    void begin(Conn& conn);
    void finishConnect(Conn& conn);
    void refuse(Conn& conn);
    void serviceBridge(Conn& conn, short revents);
    void flushToCaller(Conn& conn);
    void closeConn(Conn& conn, bool abort);
    void notify() {
        uint64_t one = 1;
        ssize_t ignored = ::write(wake, &one, sizeof one);
        (void)ignored;
    }

    static err_t netifInit(netif* nif);
    static err_t output(netif* nif, pbuf* p, const ip4_addr_t* destination);
    static err_t linkOutput(netif* nif, pbuf* p);
    static err_t onConnected(void* arg, tcp_pcb* pcb, err_t err);
    static err_t onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t err);
    static err_t onSent(void* arg, tcp_pcb* pcb, u16_t length);
    static void onError(void* arg, err_t err);
};

KRZPacketLinks::Impl::~Impl() {
    stop = true;
    if (pump.joinable()) {
        notify();
        pump.join();
        CoreLock lock;
        for (auto& conn : conns) {
            closeConn(*conn, true);
        }
        conns.clear();
        for (auto& source : sources) {
            if (source->state == Source::Ready) {
                netif_remove(&source->nif);
            }
        }
        sources.clear();
    }
    for (auto& link : links) {
        ::close(link.second->fd);
    }
    for (int fd : {wake, parkListener, parkFiller, refuser}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::vector<KRZPacketLinks::Adapter> KRZPacketLinks::Impl::list() {
    std::map<std::string, Adapter> byName;
    std::map<std::string, bool> hasMac;
    std::vector<std::string> order;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) {
        return {};
    }
    for (ifaddrs* it = all; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_name == nullptr) {
            continue;
        }
        auto found = byName.find(it->ifa_name);
        if (found == byName.end()) {
            order.push_back(it->ifa_name);
            found = byName.emplace(it->ifa_name, Adapter()).first;
            found->second.name = it->ifa_name;
            found->second.index = static_cast<int>(if_nametoindex(it->ifa_name));
        }
        Adapter& info = found->second;
        if (it->ifa_addr->sa_family == AF_PACKET) {
            const sockaddr_ll* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
            if (ll->sll_halen == 6) {
                std::memcpy(info.mac, ll->sll_addr, 6);
                hasMac[info.name] = true;
            }
        } else if (it->ifa_addr->sa_family == AF_INET && info.address == 0) {
            info.address =
                ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
            if (it->ifa_netmask != nullptr) {
                info.mask =
                    ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
            }
        }
    }
    freeifaddrs(all);
    std::vector<Adapter> result;
    for (const std::string& name : order) {
        if (byName[name].address != 0) {
            result.push_back(byName[name]);
        }
    }
    return result;
}

// The adapter's packet socket, opened on first use and kept: opening and closing one per frame
// costs milliseconds (the close waits for the kernel to quiesce).
KRZPacketLinks::Impl::Link* KRZPacketLinks::Impl::linkFor(const Adapter& adapter) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = links.find(adapter.index);
    if (found != links.end()) {
        return found->second.get();
    }
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL));
    if (fd < 0) {
        return nullptr;
    }
    int size = 4 << 20;  // a sweep's answers arrive in a burst
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    int one = 1;
    ::setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one);
    // Only ARP, and IPv4 not addressed to the adapter's own address (carried connections never
    // use it): the host's own traffic is not copied to this socket.
    sock_filter code[] = {
        {BPF_LD | BPF_H | BPF_ABS, 0, 0, 12},
        {BPF_JMP | BPF_JEQ | BPF_K, 4, 0, ETH_P_ARP},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 2, ETH_P_IP},
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, 30},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, adapter.address},
        {BPF_RET | BPF_K, 0, 0, 0},
        {BPF_RET | BPF_K, 0, 0, 0xFFFF},
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
    sockaddr_ll bindAddress{};
    bindAddress.sll_family = AF_PACKET;
    bindAddress.sll_protocol = htons(ETH_P_ALL);
    bindAddress.sll_ifindex = adapter.index;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    auto link = std::make_unique<Link>();
    link->adapter = adapter;
    link->fd = fd;
    Link* raw = link.get();
    links.emplace(adapter.index, std::move(link));
    notify();
    return raw;
}

void KRZPacketLinks::Impl::start() {
    std::call_once(started, [this] {
        startLwip();
        pump = std::thread(&Impl::run, this);
    });
}

// The parking place: a loopback listener whose one-entry queue is full, so that a connect to it
// stays pending (its handshake is dropped) for as long as the carried one runs. The refuser is a
// bound port that nobody listens on.
bool KRZPacketLinks::Impl::startParking() {
    if (parkListener >= 0) {
        return true;
    }
    auto bound = [](sockaddr_in& address) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address = sockaddr_in{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)) {
            ::close(fd);
            fd = -1;
        }
        return fd;
    };
    int listener = bound(parkAddress);
    int refusing = bound(refuseAddress);
    int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || refusing < 0 || filler < 0 || ::listen(listener, 0) != 0 ||
        ::connect(filler, reinterpret_cast<sockaddr*>(&parkAddress), sizeof parkAddress) != 0) {
        for (int fd : {listener, refusing, filler}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return false;
    }
    parkListener = listener;
    refuser = refusing;
    parkFiller = filler;
    return true;
}

void KRZPacketLinks::Impl::run() {
    std::vector<pollfd> pfds;
    std::vector<Link*> polledLinks;
    std::vector<Conn*> polledConns;
    Clock::time_point lastCheck = Clock::now();
    while (!stop) {
        bool busy = collectPolled(pfds, polledLinks, polledConns);
        ::poll(pfds.data(), pfds.size(), busy ? 20 : 250);
        if (stop) {
            break;
        }
        if (pfds[0].revents != 0) {
            uint64_t count;
            ssize_t ignored = ::read(wake, &count, sizeof count);
            (void)ignored;
        }
        for (size_t i = 0; i < polledLinks.size(); ++i) {
            if (pfds[1 + i].revents != 0) {
                readFrames(polledLinks[i]);
            }
        }
        CoreLock core;
        size_t base = 1 + polledLinks.size();
        for (size_t i = 0; i < polledConns.size(); ++i) {
            if (pfds[base + i].revents != 0) {
                serviceBridge(*polledConns[i], pfds[base + i].revents);
            }
        }
        Clock::time_point now = Clock::now();
        for (auto& source : sources) {
            if (source->state == Source::Probing) {
                advanceProbe(*source, now);
            }
        }
        bool check = now - lastCheck > std::chrono::milliseconds(200);
        dropFinishedConns(check);
        if (check) {
            lastCheck = now;
        }
    }
}

// Fills the poll list: the wake descriptor, every link, and each connected bridge that has room
// or data. True while a probe or a connect is under way (the loop then polls more often).
bool KRZPacketLinks::Impl::collectPolled(std::vector<pollfd>& pfds, std::vector<Link*>& polledLinks,
                                         std::vector<Conn*>& polledConns) {
    pfds.clear();
    polledLinks.clear();
    polledConns.clear();
    pfds.push_back({wake, POLLIN, 0});
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& link : links) {
            pfds.push_back({link.second->fd, POLLIN, 0});
            polledLinks.push_back(link.second.get());
        }
    }
    bool busy = false;
    CoreLock core;
    for (auto& source : sources) {
        busy = busy || source->state == Source::Probing;
    }
    for (auto& conn : conns) {
        busy = busy || conn->state != Conn::Connected;
        if (conn->bridge < 0 || conn->state != Conn::Connected) {
            continue;
        }
        short events = conn->sendBlocked ? 0 : POLLIN;
        if (!conn->toCaller.empty()) {
            events = static_cast<short>(events | POLLOUT);
        }
        pfds.push_back({conn->bridge, events, 0});
        polledConns.push_back(conn.get());
    }
    return busy;
}

// Forgets finished connections (the caller holds the core lock). A caller that gave up on a
// pending connect closed its descriptor: when checkCallers is set, such a one stops being carried.
void KRZPacketLinks::Impl::dropFinishedConns(bool checkCallers) {
    for (auto it = conns.begin(); it != conns.end();) {
        Conn& conn = **it;
        if (checkCallers && conn.state != Conn::Connected && conn.state != Conn::Done &&
            !sameFile(conn.fd, conn.dev, conn.ino)) {
            closeConn(conn, true);
        }
        if (conn.state == Conn::Done) {
            if (conn.source != nullptr) {
                conn.source->waiting.remove(&conn);
            }
            it = conns.erase(it);
        } else {
            ++it;
        }
    }
}

// A frame from a sender on this machine (a veth peer) may still carry a partial TCP checksum that
// the kernel would complete in hardware; the stack checks checksums, so it is completed here.
static void completeChecksum(unsigned char* frame, size_t length) {
    if (length < 34 || be16(frame + 12) != ETH_P_IP || frame[23] != IPPROTO_TCP) {
        return;
    }
    size_t header = static_cast<size_t>(frame[14] & 0x0F) * 4;
    size_t total = be16(frame + 16);
    if (header < 20 || total < header + 20 || 14 + total > length) {
        return;
    }
    size_t segment = total - header;
    unsigned char* tcp = frame + 14 + header;
    tcp[16] = tcp[17] = 0;
    uint32_t sum = be16(frame + 26) + be16(frame + 28) + be16(frame + 30) + be16(frame + 32) +
                   IPPROTO_TCP + static_cast<uint32_t>(segment);
    for (size_t i = 0; i + 1 < segment; i += 2) {
        sum += be16(tcp + i);
    }
    if (segment % 2 != 0) {
        sum += static_cast<uint32_t>(tcp[segment - 1]) << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    uint16_t check = static_cast<uint16_t>(~sum);
    tcp[16] = static_cast<unsigned char>(check >> 8);
    tcp[17] = static_cast<unsigned char>(check);
}

void KRZPacketLinks::Impl::readFrames(Link* link) {
    unsigned char frame[2048];
    char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    for (int i = 0; i < 256; ++i) {
        sockaddr_ll from{};
        iovec io{frame, sizeof frame};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(link->fd, &message, MSG_DONTWAIT);
        if (n <= 0) {
            return;
        }
        if (from.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                tpacket_auxdata aux;
                std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                if (aux.tp_status & TP_STATUS_CSUMNOTREADY) {
                    completeChecksum(frame, static_cast<size_t>(n));
                }
            }
        }
        handleFrame(link, frame, static_cast<size_t>(n));
    }
}

void KRZPacketLinks::Impl::handleFrame(Link* link, const unsigned char* frame, size_t length) {
    if (length < 42) {
        return;
    }
    uint16_t type = be16(frame + 12);
    uint32_t target = 0;
    bool arp = type == ETH_P_ARP;
    if (arp) {
        // IPv4 over Ethernet only; every claim of an address is noted, every answer recorded.
        if (be16(frame + 14) != 1 || be16(frame + 16) != ETH_P_IP || frame[18] != 6 ||
            frame[19] != 4) {
            return;
        }
        uint32_t sender = be32(frame + 28);
        target = be32(frame + 38);
        std::lock_guard<std::mutex> lock(mutex);
        if (sender != 0) {
            arpSeen[sender] = Clock::now();
        }
        if (be16(frame + 20) == 2 && sender != 0) {
            driver[htonl(sender)] = {macValue(frame + 22), link->adapter.index};
            answered.emplace(htonl(sender), macValue(frame + 22), link->adapter.index);
        }
    } else if (type == ETH_P_IP) {
        target = be32(frame + 30);
    } else {
        return;
    }
    CoreLock core;
    for (auto& source : sources) {
        if (source->link != link || source->state != Source::Ready || source->address != target) {
            continue;
        }
        if (!arp && frame[23] == IPPROTO_TCP) {
            // A segment for a carried connection must come from that connection's device.
            size_t header = static_cast<size_t>(frame[14] & 0x0F) * 4;
            if (length < 14 + header + 20) {
                return;
            }
            auto peer = source->peers.find(be16(frame + 14 + header + 2));
            if (peer == source->peers.end() || std::memcmp(peer->second.data(), frame + 6, 6)) {
                return;
            }
        }
        pbuf* p = pbuf_alloc(PBUF_RAW, static_cast<u16_t>(length), PBUF_RAM);
        if (p == nullptr) {
            return;
        }
        pbuf_take(p, frame, static_cast<u16_t>(length));
        if (source->nif.input(p, &source->nif) != ERR_OK) {
            pbuf_free(p);
        }
        return;
    }
}

// The source for a destination on an adapter: the adapter's network when the destination is in
// it, else the destination's /24 (a device at its factory address answers there).
KRZPacketLinks::Impl::Source* KRZPacketLinks::Impl::sourceFor(Link* link, uint32_t destination) {
    const Adapter& adapter = link->adapter;
    uint32_t mask =
        (destination & adapter.mask) == (adapter.address & adapter.mask) && adapter.mask != 0
            ? adapter.mask
            : 0xFFFFFF00u;
    uint32_t net = destination & mask;
    for (auto& source : sources) {
        if (source->link == link && source->net == net && source->mask == mask &&
            source->state != Source::Failed) {
            return source.get();
        }
    }
    auto source = std::make_unique<Source>();
    source->owner = this;
    source->link = link;
    source->net = net;
    source->mask = mask;
    // From the top of the network down, past the addresses known to be taken.
    uint32_t broadcast = net | ~mask;
    std::map<uint32_t, uint64_t> known;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& entry : driver) {
            known[ntohl(entry.first)] = entry.second.first;
        }
    }
    for (uint32_t candidate = broadcast - 1;
         candidate > net && source->candidates.size() < kProbeCandidates; --candidate) {
        if (candidate != destination && candidate != adapter.address &&
            known.count(candidate) == 0) {
            source->candidates.push_back(candidate);
        }
    }
    source->state = source->candidates.empty() ? Source::Failed : Source::Probing;
    source->probeStart = Clock::now();
    Source* raw = source.get();
    sources.push_back(std::move(source));
    if (raw->state == Source::Probing) {
        sendProbe(*raw);
    }
    notify();
    return raw;
}

void KRZPacketLinks::Impl::sendProbe(Source& source) {
    // An ARP probe: who has the candidate, asked from no address so that nobody learns anything.
    unsigned char frame[42] = {0};
    std::memset(frame, 0xFF, 6);
    std::memcpy(frame + 6, source.link->adapter.mac, 6);
    frame[12] = 0x08, frame[13] = 0x06, frame[15] = 1, frame[16] = 0x08, frame[18] = 6,
    frame[19] = 4, frame[21] = 1;
    std::memcpy(frame + 22, source.link->adapter.mac, 6);
    uint32_t candidate = htonl(source.candidates[source.next]);
    std::memcpy(frame + 38, &candidate, 4);
    ssize_t ignored = ::send(source.link->fd, frame, sizeof frame, 0);
    (void)ignored;
    ++source.probesSent;
}

void KRZPacketLinks::Impl::advanceProbe(Source& source, Clock::time_point now) {
    uint32_t candidate = source.candidates[source.next];
    bool taken;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto seen = arpSeen.find(candidate);
        taken = seen != arpSeen.end() && seen->second >= source.probeStart;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - source.probeStart);
    if (taken) {
        if (++source.next == source.candidates.size()) {
            source.state = Source::Failed;
            for (Conn* conn : source.waiting) {
                closeConn(*conn, true);
            }
            source.waiting.clear();
            return;
        }
        source.probeStart = now;
        source.probesSent = 0;
        sendProbe(source);
    } else if (source.probesSent < 2 && elapsed.count() >= kProbeGapMs) {
        sendProbe(source);
    } else if (elapsed.count() >= kProbeWaitMs) {
        source.address = candidate;
        sourceReady(source);
    }
}

void KRZPacketLinks::Impl::sourceReady(Source& source) {
    ip4_addr_t address, mask, gateway;
    ip4_addr_set_u32(&address, htonl(source.address));
    ip4_addr_set_u32(&mask, htonl(source.mask));
    ip4_addr_set_zero(&gateway);
    if (netif_add(&source.nif, &address, &mask, &gateway, &source, &Impl::netifInit,
                  ethernet_input) == nullptr) {
        source.state = Source::Failed;
    } else {
        netif_set_up(&source.nif);
        netif_set_link_up(&source.nif);
        source.state = Source::Ready;
    }
    std::list<Conn*> waiting;
    waiting.swap(source.waiting);
    for (Conn* conn : waiting) {
        if (source.state == Source::Ready) {
            begin(*conn);
        } else {
            closeConn(*conn, true);
        }
    }
}

err_t KRZPacketLinks::Impl::netifInit(netif* nif) {
    Source* source = static_cast<Source*>(nif->state);
    nif->hwaddr_len = 6;
    std::memcpy(nif->hwaddr, source->link->adapter.mac, 6);
    nif->mtu = 1500;
    nif->flags = NETIF_FLAG_BROADCAST | NETIF_FLAG_ETHARP | NETIF_FLAG_ETHERNET;
    nif->name[0] = 'k';
    nif->name[1] = 'z';
    nif->output = &Impl::output;
    nif->linkoutput = &Impl::linkOutput;
    return ERR_OK;
}

// Every carried segment goes to its connection's device MAC, never to what ARP would say: two
// devices may share the address.
err_t KRZPacketLinks::Impl::output(netif* nif, pbuf* p, const ip4_addr_t*) {
    Source* source = static_cast<Source*>(nif->state);
    unsigned char header[64];
    u16_t got = pbuf_copy_partial(p, header, sizeof header, 0);
    size_t length = static_cast<size_t>(header[0] & 0x0F) * 4;
    if (got < length + 4 || header[9] != IPPROTO_TCP) {
        return ERR_OK;  // only TCP is carried
    }
    auto peer = source->peers.find(be16(header + length));
    if (peer == source->peers.end()) {
        return ERR_OK;
    }
    eth_addr destination;
    std::memcpy(destination.addr, peer->second.data(), 6);
    return ethernet_output(nif, p, reinterpret_cast<const eth_addr*>(nif->hwaddr), &destination,
                           ETHTYPE_IP);
}

err_t KRZPacketLinks::Impl::linkOutput(netif* nif, pbuf* p) {
    Source* source = static_cast<Source*>(nif->state);
    unsigned char frame[2048];
    if (p->tot_len > sizeof frame) {
        return ERR_BUF;
    }
    u16_t length = pbuf_copy_partial(p, frame, p->tot_len, 0);
    if (::send(source->link->fd, frame, length, MSG_DONTWAIT) != static_cast<ssize_t>(length)) {
        return ERR_IF;
    }
    return ERR_OK;
}

void KRZPacketLinks::Impl::begin(Conn& conn) {
    Source& source = *conn.source;
    tcp_pcb* pcb = tcp_new_ip_type(IPADDR_TYPE_V4);
    if (pcb == nullptr) {
        closeConn(conn, true);
        return;
    }
    tcp_bind_netif(pcb, &source.nif);
    if (tcp_bind(pcb, &source.nif.ip_addr, 0) != ERR_OK) {
        tcp_abort(pcb);
        closeConn(conn, true);
        return;
    }
    conn.pcb = pcb;
    conn.localPort = pcb->local_port;
    source.peers[conn.localPort] = conn.mac;
    tcp_arg(pcb, &conn);
    tcp_err(pcb, &Impl::onError);
    tcp_recv(pcb, &Impl::onRecv);
    tcp_sent(pcb, &Impl::onSent);
    tcp_nagle_disable(pcb);
    ip_addr_t destination;
    ip_addr_set_ip4_u32(&destination, conn.destination);
    conn.state = Conn::Connecting;
    if (tcp_connect(pcb, &destination, conn.port, &Impl::onConnected) != ERR_OK) {
        source.peers.erase(pcb->local_port);
        conn.pcb = nullptr;
        tcp_abort(pcb);
        closeConn(conn, true);
    }
}

err_t KRZPacketLinks::Impl::onConnected(void* arg, tcp_pcb*, err_t) {
    Conn& conn = *static_cast<Conn*>(arg);
    conn.owner->finishConnect(conn);
    return conn.state == Conn::Connected ? ERR_OK : ERR_ABRT;
}

// Replaces the caller's descriptor, while it still is the parked socket, by `replacement`. A select
// that still waits on the parked socket is woken by shutting that down, and then finds the
// descriptor's new socket when it asks for the connect's error.
static bool handOver(int fd, dev_t dev, ino_t ino, int replacement, int& parked) {
    bool done = sameFile(fd, dev, ino) && ::dup3(replacement, fd, O_CLOEXEC) >= 0;
    if (parked >= 0) {
        ::shutdown(parked, SHUT_RDWR);
        ::close(parked);
        parked = -1;
    }
    return done;
}

// The handshake is done: the caller's descriptor becomes one end of a socket pair, the other end
// is relayed. The descriptor is replaced only while it is still the parked socket.
void KRZPacketLinks::Impl::finishConnect(Conn& conn) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        closeConn(conn, true);
        return;
    }
    int size = 1 << 20;
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setNonBlocking(pair[0]);
    setNonBlocking(pair[1]);
    if (!handOver(conn.fd, conn.dev, conn.ino, pair[0], conn.parked)) {
        ::close(pair[0]);
        ::close(pair[1]);
        closeConn(conn, true);
        return;
    }
    ::close(pair[0]);
    conn.bridge = pair[1];
    conn.state = Conn::Connected;
    notify();
}

// The device refused: the caller's descriptor becomes a loopback connect that was refused, so
// that select and SO_ERROR report it as for any refused connect.
void KRZPacketLinks::Impl::refuse(Conn& conn) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&refuseAddress), sizeof refuseAddress) != 0 &&
        errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
    handOver(conn.fd, conn.dev, conn.ino, fd, conn.parked);
    ::close(fd);
}

void KRZPacketLinks::Impl::onError(void* arg, err_t err) {
    Conn& conn = *static_cast<Conn*>(arg);
    // The stack has freed the connection already.
    if (conn.pcb != nullptr) {
        conn.source->peers.erase(conn.localPort);
    }
    conn.pcb = nullptr;
    if (conn.state == Conn::Connecting && err == ERR_RST) {
        conn.owner->refuse(conn);
    }
    // Anything else while connecting (no answer) leaves the caller's connect pending, as a kernel
    // connect to a silent host stays.
    conn.owner->closeConn(conn, false);
}

err_t KRZPacketLinks::Impl::onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t) {
    Conn& conn = *static_cast<Conn*>(arg);
    if (p == nullptr) {
        conn.peerClosed = true;
    } else {
        size_t old = conn.toCaller.size();
        conn.toCaller.resize(old + p->tot_len);
        pbuf_copy_partial(p, &conn.toCaller[old], p->tot_len, 0);
        pbuf_free(p);
    }
    (void)pcb;
    conn.owner->flushToCaller(conn);
    return ERR_OK;
}

err_t KRZPacketLinks::Impl::onSent(void* arg, tcp_pcb*, u16_t) {
    Conn& conn = *static_cast<Conn*>(arg);
    if (conn.sendBlocked) {
        conn.sendBlocked = false;
        conn.owner->notify();
    }
    return ERR_OK;
}

void KRZPacketLinks::Impl::flushToCaller(Conn& conn) {
    if (conn.bridge < 0) {
        return;
    }
    size_t written = 0;
    while (written < conn.toCaller.size()) {
        ssize_t n = ::send(conn.bridge, conn.toCaller.data() + written,
                           conn.toCaller.size() - written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    conn.toCaller.erase(0, written);
    if (written > 0 && conn.pcb != nullptr) {
        tcp_recved(conn.pcb, static_cast<u16_t>(written));
    }
    if (conn.toCaller.empty() && conn.peerClosed) {
        ::shutdown(conn.bridge, SHUT_WR);
    }
    if (!conn.toCaller.empty()) {
        notify();  // the pump waits for room
    }
}

void KRZPacketLinks::Impl::serviceBridge(Conn& conn, short revents) {
    if (revents & POLLOUT) {
        flushToCaller(conn);
    }
    if (!(revents & (POLLIN | POLLHUP | POLLERR)) || conn.pcb == nullptr) {
        return;
    }
    char buffer[32 * 1024];
    size_t room = tcp_sndbuf(conn.pcb);
    if (room == 0) {
        conn.sendBlocked = true;
        return;
    }
    ssize_t n =
        ::recv(conn.bridge, buffer, room < sizeof buffer ? room : sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        if (tcp_write(conn.pcb, buffer, static_cast<u16_t>(n), TCP_WRITE_FLAG_COPY) != ERR_OK) {
            closeConn(conn, true);
            return;
        }
        tcp_output(conn.pcb);
        conn.sendBlocked = tcp_sndbuf(conn.pcb) == 0;
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closeConn(conn, false);  // the caller closed its socket
    }
}

void KRZPacketLinks::Impl::closeConn(Conn& conn, bool abort) {
    if (conn.pcb != nullptr) {
        tcp_pcb* pcb = conn.pcb;
        conn.pcb = nullptr;
        conn.source->peers.erase(pcb->local_port);
        tcp_arg(pcb, nullptr);
        tcp_err(pcb, nullptr);
        tcp_recv(pcb, nullptr);
        tcp_sent(pcb, nullptr);
        if (abort || tcp_close(pcb) != ERR_OK) {
            tcp_abort(pcb);
        }
    }
    if (conn.bridge >= 0) {
        ::close(conn.bridge);
        conn.bridge = -1;
    }
    if (conn.parked >= 0) {
        ::close(conn.parked);
        conn.parked = -1;
    }
    conn.state = Conn::Done;
}

KRZPacketLinks::KRZPacketLinks() : impl_(new Impl) {
    impl_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

KRZPacketLinks::~KRZPacketLinks() = default;

std::vector<KRZPacketLinks::Adapter> KRZPacketLinks::adapters(bool refresh) {
    std::vector<Adapter> listed;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->listed && !refresh) {
            return impl_->adapters;
        }
    }
    listed = impl_->list();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->adapters = listed;
    impl_->listed = true;
    return listed;
}

bool KRZPacketLinks::adapterByMac(const unsigned char mac[6], Adapter& adapter) {
    for (bool refresh : {false, true}) {
        for (const Adapter& candidate : adapters(refresh)) {
            if (std::memcmp(candidate.mac, mac, 6) == 0) {
                adapter = candidate;
                return true;
            }
        }
    }
    return false;
}

bool KRZPacketLinks::sendFrame(const Adapter& adapter, const unsigned char* frame, size_t length) {
    impl_->start();
    Impl::Link* link = impl_->linkFor(adapter);
    if (link == nullptr) {
        return false;
    }
    if (!link->prepared.exchange(true)) {
        // A sweep is under way: claim the source address for carried connections in the
        // adapter's network now, while the sweep waits anyway.
        CoreLock core;
        impl_->sourceFor(link, adapter.address);
    }
    return ::send(link->fd, frame, length, 0) == static_cast<ssize_t>(length);
}

std::map<uint32_t, uint64_t> KRZPacketLinks::driverTable() {
    std::map<uint32_t, uint64_t> table;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const auto& entry : impl_->driver) {
        table[entry.first] = entry.second.first;
    }
    return table;
}

bool KRZPacketLinks::capturedOn(uint32_t address, const unsigned char mac[6], int& ifindex) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto found = impl_->answered.lower_bound(std::make_tuple(address, macValue(mac), 0));
    if (found == impl_->answered.end() || std::get<0>(*found) != address ||
        std::get<1>(*found) != macValue(mac)) {
        return false;
    }
    ifindex = std::get<2>(*found);
    return true;
}

std::vector<uint64_t> KRZPacketLinks::capturedAt(uint32_t address, int ifindex) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<uint64_t> macs;
    for (auto it = impl_->answered.lower_bound(std::make_tuple(address, uint64_t(0), 0));
         it != impl_->answered.end() && std::get<0>(*it) == address; ++it) {
        if (std::get<2>(*it) == ifindex) {
            macs.push_back(std::get<1>(*it));
        }
    }
    return macs;
}

int KRZPacketLinks::carry(int fd, const sockaddr_in& address, const Adapter& adapter,
                          const unsigned char destinationMac[6], int& lastError) {
    impl_->start();
    Impl::Link* link = impl_->linkFor(adapter);
    if (link == nullptr) {
        lastError = kWsaHostUnreach;
        return -1;
    }
    CoreLock core;
    struct stat st;
    if (!impl_->startParking() || ::fstat(fd, &st) != 0) {
        lastError = kWsaNoBufs;
        return -1;
    }
    setNonBlocking(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&impl_->parkAddress),
                  sizeof impl_->parkAddress) == 0 ||
        errno != EINPROGRESS) {
        lastError = kWsaNoBufs;
        return -1;
    }
    auto conn = std::make_unique<Impl::Conn>();
    conn->owner = impl_.get();
    conn->fd = fd;
    conn->parked = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    conn->dev = st.st_dev;
    conn->ino = st.st_ino;
    conn->destination = address.sin_addr.s_addr;
    conn->port = ntohs(address.sin_port);
    std::memcpy(conn->mac.data(), destinationMac, 6);
    Impl::Conn* raw = conn.get();
    impl_->conns.push_back(std::move(conn));
    raw->source = impl_->sourceFor(link, ntohl(address.sin_addr.s_addr));
    if (raw->source->state == Impl::Source::Ready) {
        impl_->begin(*raw);
    } else if (raw->source->state == Impl::Source::Probing) {
        raw->source->waiting.push_back(raw);
    } else {
        impl_->closeConn(*raw, true);
    }
    impl_->notify();
    lastError = kWsaWouldBlock;
    return -1;
}
