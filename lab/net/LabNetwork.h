// The simulated link: owns the lab's devices, answers ARP requests on each adapter's link with a
// short per-device delay, keeps the driver's and the host's ARP tables, and decides where a
// connection to a lab address is carried (the device's loopback endpoint, a port that refuses,
// a port that never completes the handshake, or nowhere).
//
// Thread-safe. Devices are made once and live as long as the network; their address may change
// (factory reset), which they report through their address listener.
#pragma once

#include "lab/LabDevice.h"
#include "lab/net/LabDescription.h"
#include "lab/net/LabLink.h"

#include <boost/shared_ptr.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class KRZNetworkBackend;

namespace krzlab {

using DeviceFactory = std::function<std::unique_ptr<Device>(const DeviceSpec&)>;

struct DeviceStatus {
    DeviceSpec state;  // the device's own snapshot
    std::string adapter;
    bool running = false;
    uint16_t port = 0;
    std::vector<std::string> posted;  // the targets of the last POST requests it served
    uint16_t httpsPort = 0;           // the device's HTTPS port (443), 0 when it has none
    uint16_t tlsPort = 0;             // the loopback endpoint serving it, 0 when away
    unsigned requestsRead = 0;        // HTTP requests it read, over either port
    Fault linkFault = Fault::None;    // the fault as the link applies it
};

class LabNetwork : public LabLink, public std::enable_shared_from_this<LabNetwork> {
  public:
    // Makes and starts every device (Device::create unless a factory is given). Throws
    // std::invalid_argument for a description that cannot run.
    static std::shared_ptr<LabNetwork> create(const LabDescription& description,
                                              DeviceFactory factory = DeviceFactory());
    ~LabNetwork() override;
    LabNetwork(const LabNetwork&) = delete;
    LabNetwork& operator=(const LabNetwork&) = delete;

    // A network backend carried by this lab; it keeps the lab alive.
    boost::shared_ptr<KRZNetworkBackend> backend();
    // Makes backend() the process's active network backend.
    void install();

    // Device control by name; each throws std::out_of_range for an unknown name.
    void stopDevice(const std::string& name);
    void startDevice(const std::string& name);
    void setFault(const std::string& name, Fault fault, int param);
    void factoryReset(const std::string& name);
    DeviceStatus status(const std::string& name) const;
    std::vector<std::string> deviceNames() const;
    Device& device(const std::string& name);

    // LabLink
    std::vector<LabAdapter> adapters() override;
    uint32_t sendFrame(const std::string& frame, const MacBytes& adapterMac) override;
    bool driverTable(std::map<uint32_t, uint64_t>& table) override;
    std::vector<HostArpRow> hostTable() override;
    Route resolve(uint32_t address, uint16_t port, const MacBytes* interfaceMac,
                  const MacBytes* deviceMac) override;
    bool devicesAt(uint32_t address, const MacBytes& adapterMac,
                   std::vector<MacBytes>& macs) override;
    bool lookup(uint32_t address, const std::vector<MacBytes>& macs,
                MacBytes& interfaceMac) override;

    // How long device `name` takes to answer ARP (deterministic per MAC, 5 to 50 ms).
    std::chrono::milliseconds arpDelay(const std::string& name) const;
    uint16_t refusingPort() const;
    uint16_t silentPort() const;

  private:
    struct Node;
    struct Answer;
    struct Impl;
    explicit LabNetwork(const LabDescription& description, const DeviceFactory& factory);
    size_t indexOf(const std::string& name) const;
    bool live(size_t node) const;
    void settle();

    std::unique_ptr<Impl> impl_;
};

}  // namespace krzlab
