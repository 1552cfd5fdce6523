/// \file
/// A six-byte MAC address by value.
#pragma once

#include "krzcompat/krzexport.h"

#include <cstdint>
#include <string>

/// A six-byte MAC address by value. A default-constructed address holds none (isSet() false).
/// A plain value type: copies are independent; no locking.
class KRZUTIL_API KRZMacAddress {
  public:
    /// No address.
    KRZMacAddress();
    /// The six bytes in wire order.
    explicit KRZMacAddress(const unsigned char bytes[6]);
    /// From the low 48 bits as they stand in memory on a little-endian machine: the first six
    /// bytes of the 64-bit value are the address in wire order.
    static KRZMacAddress fromUint64(uint64_t value);
    /// Copies the address.
    KRZMacAddress(const KRZMacAddress& other);
    /// Copies the address.
    KRZMacAddress& operator=(const KRZMacAddress& other);
    ~KRZMacAddress();

    /// Twelve hexadecimal digits, either case, with any of ":-. " between them. Throws
    /// KRZException (code 1) for anything else.
    static KRZMacAddress fromUtf8String(const std::string& text);

    /// False for a default-constructed address.
    bool isSet() const;
    /// Six bytes, all zero when not set.
    const unsigned char* getBytes() const;  // six bytes, all zero when not set
    /// The inverse of fromUint64.
    uint64_t toUint64() const;  // inverse of fromUint64
    /// "00:1A:2B:3C:4D:5E" (upper case, colons); empty when not set.
    std::wstring toHexString() const;
    /// As toHexString, narrow.
    std::string toUtf8String() const;

    /// Equal when the six bytes are equal.
    bool operator==(const KRZMacAddress& other) const;  // equal when the six bytes are equal
    /// Not equal.
    bool operator!=(const KRZMacAddress& other) const;
    /// An order for maps and sets.
    bool operator<(const KRZMacAddress& other) const;

  private:
    unsigned char bytes_[6];
    bool set_;
};
