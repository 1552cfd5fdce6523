// A listening TCP socket that keeps its port to itself, for the program's own servers (krzpap ui).
#pragma once

#include <cstdint>

namespace krzlisten {

// Sets, on a socket that is open but not yet bound, the option that makes its port its own. On
// POSIX systems the port may be bound again while the last run's connections linger, which no
// live listener can share. On Windows no other socket may bind it at all: there the address-reuse
// option would let any program take the port over. False when the system refused the option.
bool guardListener(std::uintptr_t nativeSocket);

}  // namespace krzlisten
