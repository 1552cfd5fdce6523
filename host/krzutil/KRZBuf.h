// A byte buffer.
#pragma once

#include "krzcompat/krzexport.h"

#include <cstddef>
#include <string>

class KRZUTIL_API KRZBuf {
  public:
    KRZBuf();
    explicit KRZBuf(size_t size);  // zero-filled
    KRZBuf(const void* data, size_t size);
    explicit KRZBuf(const std::string& bytes);
    KRZBuf(const KRZBuf& other);
    KRZBuf& operator=(const KRZBuf& other);
    ~KRZBuf();

    unsigned char* data();
    const unsigned char* data() const;
    size_t size() const;
    const std::string& bytes() const;
    // Two lower-case hexadecimal digits per byte, in byte order, no separators.
    std::wstring toHexString() const;
    std::string toUtf8HexString() const;
    bool operator==(const KRZBuf& other) const;

  private:
    std::string bytes_;
};
