#define KRZ_PLATFORM_IMPLEMENTATION
#include "krznetlib/KRZCarriedConnections.h"

#include "krznetlib/KRZAddressClaim.h"
#include "krznetlib/KRZArpCapture.h"
#include "krznetlib/KRZPacketSocket.h"
#include "krzutil/KRZArpFrame.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/ethernet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>

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

// Replaces the caller's descriptor, while it still is the parked socket, by `replacement`. A select
// that still waits on the parked socket is woken by shutting that down, and then finds the
// descriptor's new socket when it asks for the connect's error.
bool handOver(int fd, dev_t dev, ino_t ino, int replacement, int& parked) {
    bool done = sameFile(fd, dev, ino) && ::dup3(replacement, fd, O_CLOEXEC) >= 0;
    if (parked >= 0) {
        ::shutdown(parked, SHUT_RDWR);
        ::close(parked);
        parked = -1;
    }
    return done;
}

}  // namespace

struct KRZCarriedConnections::Impl {
    struct Conn;

    // One source address on one adapter: an lwIP interface with the adapter's MAC and an address
    // that nobody on the link uses, claimed by ARP probes first.
    struct Source {
        enum State { Probing, Ready, Failed };
        Impl* owner = nullptr;
        KRZPacketSocket* link = nullptr;
        netif nif{};
        uint32_t net = 0, mask = 0, address = 0;  // host order
        State state = Probing;
        std::unique_ptr<KRZAddressClaim> claim;
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

    KRZArpCapture& capture;
    std::function<void()> notify;

    // All guarded by lwIP's core lock.
    std::list<std::unique_ptr<Source>> sources;
    std::list<std::unique_ptr<Conn>> conns;
    std::vector<Conn*> polledConns;  // the link's thread only
    int parkListener = -1, parkFiller = -1, refuser = -1;
    sockaddr_in parkAddress{}, refuseAddress{};

    Impl(KRZArpCapture& arpCapture, std::function<void()> wake)
        : capture(arpCapture), notify(std::move(wake)) {}
    bool startParking();
    Source* sourceFor(KRZPacketSocket* link, uint32_t destination);
    void sendProbe(Source& source);
    void advanceClaim(Source& source, Clock::time_point now);
    void sourceReady(Source& source);
    void sourceFailed(Source& source);
    void dropFinishedConns(bool checkCallers);
    void begin(Conn& conn);
    void finishConnect(Conn& conn);
    void refuse(Conn& conn);
    void serviceBridge(Conn& conn, short revents);
    void flushToCaller(Conn& conn);
    void closeConn(Conn& conn, bool abort);

    static err_t netifInit(netif* nif);
    static err_t output(netif* nif, pbuf* p, const ip4_addr_t* destination);
    static err_t linkOutput(netif* nif, pbuf* p);
    static err_t onConnected(void* arg, tcp_pcb* pcb, err_t err);
    static err_t onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t err);
    static err_t onSent(void* arg, tcp_pcb* pcb, u16_t length);
    static void onError(void* arg, err_t err);
};

KRZCarriedConnections::KRZCarriedConnections(KRZArpCapture& capture, std::function<void()> wake)
    : impl_(new Impl(capture, std::move(wake))) {
    startLwip();
}

