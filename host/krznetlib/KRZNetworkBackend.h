// The seam behind the network library: adapters, the packet driver, MAC-exact connections, the
// host ARP table. The backend is chosen by the setting KRZ_NETWORK:
//   "lab" (default): the emulated network, provided by the lab library (libkrzlab), which is
//                    loaded on first use and either joins a running lab (setting KRZ_LAB) or runs
//                    the built-in default lab in-process;
//   "system":        the machine's real adapters (Linux packet socket, kernel tables); only ever
//                    used when asked for by name;
//   "none":          no adapters, nothing reachable.
// Tests and in-process labs may install a backend directly with setActive.
#pragma once

#include "krzcompat/krzexport.h"
#include "krznetlib/KRZAdapterInfo.h"
#include "krznetlib/KRZNetworkLibrary.h"
#include "platform/krziphlp.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <map>
#include <vector>

class KRZNETLIB_API KRZNetworkBackend {
  public:
    virtual ~KRZNetworkBackend();

    virtual std::vector<KRZAdapterInfo> adapters() = 0;
    virtual KRZNdisStatus sendPacketDown(const KRZBuf& frame, const KRZMacAddress& adapterMac) = 0;
    // The driver's ARP table: address (network order) to MAC (KRZMacAddress::toUint64 form).
    virtual bool driverArpTable(std::map<uint32_t, uint64_t>& table) = 0;
    // The host ARP table as GetIpNetTable reports it.
    virtual std::vector<MIB_IPNETROW> hostArpTable() = 0;
    // Winsock connect convention; `lastError` receives the Winsock error for a -1 result.
    virtual int connect(SOCKET s, const sockaddr_in& address, int& lastError) = 0;
    virtual int connectVia(SOCKET s, const sockaddr_in& address, const KRZMacAddress& interfaceMac,
                           const KRZMacAddress& destinationMac, int& lastError) = 0;
    // Which adapter reaches a device with one of `macs` at `address`; false when none in time.
    virtual bool lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs,
                                 int timeoutMs, KRZMacAddress& interfaceMac) = 0;
    // Every device MAC that answered ARP for `address` through the adapter `interfaceMac`: more
    // than one where devices share the address, which the driver's table (one MAC an address)
    // cannot tell. The base gives the driver table's entry.
    virtual std::vector<KRZMacAddress> answersAt(const in_addr& address,
                                                 const KRZMacAddress& interfaceMac);
    // Whether a connection to a loopback address goes straight to the host's own loopback; else
    // it is offered to connect() like any other (a closed lab fails it unless it holds it).
    virtual bool passesLoopback() const { return true; }
    // The router this computer reaches other networks through (the default route's gateway), in
    // host order; 0 when there is none or the backend cannot tell.
    virtual uint32_t defaultGateway() { return 0; }

    // The active backend, chosen on first use by KRZ_NETWORK unless one was installed.
    static boost::shared_ptr<KRZNetworkBackend> active();
    // Whether a loopback connection goes straight to the host's loopback: the active backend's
    // answer, or before one is chosen, true unless the settings name a lab of its own (KRZ_LAB or
    // KRZ_LAB_FILE), so that a loopback connection alone never starts the built-in lab.
    static bool loopbackPassesStraight();
    // Installs a backend (null returns to the setting's choice on next use).
    static void setActive(const boost::shared_ptr<KRZNetworkBackend>& backend);

    // From now on a connect to `address` that names no MACs is carried through the adapter
    // `interfaceMac` to the device `destinationMac`, as a connect that names them is: a host that
    // found a device by its MAC (one of two at a factory address, say) reaches that one with the
    // library's own plain connections. An unset destination MAC forgets the address.
    static void carryTo(const in_addr& address, const KRZMacAddress& interfaceMac,
                        const KRZMacAddress& destinationMac);
    static bool carriedTo(const in_addr& address, KRZMacAddress& interfaceMac,
                          KRZMacAddress& destinationMac);

    // From now on a connect to `address` at port `from` goes to port `to` instead: a host that
    // reaches a device serving its pages on another port than the one the modules use (a router
    // emulated on the host's own machine, say). `to` equal to `from` forgets the redirect.
    static void redirectPort(const in_addr& address, uint16_t from, uint16_t to);
    // The port a connect to `address` at `port` goes to.
    static uint16_t portFor(const in_addr& address, uint16_t port);
};

// The backend with no adapters: nothing is reachable, every connect fails with 10065.
class KRZNETLIB_API KRZNullNetworkBackend : public KRZNetworkBackend {
  public:
    std::vector<KRZAdapterInfo> adapters() override;
    KRZNdisStatus sendPacketDown(const KRZBuf& frame, const KRZMacAddress& adapterMac) override;
    bool driverArpTable(std::map<uint32_t, uint64_t>& table) override;
    std::vector<MIB_IPNETROW> hostArpTable() override;
    int connect(SOCKET s, const sockaddr_in& address, int& lastError) override;
    int connectVia(SOCKET s, const sockaddr_in& address, const KRZMacAddress& interfaceMac,
                   const KRZMacAddress& destinationMac, int& lastError) override;
    bool lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs,
                         int timeoutMs, KRZMacAddress& interfaceMac) override;
};

// A lab library exports this C function; the network library calls it to make the "lab" backend.
extern "C" typedef KRZNetworkBackend* (*KRZCreateLabBackendFn)();
#define KRZ_LAB_BACKEND_FACTORY "krzCreateLabBackend"
