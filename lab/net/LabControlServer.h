// Serves the control protocol (LabControl.h) of one lab on 127.0.0.1 at an ephemeral port, one
// thread per client connection.
#pragma once

#include "lab/net/LabNetwork.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace krzlab {

class LabControlServer {
  public:
    // Starts serving at once. `onShutdown` runs (on a server thread) after a shutdown request
    // has been answered. Throws std::runtime_error when it cannot listen.
    LabControlServer(std::shared_ptr<LabNetwork> lab, std::function<void()> onShutdown);
    ~LabControlServer();  // stops serving and closes every client connection
    LabControlServer(const LabControlServer&) = delete;
    LabControlServer& operator=(const LabControlServer&) = delete;

    uint16_t port() const;
    // "127.0.0.1:<port>", the value of the setting KRZ_LAB that joins this lab.
    std::string address() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace krzlab
