#include "lab/net/LabNetwork.h"

#include "lab/net/LabBackend.h"
#include "lab/net/LoopbackTraps.h"

#include "krznetlib/KRZNetworkBackend.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace krzlab {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

bool checkArpRequest(const std::string& frame, const MacBytes& adapterMac, uint32_t& target) {
    if (frame.size() != 42)
        return false;
    const auto* f = reinterpret_cast<const uint8_t*>(frame.data());
    auto u16 = [f](size_t at) { return static_cast<unsigned>(f[at] << 8 | f[at + 1]); };
    for (size_t i = 0; i < 6; ++i)
        if (f[i] != 0xFF || f[6 + i] != adapterMac[i] || f[22 + i] != adapterMac[i])
            return false;
    if (u16(12) != 0x0806 || u16(14) != 1 || u16(16) != 0x0800 || f[18] != 6 || f[19] != 4 ||
        u16(20) != 1)
        return false;
    target = static_cast<uint32_t>(f[38]) << 24 | static_cast<uint32_t>(f[39]) << 16 |
             static_cast<uint32_t>(f[40]) << 8 | f[41];
    return true;
}

struct LabNetwork::Node {
    std::string name;
    MacBytes mac{};
    size_t adapter = 0;
    std::chrono::milliseconds delay{0};
    std::unique_ptr<Device> device;
};

// An ARP answer on its way to the driver.
struct LabNetwork::Answer {
    Clock::time_point due;
    uint64_t order;  // ties on `due` go to the earlier request and the earlier device
    size_t adapter;
    uint32_t address;  // host order
    MacBytes mac;
};

struct LabNetwork::Impl {
    std::vector<LabAdapter> adapters;
    std::vector<Node> nodes;  // fixed after construction
    LoopbackTraps traps;

    mutable std::mutex mutex;         // guards everything below; never held while calling a device
    std::vector<uint32_t> addresses;  // current address of each node, host order
    std::vector<Fault> faults;
    std::vector<Answer> pending;
    uint64_t nextOrder = 0;
    std::map<uint32_t, uint64_t> driver;                     // network order -> MAC
    std::map<std::pair<uint32_t, uint32_t>, MacBytes> host;  // (adapter index, address) -> MAC
};

std::shared_ptr<LabNetwork> LabNetwork::create(const LabDescription& description,
                                               DeviceFactory factory) {
    if (!factory)
        factory = [](const DeviceSpec& profile) { return Device::create(profile); };
    std::shared_ptr<LabNetwork> lab(new LabNetwork(description, factory));
    for (Node& n : lab->impl_->nodes)
        n.device->start();
    return lab;
}

LabNetwork::LabNetwork(const LabDescription& description, const DeviceFactory& factory)
    : impl_(new Impl) {
    for (const AdapterSpec& a : description.adapters) {
        LabAdapter la;
        la.name = a.name;
        la.index = a.index;
        if (!parseIpv4(a.address, la.address) || !parseIpv4(a.mask, la.mask) ||
            !parseMac(a.mac, la.mac) || (!a.gateway.empty() && !parseIpv4(a.gateway, la.gateway)))
            throw std::invalid_argument("adapter " + a.name + ": bad address, mask or MAC");
        impl_->adapters.push_back(la);
    }
    if (impl_->adapters.empty())
        throw std::invalid_argument("a lab needs at least one adapter");

    auto linkOf = [this](const LabDeviceEntry& e) -> size_t {
        const auto& ads = impl_->adapters;
        for (size_t i = 0; i < ads.size(); ++i)
            if (ads[i].name == e.adapter)
                return i;
        if (!e.adapter.empty())
            throw std::invalid_argument("unknown adapter " + e.adapter);
        for (const std::string& text : {e.profile.address, e.profile.factoryAddress}) {
            uint32_t a;
            if (!parseIpv4(text, a))
                continue;
            for (size_t i = 0; i < ads.size(); ++i)
                if ((a & ads[i].mask) == (ads[i].address & ads[i].mask))
                    return i;
        }
        return 0;
    };

    for (const LabDeviceEntry& e : description.devices) {
        Node n;
        n.name = e.profile.name;
        uint32_t address;
        if (!parseMac(e.profile.mac, n.mac) || !parseIpv4(e.profile.address, address))
            throw std::invalid_argument("device " + e.profile.name + ": bad address or MAC");
        n.adapter = linkOf(e);
        // FNV-1a over the MAC: every device keeps its own answer time from run to run.
        uint32_t h = 2166136261u;
        for (uint8_t b : n.mac)
            h = (h ^ b) * 16777619u;
        n.delay = std::chrono::milliseconds(5 + h % 46);
        n.device = factory(e.profile);
        if (!n.device)
            throw std::invalid_argument("no emulator for device " + e.profile.name);
        impl_->nodes.push_back(std::move(n));
        impl_->addresses.push_back(address);
        impl_->faults.push_back(e.profile.fault);
    }
    for (size_t i = 0; i < impl_->nodes.size(); ++i) {
        Impl* impl = impl_.get();
        impl_->nodes[i].device->setAddressListener([impl, i](const std::string& text) {
            uint32_t a;
            if (!parseIpv4(text, a))
                return;
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->addresses[i] = a;
        });
    }
}

