#define KRZ_PLATFORM_IMPLEMENTATION
#include "krznetlib/KRZPacketSocket.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

uint16_t be16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// A frame from a sender on this machine (a veth peer) may still carry a partial TCP checksum that
// the kernel would complete in hardware; the carried connections' stack checks checksums, so it
// is completed here.
void completeChecksum(unsigned char* frame, size_t length) {
    if (length < 34 || be16(frame + 12) != ETH_P_IP || frame[23] != IPPROTO_TCP) {
        return;
    }
    size_t header = static_cast<size_t>(frame[14] & 0x0F) * 4;
    size_t total = be16(frame + 16);
    if (header < 20 || total < header + 20 || 14 + total > length) {
        return;
    }
    size_t segment = total - header;
    unsigned char* tcp = frame + 14 + header;
    tcp[16] = tcp[17] = 0;
    uint32_t sum = be16(frame + 26) + be16(frame + 28) + be16(frame + 30) + be16(frame + 32) +
                   IPPROTO_TCP + static_cast<uint32_t>(segment);
    for (size_t i = 0; i + 1 < segment; i += 2) {
        sum += be16(tcp + i);
    }
    if (segment % 2 != 0) {
        sum += static_cast<uint32_t>(tcp[segment - 1]) << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    uint16_t check = static_cast<uint16_t>(~sum);
    tcp[16] = static_cast<unsigned char>(check >> 8);
    tcp[17] = static_cast<unsigned char>(check);
}

// Closes `fd` and names the failed step with the system's reason, keeping errno.
std::nullptr_t fail(int fd, const char* step, const std::string& adapter, std::string& failure) {
    int err = errno;
    ::close(fd);
    failure = std::string(step) + " on " + adapter + ": " + std::strerror(err);
    errno = err;
    return nullptr;
}

}  // namespace

std::unique_ptr<KRZPacketSocket> KRZPacketSocket::open(const Adapter& adapter,
                                                       std::string& failure) {
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL));
    if (fd < 0) {
        int err = errno;
        failure = "opening a packet socket on " + adapter.name + ": " + std::strerror(err);
        errno = err;
        return nullptr;
    }
    int size = 4 << 20;  // a sweep's answers arrive in a burst
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    int one = 1;
    ::setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one);
    // Only ARP, and IPv4 not addressed to the adapter's own address (carried connections never
    // use it). Without the filter every frame the host sees would be copied here: no filter, no
    // socket.
    sock_filter code[] = {
        {BPF_LD | BPF_H | BPF_ABS, 0, 0, 12},
        {BPF_JMP | BPF_JEQ | BPF_K, 4, 0, ETH_P_ARP},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 2, ETH_P_IP},
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, 30},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, adapter.address},
        {BPF_RET | BPF_K, 0, 0, 0},
        {BPF_RET | BPF_K, 0, 0, 0xFFFF},
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
        return fail(fd, "attaching the socket filter", adapter.name, failure);
    }
    sockaddr_ll bindAddress{};
    bindAddress.sll_family = AF_PACKET;
    bindAddress.sll_protocol = htons(ETH_P_ALL);
    bindAddress.sll_ifindex = adapter.index;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0) {
        return fail(fd, "binding the packet socket", adapter.name, failure);
    }
    return std::unique_ptr<KRZPacketSocket>(new KRZPacketSocket(adapter, fd));
}

KRZPacketSocket::~KRZPacketSocket() {
    ::close(fd_);
}

bool KRZPacketSocket::send(const unsigned char* frame, size_t length, bool wait) {
    return ::send(fd_, frame, length, wait ? 0 : MSG_DONTWAIT) == static_cast<ssize_t>(length);
}

void KRZPacketSocket::receive(const std::function<void(const unsigned char*, size_t)>& handle) {
    unsigned char frame[2048];
    char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    for (int i = 0; i < 256; ++i) {
        sockaddr_ll from{};
        iovec io{frame, sizeof frame};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(fd_, &message, MSG_DONTWAIT);
        if (n <= 0) {
            return;
        }
        if (from.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                tpacket_auxdata aux;
                std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                if (aux.tp_status & TP_STATUS_CSUMNOTREADY) {
                    completeChecksum(frame, static_cast<size_t>(n));
                }
            }
        }
        handle(frame, static_cast<size_t>(n));
    }
}
