#define KRZ_PLATFORM_IMPLEMENTATION
#include "krznetlib/KRZPacketLinks.h"

#include "krznetlib/KRZArpCapture.h"
#include "krznetlib/KRZCarriedConnections.h"
#include "krznetlib/KRZInterfaceList.h"
#include "krznetlib/KRZPacketSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const int kWsaHostUnreach = 10065;

}  // namespace

// The packet link ties the units together: the interface list, one packet socket per adapter,
// the ARP capture fed from every socket, and the carried connections, with one thread that
// reads the sockets and relays the carried connections' bridges.
//
// Locks, outermost first: lwIP's core lock (KRZCarriedConnections), then the ARP capture's
// mutex. The link table's `mutex` below and the interface list's are leaves taken alone: none is
// held while any other lock is taken, and none is taken under the core lock.
struct KRZPacketLinks::Impl {
    struct Link {
        std::unique_ptr<KRZPacketSocket> socket;
        std::atomic<bool> prepared{false};
    };

    KRZInterfaceList interfaces;
    KRZArpCapture capture;

    std::mutex mutex;  // links and lastFailure; a leaf
    std::map<int, std::unique_ptr<Link>> links;
    std::string lastFailure;

    int wake = -1;
    std::unique_ptr<KRZCarriedConnections> carried;  // from start() on
    std::atomic<bool> stop{false};
    std::thread pump;
    std::once_flag started;

    ~Impl();
    Link* linkFor(const Adapter& adapter);
    void start();
    void run();
    void notify() {
        uint64_t one = 1;
        ssize_t ignored = ::write(wake, &one, sizeof one);
        (void)ignored;
    }
};

KRZPacketLinks::Impl::~Impl() {
    stop = true;
    if (pump.joinable()) {
        notify();
        pump.join();
    }
    carried.reset();
    links.clear();
    if (wake >= 0) {
        ::close(wake);
    }
}

// The adapter's packet socket, opened on first use and kept.
KRZPacketLinks::Impl::Link* KRZPacketLinks::Impl::linkFor(const Adapter& adapter) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = links.find(adapter.index);
    if (found != links.end()) {
        return found->second.get();
    }
    std::string failure;
    std::unique_ptr<KRZPacketSocket> socket = KRZPacketSocket::open(adapter, failure);
    if (!socket) {
        lastFailure = failure;
        return nullptr;
    }
    auto link = std::make_unique<Link>();
    link->socket = std::move(socket);
    Link* raw = link.get();
    links.emplace(adapter.index, std::move(link));
    notify();
    return raw;
}

void KRZPacketLinks::Impl::start() {
    std::call_once(started, [this] {
        carried.reset(new KRZCarriedConnections(capture, [this] { notify(); }));
        pump = std::thread(&Impl::run, this);
    });
}

// Polls the wake descriptor, every link's socket and the carried connections' bridges; a frame
// goes to the ARP capture and then to the carried connections.
void KRZPacketLinks::Impl::run() {
    std::vector<pollfd> pfds;
    std::vector<KRZPacketSocket*> polledLinks;
    Clock::time_point lastCheck = Clock::now();
    while (!stop) {
        pfds.clear();
        polledLinks.clear();
        pfds.push_back({wake, POLLIN, 0});
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto& link : links) {
                pfds.push_back({link.second->socket->fd(), POLLIN, 0});
                polledLinks.push_back(link.second->socket.get());
            }
        }
        bool busy = carried->collectPolled(pfds);
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
                KRZPacketSocket& link = *polledLinks[i];
                link.receive([this, &link](const unsigned char* frame, size_t length) {
                    capture.note(frame, length, link.adapter().index);
                    carried->input(link, frame, length);
                });
            }
        }
        Clock::time_point now = Clock::now();
        bool check = now - lastCheck > std::chrono::milliseconds(200);
        carried->service(pfds, 1 + polledLinks.size(), check);
        if (check) {
            lastCheck = now;
        }
    }
}

KRZPacketLinks::KRZPacketLinks() : impl_(new Impl) {
    impl_->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

KRZPacketLinks::~KRZPacketLinks() = default;

std::vector<KRZPacketLinks::Adapter> KRZPacketLinks::adapters(bool refresh) {
    return impl_->interfaces.adapters(refresh);
}

bool KRZPacketLinks::adapterByMac(const unsigned char mac[6], Adapter& adapter) {
    return impl_->interfaces.byMac(mac, adapter);
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
        impl_->carried->prepare(*link->socket, adapter.address);
    }
    return link->socket->send(frame, length);
}

std::map<uint32_t, uint64_t> KRZPacketLinks::driverTable() {
    return impl_->capture.driverTable();
}

bool KRZPacketLinks::capturedOn(uint32_t address, const unsigned char mac[6], int& ifindex) {
    return impl_->capture.capturedOn(address, mac, ifindex);
}

std::string KRZPacketLinks::lastFailure() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->lastFailure;
}

std::vector<uint64_t> KRZPacketLinks::capturedAt(uint32_t address, int ifindex) {
    return impl_->capture.capturedAt(address, ifindex);
}

int KRZPacketLinks::carry(int fd, const sockaddr_in& address, const Adapter& adapter,
                          const unsigned char destinationMac[6], int& lastError) {
    impl_->start();
    Impl::Link* link = impl_->linkFor(adapter);
    if (link == nullptr) {
        lastError = kWsaHostUnreach;
        return -1;
    }
    return impl_->carried->carry(fd, address, *link->socket, destinationMac, lastError);
}