LabNetwork::~LabNetwork() {
    for (Node& n : impl_->nodes)
        n.device->setAddressListener([](const std::string&) {});
    for (Node& n : impl_->nodes)
        n.device->stop();
}

boost::shared_ptr<KRZNetworkBackend> LabNetwork::backend() {
    return boost::shared_ptr<KRZNetworkBackend>(new LabBackend(shared_from_this()));
}

void LabNetwork::install() {
    KRZNetworkBackend::setActive(backend());
}

size_t LabNetwork::indexOf(const std::string& name) const {
    for (size_t i = 0; i < impl_->nodes.size(); ++i)
        if (impl_->nodes[i].name == name)
            return i;
    throw std::out_of_range("no device named " + name);
}

Device& LabNetwork::device(const std::string& name) {
    return *impl_->nodes[indexOf(name)].device;
}

void LabNetwork::stopDevice(const std::string& name) {
    device(name).stop();
}

void LabNetwork::startDevice(const std::string& name) {
    device(name).start();
}

void LabNetwork::setFault(const std::string& name, Fault fault, int param) {
    size_t i = indexOf(name);
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->faults[i] = fault;
    }
    impl_->nodes[i].device->setFault(fault, param);
}

void LabNetwork::factoryReset(const std::string& name) {
    device(name).factoryReset();
}

DeviceStatus LabNetwork::status(const std::string& name) const {
    size_t i = indexOf(name);
    const Node& n = impl_->nodes[i];
    DeviceStatus s;
    s.state = n.device->state();
    s.adapter = impl_->adapters[n.adapter].name;
    s.running = n.device->running();
    s.port = n.device->port();
    s.posted = n.device->posted();
    s.httpsPort = n.device->httpsPort();
    s.tlsPort = n.device->endpointFor(s.httpsPort);
    s.requestsRead = n.device->requestsRead();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    s.linkFault = impl_->faults[i];
    return s;
}

std::vector<std::string> LabNetwork::deviceNames() const {
    std::vector<std::string> names;
    for (const Node& n : impl_->nodes)
        names.push_back(n.name);
    return names;
}

std::chrono::milliseconds LabNetwork::arpDelay(const std::string& name) const {
    return impl_->nodes[indexOf(name)].delay;
}

uint16_t LabNetwork::refusingPort() const {
    return impl_->traps.refusingPort();
}
uint16_t LabNetwork::silentPort() const {
    return impl_->traps.silentPort();
}

std::vector<LabAdapter> LabNetwork::adapters() {
    return impl_->adapters;
}

bool LabNetwork::live(size_t node) const {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->faults[node] == Fault::Down)
            return false;
    }
    const Device& device = *impl_->nodes[node].device;
    if (!device.running())
        return false;
    // A web device without a listening port is rebooting: like a real one it answers nothing
    // until it is back, so a host sees it as unreachable rather than refusing.
    return device.port() != 0 || device.state().family == "nohttp";
}

