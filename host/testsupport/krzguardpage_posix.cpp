#include "testsupport/krzguardpage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace krztest {

namespace {

struct BlockHeader {
    void* base;
    size_t length;
};

const size_t kAlign = 16;

}  // namespace

void* guardedAlloc(size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t rounded = (size + kAlign - 1) / kAlign * kAlign;
    const size_t body = (rounded + sizeof(BlockHeader) + page - 1) / page * page;
    const size_t length = body + page;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        throw std::bad_alloc();
    }
    char* guard = static_cast<char*>(base) + body;
    mprotect(guard, page, PROT_NONE);
    char* block = guard - rounded;
    BlockHeader* header = reinterpret_cast<BlockHeader*>(block) - 1;
    header->base = base;
    header->length = length;
    return block;
}

void guardedFree(void* block) {
    if (block != nullptr) {
        BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
        munmap(header->base, header->length);
    }
}

}  // namespace krztest
