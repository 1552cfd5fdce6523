// Claims a free source address in one network for the carried connections (RFC 5227 probes):
// candidates from the top of the network down, past the destination, the adapter's own address
// and every address known to be taken; each candidate gets two ARP probes (sender address 0, so
// that nobody learns anything) 100 ms apart and is claimed after 300 ms in all without anyone
// claiming it; a candidate that someone claims moves the claim on to the next one.
//
// Only the decisions live here: the caller sends the probes and tells whether the candidate was
// claimed by anyone. Internal to the network library, Linux only (KRZAddressClaim_linux.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

class KRZAddressClaim {
  public:
    using Clock = std::chrono::steady_clock;
    // What the caller does next: nothing yet; send a probe for candidate(); use address(); give
    // up (every candidate was taken, or there was none).
    enum Step { Wait, Probe, Claimed, Exhausted };

    static constexpr int kProbeGapMs = 100;
    static constexpr int kProbeWaitMs = 300;
    static constexpr size_t kCandidates = 16;

    // All addresses in host order; `known` holds the addresses seen taken.
    KRZAddressClaim(uint32_t net, uint32_t mask, uint32_t destination, uint32_t own,
                    const std::set<uint32_t>& known, Clock::time_point now);

    // The first step: Probe, or Exhausted when there is no candidate.
    Step start();
    // The next step at `now`; `taken` says whether anyone claimed candidate() since since().
    Step advance(Clock::time_point now, bool taken);

    uint32_t candidate() const { return candidates_[next_]; }
    Clock::time_point since() const { return probeStart_; }
    uint32_t address() const { return candidate(); }  // once Claimed

  private:
    std::vector<uint32_t> candidates_;
    size_t next_ = 0;
    Clock::time_point probeStart_;
    int probesSent_ = 0;
};
