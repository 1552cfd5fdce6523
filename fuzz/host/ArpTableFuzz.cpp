// Arbitrary bytes as the packet driver's ARP table in its serialised form. Reading must never
// claim more bytes than it was given, and what it read must survive a write and a second read.
#include "krznetlib/KRZGetArpTable.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KRZGetArpTable table;
    size_t used = table.deserialize(data, size);
    if (used > size)
        __builtin_trap();
    if (used == 0)
        return 0;
    std::string written;
    table.serialize(written);
    if (written.size() != table.getSerializedSize())
        __builtin_trap();
    KRZGetArpTable again;
    if (again.deserialize(reinterpret_cast<const unsigned char*>(written.data()), written.size()) !=
            written.size() ||
        again.flags.value != table.flags.value || again.table.entries != table.table.entries)
        __builtin_trap();
    return 0;
}
