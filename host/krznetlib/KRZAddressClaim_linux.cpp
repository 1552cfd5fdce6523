#include "krznetlib/KRZAddressClaim.h"

KRZAddressClaim::KRZAddressClaim(uint32_t net, uint32_t mask, uint32_t destination, uint32_t own,
                                 const std::set<uint32_t>& known, Clock::time_point now)
    : probeStart_(now) {
    uint32_t broadcast = net | ~mask;
    for (uint32_t candidate = broadcast - 1; candidate > net && candidates_.size() < kCandidates;
         --candidate) {
        if (candidate != destination && candidate != own && known.count(candidate) == 0) {
            candidates_.push_back(candidate);
        }
    }
}

KRZAddressClaim::Step KRZAddressClaim::start() {
    if (candidates_.empty()) {
        return Exhausted;
    }
    ++probesSent_;
    return Probe;
}

KRZAddressClaim::Step KRZAddressClaim::advance(Clock::time_point now, bool taken) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - probeStart_);
    if (taken) {
        if (next_ + 1 == candidates_.size()) {
            return Exhausted;
        }
        ++next_;
        probeStart_ = now;
        probesSent_ = 1;
        return Probe;
    }
    if (probesSent_ < 2 && elapsed.count() >= kProbeGapMs) {
        ++probesSent_;
        return Probe;
    }
    if (elapsed.count() >= kProbeWaitMs) {
        return Claimed;
    }
    return Wait;
}
