#include "krzutil/KRZArpFrame.h"

#include <cstring>

namespace {

const size_t kSenderMacAt = 22;
const size_t kSenderAt = 28;
const size_t kTargetMacAt = 32;
const size_t kTargetAt = 38;

}  // namespace

void KRZArpFrame::buildRequest(unsigned char frame[kRequestSize], const unsigned char senderMac[6],
                               uint32_t sender, uint32_t target) {
    // Ethernet: broadcast, from the sender, type ARP; ARP: Ethernet hardware (1), IPv4 (0x0800),
    // address lengths 6 and 4, operation request (1).
    static const unsigned char kHeader[] = {0x08, 0x06, 0x00, 0x01, 0x08,
                                            0x00, 0x06, 0x04, 0x00, 0x01};
    std::memset(frame, 0xFF, 6);
    std::memcpy(frame + 6, senderMac, 6);
    std::memcpy(frame + 12, kHeader, sizeof kHeader);
    std::memcpy(frame + kSenderMacAt, senderMac, 6);
    std::memcpy(frame + kSenderAt, &sender, 4);
    std::memset(frame + kTargetMacAt, 0, 6);
    setTarget(frame, target);
}

void KRZArpFrame::setTarget(unsigned char frame[kRequestSize], uint32_t target) {
    std::memcpy(frame + kTargetAt, &target, 4);
}
