// Heap blocks that end right before an inaccessible page, for tests that must catch a read past
// the end of a buffer at once (POSIX only: on Windows the library's own allocations go through the
// run-time DLL, which a test program cannot redirect).
#pragma once

#include <cstddef>

namespace krztest {

// A block of `size` bytes, 16-byte aligned, whose end touches a page that faults when touched.
// Throws std::bad_alloc when the system has no room.
void* guardedAlloc(size_t size);
// Frees a block from guardedAlloc (null is ignored).
void guardedFree(void* block);

}  // namespace krztest
