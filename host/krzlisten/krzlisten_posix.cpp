#include "krzlisten/krzlisten.h"

#include <sys/socket.h>

namespace krzlisten {

bool guardListener(std::uintptr_t nativeSocket) {
    int on = 1;
    // SO_REUSEADDR only: SO_REUSEPORT would let a second listener share the port.
    return setsockopt(static_cast<int>(nativeSocket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) ==
           0;
}

}  // namespace krzlisten
