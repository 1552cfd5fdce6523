// TCP connections carried to an exact MAC by lwIP over the adapters' packet sockets, and the
// caller's descriptor handed over to them.
//
//  - lwIP glue: one lwIP interface per adapter and network, with the adapter's MAC and a source
//    address of its own (KRZAddressClaim); every outgoing segment goes to its connection's device
//    MAC by local port, and an incoming segment is taken only from that MAC.
//  - Hand-over: while the handshake runs the caller's socket is a kernel connect parked on a
//    loopback listener whose one-entry queue is full; then it becomes one end of a socket pair
//    whose other end the link's thread relays, or a loopback connect that was refused.
//
// Internal to the network library, Linux only (KRZCarriedConnections_linux.cpp); no lwIP type
// shows here.
//
// Locks: every member takes lwIP's core lock, which guards all of this unit's state (lwIP's
// callbacks run with it held). It is the outer lock: while it is held the ARP capture's mutex may
// be taken (the claim asks who claimed an address), never the other way round, and no other lock
// of the packet link (its link table, the interface list) is taken under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

class KRZArpCapture;
class KRZPacketSocket;

class KRZCarriedConnections {
  public:
    // Starts lwIP (once per process). `wake` wakes the link's thread, which polls the bridges
    // listed by collectPolled and then calls service.
    KRZCarriedConnections(KRZArpCapture& capture, std::function<void()> wake);
    // Aborts every connection and removes every lwIP interface; the link's thread has stopped.
    ~KRZCarriedConnections();
    KRZCarriedConnections(const KRZCarriedConnections&) = delete;
    KRZCarriedConnections& operator=(const KRZCarriedConnections&) = delete;

    // Starts claiming the source for `destination` (host order) on the link, so that it is ready
    // when a connection needs it.
    void prepare(KRZPacketSocket& link, uint32_t destination);
    // As KRZPacketLinks::carry.
    int carry(int fd, const sockaddr_in& address, KRZPacketSocket& link,
              const unsigned char destinationMac[6], int& lastError);
    // A frame that came in on the link: ARP or IPv4 for one of its sources goes to lwIP.
    void input(KRZPacketSocket& link, const unsigned char* frame, size_t length);

    // Appends each connected bridge that has room or data; true while a claim or a connect is
    // under way (the thread then polls more often).
    bool collectPolled(std::vector<pollfd>& pfds);
    // Relays the bridges polled from pfds[first] on, advances the claims, and forgets finished
    // connections; with `checkCallers`, also drops a pending one whose caller closed its socket.
    void service(const std::vector<pollfd>& pfds, size_t first, bool checkCallers);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
