#include "krznetlib/KRZGetArpTable.h"

#include <cstring>

namespace {

const size_t kCountSize = 4;
const size_t kEntrySize = 12;

void appendLittleEndian(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
}

}  // namespace

size_t KRZArpMap::getSerializedSize() const {
    return kCountSize + kEntrySize * entries.size();
}

void KRZArpMap::serialize(std::string& out) const {
    appendLittleEndian(out, entries.size(), 4);
    for (const auto& entry : entries) {
        // The key's bytes as they stand in memory: the address in network order.
        char address[4];
        std::memcpy(address, &entry.first, 4);
        out.append(address, 4);
        appendLittleEndian(out, entry.second, 8);
    }
}

size_t KRZArpMap::deserialize(const unsigned char* data, size_t length) {
    entries.clear();
    if (length < kCountSize) {
        return 0;
    }
    int32_t count = static_cast<int32_t>(
        static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
        static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24);
    size_t used = kCountSize;
    for (int32_t i = 0; i < count; ++i) {
        if (length - used < kEntrySize) {
            return 0;
        }
        uint32_t address;
        std::memcpy(&address, data + used, 4);
        uint64_t mac = 0;
        for (int b = 0; b < 6; ++b) {
            mac |= static_cast<uint64_t>(data[used + 4 + b]) << (8 * b);
        }
        entries.emplace(address, mac);  // a repeated address keeps its first entry
        used += kEntrySize;
    }
    return used;
}

KRZGetArpTable::KRZGetArpTable() {
    addMember(&flags);
    addMember(&table);
}

KRZGetArpTable::KRZGetArpTable(const KRZGetArpTable& other)
    : KRZSerializeClass(other), flags(other.flags), table(other.table) {
    addMember(&flags);
    addMember(&table);
}

KRZGetArpTable& KRZGetArpTable::operator=(const KRZGetArpTable& other) {
    flags = other.flags;
    table = other.table;
    return *this;
}

KRZGetArpTable::~KRZGetArpTable() = default;
