/// \file
/// The packet driver's ARP table, as the driver hands it over.
#pragma once

#include "krzcompat/krzexport.h"
#include "krzutil/KRZSerialize.h"

#include <cstdint>
#include <map>

/// The table's entries: IPv4 address (network byte order) to a 64-bit value whose first six
/// bytes in memory are the MAC address in wire order (KRZMacAddress::fromUint64).
///
/// Serialised form: a 4-byte little-endian count (below 1 means none), then per entry the
/// address's four bytes in network order and eight MAC bytes (the last two not read). Reading
/// stops with 0 when the input ends inside a field (entries read so far stay); a repeated
/// address keeps its first entry.
class KRZNETLIB_API KRZArpMap : public KRZSerializeInterface {
  public:
    std::map<uint32_t, uint64_t> entries;  ///< Address to MAC, as above.

    /// 4 + 12 per entry.
    size_t getSerializedSize() const override;
    /// Appends the form above.
    void serialize(std::string& out) const override;
    /// Reads the form above.
    size_t deserialize(const unsigned char* data, size_t length) override;
};

/// The packet driver's reply to a request for its ARP table: one byte (`flags`), then the map.
/// A plain value type; no locking.
class KRZNETLIB_API KRZGetArpTable : public KRZSerializeClass {
  public:
    /// Flags 0, no entries.
    KRZGetArpTable();
    /// Copies the flags and the entries.
    KRZGetArpTable(const KRZGetArpTable& other);
    /// Copies the flags and the entries.
    KRZGetArpTable& operator=(const KRZGetArpTable& other);
    ~KRZGetArpTable() override;

    KRZSerializeByte flags;  ///< Starts at 0; not read by the library.
    KRZArpMap table;         ///< The entries.
};