KRZCarriedConnections::~KRZCarriedConnections() {
    {
        CoreLock lock;
        for (auto& conn : impl_->conns) {
            impl_->closeConn(*conn, true);
        }
        impl_->conns.clear();
        for (auto& source : impl_->sources) {
            if (source->state == Impl::Source::Ready) {
                netif_remove(&source->nif);
            }
        }
        impl_->sources.clear();
    }
    for (int fd : {impl_->parkListener, impl_->parkFiller, impl_->refuser}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// ---- source addresses ----

// The source for a destination on an adapter: the adapter's network when the destination is in
// it, else the destination's /24 (a device at its factory address answers there).
KRZCarriedConnections::Impl::Source* KRZCarriedConnections::Impl::sourceFor(KRZPacketSocket* link,
                                                                            uint32_t destination) {
    const KRZPacketSocket::Adapter& adapter = link->adapter();
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
    std::set<uint32_t> known;
    for (const auto& entry : capture.driverTable()) {
        known.insert(ntohl(entry.first));
    }
    source->claim.reset(
        new KRZAddressClaim(net, mask, destination, adapter.address, known, Clock::now()));
    Source* raw = source.get();
    sources.push_back(std::move(source));
    if (raw->claim->start() == KRZAddressClaim::Probe) {
        sendProbe(*raw);
    } else {
        raw->state = Source::Failed;
    }
    notify();
    return raw;
}

void KRZCarriedConnections::Impl::sendProbe(Source& source) {
    unsigned char frame[KRZArpFrame::kRequestSize];
    KRZArpFrame::buildRequest(frame, source.link->adapter().mac, 0,
                              htonl(source.claim->candidate()));
    source.link->send(frame, sizeof frame);
}

void KRZCarriedConnections::Impl::advanceClaim(Source& source, Clock::time_point now) {
    bool taken = capture.claimedSince(source.claim->candidate(), source.claim->since());
    switch (source.claim->advance(now, taken)) {
        case KRZAddressClaim::Wait:
            break;
        case KRZAddressClaim::Probe:
            sendProbe(source);
            break;
        case KRZAddressClaim::Claimed:
            source.address = source.claim->address();
            sourceReady(source);
            break;
        case KRZAddressClaim::Exhausted:
            sourceFailed(source);
            break;
    }
}

void KRZCarriedConnections::Impl::sourceFailed(Source& source) {
    source.state = Source::Failed;
    for (Conn* conn : source.waiting) {
        closeConn(*conn, true);
    }
    source.waiting.clear();
}

void KRZCarriedConnections::Impl::sourceReady(Source& source) {
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

// ---- lwIP glue ----

err_t KRZCarriedConnections::Impl::netifInit(netif* nif) {
    Source* source = static_cast<Source*>(nif->state);
    nif->hwaddr_len = 6;
    std::memcpy(nif->hwaddr, source->link->adapter().mac, 6);
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
err_t KRZCarriedConnections::Impl::output(netif* nif, pbuf* p, const ip4_addr_t*) {
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

err_t KRZCarriedConnections::Impl::linkOutput(netif* nif, pbuf* p) {
    Source* source = static_cast<Source*>(nif->state);
    unsigned char frame[2048];
    if (p->tot_len > sizeof frame) {
        return ERR_BUF;
    }
    u16_t length = pbuf_copy_partial(p, frame, p->tot_len, 0);
    return source->link->send(frame, length, false) ? ERR_OK : ERR_IF;
}

void KRZCarriedConnections::input(KRZPacketSocket& link, const unsigned char* frame,
                                  size_t length) {
    if (length < 42) {
        return;
    }
    uint16_t type = be16(frame + 12);
    uint32_t target = 0;
    bool arp = type == ETH_P_ARP;
    if (arp) {
        if (be16(frame + 14) != 1 || be16(frame + 16) != ETH_P_IP || frame[18] != 6 ||
            frame[19] != 4) {
            return;
        }
        target = be32(frame + 38);
    } else if (type == ETH_P_IP) {
        target = be32(frame + 30);
    } else {
        return;
    }
    CoreLock core;
    for (auto& source : impl_->sources) {
        if (source->link != &link || source->state != Impl::Source::Ready ||
            source->address != target) {
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

void KRZCarriedConnections::Impl::begin(Conn& conn) {
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

err_t KRZCarriedConnections::Impl::onConnected(void* arg, tcp_pcb*, err_t) {
    Conn& conn = *static_cast<Conn*>(arg);
    conn.owner->finishConnect(conn);
    return conn.state == Conn::Connected ? ERR_OK : ERR_ABRT;
}

void KRZCarriedConnections::Impl::onError(void* arg, err_t err) {
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

err_t KRZCarriedConnections::Impl::onRecv(void* arg, tcp_pcb* pcb, pbuf* p, err_t) {
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

err_t KRZCarriedConnections::Impl::onSent(void* arg, tcp_pcb*, u16_t) {
    Conn& conn = *static_cast<Conn*>(arg);
    if (conn.sendBlocked) {
        conn.sendBlocked = false;
        conn.owner->notify();
    }
    return ERR_OK;
}

void KRZCarriedConnections::Impl::closeConn(Conn& conn, bool abort) {
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

// ---- descriptor hand-over ----

// The parking place: a loopback listener whose one-entry queue is full, so that a connect to it
// stays pending (its handshake is dropped) for as long as the carried one runs. The refuser is a
// bound port that nobody listens on.
bool KRZCarriedConnections::Impl::startParking() {
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

int KRZCarriedConnections::carry(int fd, const sockaddr_in& address, KRZPacketSocket& link,
                                 const unsigned char destinationMac[6], int& lastError) {
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
    raw->source = impl_->sourceFor(&link, ntohl(address.sin_addr.s_addr));
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

// The handshake is done: the caller's descriptor becomes one end of a socket pair, the other end
// is relayed. The descriptor is replaced only while it is still the parked socket.
void KRZCarriedConnections::Impl::finishConnect(Conn& conn) {
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
void KRZCarriedConnections::Impl::refuse(Conn& conn) {
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

// ---- relay ----

void KRZCarriedConnections::Impl::flushToCaller(Conn& conn) {
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
        notify();  // the link's thread waits for room
    }
}

void KRZCarriedConnections::Impl::serviceBridge(Conn& conn, short revents) {
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

// Forgets finished connections. A caller that gave up on a pending connect closed its descriptor:
// when checkCallers is set, such a one stops being carried.
void KRZCarriedConnections::Impl::dropFinishedConns(bool checkCallers) {
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

// ---- the link's thread ----

void KRZCarriedConnections::prepare(KRZPacketSocket& link, uint32_t destination) {
    CoreLock core;
    impl_->sourceFor(&link, destination);
}

bool KRZCarriedConnections::collectPolled(std::vector<pollfd>& pfds) {
    impl_->polledConns.clear();
    bool busy = false;
    CoreLock core;
    for (auto& source : impl_->sources) {
        busy = busy || source->state == Impl::Source::Probing;
    }
    for (auto& conn : impl_->conns) {
        busy = busy || conn->state != Impl::Conn::Connected;
        if (conn->bridge < 0 || conn->state != Impl::Conn::Connected) {
            continue;
        }
        short events = conn->sendBlocked ? 0 : POLLIN;
        if (!conn->toCaller.empty()) {
            events = static_cast<short>(events | POLLOUT);
        }
        pfds.push_back({conn->bridge, events, 0});
        impl_->polledConns.push_back(conn.get());
    }
    return busy;
}

void KRZCarriedConnections::service(const std::vector<pollfd>& pfds, size_t first,
                                    bool checkCallers) {
    CoreLock core;
    for (size_t i = 0; i < impl_->polledConns.size(); ++i) {
        if (pfds[first + i].revents != 0) {
            impl_->serviceBridge(*impl_->polledConns[i], pfds[first + i].revents);
        }
    }
    Clock::time_point now = Clock::now();
    for (auto& source : impl_->sources) {
        if (source->state == Impl::Source::Probing) {
            impl_->advanceClaim(*source, now);
        }
    }
    impl_->dropFinishedConns(checkCallers);
}
