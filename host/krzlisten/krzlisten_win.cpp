#include "krzlisten/krzlisten.h"

#include <winsock2.h>

namespace krzlisten {

bool guardListener(std::uintptr_t nativeSocket) {
    BOOL on = TRUE;
    return setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

}  // namespace krzlisten
