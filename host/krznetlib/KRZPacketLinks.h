// The real link on Linux, for the "system" backend: one packet socket per Ethernet adapter, open
// for the life of the object, sending the sweep's frames and capturing ARP answers; and TCP
// connections carried to an exact MAC address by a user-space TCP/IP stack (lwIP) over the same
// packet sockets, so that neither the kernel's routes nor its neighbour table decide where they
// go, and neither is ever changed.
//
// A carried connection leaves the caller's socket handle a real descriptor: while the handshake
// runs it is a kernel socket whose loopback connect stays pending, then it becomes one end of a
// socket pair whose other end the link's thread relays to the carried connection. A refused
// connect becomes a loopback socket that was refused; a device that never answers leaves the
// handle pending, as a kernel connect to a silent host does.
//
// The work is split by job into units of their own: the interface list (KRZInterfaceList), one
// packet socket and its filter per adapter (KRZPacketSocket), the ARP capture (KRZArpCapture),
// the source-address claim (KRZAddressClaim) and the carried connections with their descriptor
// hand-over and relay (KRZCarriedConnections); this class ties them together with one thread.
//
// Internal to the network library; plain POSIX types only, so that no lwIP header leaks out.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <netinet/in.h>

class KRZPacketLinks {
  public:
    struct Adapter {
        std::string name;
        int index = 0;
        unsigned char mac[6] = {0};
        uint32_t address = 0;  // host byte order
        uint32_t mask = 0;
    };

    KRZPacketLinks();
    ~KRZPacketLinks();
    KRZPacketLinks(const KRZPacketLinks&) = delete;
    KRZPacketLinks& operator=(const KRZPacketLinks&) = delete;

    // Every Ethernet adapter with an IPv4 address; `refresh` lists them again.
    std::vector<Adapter> adapters(bool refresh);
    // The adapter with this MAC (cached list first, listed again on a miss).
    bool adapterByMac(const unsigned char mac[6], Adapter& adapter);

    // Sends a whole Ethernet frame through the adapter's packet socket; errno on false.
    bool sendFrame(const Adapter& adapter, const unsigned char* frame, size_t length);
    // Why the last adapter's packet socket could not be opened: the step and the system's reason
    // (e.g. "attaching the socket filter on eth0: Operation not permitted"); empty when none
    // failed. sendFrame and carry fail for that adapter (errno set), and try again next time.
    std::string lastFailure();
    // Addresses (network order) to MACs (6 bytes in the low bytes, KRZMacAddress order) from
    // every ARP answer captured so far, and the adapter each came in on.
    std::map<uint32_t, uint64_t> driverTable();
    // The adapter on which `mac` ever answered ARP for `address` (network order); two devices
    // may answer for one address.
    bool capturedOn(uint32_t address, const unsigned char mac[6], int& ifindex);
    // Every MAC (KRZMacAddress order) that ever answered ARP for `address` on the adapter.
    std::vector<uint64_t> capturedAt(uint32_t address, int ifindex);

    // Starts a TCP connection to `address` carried to `destinationMac` on the adapter. `fd` is the
    // caller's socket. Returns -1 with the Winsock error in lastError: 10035 when the connect is
    // under way (the descriptor then shows its outcome as a non-blocking connect does).
    int carry(int fd, const sockaddr_in& address, const Adapter& adapter,
              const unsigned char destinationMac[6], int& lastError);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