uint32_t LabNetwork::sendFrame(const std::string& frame, const MacBytes& adapterMac) {
    const auto& ads = impl_->adapters;
    auto adapter = std::find_if(ads.begin(), ads.end(),
                                [&](const LabAdapter& a) { return a.mac == adapterMac; });
    if (adapter == ads.end())
        return kStatusAdapterNotFound;
    uint32_t target;
    if (!checkArpRequest(frame, adapterMac, target))
        return kStatusInvalidPacket;
    size_t link = static_cast<size_t>(adapter - ads.begin());

    std::vector<size_t> candidates;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        // The driver asks afresh: what it knew about the address is replaced by the new answers.
        impl_->driver.erase(htonl(target));
        for (size_t i = 0; i < impl_->nodes.size(); ++i)
            if (impl_->nodes[i].adapter == link && impl_->addresses[i] == target)
                candidates.push_back(i);
    }
    Clock::time_point now = Clock::now();
    std::vector<Answer> answers;
    for (size_t i : candidates)
        if (live(i))
            answers.push_back(
                Answer{now + impl_->nodes[i].delay, 0, link, target, impl_->nodes[i].mac});
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (Answer& a : answers) {
        a.order = impl_->nextOrder++;
        impl_->pending.push_back(a);
    }
    return kStatusSuccess;
}

// Moves the answers whose time has come into the tables. Caller holds the mutex.
void LabNetwork::settle() {
    Clock::time_point now = Clock::now();
    auto& pending = impl_->pending;
    auto arrived = std::stable_partition(pending.begin(), pending.end(),
                                         [now](const Answer& a) { return a.due > now; });
    std::sort(arrived, pending.end(), [](const Answer& a, const Answer& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    for (auto it = arrived; it != pending.end(); ++it) {
        impl_->driver.emplace(htonl(it->address), macToUint64(it->mac));
        impl_->host[{impl_->adapters[it->adapter].index, it->address}] = it->mac;
    }
    pending.erase(arrived, pending.end());
}

bool LabNetwork::driverTable(std::map<uint32_t, uint64_t>& table) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    settle();
    table = impl_->driver;
    return true;
}

std::vector<HostArpRow> LabNetwork::hostTable() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    settle();
    std::vector<HostArpRow> rows;
    for (const auto& [key, mac] : impl_->host)
        rows.push_back(HostArpRow{key.first, key.second, mac});
    return rows;
}

Route LabNetwork::resolve(uint32_t address, uint16_t port, const MacBytes* interfaceMac,
                          const MacBytes* deviceMac) {
    const auto& ads = impl_->adapters;
    size_t link = ads.size();
    if (interfaceMac) {
        for (link = 0; link < ads.size() && ads[link].mac != *interfaceMac; ++link) {
        }
        if (link == ads.size())
            return Route{};
    }
    size_t found = impl_->nodes.size();
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (size_t i = 0; i < impl_->nodes.size() && found == impl_->nodes.size(); ++i) {
            const Node& n = impl_->nodes[i];
            if (impl_->addresses[i] == address && (!interfaceMac || n.adapter == link) &&
                (!deviceMac || n.mac == *deviceMac))
                found = i;
        }
    }
    if (found == impl_->nodes.size() || !live(found))
        return Route{};
    const Node& n = impl_->nodes[found];
    uint16_t devicePort = n.device->endpointFor(port);
    Fault fault;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        // The host learns the MAC of every device it talks to.
        impl_->host[{ads[n.adapter].index, address}] = n.mac;
        fault = impl_->faults[found];
    }
    if (fault == Fault::Silent)
        return Route{true, silentPort()};
    if (fault == Fault::Refusing || devicePort == 0)
        return Route{true, refusingPort()};
    return Route{true, devicePort};
}

bool LabNetwork::lookup(uint32_t address, const std::vector<MacBytes>& macs,
                        MacBytes& interfaceMac) {
    std::vector<size_t> candidates;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (size_t i = 0; i < impl_->nodes.size(); ++i)
            if (impl_->addresses[i] == address &&
                std::find(macs.begin(), macs.end(), impl_->nodes[i].mac) != macs.end())
                candidates.push_back(i);
    }
    for (size_t i : candidates) {
        if (!live(i))
            continue;
        interfaceMac = impl_->adapters[impl_->nodes[i].adapter].mac;
        return true;
    }
    return false;
}

bool LabNetwork::devicesAt(uint32_t address, const MacBytes& adapterMac,
                           std::vector<MacBytes>& macs) {
    std::vector<size_t> candidates;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (size_t i = 0; i < impl_->nodes.size(); ++i)
            if (impl_->addresses[i] == address &&
                impl_->adapters[impl_->nodes[i].adapter].mac == adapterMac)
                candidates.push_back(i);
    }
    macs.clear();
    for (size_t i : candidates)
        if (live(i))
            macs.push_back(impl_->nodes[i].mac);
    return true;
}

}  // namespace krzlab
