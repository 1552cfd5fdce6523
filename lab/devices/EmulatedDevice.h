// What every emulated device with a web server shares: its state under one lock, the loopback
// server, HTTP-level faults, reboots and the move to the factory address. A family supplies its
// pages through handle().
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "lab/LabDevice.h"
#include "lab/devices/HttpExchange.h"
#include "lab/devices/LoopbackServer.h"
#include "lab/devices/TlsFront.h"

namespace krzlab {

class EmulatedDevice : public Device {
  public:
    explicit EmulatedDevice(const DeviceSpec& profile);
    // A family's destructor must call stop() first: serving threads call into the family.
    ~EmulatedDevice() override;

    void start() override;
    void serveOn(const std::string& address, uint16_t port) override;
    void stop() override;
    bool running() const override;
    // 0 also while the device reboots (running() stays true then).
    uint16_t port() const override;
    uint16_t endpointFor(uint16_t devicePort) const override;
    uint16_t httpsPort() const override;
    unsigned requestsRead() const override;
    DeviceSpec state() const override;
    void setFault(Fault fault, int faultParam) override;
    void factoryReset() override;
    void setAddressListener(std::function<void(const std::string&)> listener) override;
    void adoptState(const DeviceSpec& stored) override;
    void setStateKeeper(std::shared_ptr<StateKeeper> keeper) override;
    std::vector<std::string> posted() const override;

    // How long a reboot lasts; the profile's restartMs, else 1500 ms, unless set.
    void setRestartDelay(int ms);
    bool restarting() const;
    // Waits until no reboot is in progress; false when `timeoutMs` passed first.
    bool waitWhileRestarting(int timeoutMs) const;

  protected:
    // One request, on a serving thread, with no lock held. Families lock mutex_ around state.
    virtual HttpReply handle(const HttpRequest& request) = 0;
    // The reply to bytes that are not an HTTP request.
    virtual HttpReply badRequest();
    // Family state beyond DeviceSpec that a factory reset restores; mutex_ is held.
    virtual void resetExtras() {}
    // Forgets what does not survive a reboot (sessions); mutex_ is held.
    virtual void onReboot() {}
    // The answer on port 80 of a device whose lab option "http" is "redirect": a redirect to the
    // same target on its HTTPS port (by default 301, with a short page).
    virtual HttpReply httpsRedirect(const HttpRequest& request);
    // https://HOST[:PORT]TARGET for `request`: the host it asked for (else the device's address),
    // the port left out where it is 443 unless `alwaysPort`.
    std::string httpsLocation(const HttpRequest& request, bool alwaysPort) const;

    // Starts a reboot from a serving thread: the listener closes at once, the reply under way can
    // still be sent, and the server listens again on the same port after the restart delay.
    void rebootSoon();
    // Restores factory settings with mutex_ held; returns the new address when it moved, else "".
    std::string resetLocked();
    // Calls the address listener (no lock held).
    void announceAddress(const std::string& address);

    mutable std::mutex mutex_;
    DeviceSpec spec_;

  private:
    void serveConnection(int fd, bool overTls);
    void serveTls(int fd);
    // The certificate to serve with: the one the device keeps, made now if it has none (and
    // stored through the state keeper, so that every process shows the same); null, with a line
    // on stderr, when the kept one is not usable.
    std::shared_ptr<const TlsIdentity> tlsIdentity();
    void startListening();  // mutex_ held
    // handle() on the settings as the state keeper has them, storing what it changed.
    HttpReply handleKept(const HttpRequest& request);
    // The state keeper (null: the device keeps its own state) and the name it keeps it under.
    std::shared_ptr<StateKeeper> keeperAndName(std::string& name) const;
    void comeBackLater();
    // While a reboot that keeps listening lasts: an empty reply or a reset, and true.
    bool refuseWhileRestarting(int fd);
    bool keepsListening() const { return !spec_.restart.empty(); }

    LoopbackServer server_;
    LoopbackServer tlsServer_;  // the HTTPS port, when the lab option "https" names one
    uint16_t httpsPort_ = 0;
    uint16_t lastTlsPort_ = 0;
    std::string plainMode_;  // lab option "http": "" (serve), "redirect" or "off"
    unsigned requestsRead_ = 0;
    std::shared_ptr<const TlsIdentity> identity_;  // under mutex_
    std::function<void(const std::string&)> addressListener_;
    std::shared_ptr<StateKeeper> keeper_;
    bool running_ = false;
    bool restarting_ = false;
    bool cancelRestart_ = false;
    int restartDelayMs_ = 1500;
    uint16_t lastPort_ = 0;
    unsigned replySerial_ = 0;
    std::vector<std::string> posted_;  // under mutex_
    std::thread restarter_;
    // The settings a reboot that keeps listening applies when it is over.
    std::unique_ptr<DeviceSpec> pending_;
    mutable std::condition_variable restartChanged_;
};

}  // namespace krzlab
