// One adapter's packet socket (ETH_P_ALL), opened once and kept for the life of the packet link:
// opening and closing one per frame costs milliseconds (the close waits for the kernel to
// quiesce). A socket filter lets in only ARP and IPv4 not addressed to the adapter's own address,
// so the host's own traffic is never copied into the process.
//
// Internal to the network library, Linux only (KRZPacketSocket_linux.cpp).
#pragma once

#include "krznetlib/KRZPacketLinks.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class KRZPacketSocket {
  public:
    using Adapter = KRZPacketLinks::Adapter;

    // Opens, filters and binds the adapter's socket (needs CAP_NET_RAW). On failure: null, errno
    // set, and `failure` naming the step and the system's reason (e.g. "attaching the socket
    // filter on eth0: Invalid argument"); a filter that does not attach is such a failure.
    static std::unique_ptr<KRZPacketSocket> open(const Adapter& adapter, std::string& failure);
    ~KRZPacketSocket();
    KRZPacketSocket(const KRZPacketSocket&) = delete;
    KRZPacketSocket& operator=(const KRZPacketSocket&) = delete;

    const Adapter& adapter() const { return adapter_; }
    int fd() const { return fd_; }

    // Sends a whole Ethernet frame; errno on false. `wait` false never blocks.
    bool send(const unsigned char* frame, size_t length, bool wait = true);
    // Hands each waiting frame that came in from outside (at most 256 per call) to `handle`,
    // with partial TCP checksums of local senders completed.
    void receive(const std::function<void(const unsigned char*, size_t)>& handle);

  private:
    KRZPacketSocket(const Adapter& adapter, int fd) : adapter_(adapter), fd_(fd) {}

    Adapter adapter_;
    int fd_;
};
