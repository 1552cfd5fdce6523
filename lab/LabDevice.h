// One emulated device of the lab: its identity, its web administration (served on a loopback
// endpoint), its state, and its switchable faults. The lab's network (LabNetwork) decides what
// answers ARP and where a connection to the device's address and MAC is carried; the device
// serves whatever arrives at its endpoint.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace krzlab {

// Faults that can be switched on per device, from the lab description or from outside.
enum class Fault {
    None,
    Down,        // powered off: no ARP answer, connections fail as unreachable
    Refusing,    // answers ARP, refuses TCP connections to port 80
    Silent,      // answers ARP, TCP connects never complete
    Slow,        // answers, but sends every reply in small pieces with pauses (faultParam ms)
    CloseEarly,  // closes the connection in the middle of its reply
    Malformed,   // replies with bytes that are not HTTP (garbage, broken chunking)
    Flood,       // sends without end: header lines, a chunked body, or a body read to the close
    Reset        // resets the connection: right after the request, or in the middle of the reply
};

const char* faultName(Fault fault);
// Throws std::invalid_argument for an unknown name.
Fault faultFromName(const std::string& name);

struct WirelessSettings {
    std::string ssid;
    std::string security;    // "none", "wep", "wpa-psk", "wpa2-psk", "wpa-wpa2-psk"
    std::string encryption;  // "none", "wep64", "wep128", "tkip", "aes", "tkip-aes"
    std::string key;         // passphrase or WEP key text; empty for "none"
    bool operator==(const WirelessSettings& o) const {
        return ssid == o.ssid && security == o.security && encryption == o.encryption &&
               key == o.key;
    }
};

struct DeviceSpec {
    std::string name;      // unique name in the lab, e.g. "acme-1"
    std::string family;    // "acme", "borealis", "corvid", "printer", "nohttp"
    std::string model;     // e.g. "AP-100"
    std::string firmware;  // e.g. "1.2.3 build 4711"
    std::string address;   // dotted IPv4
    std::string mac;       // "02:00:00:00:00:01"
    std::string username;  // administrator credentials now
    std::string password;
    WirelessSettings wireless;
    // What a factory reset restores.
    std::string factoryAddress;
    std::string factoryUsername;
    std::string factoryPassword;
    WirelessSettings factoryWireless;
    Fault fault = Fault::None;
    int faultParam = 0;  // Slow: pause in milliseconds between pieces
    // A recording (krzpap record) that the device plays instead of emulating a family.
    std::string recording;
    // How a reboot looks from outside: "" (the web server is away: connections are refused),
    // "empty" or "reset" (the server keeps listening but answers every connection with an empty
    // reply or a reset, and a saved change takes effect only when the reboot is over).
    std::string restart;
    int restartMs = 0;  // how long a reboot lasts; 0: the device's own delay
    // Failed logins in a row after which the device refuses every login (0: never); families
    // with a login form only.
    int lockoutAfter = 0;
    // A family's own choices for this device (the lab file's "options"), e.g. how its pages'
    // script fills in the forms.
    std::map<std::string, std::string> options;
    // The certificate and key (PEM) the device serves HTTPS with, made by the device the first
    // time it is asked for HTTPS and forgotten by a factory reset, as routers make theirs at first
    // boot; kept with the settings so that every process sharing the lab shows the same one.
    std::string tlsCertificate;
    std::string tlsKey;

    // Takes the settings a device changes in use (address, credentials, wireless) from `stored`;
    // true when the address moved.
    bool adoptSettings(const DeviceSpec& stored) {
        bool moved = stored.address != address;
        address = stored.address;
        username = stored.username;
        password = stored.password;
        wireless = stored.wireless;
        tlsCertificate = stored.tlsCertificate;
        tlsKey = stored.tlsKey;
        return moved;
    }
};

// Keeps devices' settings in one store that every process running the same lab shares, so that
// a change made through one process is seen by the next request in any other (LabEmbedded.cpp).
class StateKeeper {
  public:
    virtual ~StateKeeper() = default;
    // Runs `operation` on device `name`'s settings as stored now, holding the store's lock across
    // processes; `operation` returns true when it changed them and they are to be stored. False
    // when the lock could not be had in time (the operation did not run) or the store could not
    // be written (its change is not kept).
    virtual bool transact(const std::string& name,
                          const std::function<bool(DeviceSpec& stored)>& operation) = 0;
};

// Whether two snapshots differ in what a device keeps across processes: address, credentials,
// wireless settings and HTTPS certificate.
bool sameStoredSettings(const DeviceSpec& a, const DeviceSpec& b);

class Device {
  public:
    // Makes the emulator for profile.family; throws std::invalid_argument for an unknown family.
    static std::unique_ptr<Device> create(const DeviceSpec& profile);
    virtual ~Device();

    // Serves on 127.0.0.1 at an ephemeral port; a restart keeps the port when it can.
    virtual void start() = 0;
    // Serves on `address` (dotted IPv4) at exactly `port` instead, as a daemon on a real link;
    // takes effect at the next start (stop first to move a running device). A device without a
    // web server has nothing to move.
    virtual void serveOn(const std::string& address, uint16_t port) {
        (void)address;
        (void)port;
    }
    virtual void stop() = 0;
    virtual bool running() const = 0;
    // The loopback endpoint; 0 when the device has no web server (family "nohttp") or is stopped.
    virtual uint16_t port() const = 0;
    // The loopback endpoint that serves the device's port `devicePort` (80, or its HTTPS port);
    // 0 when nothing serves it there.
    virtual uint16_t endpointFor(uint16_t devicePort) const {
        return devicePort == 80 ? port() : 0;
    }
    // The device's own HTTPS port (443, 8443), 0 when it serves no HTTPS.
    virtual uint16_t httpsPort() const { return 0; }
    // How many HTTP requests it has read since it was made, over either port: a test's evidence
    // that nothing reached it.
    virtual unsigned requestsRead() const { return 0; }

    // A snapshot of the current state (address, credentials, settings, fault).
    virtual DeviceSpec state() const = 0;
    virtual void setFault(Fault fault, int faultParam) = 0;
    // Restores the factory settings and moves to the factory address (notifies the listener).
    virtual void factoryReset() = 0;
    // Called (from a server thread) whenever the device's address changes, with the new address.
    virtual void setAddressListener(std::function<void(const std::string&)> listener) = 0;
    // Takes over the address, credentials and wireless settings of `stored` (another process's
    // change), telling the address listener when the address moves.
    virtual void adoptState(const DeviceSpec& stored) = 0;
    // From now on each request runs on the settings `keeper` holds and stores what it changes; a
    // device without a web server has no requests and ignores it.
    virtual void setStateKeeper(std::shared_ptr<StateKeeper> keeper) { (void)keeper; }
    // The targets of the POST requests the device served since it was made, the last 32: a
    // test's evidence of what was, and was not, posted to it.
    virtual std::vector<std::string> posted() const { return {}; }
};

}  // namespace krzlab
