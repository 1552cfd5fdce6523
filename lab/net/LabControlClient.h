// A lab reached through its control endpoint (LabControl.h): the link of a krzlab process as
// seen from another process. Connections themselves are still loopback connects made by the
// caller to the ports that resolve() names.
#pragma once

#include "lab/net/LabLink.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>
#include <string>

namespace krzlab {

class LabControlClient : public LabLink {
  public:
    // `address` is "127.0.0.1:<port>"; any other host is refused (std::invalid_argument), so a
    // lab setting can never send anything off this machine. Connects on first use.
    explicit LabControlClient(const std::string& address);
    ~LabControlClient() override;

    // One request and its answer; throws std::runtime_error when the lab cannot be reached.
    nlohmann::json request(const nlohmann::json& request);

    // LabLink: a lab that cannot be reached has no adapters, takes no frames and reaches nothing.
    std::vector<LabAdapter> adapters() override;
    uint32_t sendFrame(const std::string& frame, const MacBytes& adapterMac) override;
    bool driverTable(std::map<uint32_t, uint64_t>& table) override;
    std::vector<HostArpRow> hostTable() override;
    Route resolve(uint32_t address, uint16_t port, const MacBytes* interfaceMac,
                  const MacBytes* deviceMac) override;
    bool lookup(uint32_t address, const std::vector<MacBytes>& macs,
                MacBytes& interfaceMac) override;

  private:
    nlohmann::json checked(const nlohmann::json& request);

    unsigned short port_;
    std::mutex mutex_;
    struct Connection;
    std::unique_ptr<Connection> conn_;
};

}  // namespace krzlab
