// A network backend for tests: configurable adapters and devices, a packet driver that records
// every frame, decodes ARP requests and lets answering devices appear in its ARP table, and
// connections carried to loopback servers that stand in for the devices. Nothing leaves loopback.
//
// Use: make one, add adapters and devices, then install() it (KRZNetworkBackend::setActive);
// uninstall() (or setActive with null) in the test's tear-down.
//
// Connections: connect/connectVia find the device by address (and by MAC when one is given) and
// start a non-blocking connect of the caller's socket to 127.0.0.1:<port>. A device that refuses
// gets a loopback port with nothing listening (the failure arrives asynchronously, through
// select's except set); a silent device gets a listener whose backlog is full, so the connect
// stays pending (SYN_SENT) for good. An unknown destination fails at once with 10065.
#pragma once

#include "krznetlib/KRZAdapterInfo.h"
#include "krznetlib/KRZNetworkBackend.h"
#include "krznetlib/KRZNetworkLibrary.h"
#include "krzutil/KRZBuf.h"
#include "krzutil/KRZMacAddress.h"
#include "platform/krziphlp.h"

#include "ScriptedPeer.h"

#include <boost/shared_ptr.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class FakeNetworkBackend : public KRZNetworkBackend {
  public:
    struct Device {
        std::string address;  // dotted text
        KRZMacAddress mac;
        unsigned short port = 0;  // loopback port of the test server; 0: refuses
        // Loopback ports for connections to other device ports (443 to a TLS server), ahead of
        // `port`, `refuses` and `silent`; 0 refuses.
        std::map<unsigned short, unsigned short> ports;
        bool answersArp = true;
        bool refuses = false;  // connection refused (asynchronously)
        bool silent = false;   // connection never completes
        int arpDelayMs = 0;    // the answer shows in the driver table this much later
    };

    struct SentFrame {
        KRZBuf frame;
        KRZMacAddress adapterMac;
        std::chrono::steady_clock::time_point when;
    };

    // A decoded ARP request (addresses in network byte order).
    struct ArpRequest {
        KRZMacAddress senderMac;
        uint32_t senderIp;
        uint32_t targetIp;
    };

    struct ConnectAttempt {
        uint32_t address;  // network byte order
        KRZMacAddress interfaceMac;
        KRZMacAddress destinationMac;
        bool known;  // a device was found for it
        std::chrono::steady_clock::time_point when;
        unsigned short port = 0;  // the device port asked for
    };

    FakeNetworkBackend();
    ~FakeNetworkBackend() override;
    FakeNetworkBackend(const FakeNetworkBackend&) = delete;
    FakeNetworkBackend& operator=(const FakeNetworkBackend&) = delete;

    // ---- set-up ----
    void addAdapter(const std::string& name, unsigned long index, const std::string& address,
                    const std::string& mask, const KRZMacAddress& mac);
    void addDevice(const Device& device);
    void addHostArpRow(unsigned long index, const std::string& address, const KRZMacAddress& mac,
                       DWORD type = MIB_IPNET_TYPE_DYNAMIC);
    // Puts an entry into the driver's ARP table at once, asked for or not.
    void addDriverArpEntry(const std::string& address, const KRZMacAddress& mac);
    // The next `count` sends return `status` without taking the frame.
    void failNextSends(KRZNdisStatus status, int count);
    // When false, driverArpTable() fails and leaves the table alone.
    void setDriverTableReadable(bool readable);
    // Called after each send with the number of frames taken or refused so far (outside the lock).
    void setSendHook(std::function<void(size_t sendCount)> hook);
    // Called after each connect or connectVia with the number of attempts so far (outside the
    // lock, on the connecting thread).
    void setConnectHook(std::function<void(size_t connectCount)> hook);

    void install();
    static void uninstall();

    // ---- observation ----
    std::vector<SentFrame> sentFrames() const;     // every frame handed to sendPacketDown
    std::vector<uint32_t> askedAddresses() const;  // targets of valid requests that were taken
    size_t sendCount() const;
    size_t invalidFrameCount() const;
    size_t tableReadCount() const;
    std::vector<ConnectAttempt> connectAttempts() const;
    void clearRecords();

    // ---- helpers ----
    static KRZMacAddress mac(const std::string& text);
    static uint32_t ip(const std::string& dotted);  // network byte order
    static unsigned long hostOrder(const std::string& dotted);
    // True when `frame` is a well-formed 42-byte broadcast ARP request from `adapterMac`.
    static bool decodeArpRequest(const KRZBuf& frame, const KRZMacAddress& adapterMac,
                                 ArpRequest& out);

    // ---- KRZNetworkBackend ----
    std::vector<KRZAdapterInfo> adapters() override;
    KRZNdisStatus sendPacketDown(const KRZBuf& frame, const KRZMacAddress& adapterMac) override;
    bool driverArpTable(std::map<uint32_t, uint64_t>& table) override;
    std::vector<MIB_IPNETROW> hostArpTable() override;
    int connect(SOCKET s, const sockaddr_in& address, int& lastError) override;
    int connectVia(SOCKET s, const sockaddr_in& address, const KRZMacAddress& interfaceMac,
                   const KRZMacAddress& destinationMac, int& lastError) override;
    bool lookupInterface(const in_addr& address, const std::vector<KRZMacAddress>& macs,
                         int timeoutMs, KRZMacAddress& interfaceMac) override;

  private:
    struct DriverEntry {
        uint64_t mac;
        std::chrono::steady_clock::time_point visibleFrom;
    };

    const Device* findDevice(uint32_t address, const KRZMacAddress& mac) const;
    int carry(SOCKET s, const sockaddr_in& address, const KRZMacAddress& interfaceMac,
              const KRZMacAddress& destinationMac, int& lastError);
    void makeLoopbackPorts();

    mutable std::mutex mutex_;
    std::vector<KRZAdapterInfo> adapters_;
    std::vector<Device> devices_;
    std::vector<MIB_IPNETROW> hostRows_;
    std::map<uint32_t, DriverEntry> driverTable_;
    std::vector<SentFrame> frames_;
    std::vector<uint32_t> asked_;
    std::vector<ConnectAttempt> connects_;
    KRZNdisStatus failStatus_;
    int failCount_;
    bool tableReadable_;
    size_t invalidFrames_;
    size_t tableReads_;
    std::function<void(size_t)> sendHook_;
    std::function<void(size_t)> connectHook_;

    RefusingPort refusing_;
    int silentListener_;  // backlog full: connects to its port stay pending
    int silentFiller_;
    unsigned short silentPort_;
};
