// Two loopback ports that stand for misbehaving hosts:
//  - refusing: bound but never listening, so every connection attempt is reset (refused);
//  - silent: listening with a full accept queue, so the kernel drops every SYN and a connect
//    stays pending (SYN_SENT in the kernel's TCP table) until the caller gives up.
#pragma once

#include <cstdint>

namespace krzlab {

class LoopbackTraps {
  public:
    // Throws std::runtime_error when the loopback sockets cannot be made.
    LoopbackTraps();
    ~LoopbackTraps();
    LoopbackTraps(const LoopbackTraps&) = delete;
    LoopbackTraps& operator=(const LoopbackTraps&) = delete;

    uint16_t refusingPort() const { return refusingPort_; }
    uint16_t silentPort() const { return silentPort_; }

  private:
    int refusing_ = -1;
    int silent_ = -1;
    int filler_ = -1;  // the one connection that fills the silent listener's queue
    uint16_t refusingPort_ = 0;
    uint16_t silentPort_ = 0;
};

}  // namespace krzlab
