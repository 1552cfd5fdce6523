// The packet driver's ARP table: IPv4 address (network byte order) to a 64-bit value whose first
// six bytes in memory are the MAC address in wire order.
//
// Serialised form: one byte (`flags`), then the map: a 4-byte little-endian count (below 1 means
// none), then per entry the address's four bytes in network order and eight MAC bytes (the last
// two not read). Reading stops with 0 when the input ends inside a field (entries read so far
// stay); a repeated address keeps its first entry.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZSerialize.h"

#include <cstdint>
#include <map>

class KRZNETLIB_API KRZArpMap : public KRZSerializeInterface {
  public:
    std::map<uint32_t, uint64_t> entries;

    size_t getSerializedSize() const override;
    void serialize(std::string& out) const override;
    size_t deserialize(const unsigned char* data, size_t length) override;
};

class KRZNETLIB_API KRZGetArpTable : public KRZSerializeClass {
  public:
    KRZGetArpTable();
    KRZGetArpTable(const KRZGetArpTable& other);
    KRZGetArpTable& operator=(const KRZGetArpTable& other);
    ~KRZGetArpTable() override;

    KRZSerializeByte flags;  // starts at 0; not read by the library
    KRZArpMap table;
};
